"""What an output may replace: nothing, or an output of the same kind from
an earlier run; never the kit, the folder that holds it, or a file the work
reads (the settings, the certificate, the key, the password file). Asked
before any work starts, so that a refusal changes nothing. Each answer is
None or the rest of one line: "PATH " + answer."""
import json
import os
import stat

from kitlib.model.kit import is_launcher
from kitlib.model.names import inside

# Where every ISO 9660 image says what it is: the primary volume
# descriptor's standard identifier, in the sector after the 32 KB system area.
ISO_SIGNATURE_AT = 0x8001
ISO_SIGNATURE = b"CD001"
# ship's report: the first line of its ship.txt.
SHIP_REPORT, SHIP_REPORT_HEAD = "ship.txt", "kit ship "
# The preview's report: its page's generator, which marks the folder as one.
REPORT_GENERATOR = "launcher-preview-report"
REPORT_PAGE = "index.html"
# The preview's JSON: the value of its "generator" key.
JSON_GENERATOR = "launcher-preview-json"


def is_iso(path):
    try:
        with open(path, "rb") as f:
            f.seek(ISO_SIGNATURE_AT)
            return f.read(len(ISO_SIGNATURE)) == ISO_SIGNATURE
    except OSError:
        return False


def is_preview_report(folder):
    """Whether folder holds a report the preview wrote."""
    try:
        with open(os.path.join(folder, REPORT_PAGE), encoding="utf-8", errors="replace") as page:
            head = page.read(4096)
    except OSError:
        return False
    return f'<meta name="generator" content="{REPORT_GENERATOR}">' in head


def is_preview_json(path):
    """Whether path holds a JSON document the preview wrote."""
    try:
        with open(path, encoding="utf-8") as f:
            found = json.load(f)
    except (OSError, ValueError):
        return False
    return isinstance(found, dict) and found.get("generator") == JSON_GENERATOR


def is_report(folder, ship=True):
    """Whether folder holds a report of preview's or (with ship) ship's."""
    if is_preview_report(folder):
        return True
    if not ship:
        return False
    try:
        with open(os.path.join(folder, SHIP_REPORT), encoding="utf-8", errors="replace") as f:
            return f.readline().startswith(SHIP_REPORT_HEAD)
    except OSError:
        return False


def _file(path, is_kind, kind):
    """Why a file output may not replace path, or None: only a regular file
    that is_kind recognises as an earlier one (kind, as the refusal says it)."""
    if not os.path.lexists(path):
        return None
    if os.path.isdir(path):
        return "is a folder: name the file"
    if not stat.S_ISREG(os.stat(path).st_mode):
        return "is not a regular file: not replacing it"
    return None if is_kind(path) else f"exists and is not {kind}: not replacing it"


def image(path):
    """Why the image may not be written at path, or None."""
    return _file(path, is_iso, "an ISO image")


def preview_json(path):
    """Why the preview's JSON may not be written at path, or None."""
    return _file(path, is_preview_json, "an earlier preview's JSON")


def launcher(path):
    """Why a branded launcher may not be written at path, or None."""
    return _file(path, is_launcher, "a build of this launcher")


def report(folder, ship=True):
    """Why a report may not be written in folder, or None; without ship,
    only a report of preview's may be replaced."""
    if not os.path.lexists(folder):
        return None
    if not os.path.isdir(folder):
        return "exists and is not a folder"
    if os.listdir(folder) and not is_report(folder, ship):
        return "holds files that are not an earlier report: not replacing them"
    return None


def owned(output, own, folder=False):
    """Why output would replace one of own, a list of (what, path), or a
    folder holding one: None when it replaces none."""
    for what, path in own:
        if path is None:
            continue
        if _same(output, path):
            return f"is {what}: not replacing it"
        if folder and inside(path, output):
            return f"holds {what}: not replacing it"
    return None


def _same(one, other):
    if os.path.realpath(one) == os.path.realpath(other):
        return True
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False

