"""Renders the preview as one HTML page for a person to look at: the check's
findings, then a table per Windows with the installer each release started,
the boxes it showed (their screenshots beside the page, in shots/) and its
exit code. Rendering only: the runs come in as plain data.

The page is self-contained: its style is inline, it loads nothing from
anywhere else and runs no script. Every text on it may come from a
distribution (box texts, file names) and is escaped.
"""
import dataclasses
import datetime
import hashlib
import html
import os
import re
import shutil
import struct
import tempfile

import check_kit

# Marks a folder as one of these reports, so that writing a new one never
# replaces a folder that holds something else.
GENERATOR = "launcher-preview-report"
SHOTS = "shots"

WINDOWS = {"32": "32-bit Windows", "64": "64-bit Windows", "cd": "From a CD-ROM drive"}
RELEASE_NAMES = {
    "win31": "Windows 3.1", "win95": "Windows 95", "win98": "Windows 98", "winme": "Windows Me",
    "nt351": "Windows NT 3.51", "nt40": "Windows NT 4.0", "win2k": "Windows 2000",
    "winxp": "Windows XP", "winxp64": "Windows XP x64", "win2003": "Windows Server 2003",
    "vista": "Windows Vista", "win7": "Windows 7", "win8": "Windows 8", "win81": "Windows 8.1",
    "win10": "Windows 10", "win11": "Windows 11",
}
SEVERITY_MARKS = {check_kit.ERROR: "\u2716", check_kit.WARNING: "\u25b2", check_kit.INFO: "\u2139"}
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@dataclasses.dataclass
class Box:
    text: str
    screenshot: str | None      # a PNG's path, or None


@dataclasses.dataclass
class Row:
    release: str                # Wine's name: win95 ... win10, win11
    arch: str                   # PROCESSOR_ARCHITECTURE as shown: "x86", "AMD64", "ARM64", "as is"
    installer: str | None       # the distribution's file started; None when none started
    bits: str | None            # "32" or "64": how the started installer ran
    why_none: str               # why none started ("" when the boxes say it)
    boxes: list[Box]
    exit_code: int | None
    wrong: bool                 # went wrong for the distribution
    modelled: bool = False      # a Windows Wine cannot be: worked out, not run
    problem: str = ""           # the run itself failed (not the launcher)


@dataclasses.dataclass
class Table:
    windows: str                # "32", "64" or "cd"
    title: str
    rows: list[Row]


class ReportError(OSError):
    """The report could not be written where asked. An OSError, so that a
    caller reporting failed file writes reports this one too."""


def write(folder, *, findings, tables, launcher, wine, date=None):
    """Writes folder/index.html and its screenshots; returns the page's path.

    The report is laid out in a fresh folder beside folder and moved into
    place only when complete, so a failure leaves an earlier report as it was.
    """
    folder = os.path.realpath(folder)
    for table in tables:
        if table.windows not in WINDOWS:
            raise ValueError(f"a table's windows is {table.windows!r}, not one of {', '.join(WINDOWS)}")
    findings = [_finding(finding) for finding in findings]
    _check_replaceable(folder)
    facts = _launcher_facts(launcher)
    date = (date or datetime.datetime.now()).astimezone()

    parent = os.path.dirname(folder)
    os.makedirs(parent, exist_ok=True)
    staging = tempfile.mkdtemp(prefix=f".{os.path.basename(folder)}.new-", dir=parent)
    try:
        # mkdtemp makes a private folder; a report is as readable as any
        # other file its writer makes.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(staging, 0o777 & ~umask)
        shots = _Shots(staging)
        page = _page(findings, tables, facts, wine, date, shots)
        with open(os.path.join(staging, "index.html"), "w", encoding="utf-8") as out:
            out.write(page)
            out.flush()
            os.fsync(out.fileno())
        _move_into_place(staging, folder)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return os.path.join(folder, "index.html")


# -- the folder ----------------------------------------------------------

def _check_replaceable(folder):
    if not os.path.lexists(folder):
        return
    if not os.path.isdir(folder):
        raise ReportError(f"{folder} is not a folder")
    if os.listdir(folder) and not is_report(folder):
        raise ReportError(f"{folder} holds files that are not an earlier report: not replacing them")


