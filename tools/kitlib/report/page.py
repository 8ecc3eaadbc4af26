"""Draws the report's page from templates/report.html, with the style of
templates/report.css inlined, so that index.html and its shots/ are all
there is: the page loads nothing from anywhere else and runs no script.
Every text on it may come from a distribution (box texts, file names): the
template escapes each one, and control characters or a file name's
undecodable bytes show as escapes rather than breaking the page."""
import os
import re

import jinja2
from markupsafe import Markup

from kitlib.model import findings as checked, windows

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")

SEVERITY_MARKS = {checked.ERROR: "\u2716", checked.WARNING: "\u25b2", checked.INFO: "\u2139"}

_UNPRINTABLE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")


def printable(value):
    """value as text a page can hold: control characters as \\xNN, a file
    name's undecodable bytes as \\udcNN. Markup is the template's own."""
    if isinstance(value, Markup):
        return value
    value = _UNPRINTABLE.sub(lambda m: f"\\x{ord(m.group()):02x}", str(value))
    return value.encode("utf-8", "backslashreplace").decode("utf-8")


def windows_path(value):
    """A Windows path that wraps after its backslashes, not inside a name."""
    return Markup("\\<wbr>").join(printable(part) for part in str(value).split("\\"))


def plural(count, word, many=None):
    return f"{count} {word if count == 1 else many or word + 's'}"


_ENVIRONMENT = jinja2.Environment(
    loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True, finalize=printable,
    undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True, keep_trailing_newline=True)
_ENVIRONMENT.filters.update(path=windows_path, plural=plural)


def render(findings, tables, facts, wine, date, shots, generator):
    """The page's HTML, marked as made by generator; shots copies each
    screenshot beside it."""
    name, size, sha256 = facts
    rows = [row for table in tables for row in table.rows]
    style, _, _ = _ENVIRONMENT.loader.get_source(_ENVIRONMENT, "report.css")
    return _ENVIRONMENT.get_template("report.html").render(
        generator=generator, style=Markup(style), name=name, size=f"{size:,}", sha256=sha256, wine=wine,
        date_iso=date.isoformat(timespec="seconds"), date=date.strftime("%Y-%m-%d %H:%M"),
        zone=date.strftime("%Z") or date.strftime("%z"),
        counts=_counts(rows), findings=_findings(findings),
        tables=[_table(table, shots) for table in tables])


def _counts(rows):
    def count(verdict):
        return sum(row.verdict == verdict for row in rows)
    return {"rows": len(rows), "faults": count("fault"), "starts": count("starts"),
            "served": len(rows) - count("not-served"), "not_served": count("not-served"),
            "problems": count("run-problem"), "modelled": sum(row.modelled for row in rows)}


def _findings(findings):
    order = {severity: i for i, severity in enumerate(checked.SEVERITIES)}
    counts = [(severity, SEVERITY_MARKS[severity],
               plural(count, severity, "info" if severity == checked.INFO else None))
              for severity, count in checked.severity_counts(findings).items() if count]
    items = [dict(finding.as_dict(), mark=SEVERITY_MARKS.get(finding.severity, ""))
             for finding in sorted(findings, key=lambda f: order.get(f.severity, len(order)))]
    return {"counts": counts, "items": items, "text": checked.format_text(findings)}


def _table(table, shots):
    return {"windows": table.windows, "title": table.title,
            "faults": sum(row.verdict == "fault" for row in table.rows),
            "rows": [_row(row, shots) for row in table.rows]}


def _row(row, shots):
    boxes = []
    for box in row.boxes:
        shot = shots.add(box.screenshot) if box.screenshot else (None, "no screenshot")
        if shot[0]:
            boxes.append({"text": box.text, "src": shot[0], "width": shot[1], "height": shot[2]})
        else:
            boxes.append({"text": box.text, "src": None, "note": shot[1]})
    return {"row": row, "name": windows.NAMES.get(row.release), "boxes": boxes,
            "classes": " ".join([row.verdict] + ["modelled"] * row.modelled)}
