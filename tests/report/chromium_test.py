"""The report as a person sees it: a real browser (Debian's chromium,
headless, driven by Selenium through chromium-driver) loads a report of
made-up runs with real PNG screenshots, and the test asks the page which rows
it has, whether every picture loaded at its own size, whether anything
hostile ran and whether it fits 1280 pixels; then it saves a screenshot of
the whole page for a person to look at.

CHROMIUM and CHROMEDRIVER name the browser and its driver (default chromium,
chromedriver); REPORT_OUT a folder to keep the report and its screenshot in
(default: a scratch folder, removed).
"""
import datetime
import os
import shutil
import tempfile
import unittest

import fabricated  # first: it finds the toolkit and settles the interpreter
import browser
from browser import CHROMIUM, CHROMEDRIVER, WIDTH
from fabricated import report, report_shots


class InChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for program in (CHROMIUM, CHROMEDRIVER):
            if not shutil.which(program):
                raise AssertionError(f"{program} is missing: run tools/dev/setup.sh report")
        scratch = tempfile.mkdtemp(prefix="report-chromium-")
        cls.addClassCleanup(shutil.rmtree, scratch, True)
        keep = os.environ.get("REPORT_OUT")
        out = os.path.abspath(keep) if keep else scratch
        os.makedirs(out, exist_ok=True)
        cls.tables, cls.shots = fabricated.tables(scratch)
        launcher = os.path.join(scratch, "setup.exe")
        with open(launcher, "wb") as program:
            program.write(b"MZ" + bytes(5118))
        cls.page = report.write(os.path.join(out, "report"), findings=fabricated.FINDINGS, tables=cls.tables,
                                launcher=launcher, wine=fabricated.WINE,
                                date=datetime.datetime(2024, 5, 6, 7, 8).astimezone())
        cls.screenshot = os.path.join(out, "report.png")

        cls.seen = browser.load(cls.page, cls.screenshot)
        print(f"\nreport: {cls.page}\nscreenshot: {cls.screenshot}", flush=True)

    def test_rows(self):
        got = [(r["windows"], r["release"], r["arch"], r["verdict"], r["modelled"]) for r in self.seen["rows"]]
        self.assertEqual(got, fabricated.EXPECTED_ROWS)

    def test_faults_stand_out_not_served_steps_back(self):
        # A fault by colour and by its word; not served by its word only, in
        # the plain rows' colours, its text muted.
        rows = self.seen["rows"]
        starts = [r for r in rows if r["verdict"] == "starts" and not r["modelled"]]
        plain = {r["background"] for r in starts}
        ink = {r["color"] for r in starts}
        words = {"starts": "\u2714 Starts", "fault": "\u2716 Fault", "not-served": "\u2013 Not served",
                 "run-problem": "\u26a0 Run problem"}
        for i, row in enumerate(rows):
            expected = [words[row["verdict"]]] + ["\u25c7 Modelled, not run"] * row["modelled"]
            self.assertEqual(row["marks"], expected, f"row {i} {row}")
            if row["verdict"] == "fault":
                self.assertNotIn(row["background"], plain, f"row {i} {row}: its colour")
            if row["verdict"] == "not-served" and not row["modelled"]:
                self.assertIn(row["background"], plain, f"row {i} {row}: a failure's colour")
                self.assertNotIn(row["color"], ink, f"row {i} {row}: not muted")

    def test_headline(self):
        self.assertEqual(self.seen["summary"], fabricated.EXPECTED_SUMMARY)

    def test_every_picture_loaded_at_its_own_size(self):
        expected = sum(1 for t in self.tables for row in t.rows for box in row.boxes if box.screenshot)
        self.assertEqual(len(self.seen["images"]), expected)
        sizes = {text: (width, height) for text, (_, width, height) in self.shots.items()}
        for image in self.seen["images"]:
            self.assertTrue(image["complete"] and image["naturalWidth"] > 0, f"not loaded: {image}")
            size = (image["naturalWidth"], image["naturalHeight"])
            self.assertEqual(size, sizes[image["alt"]], f"{image}: the picture of {image['alt']!r}")
            self.assertEqual((image["shownWidth"], image["shownHeight"]), size, f"{image}: not at natural size")

    def test_nothing_ran_nothing_fetched(self):
        self.assertEqual(self.seen["scripts"], 0, "script elements")
        self.assertIsNone(self.seen["pwned"], "a box text or path ran as script")
        outside = [name for name in self.seen["resources"]
                   if not name.startswith("file://" + os.path.dirname(self.page) + "/shots/")]
        self.assertEqual(outside, [], "loaded from outside the report")

    def test_fits_1280_pixels(self):
        self.assertLessEqual(self.seen["scrollWidth"], WIDTH, "the page scrolls sideways")
        self.assertIn("system-ui", self.seen["fontFamily"])

    def test_screenshot_saved(self):
        with open(self.screenshot, "rb") as picture:
            size = report_shots.png_size(picture.read(64))
        self.assertEqual(size, (WIDTH, self.seen["height"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