def is_report(folder):
    """Whether folder holds a report this module wrote."""
    try:
        with open(os.path.join(folder, "index.html"), encoding="utf-8", errors="replace") as page:
            head = page.read(4096)
    except OSError:
        return False
    return f'<meta name="generator" content="{GENERATOR}">' in head


def _move_into_place(staged, folder):
    import staging   # the toolkit's one way of putting an output in place
    staging.replace_folder(staged, folder, prefix=f".{os.path.basename(folder)}.old-")


class _Shots:
    """Copies screenshots into the report's shots/ under names of its own."""

    def __init__(self, staging):
        self.folder = os.path.join(staging, SHOTS)
        self.copied = {}    # source's real path -> (relative path, width, height)

    def add(self, path):
        """(relative path, width, height) of the copy, or (None, why not)."""
        source = os.path.realpath(path)
        if source in self.copied:
            return self.copied[source]
        try:
            with open(source, "rb") as image:
                data = image.read()
        except FileNotFoundError:
            return None, "screenshot not found"
        except OSError as error:
            return None, f"screenshot unreadable ({error.strerror or error})"
        size = png_size(data)
        if size is None:
            return None, "screenshot is not a PNG"
        os.makedirs(self.folder, exist_ok=True)
        stem = re.sub(r"[^A-Za-z0-9_-]+", "-", os.path.splitext(os.path.basename(source))[0]).strip("-")
        name = f"{len(self.copied) + 1:03d}-{stem[:48] or 'box'}.png"
        with open(os.path.join(self.folder, name), "wb") as copy:
            copy.write(data)
        self.copied[source] = (f"{SHOTS}/{name}", *size)
        return self.copied[source]


def png_size(data):
    """(width, height) from a PNG's header, or None for anything else."""
    if len(data) < 24 or not data.startswith(PNG_SIGNATURE) or data[12:16] != b"IHDR":
        return None
    width, height = struct.unpack(">II", data[16:24])
    return (width, height) if width and height else None


def _launcher_facts(launcher):
    digest = hashlib.sha256()
    size = 0
    with open(launcher, "rb") as program:
        for chunk in iter(lambda: program.read(1 << 16), b""):
            digest.update(chunk)
            size += len(chunk)
    return os.path.basename(launcher), size, digest.hexdigest()


def _finding(finding):
    """A check_kit finding, also from its JSON form."""
    if isinstance(finding, dict):
        return check_kit.Finding(finding["path"], finding["severity"], finding["message"])
    return finding


# -- the page ------------------------------------------------------------

_UNPRINTABLE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")


def _text(value):
    """value escaped for HTML text and attributes. Control characters show as
    \\xNN, and a file name's undecodable bytes as \\udcNN, rather than
    breaking the page or the write."""
    value = _UNPRINTABLE.sub(lambda m: f"\\x{ord(m.group()):02x}", str(value))
    value = value.encode("utf-8", "backslashreplace").decode("utf-8")
    return html.escape(value, quote=True)


def _path(value):
    """A Windows path that wraps after its backslashes, not inside a name."""
    return "\\<wbr>".join(_text(part) for part in str(value).split("\\"))


def _plural(count, word, plural=None):
    return f"{count} {word if count == 1 else plural or word + 's'}"


def _page(findings, tables, facts, wine, date, shots):
    name, size, sha256 = facts
    rows = [row for table in tables for row in table.rows]
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en">',
        "<head>",
        '<meta charset="utf-8">',
        f'<meta name="generator" content="{GENERATOR}">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>Preview of {_text(name)}</title>",
        f"<style>{STYLE}</style>",
        "</head>",
        "<body>",
        "<header>",
        f'<h1>Preview of <span class="file">{_text(name)}</span></h1>',
        '<dl class="facts">',
        f"<div><dt>Launcher</dt><dd>{_text(name)}, {size:,} bytes</dd></div>",
        f'<div><dt>SHA-256</dt><dd><code class="digest">{sha256}</code></dd></div>',
        f"<div><dt>Wine</dt><dd>{_text(wine)}</dd></div>",
        f'<div><dt>Date</dt><dd><time datetime="{date.isoformat(timespec="seconds")}">'
        f'{date.strftime("%Y-%m-%d %H:%M")} {_text(date.strftime("%Z") or date.strftime("%z"))}</time></dd></div>',
        "</dl>",
        _summary(rows),
        "</header>",
        "<main>",
        _findings(findings),
    ]
    if tables:
        parts.append(LEGEND)
    parts += [_table(table, shots) for table in tables]
    parts += ["</main>", "</body>", "</html>", ""]
    return "\n".join(parts)


