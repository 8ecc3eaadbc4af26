"""The distribution check against kits built to hold one fault each, made of
small programs a real linker produced; and the sample kit, which must come
out clean."""
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import samples
import check_kit
import make_kit
import paths
import peinfo
import windows

CHECK_KIT = os.path.join(samples.ROOT, "tools", "kitlib", "check_kit.py")
W98, WME, W2K, WXP, V86, V64 = windows.INSTALLERS
RELEASES = {row.path: row.releases for row in windows.ROWS}


def require_launcher(test):
    if not os.path.isfile(samples.LAUNCHER_EXE):
        test.fail("%s is missing: build it with 'cmake --preset windows && cmake --build --preset windows'"
                  % samples.LAUNCHER_EXE)
    return samples.LAUNCHER_EXE


def good_files(launcher):
    """A kit that checks clean: i386 GUI programs for Windows 95 onwards,
    and an x64 one for the 64-bit row."""
    files = {path: samples.build() for path in windows.INSTALLERS}
    files[V64] = samples.build(arch="x86_64", version="5.2")
    files["launcher.exe"] = launcher
    return files


class KitTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kit-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.count = 0

    def kit(self, files, remove=(), rename=()):
        """A fresh kit with files, less the paths in remove, with the folders
        or files in rename ((old, new) relative paths) renamed."""
        self.count += 1
        kit = samples.lay_out(os.path.join(self.folder, "kit%d" % self.count),
                              {path: source for path, source in files.items() if path not in remove})
        for old, new in rename:
            os.rename(os.path.join(kit, *old.split("\\")), os.path.join(kit, *new.split("\\")))
        return kit

    def findings(self, kit, path=None, program=None, severities=("error", "warning")):
        return [(f.path, f.severity, f.message) for f in check_kit.check(kit, program)
                if (path is None or f.path == path) and f.severity in severities]

    def assert_one(self, found, severity, words, row):
        """found must be exactly one finding of severity holding every word."""
        self.assertEqual(len(found), 1, "%s: got %s, expected one %s" % (row, found, severity))
        self.assertEqual(found[0][1], severity, "%s: got %s" % (row, found))
        for word in words:
            self.assertIn(word, found[0][2], "%s: got %r, expected it to say %r" % (row, found[0][2], word))


