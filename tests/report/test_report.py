"""The report page as HTML: what each row is marked as, that nothing a
distribution names gets out of its text, the screenshots beside it, and that
a failed write leaves the earlier report as it was."""
import datetime
import hashlib
import html.parser
import os
import re
import shutil
from unittest import mock

import pytest

import fabricated
from fabricated import HOSTILE, Box, Row, Table, model, report, report_shots
from kitlib.outputs import replaceable
from kitlib.report import page as report_page


class Page(html.parser.HTMLParser):
    """The parts of a page the tests look at, as a browser's parser sees them."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags = []          # (tag, attributes) of every element
        self.rows = []          # {"attrs", "text", "imgs"} of every tr[data-release]
        self.texts = []
        self.summary = []       # the headline's words
        self._row = None
        self._in_summary = False
        self.feed(text)
        self.close()
        self.text = " ".join(self.texts)
        self.summary = re.sub(r"\s+", " ", " ".join(self.summary)).strip()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append((tag, attrs))
        # Elements part words, as on the screen; a line-break chance does not.
        if self._row is not None and tag != "wbr":
            self._row["text"].append(" ")
        self._in_summary = self._in_summary or attrs.get("class") == "summary"
        if tag == "tr" and "data-release" in attrs:
            self._row = {"attrs": attrs, "text": [], "imgs": []}
            self.rows.append(self._row)
        elif tag == "img" and self._row is not None:
            self._row["imgs"].append(attrs)

    def handle_endtag(self, tag):
        if tag == "tr":
            self._row = None
        elif tag == "p":
            self._in_summary = False

    def handle_data(self, data):
        self.texts.append(data)
        if self._in_summary:
            self.summary.append(data)
        if self._row is not None:
            self._row["text"].append(data)

    def row_text(self, row):
        return re.sub(r"\s+", " ", "".join(row["text"]))


def contents(path):
    """A file's text, or a folder's files' texts by name."""
    if os.path.isdir(path):
        return {name: contents(os.path.join(path, name)) for name in os.listdir(path)}
    with open(path, encoding="utf-8") as file:
        return file.read()


def plain(release="win7", arch="x86", **changes):
    row = Row(release, arch, fabricated.VISTA32, "32", "", [], 0, "starts")
    for name, value in changes.items():
        setattr(row, name, value)
    return row


class Scratch:
    """A folder for one test: a launcher to describe, the report's place, and
    the page written there."""

    def __init__(self, folder):
        self.folder = folder
        self.launcher = os.path.join(folder, "setup.exe")
        with open(self.launcher, "wb") as program:
            program.write(b"MZ" + bytes(range(256)) * 20)
        self.out = os.path.join(folder, "report")

    def write(self, tables=(), findings=(), launcher=None, wine=fabricated.WINE, out=None):
        path = report.write(out or self.out, findings=list(findings), tables=list(tables),
                            launcher=launcher or self.launcher, wine=wine,
                            date=datetime.datetime(2024, 5, 6, 7, 8, tzinfo=datetime.timezone.utc))
        with open(path, encoding="utf-8") as page:
            return path, page.read()

    def page(self, tables=(), **kwargs):
        return Page(self.write(tables, **kwargs)[1])

    def leftovers(self):
        return sorted(name for name in os.listdir(self.folder) if name.startswith("."))


@pytest.fixture
def scratch(tmp_path):
    return Scratch(str(tmp_path))


# (what, row, its data attributes beyond release/windows/arch, its classes, words it must show, words it must not)
MARKS = [
    ("started", plain(), {"data-verdict": "starts"}, "starts",
     ["\u2714 Starts", "Windows 7", "win7", fabricated.VISTA32, "32-bit"], ["Fault", "Modelled"]),
    ("64-bit start", plain(arch="AMD64", installer=fabricated.VISTA64, bits="64"), {"data-verdict": "starts"},
     "starts", ["64-bit"], ["32-bit"]),
    ("missing installer", plain("winme", installer=None, bits=None, verdict="fault",
                                why_none=r"missing: Autoinst\winme\instme.exe"),
     {"data-verdict": "fault"}, "fault", ["\u2716 Fault", "none", r"missing: Autoinst\winme\instme.exe"],
     ["Starts"]),
    ("not served", plain("nt40", installer=None, bits=None, verdict="not-served",
                         boxes=[Box("Unknow OS version", None), Box("Exec fail", None)]),
     {"data-verdict": "not-served"}, "not-served",
     ["\u2013 Not served", "none", "Unknow OS version no screenshot Exec fail"], ["Fault", "Starts"]),
    ("modelled", plain("win11", "ARM64", modelled=True, exit_code=None),
     {"data-verdict": "starts", "data-modelled": "1"}, "starts modelled",
     ["Starts", "Modelled, not run", "Windows 11", "ARM64", "\u2014"], ["Fault"]),
    ("modelled fault", plain("win10", "ARM64", modelled=True, verdict="fault", installer=None),
     {"data-verdict": "fault", "data-modelled": "1"}, "fault modelled", ["Modelled, not run", "Fault"],
     ["Starts"]),
    ("run problem", plain(verdict="run-problem", problem="Wine did not show a box the launcher called for"),
     {"data-verdict": "run-problem"}, "run-problem",
     ["\u26a0 Run problem", "Run problem: Wine did not show a box the launcher called for"], ["Fault"]),
    ("exit code", plain(exit_code=3), {"data-verdict": "starts"}, "starts",
     ["x86 " + fabricated.VISTA32 + " 32-bit none 3"], []),
    ("release Wine has no name for", plain("win12"), {"data-verdict": "starts"}, "starts", ["win12"],
     ["Windows 12"]),
]


