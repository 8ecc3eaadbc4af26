"""The check of the built program: each property it guards, one at a time,
and its output for a branded program."""
import copy
import os
import subprocess
import sys
import types

import pytest

import samples
from kitlib import checks

CHECK_PE = os.path.join(samples.ROOT, "tools", "dev", "check_launcher.py")

# What the launcher may weigh, resources and signature aside, and exactly what it imports.
BUDGET = 5632
IMPORTS = {
    "ADVAPI32.DLL": {"RegOpenKeyA", "RegQueryValueExA", "RegCloseKey"},
    "KERNEL32.DLL": {"GetCommandLineA", "GetCommandLineW", "GetVersionExA", "IsDBCSLeadByte", "ExitProcess",
                     "GetModuleHandleA", "GetProcAddress", "GetVersion", "GetSystemDirectoryA", "LoadLibraryExA"},
    "SHELL32.DLL": {"ShellExecuteA"},
    "USER32.DLL": {"MessageBoxA"},
}


def launcher_facts(**changes):
    """The facts of a build that passes, with changes."""
    facts = dict(machine="i386", pe32_plus=False, subsystem="gui", subsystem_version=(4, 0),
                 os_version=(4, 0), has_manifest=False, size=3584, sections={".text": 2048},
                 signature_size=0, imports=copy.deepcopy(IMPORTS))
    facts.update(changes)
    return types.SimpleNamespace(**facts)


def with_import(dll, function):
    imports = copy.deepcopy(IMPORTS)
    imports.setdefault(dll, set()).add(function)
    return imports


def without_import(dll, function):
    imports = copy.deepcopy(IMPORTS)
    imports[dll].discard(function)
    return imports


# (what changes, the facts, expected start of the first failure or None)
PROPERTIES = [
    ("nothing", launcher_facts(), None),
    ("x64", launcher_facts(machine="x64"), "machine: got x64"),
    ("PE32+", launcher_facts(pe32_plus=True), "optional header: got PE32+"),
    ("console", launcher_facts(subsystem="console"), "subsystem: got console"),
    ("subsystem 5.1", launcher_facts(subsystem_version=(5, 1)), "subsystem version: got 5.1"),
    ("OS version 6.0", launcher_facts(os_version=(6, 0)), "OS version: got 6.0"),
    ("manifest", launcher_facts(has_manifest=True), "manifest resource: got True"),
    ("at the budget", launcher_facts(size=5632), None),
    ("one byte over", launcher_facts(size=5633), "size: got 5633"),
    ("icon and version over the budget", launcher_facts(size=8632, sections={".text": 2048, ".rsrc": 3000}), None),
    ("signature over the budget", launcher_facts(size=7132, signature_size=1500), None),
    ("code over the budget, resources aside", launcher_facts(size=8633, sections={".rsrc": 3000}), "size: got 5633"),
    ("a function more", launcher_facts(imports=with_import("KERNEL32.DLL", "LoadLibraryA")),
     "functions from KERNEL32.DLL"),
    ("the wide command line not imported", launcher_facts(imports=without_import("KERNEL32.DLL", "GetCommandLineW")),
     "functions from KERNEL32.DLL"),
    ("a DLL more", launcher_facts(imports=with_import("MSVCRT.DLL", "printf")), "DLLs imported"),
]


@pytest.mark.parametrize("what, facts, expected", PROPERTIES, ids=[row[0] for row in PROPERTIES])
def test_each_property(what, facts, expected):
    failures = checks.launcher_problems(facts)
    if expected is None:
        assert failures == []
    else:
        assert failures and failures[0].startswith(expected), \
            "got %r, expected the first to start with %r" % (failures, expected)


# What Windows 95 (all three), NT 4 and XP RTM lack: imported, they keep the program from loading there.
@pytest.mark.parametrize("dll, function", [("KERNEL32.DLL", "SetDefaultDllDirectories"),
                                           ("KERNEL32.DLL", "SetDllDirectoryA"), ("SHELL32.DLL", "ShellExecuteW")])
def test_forbidden_imports(dll, function):
    failures = checks.launcher_problems(launcher_facts(imports=with_import(dll, function)))
    assert any(f.startswith("forbidden imports: got ['%s']" % function) for f in failures), failures


def run_check(*arguments):
    # A C locale is where a version string in Japanese would once have
    # become an encoding error.
    environment = dict(os.environ, LC_ALL="C", LANG="C", PYTHONIOENCODING="")
    result = subprocess.run([sys.executable, CHECK_PE, *arguments], capture_output=True, env=environment)
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def test_version_info_prints_any_script():
    code, out, err = run_check("--version-info", samples.build(resources="version"))
    assert code == 1, "a mingw program does not import like the launcher"
    for key, value in samples.VERSION_STRINGS.items():
        assert "%s: %s\n" % (key, value) in out, err
    assert "manifest" not in out


def test_manifest_fails():
    code, out, _ = run_check(samples.build(resources="manifest"))
    assert code == 1
    assert "manifest resource: got True, expected False" in out


def test_damaged_program_is_a_failure_line(tmp_path):
    with open(samples.build(), "rb") as f:
        data = f.read()
    path = os.path.join(tmp_path, "cut.exe")
    with open(path, "wb") as f:
        f.write(data[:1000])
    code, out, err = run_check(path)
    assert (code, err) == (1, "")
    assert out.startswith("FAIL %s: truncated" % path), out
