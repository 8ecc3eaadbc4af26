"""The check of the built program: each property it guards, one at a time,
and its output for a branded program."""
import copy
import os
import subprocess
import sys
import types
import unittest

import samples
import check_pe

CHECK_PE = os.path.join(samples.ROOT, "tools", "kitlib", "check_pe.py")


def launcher_facts(**changes):
    """The facts of a build that passes, with changes."""
    facts = dict(machine="i386", pe32_plus=False, subsystem="gui", subsystem_version=(4, 0),
                 os_version=(4, 0), has_manifest=False, size=3584, sections={".text": 2048},
                 signature_size=0, imports=copy.deepcopy(check_pe.EXPECTED_IMPORTS))
    facts.update(changes)
    return types.SimpleNamespace(**facts)


def with_import(dll, function):
    imports = copy.deepcopy(check_pe.EXPECTED_IMPORTS)
    imports.setdefault(dll, set()).add(function)
    return imports


class Properties(unittest.TestCase):
    # (what changes, the facts, expected start of the first failure or None)
    CASES = [
        ("nothing", launcher_facts(), None),
        ("x64", launcher_facts(machine="x64"), "machine: got x64"),
        ("PE32+", launcher_facts(pe32_plus=True), "optional header: got PE32+"),
        ("console", launcher_facts(subsystem="console"), "subsystem: got console"),
        ("subsystem 5.1", launcher_facts(subsystem_version=(5, 1)), "subsystem version: got 5.1"),
        ("OS version 6.0", launcher_facts(os_version=(6, 0)), "OS version: got 6.0"),
        ("manifest", launcher_facts(has_manifest=True), "manifest resource: got True"),
        ("one byte over", launcher_facts(size=check_pe.MAX_SIZE + 1), "size: got %d" % (check_pe.MAX_SIZE + 1)),
        ("icon and version over the budget",
         launcher_facts(size=check_pe.MAX_SIZE + 3000, sections={".text": 2048, ".rsrc": 3000}), None),
        ("signature over the budget", launcher_facts(size=check_pe.MAX_SIZE + 1500, signature_size=1500), None),
        ("code over the budget, resources aside",
         launcher_facts(size=check_pe.MAX_SIZE + 3001, sections={".rsrc": 3000}), "size: got %d" % (check_pe.MAX_SIZE + 1)),
        ("a function more", launcher_facts(imports=with_import("KERNEL32.DLL", "LoadLibraryA")),
         "functions from KERNEL32.DLL"),
        ("a DLL more", launcher_facts(imports=with_import("MSVCRT.DLL", "printf")), "DLLs imported"),
    ]

    def test_each_property(self):
        for what, facts, expected in self.CASES:
            with self.subTest(what=what):
                failures = check_pe.problems(facts)
                if expected is None:
                    self.assertEqual(failures, [], what)
                else:
                    self.assertTrue(failures and failures[0].startswith(expected),
                                    "%s: got %r, expected the first to start with %r" % (what, failures, expected))

    def test_forbidden_imports(self):
        for function in sorted(check_pe.FORBIDDEN_IMPORTS):
            with self.subTest(function=function):
                failures = check_pe.problems(launcher_facts(imports=with_import("KERNEL32.DLL", function)))
                self.assertTrue(any(f.startswith("forbidden imports: got ['%s']" % function) for f in failures),
                                "importing %s: got %s" % (function, failures))


class CommandLine(unittest.TestCase):
    def run_check(self, *arguments):
        # A C locale is where a version string in Japanese would once have
        # become an encoding error.
        environment = dict(os.environ, LC_ALL="C", LANG="C", PYTHONIOENCODING="")
        result = subprocess.run([sys.executable, CHECK_PE, *arguments], capture_output=True, env=environment)
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")

    def test_version_info_prints_any_script(self):
        code, out, err = self.run_check("--version-info", samples.build(resources="version"))
        self.assertEqual(code, 1, "a mingw program does not import like the launcher")
        for key, value in samples.VERSION_STRINGS.items():
            self.assertIn("%s: %s\n" % (key, value), out, err)
        self.assertNotIn("manifest", out)

    def test_manifest_fails(self):
        code, out, _ = self.run_check(samples.build(resources="manifest"))
        self.assertEqual(code, 1)
        self.assertIn("manifest resource: got True, expected False", out)

    def test_damaged_program_is_a_failure_line(self):
        with open(samples.build(), "rb") as f:
            data = f.read()
        path = os.path.join(os.path.dirname(samples.build()), "cut.exe")
        with open(path, "wb") as f:
            f.write(data[:1000])
        code, out, err = self.run_check(path)
        self.assertEqual((code, err), (1, ""))
        self.assertTrue(out.startswith("FAIL %s: truncated" % path), out)


if __name__ == "__main__":
    unittest.main()