@pytest.mark.parametrize("what, row, attrs, classes, shown, hidden", MARKS, ids=[row[0] for row in MARKS])
def test_marks(scratch, what, row, attrs, classes, shown, hidden):
    page = scratch.page([Table("32", "t", [row])])
    assert len(page.rows) == 1
    got = page.rows[0]["attrs"]
    expected = {"data-release": row.release, "data-windows": "32", "data-arch": row.arch, **attrs}
    assert {k: v for k, v in got.items() if k.startswith("data-")} == expected, "data attributes"
    # Not colour alone: a class for the colour, and words for the reader.
    assert got.get("class") == classes, "classes"
    text = page.row_text(page.rows[0])
    for word in shown:
        assert word in text
    for word in hidden:
        assert word not in text


FAULT = plain("winme", verdict="fault")
NOT_SERVED = plain("nt40", verdict="not-served", installer=None)
# (what, tables, or None for every kind of row, the headline's words, each table's note)
HEADLINES = [
    ("all start", [Table("32", "t", [plain(), plain("win10")])],
     "2 rows \u2714 no faults The launcher serves 2 of these Windows and starts an installer on 2", ["2 rows"]),
    ("not served is no fault", [Table("32", "t", [plain(), NOT_SERVED]), Table("64", "t", [NOT_SERVED])],
     "3 rows \u2714 no faults The launcher serves 1 of these Windows and starts an installer on 1 "
     "2 not served, by design", ["2 rows", "1 row"]),
    ("one fault", [Table("32", "t", [FAULT, plain(), NOT_SERVED])],
     "3 rows \u2716 1 fault The launcher serves 2 of these Windows and starts an installer on 1 "
     "1 not served, by design", ["3 rows, 1 fault"]),
    ("every kind", None, fabricated.EXPECTED_SUMMARY, ["11 rows, 1 fault", "7 rows, 1 fault", "2 rows"]),
]


@pytest.mark.parametrize("what, tables, summary, notes", HEADLINES, ids=[row[0] for row in HEADLINES])
def test_headline(scratch, what, tables, summary, notes):
    _, text = scratch.write(tables or fabricated.tables(scratch.folder)[0])
    assert Page(text).summary == summary
    assert re.findall(r'<span class="note">([^<]*)</span>', text) == notes


def test_tables_keep_their_windows_and_order(scratch):
    tables, _ = fabricated.tables(scratch.folder)
    page = scratch.page(tables)
    got = [(r["attrs"]["data-windows"], r["attrs"]["data-release"], r["attrs"]["data-arch"],
            r["attrs"]["data-verdict"], "data-modelled" in r["attrs"]) for r in page.rows]
    assert got == fabricated.EXPECTED_ROWS
    for table in tables:
        assert table.title in page.text


# (what, the table given)
REFUSED = [
    ("unknown windows", Table("16", "t", [plain()])),
    ("unknown verdict", Table("32", "t", [plain(verdict="ok")])),
    ("the old yes/no", Table("32", "t", [plain(verdict=False)])),
]


@pytest.mark.parametrize("what, table", REFUSED, ids=[row[0] for row in REFUSED])
def test_refused_and_nothing_written(scratch, what, table):
    with pytest.raises(ValueError):
        scratch.write([table])
    assert not os.path.exists(scratch.out)
    assert scratch.leftovers() == []


