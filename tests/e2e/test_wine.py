"""The decisions of the Wine machinery that need no Wine: which prefix is of
which bitness, whether this machine runs 32-bit programs natively, where a
path lies for the programs of a CD-ROM session, what a run writes into the
registry and what a stand-in's record says. One table per decision; every
failure prints the row, the actual and the expected value.
"""
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import wine  # noqa: E402
from wine import AS_IS, X64, X86, Machine  # noqa: E402

errors = []


def compare(what, actual, expected, row):
    if actual != expected:
        errors.append(f"{what}: got {actual!r}, expected {expected!r}  [row {row}]")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


# system.reg's head as Wine writes it -> the bitness the prefix is used as.
HEAD = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n"
PREFIX_CASES = [
    ("32-bit", HEAD + "#arch=win32\n\n[Software] 1\n", "win32"),
    ("64-bit", HEAD + "#arch=win64\n\n[Software] 1\n", "win64"),
    # Older Wine wrote no arch line: not known to be 32-bit, so rebuilt.
    ("no arch line", HEAD + "[Software] 1\n#arch=win32\n", None),
    ("empty", "", None),
    ("no system.reg", None, None),
]


def check_prefix_arch(work):
    for name, text, expected in PREFIX_CASES:
        prefix = os.path.join(work, "prefix-" + name.replace(" ", "_"))
        os.makedirs(prefix)
        if text is not None:
            write(os.path.join(prefix, "system.reg"), text)
        compare("prefix_arch", wine.prefix_arch(prefix), expected, name)


# binfmt_misc entries -> the emulator that runs 32-bit x86 programs, if any.
I386_MAGIC = "7f454c4601010100000000000000000002000300"
ARM_MAGIC = "7f454c4601010100000000000000000002002800"
EMULATOR_CASES = [
    ("qemu-i386 enabled", [("qemu-i386", "enabled", I386_MAGIC)], "/usr/libexec/qemu-binfmt/i386"),
    ("qemu-i386 disabled", [("qemu-i386", "disabled", I386_MAGIC)], None),
    ("only another machine", [("qemu-arm", "enabled", ARM_MAGIC)], None),
    ("none", [], None),
]


def check_emulator(work):
    for name, entries, expected in EMULATOR_CASES:
        folder = os.path.join(work, "binfmt-" + name.replace(" ", "_"))
        os.makedirs(folder)
        write(os.path.join(folder, "register"), "")
        write(os.path.join(folder, "status"), "enabled\n")
        for entry, state, magic in entries:
            write(os.path.join(folder, entry),
                  f"{state}\ninterpreter /usr/libexec/qemu-binfmt/{entry[5:]}\nflags: F\noffset 0\n"
                  f"magic {magic}\nmask fffffffffffefe00fffffffffffffffffeffffff\n")
        compare("i386_emulator", wine.i386_emulator(folder), expected, name)


# A host path -> the path the programs of a session with a CD-ROM see.
CD = "/tmp/the cd"
PATH_CASES = [
    ("the CD's root", CD, "D:\\"),
    ("a file on the CD", CD + "/setup.exe", "D:\\setup.exe"),
    ("a folder on the CD", CD + "/kit/Autoinst", "D:\\kit\\Autoinst"),
    ("a name with a leading dot", CD + "/.kit/setup.exe", "D:\\.kit\\setup.exe"),
    ("a sibling with the same start", CD + "x/setup.exe", "Z:\\tmp\\the cdx\\setup.exe"),
    ("elsewhere", "/tmp/kit/setup.exe", "Z:\\tmp\\kit\\setup.exe"),
]


def check_paths():
    session = wine.WineSession(cdrom=CD)
    for name, path, expected in PATH_CASES:
        compare("windows_path", session.windows_path(path), expected, name)
    plain = wine.WineSession()
    compare("windows_path without a CD", plain.windows_path(CD + "/setup.exe"), "Z:\\tmp\\the cd\\setup.exe",
            "no CD")


# A machine -> the PROCESSOR_ARCHITECTURE line under CurrentControlSet (None:
# the key is not touched) and whether ControlSet002 gets one.
ARCH_LINE = '"PROCESSOR_ARCHITECTURE"='
REGISTRY_CASES = [
    ("x86", Machine("winxp", X86), '"x86"', False),
    ("AMD64", Machine("win7", X64), '"AMD64"', False),
    ("no value", Machine("vista", None), "-", False),
    ("as Windows has it", Machine("win10", AS_IS), None, False),
    ("place 2 as well", Machine("vista", X86, X64), '"x86"', True),
]


def check_registry():
    for name, machine, place1, place2 in REGISTRY_CASES:
        text = wine.registry_text(machine)
        sections = {}
        for block in text.split("\r\n\r\n"):
            lines = block.split("\r\n")
            sections[lines[0]] = lines[1:]
        values = [line[len(ARCH_LINE):] for line in sections.get(f"[HKEY_LOCAL_MACHINE\\{wine.PLACE1}]", [])
                  if line.startswith(ARCH_LINE)]
        compare("place 1", values[0] if values else None, place1, name)
        compare("place 2 written", f"[HKEY_LOCAL_MACHINE\\{wine.PLACE2}]" in sections, place2, name)
        compare("version", sections["[HKEY_CURRENT_USER\\Software\\Wine]"], [f'"Version"="{machine.release}"'], name)
        # Wine's prefixes have none; a run's must not reach the next run.
        compare("ControlSet002 removed first", "[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]" in sections, True, name)


# A stand-in's record line -> what the run reports of it.
RECORD_CASES = [
    ("64-bit from a CD", "ran\tD:\\Autoinst\\winvista\\Vistax64\\instvs64.exe\t\"D:\\Autoinst\\winvista\\Vistax64"
     "\\instvs64.exe\" \tC:\\windows\\system32\t64\t5\n", ("64", "5", "")),
    ("32-bit, an argument", "ran\tZ:\\k\\Autoinst\\winxp\\instxp.exe\tZ:\\k\\Autoinst\\winxp\\instxp.exe /q\t"
     "Z:\\k\t32\t3\n", ("32", "3", "/q")),
]


def check_records(work):
    for name, line, (bits, drive, arguments) in RECORD_CASES:
        path = os.path.join(work, "record-" + name.replace(" ", "_").replace(",", ""))
        # Half a line, still being written, is not read.
        write(path, line + "ran\tZ:\\half")
        records = wine.records.read_record(path)
        compare("records", len(records["ran"]), 1, name)
        launch = wine.Launch(*records["ran"][0][:3], "relative", *records["ran"][0][3:])
        compare("bits", launch.bits, bits, name)
        compare("drive", launch.drive, drive, name)
        compare("arguments", launch.arguments(), arguments, name)


def main():
    with tempfile.TemporaryDirectory() as work:
        check_prefix_arch(work)
        check_emulator(work)
        check_paths()
        check_registry()
        check_records(work)
    for error in errors:
        print(error)
    print(f"test_wine: {'FAIL' if errors else 'ok'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