def _summary(rows):
    wrong = sum(row.wrong for row in rows)
    modelled = sum(row.modelled for row in rows)
    problems = sum(bool(row.problem) for row in rows)
    items = [f'<span class="count">{_plural(len(rows), "row")}</span>',
             f'<span class="pill {"wrong" if wrong else "ok"}">{"&#x2716;" if wrong else "&#x2714;"} '
             f'{wrong} went wrong</span>']
    if modelled:
        items.append(f'<span class="pill modelled">&#x25C7; {modelled} modelled, not run</span>')
    if problems:
        items.append(f'<span class="pill problem">&#x26A0; {_plural(problems, "run problem")}</span>')
    return f'<p class="summary">{" ".join(items)}</p>'


def _findings(findings):
    parts = ['<section id="findings">', "<h2>Check of the distribution</h2>"]
    if not findings:
        parts.append(f'<p class="clean">&#x2714; {_text(check_kit.format_text(findings))}</p>')
    else:
        parts.append('<p class="counts">' + " ".join(
            f'<span class="sev {severity}">{SEVERITY_MARKS[severity]} '
            f'{_plural(count, severity, "info" if severity == check_kit.INFO else None)}</span>'
            for severity, count in check_kit.severity_counts(findings).items() if count) + "</p>")
        parts.append('<table class="findings"><thead><tr><th>Severity</th><th>Path</th><th>Finding</th>'
                     "</tr></thead><tbody>")
        order = {severity: i for i, severity in enumerate(check_kit.SEVERITIES)}
        for finding in sorted(findings, key=lambda f: order.get(f.severity, len(order))):
            item = finding.as_dict()
            severity = _text(item["severity"])
            parts.append(
                f'<tr data-severity="{severity}"><td><span class="sev {severity}">'
                f'{SEVERITY_MARKS.get(item["severity"], "")} {severity}</span></td>'
                f'<td><code class="path">{_path(item["path"])}</code></td><td>{_text(item["message"])}</td></tr>')
        parts.append("</tbody></table>")
        parts.append(f"<details><summary>As text</summary><pre>{_text(check_kit.format_text(findings))}</pre>"
                     "</details>")
    parts.append("</section>")
    return "\n".join(parts)


LEGEND = (
    '<p class="legend">'
    '<span class="pill wrong">&#x2716; Wrong</span> went wrong for the distribution &nbsp; '
    '<span class="pill modelled">&#x25C7; Modelled</span> a Windows Wine cannot be: worked out, not run &nbsp; '
    '<span class="pill problem">&#x26A0; Run problem</span> the run itself failed, not the launcher</p>')


def _table(table, shots):
    wrong = sum(row.wrong for row in table.rows)
    note = _plural(len(table.rows), "row") + (f", {wrong} went wrong" if wrong else "")
    parts = [f'<section class="windows" id="windows-{table.windows}" data-windows="{table.windows}">',
             f'<h2>{_text(table.title)} <span class="note">{note}</span></h2>',
             '<table class="runs"><thead><tr><th class="result">Result</th><th class="release">Release</th>'
             '<th class="arch">PROCESSOR_<wbr>ARCHITECTURE</th><th class="installer">Installer started</th>'
             '<th>Boxes, in order</th><th class="exit">Exit</th></tr></thead><tbody>']
    parts += [_row(table.windows, row, shots) for row in table.rows]
    parts.append("</tbody></table></section>")
    return "\n".join(parts)


