"""The preview of a distribution made of ordinary programs (not the project's
recording stand-ins), with the launcher renamed setup.exe and one installer
missing.

  test_preview.py layout   the scratch copy the preview runs: which stand-in
                           stands where, what stays missing (no Wine)
  test_preview.py matrix   tools/kit preview KIT --matrix under Wine: both
                           tables, row by row (exit 77: skipped where the
                           machine cannot run 32-bit programs)
Both check that KIT is byte-for-byte unchanged afterwards.
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "tools"))
import samples  # noqa: E402  (settles the interpreter for pefile)

sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import paths  # noqa: E402
import stand_in_kit  # noqa: E402
import windows  # noqa: E402
import wine  # noqa: E402

WIN98, ME, W2K, XP, VISTA32, VISTA64 = windows.INSTALLERS
SKIPPED = 77


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


def ordinary_kit(kit, files):
    """A kit of ordinary GUI programs: {path: "i686" | "x86_64" | bytes}, the
    launcher as setup.exe."""
    layout = {"setup.exe": samples.LAUNCHER_EXE}
    for path, what in files.items():
        layout[path] = what if isinstance(what, bytes) else samples.build(what, "gui")
    return samples.lay_out(kit, layout)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# -- the scratch copy ----------------------------------------------------

ARM64 = samples.patched(samples.build("x86_64", "gui"), samples.machine_offset, 0xAA64, "<H")

# One table per layout decision: (row, what the kit holds there, the path
# laid in the copy or None, its stand-in's bitness, why nothing runs).
LAYOUT_CASES = [
    ("i686 program", WIN98, "i686", WIN98, "32", ""),
    ("missing", ME, None, None, None, f"missing: {ME}"),
    ("name differs in case", W2K, ("Autoinst\\WIN2K\\Inst2k.EXE", "i686"), "Autoinst\\WIN2K\\Inst2k.EXE", "32", ""),
    ("misspelt folder", XP, ("Autoinst\\win_xp\\instxp.exe", "i686"), None, None, f"missing: {XP}"),
    ("not a program", VISTA32, b"MZ but no more", VISTA32, None, "not a program: "),
    ("x86_64 program", VISTA64, "x86_64", VISTA64, "64", ""),
]
ARM64_CASE = ("arm64 program", VISTA64, ARM64, VISTA64, None, "ARM64 program on an x64 Windows")


def check_layout():
    errors = []
    with tempfile.TemporaryDirectory() as work:
        for cases in (LAYOUT_CASES, [ARM64_CASE]):
            kit = os.path.join(work, f"kit{len(cases)}")
            files = {}
            for _, row, held, *_ in cases:
                if held is None:
                    continue
                path, what = held if isinstance(held, tuple) else (row, held)
                files[path] = read(what) if isinstance(what, str) and os.path.isfile(what) else what
            ordinary_kit(kit, files)
            before = tree_digest(kit)
            copy = os.path.join(work, f"copy{len(cases)}")
            layout = stand_in_kit.lay(kit, copy)

            def compare(what, actual, expected, name):
                if actual != expected:
                    errors.append(f"{what}: got {actual!r}, expected {expected!r}  [row {name}]")

            compare("launcher", layout.program, "setup.exe", "launcher")
            compare("launcher's copy", read(os.path.join(copy, "setup.exe")), read(samples.LAUNCHER_EXE), "launcher")
            for name, row, _, laid, bits, why in cases:
                slot = layout.slots[row]
                compare("bitness", slot.bits, bits, name)
                compare("why nothing runs", slot.why[:len(why)], why, name)
                if laid is None:
                    compare("laid", slot.found, None, name)
                    continue
                compare("found", slot.found, laid, name)
                placed = os.path.join(copy, *laid.split("\\"))
                if bits:
                    stand_in = paths.STAND_IN64 if bits == "64" else paths.STAND_IN
                    compare("stand-in laid", read(placed) == read(stand_in), True, name)
                else:
                    compare("placeholder laid", read(placed), stand_in_kit.NOT_A_PROGRAM, name)
            expected_files = 1 + sum(1 for case in cases if case[3])
            laid_files = sum(len(files) for _, _, files in os.walk(copy))
            compare("files in the copy", laid_files, expected_files, "copy")
            compare("kit unchanged", tree_digest(kit), before, "kit")
    return errors


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


def check_matrix():
    try:
        found = wine.find_wine()
        with tempfile.TemporaryDirectory() as scratch:
            found.check_runs_32bit(scratch)
    except wine.WineError as error:
        print(f"test_preview: skipped: {error}", file=sys.stderr)
        return None
    errors = []
    with tempfile.TemporaryDirectory() as work:
        kit = ordinary_kit(os.path.join(work, "my kit"), MATRIX_KIT)
        before = tree_digest(kit)
        result = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "kit"), "preview", kit, "--matrix",
                                 "--xvfb"], capture_output=True, text=True, timeout=1200)
        print(result.stdout)
        print(result.stderr, file=sys.stderr)
        if result.returncode != 0:
            errors.append(f"preview exit code: got {result.returncode}, expected 0")
        if tree_digest(kit) != before:
            errors.append("the kit changed")
    tables = parse_tables(result.stdout)
    for bits, rows in EXPECTED.items():
        expected = [row[:4] + ("0",) + row[4:] for row in rows if found.knows(row[0]) or "modelled" in row[1]]
        got = tables.get(bits, [])
        if len(got) != len(expected):
            errors.append(f"{bits}-bit table: got {len(got)} rows, expected {len(expected)}")
        for actual, wanted in zip(got, expected):
            if actual != wanted:
                errors.append(f"got {actual}, expected {wanted}  [row {bits}-bit {wanted[0]} {wanted[1]}]")
    if "no installer recorded a run" in result.stderr:
        errors.append("the preview lost a run of an installer")
    return errors


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else ""
    checks = {"layout": check_layout, "matrix": check_matrix}
    if mode not in checks:
        sys.exit("usage: test_preview.py layout|matrix")
    errors = checks[mode]()
    if errors is None:
        return SKIPPED
    for error in errors:
        print(error)
    print(f"{mode}: {'FAIL' if errors else 'ok'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