def test_launcher_wine_date(scratch):
    with open(scratch.launcher, "rb") as program:
        data = program.read()
    page = scratch.page([Table("32", "t", [plain()])])
    for what, expected in [("file name", "setup.exe"), ("size", f"{len(data):,} bytes"),
                           ("SHA-256", hashlib.sha256(data).hexdigest()), ("Wine", fabricated.WINE),
                           ("date", "2024-05-06 07:08")]:
        assert expected in page.text, what
    assert scratch.folder not in page.text, "the launcher's folder is nobody's business"


# (what, findings, words shown, rows of the findings table)
FINDINGS = [
    ("none", [], ["No findings: the distribution looks right."], 0),
    ("objects", fabricated.FINDINGS, ["1 error", "1 warning", "2 info", r"missing: Autoinst\winme\instme.exe",
                                      "not signed"], 4),
    ("JSON form", [finding.as_dict() for finding in fabricated.FINDINGS], ["1 error", "1 warning", "2 info"], 4),
]


@pytest.mark.parametrize("what, findings, shown, count", FINDINGS, ids=[row[0] for row in FINDINGS])
def test_findings(scratch, what, findings, shown, count):
    page = scratch.page(findings=findings)
    severities = [attrs["data-severity"] for tag, attrs in page.tags if "data-severity" in attrs]
    assert len(severities) == count
    assert severities == sorted(severities, key=model.SEVERITIES.index), "errors first"
    for word in shown:
        assert word in page.text


def test_hostile_texts_stay_text(scratch):
    hostile_row = Row(HOSTILE, HOSTILE, HOSTILE, HOSTILE, HOSTILE, [Box(HOSTILE, None)], 0, "run-problem",
                      problem=HOSTILE)
    launcher = os.path.join(scratch.folder, "<b>x.exe")
    shutil.copy(scratch.launcher, launcher)
    tables, _ = fabricated.tables(scratch.folder)
    tables.append(Table("cd", HOSTILE, [hostile_row]))
    _, text = scratch.write(tables, findings=fabricated.FINDINGS, launcher=launcher, wine=HOSTILE)
    page = Page(text)
    tags = {tag for tag, _ in page.tags}
    assert "script" not in tags
    assert "b" not in tags
    assert [(tag, name) for tag, attrs in page.tags for name in attrs if name.startswith("on")] == [], \
        "event handler attributes"
    # Each field shows the text as it was.
    row = page.row_text(page.rows[-1])
    assert row.count(HOSTILE) >= 4, row
    assert page.rows[-1]["attrs"]["data-release"] == HOSTILE
    for what, expected in [("wine", HOSTILE), ("launcher", "<b>x.exe"), ("title", HOSTILE)]:
        assert expected in page.text, what


# (what, text given, what the page shows)
UNPRINTABLE = [
    ("NUL", "a\x00b", "a\\x00b"),
    ("escape", "a\x1b[31mb", "a\\x1b[31mb"),
    ("undecodable file name byte", "inst\udcff.exe", "inst\\udcff.exe"),
    ("line break kept", "line one\nline two", "line one\nline two"),
    ("non-ASCII kept", "Programm f\u00fcr \u65e5\u672c", "Programm f\u00fcr \u65e5\u672c"),
]


@pytest.mark.parametrize("what, given, shown", UNPRINTABLE, ids=[row[0] for row in UNPRINTABLE])
def test_unprintable(scratch, what, given, shown):
    page = scratch.page([Table("32", "t", [plain(boxes=[Box(given, None)])])])
    assert shown in "".join(page.rows[0]["text"])


# (what, screenshot given: a file name in the test's folder or None, (width, height) of the img, or the note)
BOXES = [
    ("PNG", "a box <1>.png", (31, 17)),
    ("none taken", None, "no screenshot"),
    ("file gone", "gone.png", "screenshot not found"),
    ("not a PNG", "fake.png", "screenshot is not a PNG"),
]


@pytest.mark.parametrize("what, shot, expected", BOXES, ids=[row[0] for row in BOXES])
def test_boxes(scratch, what, shot, expected):
    fabricated.png(os.path.join(scratch.folder, "a box <1>.png"), 31, 17)
    with open(os.path.join(scratch.folder, "fake.png"), "wb") as fake:
        fake.write(b"GIF89a" + bytes(40))
    shot = shot and os.path.join(scratch.folder, shot)
    path, text = scratch.write([Table("64", "t", [plain(boxes=[Box("VISTA32", shot)])])])
    page = Page(text)
    imgs = page.rows[0]["imgs"]
    if isinstance(expected, tuple):
        assert len(imgs) == 1
        img = imgs[0]
        assert (img["width"], img["height"], img["alt"]) == (*map(str, expected), "VISTA32")
        assert re.match(r"^shots/\d{3}-[A-Za-z0-9_-]+\.png$", img["src"]), img["src"]
        with open(os.path.join(os.path.dirname(path), img["src"]), "rb") as copy, open(shot, "rb") as source:
            assert copy.read() == source.read(), "the copy"
    else:
        assert imgs == []
        text = page.row_text(page.rows[0])
        assert "VISTA32" in text, "the box text without its picture"
        assert expected in text


