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
import types

import pytest

import fabricated  # first: it finds the toolkit and settles the interpreter
import browser
from browser import CHROMIUM, CHROMEDRIVER, WIDTH
from fabricated import report, report_shots


@pytest.fixture(scope="module")
def shown(tmp_path_factory):
    """The report of fabricated.tables() as the browser laid it out: its
    page, screenshot, tables and pictures, and what the page said (seen)."""
    for program in (CHROMIUM, CHROMEDRIVER):
        if not shutil.which(program):
            pytest.fail(f"{program} is missing: run tools/dev/setup.sh report", pytrace=False)
    scratch = str(tmp_path_factory.mktemp("report-chromium"))
    keep = os.environ.get("REPORT_OUT")
    out = os.path.abspath(keep) if keep else scratch
    os.makedirs(out, exist_ok=True)
    tables, shots = fabricated.tables(scratch)
    launcher = os.path.join(scratch, "setup.exe")
    with open(launcher, "wb") as program:
        program.write(b"MZ" + bytes(5118))
    page = report.write(os.path.join(out, "report"), findings=fabricated.FINDINGS, tables=tables,
                        launcher=launcher, wine=fabricated.WINE, date=datetime.datetime(2024, 5, 6, 7, 8).astimezone())
    screenshot = os.path.join(out, "report.png")
    seen = browser.load(page, screenshot)
    print(f"\nreport: {page}\nscreenshot: {screenshot}", flush=True)
    return types.SimpleNamespace(page=page, screenshot=screenshot, tables=tables, shots=shots, seen=seen)


def test_rows(shown):
    got = [(r["windows"], r["release"], r["arch"], r["verdict"], r["modelled"]) for r in shown.seen["rows"]]
    assert got == fabricated.EXPECTED_ROWS


WORDS = {"starts": "\u2714 Starts", "fault": "\u2716 Fault", "not-served": "\u2013 Not served",
         "run-problem": "\u26a0 Run problem"}


def test_faults_stand_out_not_served_steps_back(shown):
    # A fault by colour and by its word; not served by its word only, in
    # the plain rows' colours, its text muted.
    rows = shown.seen["rows"]
    starts = [r for r in rows if r["verdict"] == "starts" and not r["modelled"]]
    plain = {r["background"] for r in starts}
    ink = {r["color"] for r in starts}
    for i, row in enumerate(rows):
        expected = [WORDS[row["verdict"]]] + ["\u25c7 Modelled, not run"] * row["modelled"]
        assert row["marks"] == expected, f"row {i} {row}"
        if row["verdict"] == "fault":
            assert row["background"] not in plain, f"row {i} {row}: its colour"
        if row["verdict"] == "not-served" and not row["modelled"]:
            assert row["background"] in plain, f"row {i} {row}: a failure's colour"
            assert row["color"] not in ink, f"row {i} {row}: not muted"


def test_headline(shown):
    assert shown.seen["summary"] == fabricated.EXPECTED_SUMMARY


def test_every_picture_loaded_at_its_own_size(shown):
    expected = sum(1 for t in shown.tables for row in t.rows for box in row.boxes if box.screenshot)
    assert len(shown.seen["images"]) == expected
    sizes = {text: (width, height) for text, (_, width, height) in shown.shots.items()}
    for image in shown.seen["images"]:
        assert image["complete"] and image["naturalWidth"] > 0, f"not loaded: {image}"
        size = (image["naturalWidth"], image["naturalHeight"])
        assert size == sizes[image["alt"]], f"{image}: the picture of {image['alt']!r}"
        assert (image["shownWidth"], image["shownHeight"]) == size, f"{image}: not at natural size"


def test_nothing_ran_nothing_fetched(shown):
    assert shown.seen["scripts"] == 0, "script elements"
    assert shown.seen["pwned"] is None, "a box text or path ran as script"
    outside = [name for name in shown.seen["resources"]
               if not name.startswith("file://" + os.path.dirname(shown.page) + "/shots/")]
    assert outside == [], "loaded from outside the report"


def test_fits_1280_pixels(shown):
    assert shown.seen["scrollWidth"] <= WIDTH, "the page scrolls sideways"
    assert "system-ui" in shown.seen["fontFamily"]


def test_screenshot_saved(shown):
    with open(shown.screenshot, "rb") as picture:
        size = report_shots.png_size(picture.read(64))
    assert size == (WIDTH, shown.seen["height"])
