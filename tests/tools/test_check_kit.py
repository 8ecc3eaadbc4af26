"""The distribution check against kits built to hold one fault each, made of
small programs a real linker produced; and the sample kit, which must come
out clean."""
import json
import os
import re
import subprocess
import sys

import pytest

import samples
from kitlib import checks, model, paths, preview
from kitlib.pe import headers as peinfo

KIT = os.path.join(samples.ROOT, "tools", "kit")
W98, WME, W2K, WXP, V86, V64 = model.INSTALLERS
RELEASES = {row.path: row.releases for row in model.ROWS}


def x64():
    return samples.build(arch="x86_64", version="5.2")


def arm64():
    return samples.patched(x64(), samples.machine_offset, 0xAA64, "<H")


# The programs the tables put in a row, built when a test needs them.
PROGRAMS = {
    "i386": samples.build,
    "x64": x64,
    # Linked for 4.0, so that only the machine type is wrong in a 32-bit row.
    "x64 for 4.0": lambda: samples.build(arch="x86_64", version="4.0"),
    "arm64": arm64,
    "ia64": lambda: samples.patched(x64(), samples.machine_offset, 0x0200, "<H"),
    ".NET IL only": lambda: samples.dotnet(peinfo.CLR_IL_ONLY),
    ".NET 32-bit required": lambda: samples.dotnet(peinfo.CLR_IL_ONLY | peinfo.CLR_32BIT_REQUIRED),
    ".NET 32-bit preferred": lambda: samples.dotnet(peinfo.CLR_IL_ONLY | peinfo.CLR_32BIT_PREFERRED),
    "console": lambda: samples.build(kind="console"),
    "DLL": lambda: samples.build(kind="dll"),
    "signed": lambda: samples.build(signed=True),
}


def good_files(launcher):
    """A kit that checks clean: i386 GUI programs for Windows 95 onwards,
    and an x64 one for the 64-bit row."""
    files = {path: samples.build() for path in model.INSTALLERS}
    files[V64] = x64()
    files["launcher.exe"] = launcher
    return files


@pytest.fixture
def kit(tmp_path):
    """Lays out a fresh kit with files, less the paths in remove, with the
    folders or files in rename ((old, new) relative paths) renamed."""
    count = []

    def lay_out(files, remove=(), rename=()):
        count.append(1)
        made = samples.lay_out(os.path.join(tmp_path, "kit%d" % len(count)),
                               {path: source for path, source in files.items() if path not in remove})
        for old, new in rename:
            os.rename(os.path.join(made, *old.split("\\")), os.path.join(made, *new.split("\\")))
        return made
    return lay_out


def findings(kit, path=None, program=None, severities=("error", "warning")):
    return [(f.path, f.severity, f.message) for f in checks.check(kit, program)
            if (path is None or f.path == path) and f.severity in severities]


def assert_one(found, severity, words):
    """found must be exactly one finding of severity holding every word."""
    assert len(found) == 1, "got %s, expected one %s" % (found, severity)
    assert found[0][1] == severity, "got %s" % (found,)
    for word in words:
        assert word in found[0][2], "expected it to say %r" % word


def assert_findings(found, severity, words):
    """None for no finding at all, or assert_one."""
    if severity is None:
        assert found == []
    else:
        assert_one(found, severity, words)


def test_clean_kit_has_only_unsigned_notes(kit, launcher):
    made = kit(good_files(launcher))
    all_findings = findings(made, severities=("error", "warning", "info"))
    assert findings(made) == [], "a kit of good programs"
    unsigned = [f for f in all_findings if f[2].startswith("not signed")]
    assert len(unsigned) == 7, all_findings
    # The other notes: the x64 installer and Windows 10 on ARM; the rows
    # of Windows that have no export lists of their own.
    assert [f[:2] for f in all_findings if f not in unsigned] == \
        [(W98, "info"), (WME, "info"), (W2K, "info"), (V64, "info")]


