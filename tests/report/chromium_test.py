"""The report as a person sees it: a real browser (Debian's chromium,
headless) loads a report of made-up runs with real PNG screenshots, and the
test asks the page, through the browser's DevTools protocol on a pipe, which
rows it has, whether every picture loaded at its own size, whether anything
hostile ran and whether it fits 1280 pixels; then it saves a screenshot of
the whole page for a person to look at.

CHROMIUM names the browser (default chromium); REPORT_OUT a folder to keep
the report and its screenshot in (default: a scratch folder, removed).
"""
import datetime
import os
import shutil
import tempfile
import unittest

import browser
import fabricated
from browser import CHROMIUM, WIDTH
from fabricated import report


class InChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which(CHROMIUM):
            raise AssertionError(f"{CHROMIUM} is missing: run tools/dev/setup.sh report")
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
        expected = [(t.windows, row.release, row.arch, row.verdict, row.modelled)
                    for t in self.tables for row in t.rows]
        self.assertEqual(len(got), len(expected))
        for i, (actual, wanted) in enumerate(zip(got, expected)):
            self.assertEqual(actual, wanted, f"row {i}")

    def test_faults_stand_out(self):
        # By colour and by a word: the rows that start an installer show neither.
        plain = {r["background"] for r in self.seen["rows"] if r["verdict"] == "starts" and not r["modelled"]}
        for i, row in enumerate(self.seen["rows"]):
            if row["verdict"] == "fault":
                self.assertNotIn(row["background"], plain, f"row {i} {row}: its colour")
                self.assertIn("\u2716 Fault", row["marks"], f"row {i} {row}: its word")
            else:
                self.assertNotIn("\u2716 Fault", row["marks"], f"row {i} {row}")
            if row["modelled"]:
                self.assertIn("\u25c7 Modelled, not run", row["marks"], f"row {i} {row}")

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
            size = report.png_size(picture.read(64))
        self.assertEqual(size, (WIDTH, self.seen["height"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
