"""Checks the built Windows program: a 32-bit GUI PE that loads from Windows 95
to 11, imports only what it calls, carries no manifest and fits in 5.5 KB (its
icon and version resources, and a signature, are the distribution maker's and
not counted).

Usage (tools/dev/check_launcher.py): [--version-info] path/to/launcher.exe
       (exit 0 when every property holds; --version-info also prints the
       program's version strings)
"""
import argparse
import sys

from kitlib.pe import headers

MAX_SIZE = 5632

# DLL -> the functions the program calls from it; nothing more, nothing less.
EXPECTED_IMPORTS = {
    "ADVAPI32.DLL": {"RegOpenKeyA", "RegQueryValueExA", "RegCloseKey"},
    "KERNEL32.DLL": {"GetCommandLineA", "GetCommandLineW", "GetVersionExA", "IsDBCSLeadByte", "ExitProcess",
                     "GetModuleHandleA", "GetProcAddress", "GetVersion", "GetSystemDirectoryA",
                     "LoadLibraryExA"},
    "SHELL32.DLL":  {"ShellExecuteA"},
    "USER32.DLL":   {"MessageBoxA"},
}

# Looked up at run time: Windows 95 lacks all three, NT 4 and XP RTM the
# first two, and each would refuse to load a program that imports them.
FORBIDDEN_IMPORTS = {"SetDefaultDllDirectories", "SetDllDirectoryA", "ShellExecuteW"}


def budgeted_size(info):
    """The bytes that are ours: the file less the resources a distribution
    maker may add (icon, version) and less an Authenticode signature."""
    return info.size - info.sections.get(".rsrc", 0) - info.signature_size


def problems(info):
    """Every way the program differs from the build it should be, each as
    'what: got ..., expected ...'."""
    found = []

    def expect(what, actual, expected):
        if actual != expected:
            found.append("%s: got %s, expected %s" % (what, actual, expected))

    expect("machine", info.machine, "i386")
    expect("optional header", "PE32+" if info.pe32_plus else "PE32", "PE32")
    expect("subsystem", info.subsystem, "gui")
    expect("subsystem version", "%d.%d" % info.subsystem_version, "4.0")
    expect("OS version", "%d.%d" % info.os_version, "4.0")
    expect("manifest resource", info.has_manifest, False)
    if budgeted_size(info) > MAX_SIZE:
        found.append("size: got %d bytes (less resources and signature), expected at most %d"
                     % (budgeted_size(info), MAX_SIZE))
    imports = info.imports
    expect("DLLs imported", sorted(imports), sorted(EXPECTED_IMPORTS))
    for dll in sorted(set(imports) | set(EXPECTED_IMPORTS)):
        expect("functions from " + dll, sorted(imports.get(dll, ())), sorted(EXPECTED_IMPORTS.get(dll, ())))
    forbidden = sorted(FORBIDDEN_IMPORTS & set().union(*imports.values()))
    expect("forbidden imports", forbidden, [])
    return found


def check(path, version_info=False):
    info = headers.read(path)
    failures = problems(info)
    for failure in failures:
        print("FAIL %s: %s" % (path, failure))
    print("%s: %d bytes (%d counted); imports %s" % (path, info.size, budgeted_size(info), "; ".join(
        "%s: %s" % (dll, ", ".join(sorted(fns))) for dll, fns in sorted(info.imports.items()))))
    if version_info:
        if not info.version_strings:
            print("no version information")
        for key, value in info.version_strings.items():
            print("%s: %s" % (key, value))
    return not failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program", help="the built program, e.g. build/windows/launcher.exe")
    parser.add_argument("--version-info", action="store_true", help="print the version strings too")
    args = parser.parse_args(argv)
    # Version strings may be in any script; a C locale must not turn them
    # into an encoding error.
    if (sys.stdout.encoding or "").lower().replace("-", "") != "utf8":
        sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace")
    try:
        return 0 if check(args.program, args.version_info) else 1
    except headers.NotAProgram as error:
        print("FAIL %s: %s (build it with: cmake --preset windows && cmake --build --preset windows)"
              % (args.program, error))
        return 1