def test_one_copy_per_picture_all_relative(scratch):
    tables, made = fabricated.tables(scratch.folder)
    _, text = scratch.write(tables)
    page = Page(text)
    sources = [attrs["src"] for tag, attrs in page.tags if tag == "img"]
    assert len(sources) == sum(1 for table in tables for row in table.rows for box in row.boxes if box.screenshot)
    assert sorted(os.listdir(os.path.join(scratch.out, "shots"))) == sorted({os.path.basename(s) for s in sources})
    assert len(set(sources)) == len(made), "each picture copied once"
    # Nothing from outside: no links, no scripts, only the copies beside the page.
    links = [(tag, attrs) for tag, attrs in page.tags
             if tag in ("link", "script", "iframe", "object", "embed") or "href" in attrs]
    assert links == []
    assert all(s.startswith("shots/") for s in sources), sources
    assert not re.search(r"url\(|@import|://", text)


def earlier(scratch):
    path, _ = scratch.write([Table("32", "earlier", [plain("winxp")])])
    with open(path, encoding="utf-8") as page:
        return page.read()


def test_replace(scratch):
    earlier(scratch)
    path, text = scratch.write([Table("32", "later", [plain("win10")])])
    assert [r["attrs"]["data-release"] for r in Page(text).rows] == ["win10"]
    assert scratch.leftovers() == []
    assert path == os.path.join(os.path.realpath(scratch.out), "index.html")


def second_rename_fails():
    real_rename, calls = os.rename, []

    def rename(source, target):
        calls.append(source)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        return real_rename(source, target)
    return mock.patch("os.rename", rename)


# (what, what breaks the write)
BREAKS = [
    ("page fails to render", lambda: mock.patch.object(report_page, "render", side_effect=RuntimeError("bug"))),
    ("disk full while writing", lambda: mock.patch("os.fsync", side_effect=OSError(28, "No space left on device"))),
    ("screenshot copy fails",
     lambda: mock.patch.object(report_shots.Shots, "add", side_effect=OSError(5, "I/O error"))),
    ("new one cannot take its place", second_rename_fails),
    ("launcher unreadable",
     lambda: mock.patch("kitlib.report.writing._launcher_facts", side_effect=PermissionError(13, "Permission denied"))),
]


@pytest.mark.parametrize("what, breaks", BREAKS, ids=[row[0] for row in BREAKS])
def test_failures_leave_the_earlier_report(scratch, what, breaks):
    old = earlier(scratch)
    tables, _ = fabricated.tables(scratch.folder)
    with breaks(), pytest.raises(Exception):
        scratch.write(tables)
    with open(os.path.join(scratch.out, "index.html"), encoding="utf-8") as page:
        assert page.read() == old, "the earlier report"
    assert sorted(os.listdir(scratch.out)) == ["index.html"]
    assert scratch.leftovers() == [], "scratch folders left"


# (what lies at the report's place: a folder's files, or the text of a file)
NOT_REPORTS = [("other files", {"notes.txt": "mine"}),
               ("someone's index.html", {"index.html": "<html>my own page</html>"}), ("a file", "x")]


@pytest.mark.parametrize("what, laid", NOT_REPORTS, ids=[row[0] for row in NOT_REPORTS])
def test_never_replaces_what_is_not_a_report(scratch, what, laid):
    out = os.path.join(scratch.folder, "mine")
    if isinstance(laid, dict):
        os.makedirs(out)
        for name, text in laid.items():
            with open(os.path.join(out, name), "w") as file:
                file.write(text)
    else:
        with open(out, "w") as file:
            file.write(laid)
    before = contents(out)
    with pytest.raises(report.ReportError):
        scratch.write([Table("32", "t", [plain()])], out=out)
    assert contents(out) == before
    assert scratch.leftovers() == []


@pytest.mark.parametrize("out, made", [("empty", True), ("a/b/report", False)],
                         ids=["empty folder", "parent not there yet"])
def test_empty_folder_and_new_parent(scratch, out, made):
    out = os.path.join(scratch.folder, out)
    if made:
        os.makedirs(out)
    path, _ = scratch.write([Table("32", "t", [plain()])], out=out)
    assert replaceable.is_preview_report(os.path.dirname(path))