class Installers(KitTest):
    def test_clean_kit_has_only_unsigned_notes(self):
        kit = self.kit(good_files(require_launcher(self)))
        all_findings = self.findings(kit, severities=("error", "warning", "info"))
        self.assertEqual(self.findings(kit), [], "a kit of good programs")
        unsigned = [f for f in all_findings if f[2].startswith("not signed")]
        self.assertEqual(len(unsigned), 7, all_findings)
        # The other notes: the x64 installer and Windows 10 on ARM; the rows
        # of Windows that have no export lists of their own.
        self.assertEqual([f[:2] for f in all_findings if f not in unsigned],
                         [(W98, "info"), (WME, "info"), (W2K, "info"), (V64, "info")], all_findings)

    def test_file_and_folder_names(self):
        launcher = require_launcher(self)
        # (what, removed paths, renames, row, severity, words the message must hold)
        cases = [
            ("missing file", [WME], [], WME, "error", ["missing: " + WME, "Windows Me"]),
            ("missing folder, its neighbour there", [V86], [], V86, "error", ["missing: " + V86]),
            ("folder differs in case", [], [("Autoinst\\winxp", "Autoinst\\WinXP")], WXP, "warning",
             ["differs in case", "found Autoinst\\WinXP\\instxp.exe"]),
            ("file differs in case", [], [(V86, V86[:-3] + "EXE")], V86, "warning",
             ["found " + V86[:-3] + "EXE"]),
            ("win98SE spelt win98se", [], [("Autoinst\\win98SE", "Autoinst\\win98se")], W98, "warning",
             ["found Autoinst\\win98se\\inst98.exe"]),
            ("win98SE spelt win98", [], [("Autoinst\\win98SE", "Autoinst\\win98")], W98, "error",
             ["missing: " + W98, "found Autoinst\\win98\\inst98.exe instead"]),
            ("Vistax64 spelt Vista64", [], [("Autoinst\\winvista\\Vistax64", "Autoinst\\winvista\\Vista64")], V64,
             "error", ["found Autoinst\\winvista\\Vista64\\instvs64.exe instead"]),
            ("Vistax64 spelt vistax_64", [], [("Autoinst\\winvista\\Vistax64", "Autoinst\\winvista\\vistax_64")],
             V64, "error", ["found Autoinst\\winvista\\vistax_64\\instvs64.exe instead"]),
            ("Autoinst spelt AutoInstall", [], [("Autoinst", "AutoInstal")], WXP, "error",
             ["found AutoInstal\\winxp\\instxp.exe instead"]),
            ("installer spelt inst_me.exe", [], [(WME, "Autoinst\\winme\\inst_me.exe")], WME, "error",
             ["found Autoinst\\winme\\inst_me.exe instead"]),
        ]
        for what, removed, renames, row, severity, words in cases:
            with self.subTest(what=what):
                kit = self.kit(good_files(launcher), removed, renames)
                self.assert_one(self.findings(kit, row), severity, words, what)

    def test_a_missing_row_is_not_found_in_its_neighbour(self):
        # Vistax86 is the next row's folder, not a misspelling of Vistax64.
        kit = self.kit(good_files(require_launcher(self)),
                       rename=[("Autoinst\\winvista\\Vistax64", "Autoinst\\elsewhere")])
        self.assert_one(self.findings(kit, V64), "error", ["missing: " + V64], "Vistax64 removed")
        self.assertNotIn("instead", self.findings(kit, V64)[0][2])

    def test_folders_that_differ_only_in_case_both_present(self):
        files = good_files(require_launcher(self))
        files["Autoinst\\WinXP\\instxp.exe"] = samples.build()
        found = self.findings(self.kit(files), WXP)
        self.assert_one(found, "warning", ["Autoinst\\WinXP", "Autoinst\\winxp", "only one of them"],
                        "winxp and WinXP")

    def test_damaged_files(self):
        with open(samples.build(), "rb") as f:
            program = f.read()
        # (what, content, a file to copy, or None for a folder, words)
        cases = [
            ("text file", b"@echo off\r\n", ["not a Windows program"]),
            ("empty file", b"", ["empty file"]),
            ("truncated", program[:5000], ["truncated: 5000 bytes"]),
            ("headers only", program[:300], ["truncated: 300 bytes"]),
            ("a folder", None, ["a folder, not a program"]),
            ("the launcher again", samples.LAUNCHER_EXE, ["a copy of the launcher"]),
        ]
        for what, content, words in cases:
            with self.subTest(what=what):
                files = good_files(require_launcher(self))
                files[W2K] = content
                self.assert_one(self.findings(self.kit(files), W2K), "error", words, what)

    def test_machine_against_row(self):
        launcher = require_launcher(self)
        x64 = samples.build(arch="x86_64", version="5.2")
        # Linked for 4.0, so that only the machine type is wrong in a 32-bit row.
        x64_as_old = samples.build(arch="x86_64", version="4.0")
        arm64 = samples.patched(x64, samples.machine_offset, 0xAA64, "<H")
        ia64 = samples.patched(x64, samples.machine_offset, 0x0200, "<H")
        # (row, program, severity or None, words)
        cases = [(row, x64_as_old, "error", ["x64 program in a 32-bit row", RELEASES[row], "expected i386"])
                 for row in (W98, WME, W2K, WXP, V86)]
        cases += [
            (V64, samples.build(), "warning", ["i386 program in the 64-bit row", "Vistax64", "expected x64"]),
            (V64, x64, None, []),
            (V64, arm64, "warning", ["arm64", "x64 Windows refuses it"]),
            (V64, ia64, "error", ["ia64 program", "expected x64"]),
            # .NET: pure IL runs as 64-bit there, unless it asks for 32 bits.
            (V64, samples.dotnet(peinfo.CLR_IL_ONLY), None, []),
            (V64, samples.dotnet(peinfo.CLR_IL_ONLY | peinfo.CLR_32BIT_REQUIRED), "warning", ["i386 program"]),
            (V64, samples.dotnet(peinfo.CLR_IL_ONLY | peinfo.CLR_32BIT_PREFERRED), "warning", ["i386 program"]),
        ]
        for row, program, severity, words in cases:
            with self.subTest(row=row, program=program):
                files = good_files(launcher)
                files[row] = program
                found = self.findings(self.kit(files), row)
                if severity is None:
                    self.assertEqual(found, [], row)
                else:
                    self.assert_one(found, severity, words, "%s holding %s" % (row, program))

    def test_windows_on_arm_note(self):
        """Windows 10 on ARM reaches the 64-bit row and starts no x64 program:
        said of x64 programs there, and of nothing else."""
        launcher = require_launcher(self)
        x64 = samples.build(arch="x86_64", version="5.2")
        arm64 = samples.patched(x64, samples.machine_offset, 0xAA64, "<H")
        # (program in the 64-bit row, whether the note is given)
        for program, noted in [(x64, True), (arm64, False), (samples.build(), False),
                               (samples.dotnet(peinfo.CLR_IL_ONLY), False)]:
            with self.subTest(program=program):
                files = good_files(launcher)
                files[V64] = program
                notes = [f for f in self.findings(self.kit(files), V64, severities=("info",))
                         if "Windows 10 on ARM" in f[2]]
                self.assertEqual(len(notes), int(noted), "%s holding %s: got %s" % (V64, program, notes))

    def test_subsystem_version_against_oldest_release(self):
        launcher = require_launcher(self)
        # (row, arch, newest version the row's oldest release loads, first one
        # it refuses, the release the message must name)
        cases = [
            (W98, "i686", "4.90", "5.0", "Windows 95, 98 and 98 SE refuse"),
            (WME, "i686", "4.90", "5.0", "Windows Me refuses"),
            (W2K, "i686", "5.0", "5.1", "Windows 2000 refuses"),
            (WXP, "i686", "5.1", "5.2", "Windows XP refuses"),
            (V86, "i686", "6.0", "6.1", "Windows Vista refuses"),
            (V64, "x86_64", "6.0", "6.1", "Windows Vista x64 refuses"),
        ]
        for row, arch, loaded, refused, release in cases:
            with self.subTest(row=row):
                files = good_files(launcher)
                files[row] = samples.build(arch=arch, version=loaded)
                self.assertEqual(self.findings(self.kit(files), row), [], "%s at %s" % (row, loaded))
                files[row] = samples.build(arch=arch, version=refused)
                self.assert_one(self.findings(self.kit(files), row), "error",
                                ["subsystem version %s" % refused, release, "expected at most"],
                                "%s at %s" % (row, refused))

    def test_program_kinds(self):
        launcher = require_launcher(self)
        # (what, program, severity, words)
        cases = [
            ("console program", samples.build(kind="console"), "warning", ["console window"]),
            ("a DLL", samples.build(kind="dll"), "error", ["a DLL, not a program"]),
            ("unsigned", samples.build(), "info", ["not signed"]),
        ]
        for what, program, severity, words in cases:
            with self.subTest(what=what):
                files = good_files(launcher)
                files[WXP] = program
                self.assert_one(self.findings(self.kit(files), WXP, severities=(severity,)), severity, words, what)
        files = good_files(launcher)
        files[WXP] = samples.build(signed=True)
        self.assertEqual(self.findings(self.kit(files), WXP, severities=("error", "warning", "info")), [],
                         "a signed program")


