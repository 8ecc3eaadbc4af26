"""The preview of a distribution made of ordinary programs (not the project's
recording stand-ins), with the launcher renamed setup.exe and one installer
missing: the scratch copy it runs, which stand-in stands where and what stays
missing (test_slot, test_copy: no Wine), and tools/kit preview KIT --matrix
under Wine, both tables row by row (test_matrix_*: skipped where the machine
cannot run 32-bit programs). Each checks that KIT is byte for byte unchanged.
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "tools"))
import samples  # noqa: E402  (settles the interpreter for pefile)

sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import paths  # noqa: E402
import stand_in_kit  # noqa: E402
import windows  # noqa: E402
import wine  # noqa: E402

WIN98, ME, W2K, XP, VISTA32, VISTA64 = windows.INSTALLERS


def tree_digest(folder):
    """Every name, kind, mode and content below folder, in one hash."""
    digest = hashlib.sha256()
    for here, folders, files in sorted(os.walk(folder)):
        folders.sort()
        for name in sorted(folders + files):
            path = os.path.join(here, name)
            status = os.lstat(path)
            digest.update(f"{os.path.relpath(path, folder)}\0{status.st_mode}\0{status.st_mtime_ns}\0".encode())
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    digest.update(f.read())
    return digest.hexdigest()


PROGRAMS = {
    "i686": lambda: samples.build("i686", "gui"),
    "x86_64": lambda: samples.build("x86_64", "gui"),
    "arm64": lambda: samples.patched(samples.build("x86_64", "gui"), samples.machine_offset, 0xAA64, "<H"),
}


def ordinary_kit(kit, files):
    """A kit of ordinary GUI programs: {path: a name in PROGRAMS or bytes},
    the launcher as setup.exe."""
    layout = {"setup.exe": samples.LAUNCHER_EXE}
    for path, what in files.items():
        layout[path] = what if isinstance(what, bytes) else PROGRAMS[what]()
    return samples.lay_out(kit, layout)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# -- the scratch copy ----------------------------------------------------

# One table per layout decision: (row, what the kit holds there, the path
# laid in the copy or None, its stand-in's bitness, why nothing runs), one
# kit each; an ARM64 program takes the x64 row, so it has a kit of its own.
KITS = {
    "six rows": [
        ("i686 program", WIN98, "i686", WIN98, "32", ""),
        ("missing", ME, None, None, None, f"missing: {ME}"),
        ("name differs in case", W2K, ("Autoinst\\WIN2K\\Inst2k.EXE", "i686"), "Autoinst\\WIN2K\\Inst2k.EXE", "32",
         ""),
        ("misspelt folder", XP, ("Autoinst\\win_xp\\instxp.exe", "i686"), None, None, f"missing: {XP}"),
        ("not a program", VISTA32, b"MZ but no more", VISTA32, None, "not a program: "),
        ("x86_64 program", VISTA64, "x86_64", VISTA64, "64", ""),
    ],
    "arm64": [
        ("arm64 program", VISTA64, "arm64", VISTA64, None, "ARM64 program on an x64 Windows"),
    ],
}
SLOTS = [(kit,) + row for kit, rows in KITS.items() for row in rows]


@pytest.fixture(scope="module")
def laid(tmp_path_factory):
    """Each kit of KITS laid out once: {kit: (its folder, its digest before,
    the copy, the layout)}."""
    done = {}
    for name, rows in KITS.items():
        work = str(tmp_path_factory.mktemp(name.replace(" ", "_")))
        files = {}
        for _, row, held, *_ in rows:
            if held is not None:
                path, what = held if isinstance(held, tuple) else (row, held)
                files[path] = what
        kit = ordinary_kit(os.path.join(work, "kit"), files)
        before = tree_digest(kit)
        copy = os.path.join(work, "copy")
        done[name] = (kit, before, copy, stand_in_kit.lay(kit, copy))
    return done


@pytest.mark.parametrize("kit, row, slot, held, path, bits, why", SLOTS, ids=[row[1] for row in SLOTS])
def test_slot(laid, kit, row, slot, held, path, bits, why):
    copy, layout = laid[kit][2:]
    found = layout.slots[slot]
    assert (found.bits, found.why[:len(why)], found.found) == (bits, why, path)
    if path is not None:
        placed = read(os.path.join(copy, *path.split("\\")))
        if bits:
            assert placed == read(paths.STAND_IN64 if bits == "64" else paths.STAND_IN), "not the stand-in"
        else:
            assert placed == stand_in_kit.NOT_A_PROGRAM


@pytest.mark.parametrize("kit", KITS)
def test_copy(laid, kit):
    """The launcher under its own name, nothing but what was laid, the kit as it was."""
    folder, before, copy, layout = laid[kit]
    assert layout.program == "setup.exe"
    assert read(os.path.join(copy, "setup.exe")) == read(samples.LAUNCHER_EXE)
    assert sum(len(files) for _, _, files in os.walk(copy)) == 1 + sum(1 for row in KITS[kit] if row[3])
    assert tree_digest(folder) == before, "the kit changed"


# -- the preview under Wine ---------------------------------------------------

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
    kit = ordinary_kit(os.path.join(tmp_path_factory.mktemp("matrix"), "my kit"), MATRIX_KIT)
    before = tree_digest(kit)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "kit"), "preview", kit, "--matrix",
                             "--xvfb"], capture_output=True, text=True, timeout=1200)
    print(result.stdout)
    print(result.stderr, file=sys.stderr)
    return found, result, tree_digest(kit) == before


def test_matrix_run(matrix):
    _, result, unchanged = matrix
    assert (result.returncode, unchanged) == (0, True), "(exit code, kit unchanged)"
    assert "no installer recorded a run" not in result.stderr, "the preview lost a run of an installer"


@pytest.mark.parametrize("bits", EXPECTED)
def test_matrix_table(matrix, bits):
    found, result, _ = matrix
    expected = [row[:4] + ("0",) + row[4:] for row in EXPECTED[bits] if found.knows(row[0]) or "modelled" in row[1]]
    assert parse_tables(result.stdout).get(bits, []) == expected