def _row(windows, row, shots):
    attributes = f'data-release="{_text(row.release)}" data-windows="{windows}" data-arch="{_text(row.arch)}"'
    classes = []
    marks = []
    if row.wrong:
        attributes += ' data-wrong="1"'
        classes.append("wrong")
        marks.append('<span class="pill wrong">&#x2716; Wrong</span>')
    if row.modelled:
        attributes += ' data-modelled="1"'
        classes.append("modelled")
        marks.append('<span class="pill modelled" title="Wine cannot be this Windows: the row is worked out, '
                     'not run">&#x25C7; Modelled, not run</span>')
    if row.problem:
        attributes += ' data-problem="1"'
        classes.append("problem")
        marks.append('<span class="pill problem">&#x26A0; Run problem</span>')
    if not marks:
        marks.append('<span class="pill ok">&#x2714; OK</span>')
    if classes:
        attributes += f' class="{" ".join(classes)}"'

    name = RELEASE_NAMES.get(row.release)
    release = (f'<span class="release">{_text(name)}</span> <code class="wine-name">{_text(row.release)}</code>'
               if name else f'<span class="release">{_text(row.release)}</span>')
    if row.installer:
        installer = f'<code class="path">{_path(row.installer)}</code>'
        if row.bits:
            installer += f' <span class="bits">{_text(row.bits)}-bit</span>'
    else:
        installer = '<span class="none">none</span>'
        if row.why_none:
            installer += f'<div class="why">{_path(row.why_none)}</div>'
    problem = (f'<div class="problem-text"><strong>&#x26A0; Run problem:</strong> {_text(row.problem)}</div>'
               if row.problem else "")
    exit_code = ('<span class="none" title="no exit code">&#x2014;</span>' if row.exit_code is None
                 else _text(row.exit_code))
    return (f"<tr {attributes}>"
            f'<td class="result">{"".join(marks)}</td>'
            f"<td>{release}</td>"
            f'<td><code class="arch">{_text(row.arch)}</code></td>'
            f"<td>{installer}</td>"
            f"<td>{_boxes(row.boxes, shots)}{problem}</td>"
            f'<td class="exit">{exit_code}</td></tr>')


def _boxes(boxes, shots):
    if not boxes:
        return '<span class="none">none</span>'
    items = []
    for box in boxes:
        text = _text(box.text)
        shot = shots.add(box.screenshot) if box.screenshot else (None, "no screenshot")
        if shot[0]:
            source, width, height = shot
            items.append(f'<li class="box"><figure><img src="{_text(source)}" width="{width}" height="{height}" '
                         f'alt="{text}"><figcaption>{text}</figcaption></figure></li>')
        else:
            items.append(f'<li class="box no-shot"><figure><div class="box-text">{text}</div>'
                         f'<figcaption class="note">{_text(shot[1])}</figcaption></figure></li>')
    return f'<ol class="boxes">{"".join(items)}</ol>'


