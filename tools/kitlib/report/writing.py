"""The preview's HTML report: what it shows (the check's findings, then a
table per Windows with each run's verdict, the installer started, the boxes
shown and the exit code) as plain data, and the writing of the report's
folder, index.html beside its shots/, so that it never replaces anything
but an earlier report. The page itself is drawn by page.py from a
template."""
import dataclasses
import datetime
import hashlib
import os

from kitlib.model import Finding
from kitlib.model.verdicts import VERDICTS
from kitlib.outputs import replaceable, staging
from kitlib.report import page as report_page, shots as report_shots

WINDOWS = {"32": "32-bit Windows", "64": "64-bit Windows", "cd": "From a CD-ROM drive"}


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
    verdict: str                # one of VERDICTS
    modelled: bool = False      # a Windows Wine cannot be: worked out, not run
    problem: str = ""           # what went wrong with the run itself (not the launcher)
    reason: str = ""            # why a started installer is a fault: Windows will not load it there


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
        for row in table.rows:
            if row.verdict not in VERDICTS:
                raise ValueError(f"{row.release} {row.arch}: the verdict is {row.verdict!r}, "
                                 f"not one of {', '.join(VERDICTS)}")
    findings = [_finding(finding) for finding in findings]
    _check_replaceable(folder)
    facts = _launcher_facts(launcher)
    date = (date or datetime.datetime.now()).astimezone()

    os.makedirs(os.path.dirname(folder), exist_ok=True)
    with staging.folder_beside(folder, prefix=f".{os.path.basename(folder)}.new-") as staged:
        page = report_page.render(findings, tables, facts, wine, date, report_shots.Shots(staged),
                                  replaceable.REPORT_GENERATOR)
        with open(os.path.join(staged, replaceable.REPORT_PAGE), "w", encoding="utf-8") as out:
            out.write(page)
            out.flush()
            os.fsync(out.fileno())
    return os.path.join(folder, replaceable.REPORT_PAGE)


def _check_replaceable(folder):
    why = replaceable.report(folder, ship=False)
    if why:
        raise ReportError(f"{folder} {why}")


def _launcher_facts(launcher):
    """(file name, size, SHA-256) of the launcher the report is about."""
    digest = hashlib.sha256()
    size = 0
    with open(launcher, "rb") as program:
        for chunk in iter(lambda: program.read(1 << 16), b""):
            digest.update(chunk)
            size += len(chunk)
    return os.path.basename(launcher), size, digest.hexdigest()


def _finding(finding):
    """A check's finding, also from its JSON form."""
    if isinstance(finding, dict):
        return Finding(finding["path"], finding["severity"], finding["message"])
    return finding
