"""The preview's results as JSON (`kit preview --json FILE`), what a CI job
gates on: a table per Windows, a row per run, in the words of the text
table. The distribution's installers do not run in a preview (stand-ins
start in their place), so no row has an installer's window to show."""
import json
import os

from kitlib.outputs import staging
from kitlib.outputs.replaceable import JSON_GENERATOR
# Why a row has no installer window, by whether the launcher started one.
STAND_IN_NOTE = "a stand-in ran in place of the installer: the preview does not run the distribution's installers"
NONE_STARTED_NOTE = "no installer started"


def as_data(tables):
    """The report's tables (report.Table) as the JSON document's object."""
    return {"generator": JSON_GENERATOR,
            "tables": [{"windows": table.windows, "rows": [_row(row) for row in table.rows]} for table in tables]}


def _row(row):
    return {"release": row.release, "arch": row.arch, "modelled": row.modelled,
            "started": row.installer, "bits": row.bits,
            # A run not judged has no boxes anyone can vouch for.
            "boxes": None if row.problem else [box.text for box in row.boxes],
            "exit": row.exit_code, "verdict": row.verdict,
            "reason": row.problem or row.reason or row.why_none or None,
            "installer": None,
            "installer_note": STAND_IN_NOTE if row.installer else NONE_STARTED_NOTE}


def write_json(path, tables):
    """Writes the tables to path whole, or leaves path as it was."""
    text = json.dumps(as_data(tables), indent=2, ensure_ascii=False) + "\n"
    with staging.beside(path) as partial:
        with open(partial, "w", encoding="utf-8") as f:
            f.write(text)
    return os.path.abspath(path)