STYLE = """
:root { color-scheme: light; --ink: #1f2328; --muted: #59636e; --line: #d1d9e0; --zebra: #f6f8fa;
  --wrong: #b42318; --wrong-bg: #fdecea; --warn: #9a5b00; --warn-bg: #fff4e0; --info: #175cd3;
  --info-bg: #eaf1fd; --ok: #1a7f37; --ok-bg: #e7f5ea; --problem: #6e40c9; --problem-bg: #f1ebfc; }
* { box-sizing: border-box; }
body { margin: 0; padding: 24px 32px 48px; font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto,
  "Noto Sans", "DejaVu Sans", sans-serif; color: var(--ink); background: #fff; }
header, main { max-width: 1400px; margin: 0 auto; }
h1 { font-size: 20px; margin: 0 0 8px; font-weight: 600; }
h1 .file { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace; }
h2 { font-size: 16px; margin: 28px 0 8px; font-weight: 600; }
h2 .note { font-weight: 400; color: var(--muted); font-size: 13px; margin-left: 8px; }
code { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace; font-size: 12.5px; }
.facts { display: flex; flex-wrap: wrap; gap: 4px 28px; margin: 0 0 12px; color: var(--muted); }
.facts div { display: flex; gap: 6px; }
.facts dt { font-weight: 600; color: var(--ink); }
.facts dd { margin: 0; overflow-wrap: anywhere; }
.summary, .counts, .legend { display: flex; flex-wrap: wrap; align-items: center; gap: 8px; margin: 8px 0; }
.legend { color: var(--muted); font-size: 13px; gap: 6px; }
.count { font-weight: 600; }
.pill, .sev { display: inline-block; padding: 1px 8px; border-radius: 10px; font-size: 12px; font-weight: 600;
  white-space: nowrap; border: 1px solid transparent; }
.pill.ok { color: var(--ok); background: var(--ok-bg); }
.pill.wrong { color: #fff; background: var(--wrong); }
.pill.modelled { color: var(--muted); background: #fff; border: 1px dashed var(--muted); }
.pill.problem { color: var(--problem); background: var(--problem-bg); border-color: var(--problem); }
.sev.error { color: #fff; background: var(--wrong); }
.sev.warning { color: var(--warn); background: var(--warn-bg); border-color: #e6b35c; }
.sev.info { color: var(--info); background: var(--info-bg); }
.clean { color: var(--ok); font-weight: 600; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; vertical-align: top; padding: 7px 10px; border-bottom: 1px solid var(--line); }
th { font-size: 12px; font-weight: 600; color: var(--muted); background: #eef1f4; border-bottom: 2px solid var(--line);
  white-space: nowrap; }
tbody tr:nth-child(even) { background: var(--zebra); }
/* The same columns in every table; the boxes take what is left. */
th.result { width: 10em; } th.release { width: 13em; } th.arch { width: 8em; white-space: normal; }
th.installer { width: 17em; }
td.result { white-space: nowrap; }
td.result .pill { display: block; width: max-content; margin-bottom: 3px; }
td.exit, th.exit { text-align: right; width: 4em; font-family: ui-monospace, "DejaVu Sans Mono", monospace; }
tr.wrong, tbody tr.wrong:nth-child(even) { background: var(--wrong-bg); }
tr.wrong td:first-child { box-shadow: inset 4px 0 0 var(--wrong); }
tr.modelled { background: repeating-linear-gradient(135deg, #fff 0 8px, #f3f4f6 8px 16px); }
tr.modelled td { color: var(--muted); }
tr.modelled td:first-child { box-shadow: inset 4px 0 0 #8c959f; }
tr.problem td:first-child { box-shadow: inset 4px 0 0 var(--problem); }
tr.wrong.problem td:first-child { box-shadow: inset 4px 0 0 var(--wrong), inset 8px 0 0 var(--problem); }
.release { font-weight: 600; white-space: nowrap; }
.wine-name { display: block; color: var(--muted); }
.path { overflow-wrap: anywhere; }
.bits { display: inline-block; font-size: 11px; font-weight: 600; color: var(--info); background: var(--info-bg);
  padding: 0 6px; border-radius: 4px; margin-left: 4px; white-space: nowrap; }
.none { color: var(--muted); }
.why { color: var(--muted); font-size: 13px; overflow-wrap: anywhere; }
tr.wrong .why { color: var(--wrong); font-weight: 600; }
.boxes { list-style: none; margin: 0; padding: 0; display: flex; flex-wrap: wrap; gap: 12px; counter-reset: box; }
.box { counter-increment: box; }
.box figure { margin: 0; }
.box img { display: block; max-width: none; border: 1px solid var(--line); box-shadow: 0 1px 3px rgba(0,0,0,.12); }
.box figcaption { font-size: 12.5px; margin-top: 3px; white-space: pre-wrap; overflow-wrap: anywhere; }
.box figcaption::before { content: counter(box) ". "; color: var(--muted); }
.box-text { white-space: pre-wrap; overflow-wrap: anywhere; padding: 6px 10px; border: 1px dashed var(--muted);
  background: #fff; max-width: 40em; }
.box-text::before { content: counter(box) ". "; color: var(--muted); }
.no-shot figcaption.note { color: var(--muted); font-style: italic; }
.no-shot figcaption.note::before { content: none; }
.problem-text { margin-top: 8px; padding: 4px 8px; color: var(--problem); background: var(--problem-bg);
  border-left: 3px solid var(--problem); overflow-wrap: anywhere; }
.findings td:first-child { width: 1%; white-space: nowrap; }
details { margin-top: 8px; color: var(--muted); }
details pre { color: var(--ink); background: var(--zebra); padding: 8px; overflow-x: auto; font-size: 12px; }
"""