class Launcher(KitTest):
    def test_launcher(self):
        launcher = require_launcher(self)
        changed = samples.patched(launcher, samples.subsystem_version_offset, 5, "<H")
        # (what, extra files {name: source}, --program, path, severity or None, words)
        cases = [
            ("this launcher", {}, None, "launcher.exe", None, []),
            ("another program", {"launcher.exe": samples.build()}, None, "launcher.exe", "error",
             ["not this launcher's build"]),
            ("a changed build", {"launcher.exe": changed}, None, "launcher.exe", "warning",
             ["older or changed", "subsystem version: got 5.0, expected 4.0"]),
            ("a text file", {"launcher.exe": b"MZ"}, None, "launcher.exe", "error", ["the launcher is truncated"]),
            ("two programs", {"readme.exe": samples.build()}, None, ".", "error",
             ["several programs", "launcher.exe, readme.exe", "--program"]),
            ("two programs, one named", {"readme.exe": samples.build()}, "launcher.exe", "launcher.exe", None, []),
            ("named but missing", {}, "setup.exe", "setup.exe", "error", ["missing"]),
            ("named in a subfolder", {"bin\\launcher.exe": launcher}, "bin/launcher.exe", "bin\\launcher.exe",
             "error", ["at the top of the distribution"]),
        ]
        for what, extra, program, path, severity, words in cases:
            with self.subTest(what=what):
                files = good_files(launcher)
                files.update(extra)
                found = self.findings(self.kit(files), path, program)
                if severity is None:
                    self.assertEqual(found, [], what)
                else:
                    self.assert_one(found, severity, words, what)

    def test_no_program_at_the_top(self):
        files = good_files(require_launcher(self))
        del files["launcher.exe"]
        self.assert_one(self.findings(self.kit(files), "."), "error", ["no launcher"], "no .exe")

    def test_names_that_ask_for_elevation(self):
        launcher = require_launcher(self)
        # (file name, the word the note must quote, or None for no note)
        cases = [("launcher.exe", None), ("setup.exe", "setup"), ("SETUP.EXE", "setup"),
                 ("MyInstaller.exe", "install"), ("Update.exe", "update"), ("start.exe", None)]
        for name, word in cases:
            with self.subTest(name=name):
                files = good_files(launcher)
                files[name] = files.pop("launcher.exe")
                notes = [f for f in self.findings(self.kit(files), name, severities=("info",))
                         if "elevation before" in f[2]]
                if word is None:
                    self.assertEqual(notes, [], name)
                else:
                    self.assert_one(notes, "info", ['"%s"' % word, "Windows Vista and later"], name)


