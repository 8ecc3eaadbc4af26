"""The report page as HTML: what each row is marked as, that nothing a
distribution names gets out of its text, the screenshots beside it, and that
a failed write leaves the earlier report as it was."""
import datetime
import hashlib
import html
import html.parser
import os
import re
import shutil
import tempfile
import unittest
from unittest import mock

import fabricated
from fabricated import HOSTILE, Box, Row, Table, check_kit, report


class Page(html.parser.HTMLParser):
    """The parts of a page the tests look at, as a browser's parser sees them."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags = []          # (tag, attributes) of every element
        self.rows = []          # {"attrs", "text", "imgs"} of every tr[data-release]
        self.texts = []
        self._row = None
        self.feed(text)
        self.close()
        self.text = " ".join(self.texts)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append((tag, attrs))
        # Elements part words, as on the screen; a line-break chance does not.
        if self._row is not None and tag != "wbr":
            self._row["text"].append(" ")
        if tag == "tr" and "data-release" in attrs:
            self._row = {"attrs": attrs, "text": [], "imgs": []}
            self.rows.append(self._row)
        elif tag == "img" and self._row is not None:
            self._row["imgs"].append(attrs)

    def handle_endtag(self, tag):
        if tag == "tr":
            self._row = None

    def handle_data(self, data):
        self.texts.append(data)
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


class ReportTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="report-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.launcher = os.path.join(self.folder, "setup.exe")
        with open(self.launcher, "wb") as program:
            program.write(b"MZ" + bytes(range(256)) * 20)
        self.out = os.path.join(self.folder, "report")

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


class Rows(ReportTest):
    def test_marks(self):
        # (what, row, its attributes beyond release/windows/arch, words it must show, words it must not)
        starts = {"data-verdict": "starts"}
        cases = [
            ("started", plain(), starts, ["Starts", "Windows 7", "win7", fabricated.VISTA32, "32-bit"],
             ["Fault", "Modelled"]),
            ("64-bit start", plain(arch="AMD64", installer=fabricated.VISTA64, bits="64"), starts, ["64-bit"],
             ["32-bit"]),
            ("missing installer", plain("winme", installer=None, bits=None, verdict="fault",
                                        why_none=r"missing: Autoinst\winme\instme.exe"),
             {"data-verdict": "fault", "class": "wrong"}, ["Fault", "none", r"missing: Autoinst\winme\instme.exe"],
             ["Starts"]),
            ("not served", plain("nt40", installer=None, bits=None, verdict="not-served",
                                 boxes=[Box("Unknow OS version", None), Box("Exec fail", None)]),
             {"data-verdict": "not-served", "class": "not-served"},
             ["Not served", "none", "Unknow OS version no screenshot Exec fail"], ["Fault", "Starts"]),
            ("modelled", plain("win11", "ARM64", modelled=True, exit_code=None),
             {"data-verdict": "starts", "data-modelled": "1", "class": "modelled"},
             ["Starts", "Modelled, not run", "Windows 11", "ARM64", "\u2014"], ["Fault"]),
            ("modelled and a fault", plain("win10", "ARM64", modelled=True, verdict="fault", installer=None),
             {"data-verdict": "fault", "data-modelled": "1", "class": "wrong modelled"},
             ["Modelled, not run", "Fault"], ["Starts"]),
            ("run problem", plain(verdict="run-problem", problem="Wine did not show a box the launcher called for"),
             {"data-verdict": "run-problem", "class": "problem"},
             ["Run problem: Wine did not show a box the launcher called for"], ["Fault", "Starts"]),
            ("exit code", plain(exit_code=3), starts, ["x86 " + fabricated.VISTA32 + " 32-bit none 3"], []),
            ("release Wine has no name for", plain("win12"), starts, ["win12"], ["Windows 12"]),
        ]
        for what, row, attrs, shown, hidden in cases:
            page = self.page([Table("32", "t", [row])])
            self.assertEqual(len(page.rows), 1, what)
            got = page.rows[0]["attrs"]
            expected = {"data-release": row.release, "data-windows": "32", "data-arch": row.arch, **attrs}
            # Not colour alone: a class for the colour, and words for the reader.
            self.assertEqual({k: v for k, v in got.items() if k.startswith("data-") or k == "class"}, expected,
                             f"{what}: attributes")
            text = page.row_text(page.rows[0])
            for word in shown:
                self.assertIn(word, text, f"{what}: {text!r} should show {word!r}")
            for word in hidden:
                self.assertNotIn(word, text, f"{what}: {text!r} should not show {word!r}")

    def test_headline(self):
        # (what, the rows' verdicts, what the headline says)
        cases = [
            ("a correct kit", ["starts", "starts", "not-served", "starts"],
             "4 rows \u2714 0 faults the launcher serves 3 of these Windows and starts an installer on 3 "
             "1 not served, by design"),
            ("Windows Me missing", ["starts", "fault", "not-served", "not-served"],
             "4 rows \u2716 1 fault the launcher serves 2 of these Windows and starts an installer on 1 "
             "2 not served, by design"),
            ("a run not judged", ["starts", "run-problem"],
             "2 rows \u2714 0 faults the launcher serves 1 of these Windows and starts an installer on 1 "
             "\u26a0 1 run problem"),
        ]
        for what, verdicts, expected in cases:
            page = self.write([Table("32", "t", [plain(verdict=verdict) for verdict in verdicts])])[1]
            headline = re.sub(r"\s+", " ", re.sub(r"<[^>]+>", "", html.unescape(
                re.search(r'<p class="summary">(.*?)</p>', page).group(1)))).strip()
            self.assertEqual(headline, expected, what)

    def test_tables_keep_their_windows_and_order(self):
        tables, _ = fabricated.tables(self.folder)
        page = self.page(tables)
        got = [(r["attrs"]["data-windows"], r["attrs"]["data-release"], r["attrs"]["data-arch"]) for r in page.rows]
        expected = [(t.windows, row.release, row.arch) for t in tables for row in t.rows]
        self.assertEqual(got, expected)
        self.assertEqual(len(set(got)), len(got), "rows must be told apart by windows, release and arch")
        for table in tables:
            self.assertIn(table.title, page.text)

    def test_unknown_windows_or_verdict_is_refused_and_nothing_written(self):
        for table in (Table("16", "t", [plain()]), Table("32", "t", [plain(verdict="wrong")])):
            with self.assertRaises(ValueError):
                self.write([table])
            self.assertFalse(os.path.exists(self.out))
            self.assertEqual(self.leftovers(), [])


class Facts(ReportTest):
    def test_launcher_wine_date(self):
        with open(self.launcher, "rb") as program:
            data = program.read()
        page = self.page([Table("32", "t", [plain()])])
        for what, expected in [("file name", "setup.exe"), ("size", f"{len(data):,} bytes"),
                               ("SHA-256", hashlib.sha256(data).hexdigest()), ("Wine", fabricated.WINE),
                               ("date", "2024-05-06 07:08")]:
            self.assertIn(expected, page.text, what)
        self.assertNotIn(self.folder, page.text, "the launcher's folder is nobody's business")

    def test_findings(self):
        # (what, findings, words shown, rows of the findings table)
        as_json = [finding.as_dict() for finding in fabricated.FINDINGS]
        cases = [
            ("none", [], ["No findings: the distribution looks right."], 0),
            ("objects", fabricated.FINDINGS, ["1 error", "1 warning", "2 info", r"missing: Autoinst\winme\instme.exe",
                                              "not signed"], 4),
            ("JSON form", as_json, ["1 error", "1 warning", "2 info"], 4),
        ]
        for what, findings, shown, count in cases:
            page = self.page(findings=findings)
            severities = [attrs["data-severity"] for tag, attrs in page.tags if "data-severity" in attrs]
            self.assertEqual(len(severities), count, what)
            self.assertEqual(severities, sorted(severities, key=check_kit.SEVERITIES.index),
                             f"{what}: errors first")
            for word in shown:
                self.assertIn(word, page.text, f"{what}: should show {word!r}")


class Escaping(ReportTest):
    def test_hostile_texts_stay_text(self):
        hostile_row = Row(HOSTILE, HOSTILE, HOSTILE, HOSTILE, HOSTILE, [Box(HOSTILE, None)], 0, "run-problem",
                          problem=HOSTILE)
        launcher = os.path.join(self.folder, "<b>x.exe")
        shutil.copy(self.launcher, launcher)
        tables, _ = fabricated.tables(self.folder)
        tables.append(Table("cd", HOSTILE, [hostile_row]))
        path, text = self.write(tables, findings=fabricated.FINDINGS, launcher=launcher, wine=HOSTILE)
        page = Page(text)
        tags = {tag for tag, _ in page.tags}
        self.assertNotIn("script", tags)
        self.assertNotIn("b", tags)
        handlers = [(tag, name) for tag, attrs in page.tags for name in attrs if name.startswith("on")]
        self.assertEqual(handlers, [], "event handler attributes")
        # Each field shows the text as it was.
        row = page.row_text(page.rows[-1])
        self.assertGreaterEqual(row.count(HOSTILE), 4, row)
        self.assertEqual(page.rows[-1]["attrs"]["data-release"], HOSTILE)
        for what, expected in [("wine", HOSTILE), ("launcher", "<b>x.exe"), ("title", HOSTILE)]:
            self.assertIn(expected, page.text, what)

    def test_unprintable(self):
        # (what, text given, what the page shows)
        cases = [
            ("NUL", "a\x00b", "a\\x00b"),
            ("escape", "a\x1b[31mb", "a\\x1b[31mb"),
            ("undecodable file name byte", "inst\udcff.exe", "inst\\udcff.exe"),
            ("line break kept", "line one\nline two", "line one\nline two"),
            ("non-ASCII kept", "Programm f\u00fcr \u65e5\u672c", "Programm f\u00fcr \u65e5\u672c"),
        ]
        for what, given, shown in cases:
            page = self.page([Table("32", "t", [plain(boxes=[Box(given, None)])])])
            self.assertIn(shown, "".join(page.rows[0]["text"]), f"{what}: {page.rows[0]['text']!r}")


class Screenshots(ReportTest):
    def test_boxes(self):
        good = fabricated.png(os.path.join(self.folder, "a box <1>.png"), 31, 17)
        not_png = os.path.join(self.folder, "fake.png")
        with open(not_png, "wb") as fake:
            fake.write(b"GIF89a" + bytes(40))
        # (what, screenshot given, (width, height) of the img, or the note instead)
        cases = [
            ("PNG", good, (31, 17)),
            ("none taken", None, "no screenshot"),
            ("file gone", os.path.join(self.folder, "gone.png"), "screenshot not found"),
            ("not a PNG", not_png, "screenshot is not a PNG"),
        ]
        for what, shot, expected in cases:
            path, text = self.write([Table("64", "t", [plain(boxes=[Box("VISTA32", shot)])])])
            page = Page(text)
            imgs = page.rows[0]["imgs"]
            if isinstance(expected, tuple):
                self.assertEqual(len(imgs), 1, what)
                img = imgs[0]
                self.assertEqual((img["width"], img["height"], img["alt"]), (*map(str, expected), "VISTA32"), what)
                self.assertRegex(img["src"], r"^shots/\d{3}-[A-Za-z0-9_-]+\.png$", what)
                with open(os.path.join(os.path.dirname(path), img["src"]), "rb") as copy, open(shot, "rb") as source:
                    self.assertEqual(copy.read(), source.read(), f"{what}: the copy")
            else:
                self.assertEqual(imgs, [], what)
                text = page.row_text(page.rows[0])
                self.assertIn("VISTA32", text, f"{what}: the box text without its picture")
                self.assertIn(expected, text, what)

    def test_one_copy_per_picture_all_relative(self):
        tables, made = fabricated.tables(self.folder)
        path, text = self.write(tables)
        page = Page(text)
        sources = [attrs["src"] for tag, attrs in page.tags if tag == "img"]
        expected = sum(1 for table in tables for row in table.rows for box in row.boxes if box.screenshot)
        self.assertEqual(len(sources), expected)
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, "shots"))),
                         sorted({os.path.basename(s) for s in sources}))
        self.assertEqual(len(set(sources)), len(made), "each picture copied once")
        # Nothing from outside: no links, no scripts, only the copies beside the page.
        links = [(tag, attrs) for tag, attrs in page.tags
                 if tag in ("link", "script", "iframe", "object", "embed") or "href" in attrs]
        self.assertEqual(links, [])
        self.assertTrue(all(s.startswith("shots/") for s in sources), sources)
        self.assertNotRegex(text, r"url\(|@import|://")


class AtomicWrite(ReportTest):
    def earlier(self):
        path, _ = self.write([Table("32", "earlier", [plain("winxp")])])
        with open(path, encoding="utf-8") as page:
            return page.read()

    def test_replace(self):
        self.earlier()
        path, text = self.write([Table("32", "later", [plain("win10")])])
        self.assertEqual([r["attrs"]["data-release"] for r in Page(text).rows], ["win10"])
        self.assertEqual(self.leftovers(), [])
        self.assertEqual(path, os.path.join(os.path.realpath(self.out), "index.html"))

    def test_failures_leave_the_earlier_report(self):
        real_rename = os.rename

        def second_rename_fails():
            calls = []

            def rename(source, target):
                calls.append(source)
                if len(calls) == 2:
                    raise OSError(28, "No space left on device")
                return real_rename(source, target)
            return mock.patch("os.rename", rename)
        # (what, what breaks the write)
        cases = [
            ("page fails to render", mock.patch.object(report, "_page", side_effect=RuntimeError("bug"))),
            ("disk full while writing", mock.patch("os.fsync", side_effect=OSError(28, "No space left on device"))),
            ("screenshot copy fails", mock.patch.object(report._Shots, "add", side_effect=OSError(5, "I/O error"))),
            ("new one cannot take its place", second_rename_fails()),
            ("launcher unreadable",
             mock.patch.object(report, "_launcher_facts", side_effect=PermissionError(13, "Permission denied"))),
        ]
        for what, breaks in cases:
            old = self.earlier()
            tables, _ = fabricated.tables(self.folder)
            with breaks, self.assertRaises(Exception, msg=what):
                self.write(tables)
            with open(os.path.join(self.out, "index.html"), encoding="utf-8") as page:
                self.assertEqual(page.read(), old, f"{what}: the earlier report")
            self.assertEqual(sorted(os.listdir(self.out)), ["index.html"], what)
            self.assertEqual(self.leftovers(), [], f"{what}: scratch folders left")

    def test_never_replaces_what_is_not_a_report(self):
        # (what, how the folder is laid before)
        def foreign(path):
            os.makedirs(path)
            with open(os.path.join(path, "notes.txt"), "w") as notes:
                notes.write("mine")

        def foreign_index(path):
            os.makedirs(path)
            with open(os.path.join(path, "index.html"), "w") as page:
                page.write("<html>my own page</html>")

        def a_file(path):
            with open(path, "w") as file:
                file.write("x")
        for what, lay in [("other files", foreign), ("someone's index.html", foreign_index), ("a file", a_file)]:
            out = os.path.join(self.folder, what.replace(" ", "_").replace("'", ""))
            lay(out)
            before = contents(out)
            with self.assertRaises(report.ReportError, msg=what):
                self.write([Table("32", "t", [plain()])], out=out)
            self.assertEqual(contents(out), before, what)
        self.assertEqual(self.leftovers(), [])

    def test_empty_folder_and_new_parent(self):
        for what, out in [("empty folder", os.path.join(self.folder, "empty")),
                          ("parent not there yet", os.path.join(self.folder, "a", "b", "report"))]:
            if what == "empty folder":
                os.makedirs(out)
            path, _ = self.write([Table("32", "t", [plain()])], out=out)
            self.assertTrue(report.is_report(os.path.dirname(path)), what)


if __name__ == "__main__":
    unittest.main(verbosity=2)
