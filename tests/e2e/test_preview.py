"""tools/kit preview KIT --matrix under Wine on a distribution made of
ordinary programs (not the project's recording stand-ins), with the launcher
renamed setup.exe and one installer missing, run from a folder named outside
the code page: both tables row by row, and KIT byte for byte unchanged
(skipped where the machine cannot run 32-bit programs)."""
import json
import os
import re
import subprocess
import sys
import tempfile

import pytest

from samples import ROOT, ordinary_kit, tree_digest  # settles the interpreter for pefile
from kitlib import model, wine

WIN98, ME, W2K, XP, VISTA32, VISTA64 = model.INSTALLERS


# -- the preview under Wine ---------------------------------------------------

# Run from a folder named in scripts no ANSI code page holds together (Wine's
# is 1252 here): every row must be as from any other folder.
FOLDER = "Алексей/安装 🎮"
MATRIX_KIT = {WIN98: "i686", W2K: "i686", XP: "i686", VISTA32: "i686", VISTA64: "x86_64"}   # no ME


# The tables the preview must print for MATRIX_KIT, row by row: (release,
# PROCESSOR_ARCHITECTURE, installer started, boxes, verdict); every exit code
# is 0. A release this Wine does not know is left out, but for the modelled
# rows, which Wine runs as another release.
STARTED = {path: f"{path} (32-bit)" for path in (WIN98, W2K, XP, VISTA32)}
UNKNOWN = '"Unknow OS version", "Exec fail"'
BEFORE_NT6 = [
    ("win95", STARTED[WIN98], "none", "starts"),
    ("win98", STARTED[WIN98], "none", "starts"),
    ("winme", f"none (missing: {ME})", '"Exec fail"', "fault"),
    ("nt351", "none", UNKNOWN, "not-served"),
    ("nt40", "none", UNKNOWN, "not-served"),
    ("win2k", STARTED[W2K], "none", "starts"),
    ("winxp", STARTED[XP], "none", "starts"),
    ("winxp64", "none", UNKNOWN, "not-served"),
    ("win2003", "none", UNKNOWN, "not-served"),
]
NT6 = ("vista", "win7", "win8", "win81", "win10", "win11")
EXPECTED = {
    32: [(release, "x86", installer, boxes, verdict) for release, installer, boxes, verdict in BEFORE_NT6]
    + [(release, "x86", STARTED[VISTA32], '"VISTA32"', "starts") for release in NT6],
    64: [(release, "as is", installer, boxes, verdict) for release, installer, boxes, verdict in BEFORE_NT6]
    + [(release, "as is", f"{VISTA64} (64-bit)", '"VISTA64"', "starts") for release in NT6]
    + [("win10", "ARM64 (modelled)", f"none (64-bit program on Windows 10 on ARM, which starts no x64 program: "
        f"{VISTA64})", '"VISTA64", "Exec fail"', "fault"),
       ("win11", "ARM64 (modelled)", f"{VISTA64} (64-bit)", '"VISTA64"', "starts")],
}


def parse_tables(output):
    """{32 or 64: [(release, arch, installer, boxes, exit, verdict)]} from the preview's output."""
    tables = {}
    current = None
    for line in output.splitlines():
        title = re.match(r"(32|64)-bit Windows \(", line)
        if title:
            current = tables.setdefault(int(title.group(1)), [])
        elif current is not None and line and not line.startswith(("Release", "-------", "Launcher")):
            cells = re.split(r"\s{2,}", line.strip())
            if len(cells) == 6:
                current.append(tuple(cells))
    return tables


@pytest.fixture(scope="module")
def matrix(tmp_path_factory):
    """The preview run once on a kit of MATRIX_KIT: (the Wine found, its
    result, whether the kit stayed as it was)."""
    try:
        found = wine.find_wine()
        with tempfile.TemporaryDirectory() as scratch:
            found.check_runs_32bit(scratch)
    except wine.WineUnavailable as error:
        pytest.skip(str(error))
    folder = tmp_path_factory.mktemp("matrix")
    kit = ordinary_kit(os.path.join(folder, "my kit"), MATRIX_KIT)
    before = tree_digest(kit)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "kit"), "preview", kit, "--matrix",
                             "--xvfb", "--folder", FOLDER, "--json", os.path.join(folder, "preview.json")],
                            capture_output=True, encoding="utf-8", timeout=1200,
                            env=dict(os.environ, PYTHONIOENCODING="utf-8"))
    print(result.stdout)
    print(result.stderr, file=sys.stderr)
    result.json = os.path.join(folder, "preview.json")
    return found, result, tree_digest(kit) == before


def test_matrix_run(matrix):
    _, result, unchanged = matrix
    assert (result.returncode, unchanged) == (0, True), "(exit code, kit unchanged)"
    assert "no installer recorded a run" not in result.stderr, "the preview lost a run of an installer"
    assert re.findall(r"^Launcher: .*, from a folder named (.*)$", result.stdout, re.M) == ["Алексей\\安装 🎮"] * 2
    # Cyrillic and Chinese together: no ANSI code page holds the name, so no
    # Windows 95, 98 or Me user has such a folder.
    assert re.findall(r"^Left out: (win95, win98, winme): .*$", result.stdout, re.M) == ["win95, win98, winme"] * 2


@pytest.mark.parametrize("bits", EXPECTED)
def test_matrix_table(matrix, bits):
    found, result, _ = matrix
    expected = [row[:4] + ("0",) + row[4:] for row in EXPECTED[bits]
                if (found.knows(row[0]) or "modelled" in row[1]) and row[0] not in ("win95", "win98", "winme")]
    assert parse_tables(result.stdout).get(bits, []) == expected


def test_matrix_json(matrix):
    """The JSON holds the rows the text shows, each with its verdict and boxes."""
    _, result, _ = matrix
    with open(result.json, encoding="utf-8") as f:
        found = json.load(f)
    for table in found["tables"]:
        text = parse_tables(result.stdout)[int(table["windows"])]
        shown = [(cells[0], cells[3], cells[5].split(" (")[0]) for cells in text]
        given = [(row["release"], ", ".join(f'"{box}"' for box in row["boxes"]) or "none", row["verdict"])
                 for row in table["rows"]]
        assert given == shown, f"table {table['windows']}"