# (what, removed paths, renames, row, severity, words the message must hold)
NAMES = [
    ("missing file", [WME], [], WME, "error", ["missing: " + WME, "Windows Me"]),
    ("missing folder, its neighbour there", [V86], [], V86, "error", ["missing: " + V86]),
    ("folder differs in case", [], [("Autoinst\\winxp", "Autoinst\\WinXP")], WXP, "warning",
     ["differs in case", "found Autoinst\\WinXP\\instxp.exe"]),
    ("file differs in case", [], [(V86, V86[:-3] + "EXE")], V86, "warning", ["found " + V86[:-3] + "EXE"]),
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


@pytest.mark.parametrize("what, removed, renames, row, severity, words", NAMES, ids=[row[0] for row in NAMES])
def test_file_and_folder_names(kit, launcher, what, removed, renames, row, severity, words):
    assert_one(findings(kit(good_files(launcher), removed, renames), row), severity, words)


def test_a_missing_row_is_not_found_in_its_neighbour(kit, launcher):
    # Vistax86 is the next row's folder, not a misspelling of Vistax64.
    made = kit(good_files(launcher), rename=[("Autoinst\\winvista\\Vistax64", "Autoinst\\elsewhere")])
    assert_one(findings(made, V64), "error", ["missing: " + V64])
    assert "instead" not in findings(made, V64)[0][2]


def test_folders_that_differ_only_in_case_both_present(kit, launcher):
    files = good_files(launcher)
    files["Autoinst\\WinXP\\instxp.exe"] = samples.build()
    assert_one(findings(kit(files), WXP), "warning", ["Autoinst\\WinXP", "Autoinst\\winxp", "only one of them"])


# (what, content: bytes, "program" cut to a length, None for a folder, "launcher"; words)
DAMAGED = [
    ("text file", b"@echo off\r\n", ["not a Windows program"]),
    ("empty file", b"", ["empty file"]),
    ("truncated", 5000, ["truncated: 5000 bytes"]),
    ("headers only", 300, ["truncated: 300 bytes"]),
    ("a folder", None, ["a folder, not a program"]),
    ("the launcher again", "launcher", ["a copy of the launcher"]),
]


@pytest.mark.parametrize("what, content, words", DAMAGED, ids=[row[0] for row in DAMAGED])
def test_damaged_files(kit, launcher, what, content, words):
    if isinstance(content, int):
        with open(samples.build(), "rb") as f:
            content = f.read()[:content]
    files = good_files(launcher)
    files[W2K] = launcher if content == "launcher" else content
    assert_one(findings(kit(files), W2K), "error", words)


# (row, program, severity or None, words)
MACHINES = [(row, "x64 for 4.0", "error", ["x64 program in a 32-bit row", RELEASES[row], "expected i386"])
            for row in (W98, WME, W2K, WXP, V86)] + [
    (V64, "i386", "warning", ["i386 program in the 64-bit row", "Vistax64", "expected x64"]),
    (V64, "x64", None, []),
    (V64, "arm64", "error", ["ARM64 program in the 64-bit row", "x64 Windows refuses it",
                             "Windows Vista, 7, 8, 8.1, 10 and 11", "only Windows 10 and 11 on ARM run it"]),
    (V64, "ia64", "error", ["ia64 program", "expected x64"]),
    # .NET: pure IL runs as 64-bit there, unless it asks for 32 bits.
    (V64, ".NET IL only", None, []),
    (V64, ".NET 32-bit required", "warning", ["i386 program"]),
    (V64, ".NET 32-bit preferred", "warning", ["i386 program"]),
]


@pytest.mark.parametrize("row, program, severity, words", MACHINES, ids=["%s %s" % row[:2] for row in MACHINES])
def test_machine_against_row(kit, launcher, row, program, severity, words):
    files = good_files(launcher)
    files[row] = PROGRAMS[program]()
    assert_findings(findings(kit(files), row), severity, words)


# Windows 10 on ARM reaches the 64-bit row and starts no x64 program: said of
# x64 programs there, and of nothing else. (program in the 64-bit row, noted)
ARM_NOTE = [("x64", True), ("arm64", False), ("i386", False), (".NET IL only", False)]


@pytest.mark.parametrize("program, noted", ARM_NOTE, ids=[row[0] for row in ARM_NOTE])
def test_windows_on_arm_note(kit, launcher, program, noted):
    files = good_files(launcher)
    files[V64] = PROGRAMS[program]()
    notes = [f for f in findings(kit(files), V64, severities=("info",)) if "Windows 10 on ARM" in f[2]]
    assert len(notes) == int(noted), notes


NT_ONLY = "(Windows NT loads 3.10 and later)"
# (row, arch, subsystem version, severity or None, the finding)
SUBSYSTEM_RANGE = [
    (W98, "i686", "4.90", None, None),
    (W98, "i686", "5.0", "error", "subsystem version 5.0 (Windows 2000): Windows 95 and 98 refuse to load it (row "
     "win98SE serves Windows 95, 98 and 98 SE; expected at most 4.x)"),
    (WME, "i686", "1.0", "warning", "subsystem version 1.0: below 3.10, which every Windows NT refuses; what Windows "
     "Me makes of it is not documented"),
    (W2K, "i686", "3.10", None, None),
    (WXP, "i686", "3.0", "error", "subsystem version 3.0: Windows XP refuses to load it " + NT_ONLY),
    (WXP, "i686", "5.1", None, None),
    (WXP, "i686", "6.1", "error", "subsystem version 6.1 (Windows 7): Windows XP refuses to load it (row winxp "
     "serves Windows XP (32-bit); expected at most 5.1)"),
    (V86, "i686", "1.0", "error", "subsystem version 1.0: Windows Vista, 7, 8, 8.1, 10 and 11 refuse to load it "
     + NT_ONLY),
    (V86, "i686", "10.0", "error", "subsystem version 10.0 (Windows 10): Windows Vista, 7, 8 and 8.1 refuse to load "
     "it (row Vistax86 serves Windows Vista to 11 on x86; each loads at most its own version, 6.0 to 6.3)"),
    (V64, "x86_64", "6.2", "error", "subsystem version 6.2 (Windows 8): Windows Vista and 7 refuse to load it (row "
     "Vistax64 serves Windows Vista to 11, 64-bit; each loads at most its own version, 6.0 to 6.1)"),
]


@pytest.mark.parametrize("row, arch, version, severity, message", SUBSYSTEM_RANGE,
                         ids=["%s %s" % (row[0].split("\\")[1], row[2]) for row in SUBSYSTEM_RANGE])
def test_subsystem_version_range(kit, launcher, row, arch, version, severity, message):
    files = good_files(launcher)
    files[row] = samples.build(arch=arch, version=version)
    assert findings(kit(files), row) == ([(row, severity, message)] if severity else [])


# (program in the XP row, severity or None for no finding of any, words)
KINDS = [
    ("console", "warning", ["console window"]),
    ("DLL", "error", ["a DLL, not a program"]),
    ("i386", "info", ["not signed"]),
    ("signed", None, []),
]


@pytest.mark.parametrize("program, severity, words", KINDS, ids=[row[0] for row in KINDS])
def test_program_kinds(kit, launcher, program, severity, words):
    files = good_files(launcher)
    files[WXP] = PROGRAMS[program]()
    assert_findings(findings(kit(files), WXP, severities=(severity,) if severity else ("error", "warning", "info")),
                    severity, words)


# (what, extra files {name: source}, --program, path, severity or None, words);
# a source "launcher" is the launcher, "changed" the launcher with another
# subsystem version, "program" a plain program.
LAUNCHERS = [
    ("this launcher", {}, None, "launcher.exe", None, []),
    ("another program", {"launcher.exe": "program"}, None, "launcher.exe", "error", ["not this launcher's build"]),
    ("a changed build", {"launcher.exe": "changed"}, None, "launcher.exe", "warning",
     ["older or changed", "subsystem version: got 5.0, expected 4.0"]),
    ("a text file", {"launcher.exe": b"MZ"}, None, "launcher.exe", "error", ["the launcher is truncated"]),
    ("two programs", {"readme.exe": "program"}, None, ".", "error",
     ["several programs", "launcher.exe, readme.exe", "--program"]),
    ("two programs, one named", {"readme.exe": "program"}, "launcher.exe", "launcher.exe", None, []),
    ("named but missing", {}, "setup.exe", "setup.exe", "error", ["missing"]),
    ("named in a subfolder", {"bin\\launcher.exe": "launcher"}, "bin/launcher.exe", "bin\\launcher.exe",
     "error", ["at the top of the distribution"]),
]


@pytest.mark.parametrize("what, extra, program, path, severity, words", LAUNCHERS, ids=[row[0] for row in LAUNCHERS])
def test_launcher(kit, launcher, what, extra, program, path, severity, words):
    sources = {"launcher": launcher, "program": samples.build(),
               "changed": samples.patched(launcher, samples.subsystem_version_offset, 5, "<H")}
    files = good_files(launcher)
    files.update({name: sources.get(source, source) for name, source in extra.items()})
    assert_findings(findings(kit(files), path, program), severity, words)


def test_no_program_at_the_top(kit, launcher):
    files = good_files(launcher)
    del files["launcher.exe"]
    assert_one(findings(kit(files), "."), "error", ["no launcher"])


# (file name, the word the note must quote, or None for no note)
ELEVATION = [("launcher.exe", None), ("setup.exe", "setup"), ("SETUP.EXE", "setup"),
             ("MyInstaller.exe", "install"), ("Update.exe", "update"), ("start.exe", None)]


@pytest.mark.parametrize("name, word", ELEVATION, ids=[row[0] for row in ELEVATION])
def test_names_that_ask_for_elevation(kit, launcher, name, word):
    files = good_files(launcher)
    files[name] = files.pop("launcher.exe")
    notes = [f for f in findings(kit(files), name, severities=("info",)) if "elevation before" in f[2]]
    assert_findings(notes, word and "info", ['"%s"' % word, "Windows Vista and later"])


def run_check(*arguments):
    """The check through the front door, as a distribution maker runs it."""
    result = subprocess.run([sys.executable, KIT, "check", *arguments], capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C"))
    return result.returncode, result.stdout, result.stderr


@pytest.mark.parametrize("faulty, code", [(False, 0), (True, 1)], ids=["clean", "a file missing"])
def test_text_json_and_exit_code(kit, launcher, faulty, code):
    made = kit(good_files(launcher), remove=[WME] if faulty else [])
    found = checks.check(made)
    text = run_check(made)
    assert (text[0], text[2]) == (code, ""), text
    lines = text[1].splitlines()
    assert len(lines) == len(found) + 3, text[1]
    for finding, line in zip(found, lines[2:]):
        assert line.split(None, 2) == [finding.severity, finding.path, finding.message]
    listed = run_check(made, "--json")
    assert listed[0] == code
    assert json.loads(listed[1]) == [f.as_dict() for f in found]


def test_kit_that_is_no_folder(tmp_path):
    # Wrong usage, as the README says: exit 2 and one line on stderr.
    code, out, err = run_check(os.path.join(tmp_path, "nowhere"))
    assert (code, out) == (2, "")
    assert "is not a folder" in err.splitlines()[-1]


def sample_kits():
    # The kit for a 32-bit Wine prefix keeps the 32-bit stand-in in the
    # 64-bit row on purpose (a faked AMD64 must be able to start it): that
    # one warning is expected there, and nowhere else.
    return [("sample", {}, [(V64, "warning")]), ("sample64", {"genuine64": True}, [])]


@pytest.mark.parametrize("name, options, expected", sample_kits(), ids=[row[0] for row in sample_kits()])
def test_sample_kit_is_clean(tmp_path, launcher, name, options, expected):
    if not os.path.isfile(paths.STAND_IN):
        pytest.fail("%s is missing: build the windows preset" % paths.STAND_IN, pytrace=False)
    made = preview.make_kit(os.path.join(tmp_path, name), **options)
    found = findings(made)
    assert [(path, severity) for path, severity, _ in found] == expected, found
    notes = [message for _, _, message in findings(made, severities=("info",))
             if "on ARM" not in message and "export lists" not in message]
    assert notes == ["not signed: Windows shows it as from an unknown publisher"] * 7


def test_the_launchers_paths_are_the_models(launcher):
    # The launcher's table lives in its C++; the tools' in kitlib/model/windows.py.
    # Every path the built program names, in its order, as plain strings.
    with open(launcher, "rb") as program:
        named = [path.decode("ascii") for path in re.findall(rb"(Autoinst\\[\x21-\x7e]*?)\0", program.read())]
    assert named == list(model.INSTALLERS)


def test_refusals_are_the_checks_errors(kit, launcher):
    """What the preview takes from the check: every error that names the
    releases refusing an installer, in the check's words; not the machine
    type, which the preview's own copies show (an ARM64 installer starts on
    the modelled Windows 10 on ARM, which shares the x64 row's names)."""
    files = good_files(launcher)
    files.update({W2K: PROGRAMS["DLL"](), WXP: samples.build(version="6.1"), V64: arm64()})
    made = kit(files)
    refused = {path: message for path, severity, message in findings(made) if severity == "error"}
    refusals = checks.refusals(made)
    assert refusals == (model.Refusal(W2K, frozenset({"win2k"}), refused[W2K]),
                        model.Refusal(WXP, frozenset({"winxp"}), refused[WXP])), refused
    assert model.judge("winxp", [], [WXP], (), refusals) == ("fault", refused[WXP])
    assert model.judge("win10", ["VISTA64"], [V64], (), refusals) == ("starts", "")


TOO_NEW = model.Refusal(W2K, frozenset({"win2k"}), "subsystem version 5.1: Windows 2000 refuses to load it")
UNKNOWN = ["Unknow OS version", "Exec fail"]
# what, release, boxes, installers started, run problems, refusals, verdict, reason
VERDICTS = [
    ("started", "win7", ["VISTA32"], [V86], [], [], "starts", ""),
    ("missing installer", "winme", ["Exec fail"], [], [], [], "fault", ""),
    ("x64 installer on Windows 10 on ARM", "win10", ["VISTA64", "Exec fail"], [], [], [], "fault", ""),
    ("NT 4", "nt40", UNKNOWN, [], [], [], "not-served", ""),
    ("Server 2003", "win2003", UNKNOWN, [], [], [], "not-served", ""),
    ("a run Wine got wrong", "win7", ["VISTA32"], [], ["a box not shown"], [], "run-problem", ""),
    ("neither a start nor a failure", "winxp", [], [], [], [], "run-problem", ""),
    ("started where Windows will not load it", "win2k", [], [W2K], [], [TOO_NEW], "fault", TOO_NEW.reason),
    ("a refusal for another release", "winxp", [], [WXP], [], [TOO_NEW], "starts", ""),
]


@pytest.mark.parametrize("what, release, boxes, started, problems, refusals, verdict, reason", VERDICTS,
                         ids=[row[0] for row in VERDICTS])
def test_verdicts(what, release, boxes, started, problems, refusals, verdict, reason):
    assert model.judge(release, boxes, started, problems, refusals) == (verdict, reason)