class CommandLine(KitTest):
    def run_check(self, *arguments):
        result = subprocess.run([sys.executable, CHECK_KIT, *arguments], capture_output=True, text=True,
                                env=dict(os.environ, LC_ALL="C"))
        return result.returncode, result.stdout, result.stderr

    def test_text_json_and_exit_code(self):
        launcher = require_launcher(self)
        clean = self.kit(good_files(launcher))
        faulty = self.kit(good_files(launcher), remove=[WME])
        for kit, code in ((clean, 0), (faulty, 1)):
            with self.subTest(kit=kit):
                findings = check_kit.check(kit)
                text = self.run_check(kit)
                self.assertEqual((text[0], text[2]), (code, ""), text)
                lines = text[1].splitlines()
                self.assertEqual(len(lines), len(findings) + 3, text[1])
                for finding, line in zip(findings, lines[2:]):
                    self.assertEqual(line.split(None, 2), [finding.severity, finding.path, finding.message])
                listed = self.run_check(kit, "--json")
                self.assertEqual(listed[0], code)
                self.assertEqual(json.loads(listed[1]), [f.as_dict() for f in findings])

    def test_kit_that_is_no_folder(self):
        # Wrong usage, as the README says: exit 2 and one line on stderr.
        code, out, err = self.run_check(os.path.join(self.folder, "nowhere"))
        self.assertEqual((code, out), (2, ""))
        self.assertIn("is not a folder", err.splitlines()[-1])


class SampleKit(KitTest):
    def test_sample_kit_is_clean(self):
        require_launcher(self)
        if not os.path.isfile(paths.STAND_IN):
            self.fail("%s is missing: build the windows preset" % paths.STAND_IN)
        # The kit for a 32-bit Wine prefix keeps the 32-bit stand-in in the
        # 64-bit row on purpose (a faked AMD64 must be able to start it): that
        # one warning is expected there, and nowhere else.
        kits = [(make_kit.make_kit(os.path.join(self.folder, "sample")), [(V64, "warning")])]
        if "genuine64" in inspect.signature(make_kit.make_kit).parameters:
            kits.append((make_kit.make_kit(os.path.join(self.folder, "sample64"), genuine64=True), []))
        for kit, expected in kits:
            with self.subTest(kit=kit):
                found = self.findings(kit)
                self.assertEqual([(path, severity) for path, severity, _ in found], expected, found)
                notes = [message for _, _, message in self.findings(kit, severities=("info",))
                         if "on ARM" not in message and "export lists" not in message]
                self.assertEqual(notes, ["not signed: Windows shows it as from an unknown publisher"] * 7, notes)


class Model(unittest.TestCase):
    def test_the_launchers_paths_are_the_models(self):
        # The launcher's table lives in its C++; the tools' in windows.py.
        # Every path the built program names, in its order, as plain strings.
        with open(require_launcher(self), "rb") as program:
            named = [path.decode("ascii") for path in re.findall(rb"(Autoinst\\[\x21-\x7e]*?)\0", program.read())]
        self.assertEqual(named, list(windows.INSTALLERS))

    def test_verdicts(self):
        too_new = windows.Refusal(W2K, frozenset({"win2k"}), "subsystem version 5.1: Windows 2000 refuses to load it")
        unknown = ["Unknow OS version", "Exec fail"]
        # what, release, boxes, installers started, run problems, refusals, verdict, reason
        cases = [
            ("started", "win7", ["VISTA32"], [V86], [], [], "starts", ""),
            ("missing installer", "winme", ["Exec fail"], [], [], [], "fault", ""),
            ("x64 installer on Windows 10 on ARM", "win10", ["VISTA64", "Exec fail"], [], [], [], "fault", ""),
            ("NT 4", "nt40", unknown, [], [], [], "not-served", ""),
            ("Server 2003", "win2003", unknown, [], [], [], "not-served", ""),
            ("a run Wine got wrong", "win7", ["VISTA32"], [], ["a box not shown"], [], "run-problem", ""),
            ("neither a start nor a failure", "winxp", [], [], [], [], "run-problem", ""),
            ("started where Windows will not load it", "win2k", [], [W2K], [], [too_new], "fault", too_new.reason),
            ("a refusal for another release", "winxp", [], [WXP], [], [too_new], "starts", ""),
        ]
        for what, release, boxes, started, problems, refusals, verdict, reason in cases:
            with self.subTest(what):
                self.assertEqual(windows.judge(release, boxes, started, problems, refusals), (verdict, reason))


if __name__ == "__main__":
    unittest.main()
