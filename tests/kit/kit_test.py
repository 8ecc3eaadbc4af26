#!/usr/bin/env python3
"""tools/kit, the distribution maker's one command: each subcommand's
refusals and its success, `new` run twice, and `ship` stopped at each of its
steps in turn leaving the kit and every output byte for byte as they were,
the key's password never in what it prints or writes.

Usage: kit_test.py (usage|new|check|brand|sign|image|ship|preview_results|ship_preview) --work DIR
"""
import argparse
import contextlib
import io
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KIT = os.path.join(ROOT, "tools", "kit")
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
sys.path.insert(0, os.path.join(ROOT, "tests", "ship"))
import interpreter  # noqa: E402

interpreter.require("pefile")
import pefile  # noqa: E402

import check_kit  # noqa: E402
import cli  # noqa: E402
import icons  # noqa: E402
import layout_new  # noqa: E402
import make_kit  # noqa: E402
import paths  # noqa: E402
import windows  # noqa: E402
import staging  # noqa: E402
from checking import Checker  # noqa: E402
from sign_test import PASSWORD, make_certificates  # noqa: E402

STEPS = ["check", "brand", "sign", "check", "image", "preview", "report"]


def kit_command(*args, cwd=None, env=None, stdout=subprocess.PIPE, timeout=None):
    return subprocess.run([sys.executable, KIT, *args], stdout=stdout, stderr=subprocess.PIPE, text=True,
                          cwd=cwd, stdin=subprocess.DEVNULL, env=env and {**os.environ, **env}, timeout=timeout)


def last_line(result):
    return (result.stderr.strip().splitlines() or result.stdout.strip().splitlines() or [""])[-1]


def tree(folder):
    """Every entry below folder, dot files and empty folders included:
    a file's mode and bytes, a folder's mode, a link's target."""
    state = {}
    if not os.path.lexists(folder):
        return None
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(parent, name)
            relative = os.path.relpath(path, folder)
            if os.path.islink(path):
                state[relative] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                state[relative] = ("folder", os.stat(path).st_mode)
            elif not stat.S_ISREG(os.lstat(path).st_mode):
                state[relative] = ("special", os.lstat(path).st_mode)
            else:
                with open(path, "rb") as f:
                    state[relative] = (os.stat(path).st_mode, f.read())
    return state


def differences(before, after):
    if before is None or after is None:
        return [] if before == after else ["the folder itself"]
    return sorted(path for path in set(before) | set(after) if before.get(path) != after.get(path))


def sample_kit(folder, name="launcher.exe", launcher=paths.LAUNCHER):
    """A clean kit of the stand-in installers, a genuine 64-bit one in the
    64-bit row, without the sample kit's marker."""
    shutil.rmtree(folder, ignore_errors=True)
    make_kit.make_kit(folder, launcher=launcher, genuine64=True)
    os.remove(os.path.join(folder, make_kit.MARKER))
    if name != "launcher.exe":
        os.rename(os.path.join(folder, "launcher.exe"), os.path.join(folder, name))
    return folder


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


def version_strings(program):
    pe = pefile.PE(program)
    found = {}
    for info in getattr(pe, "FileInfo", ()):
        for entry in info:
            for table in getattr(entry, "StringTable", ()):
                found.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return found


def signatures(program, ca):
    result = subprocess.run(["osslsigncode", "verify", "-in", program, "-CAfile", ca],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        return None
    return re.findall(r"^Message digest algorithm\s+: (\S+)", result.stdout, re.M)


def iso_files(image):
    result = subprocess.run(["xorriso", "-no_rc", "-read_fs", "norock", "-indev", image, "-find", "/",
                             "-type", "f", "-exec", "lsdl"], capture_output=True, text=True)
    return sorted(re.findall(r"'(/.*)'$", result.stdout, re.M))


# -- usage ----------------------------------------------------------------------

def test_usage(check, work):
    kit = sample_kit(os.path.join(work, "kit"))
    # arguments, exit code, text the output holds
    rows = [
        ([], 2, "name a COMMAND"),
        (["bogus"], 2, "invalid choice: 'bogus'"),
        (["--help"], 0, "ship"),
        (["check"], 2, "the following arguments are required: kit"),
        (["brand", "--icon", "x.ico"], 2, "the following arguments are required: -o/--output"),
        (["ship", kit], 2, "the following arguments are required: --config"),
        (["new", kit, "--name", "Autoinst\\setup.exe"], 2, "--name: give the launcher's file name alone"),
        (["new", kit, "--name", "setup.com"], 2, "does not end in .exe"),
        (["image", kit, "x.iso"], 2, "the following arguments are required: --label"),
        (["sign"], 2, "the following arguments are required: --cert, --key"),
        (["sign", "x.exe", "--cert", "c.pem", "--key", "k.pem", "--bogus"], 2, "unrecognized arguments: --bogus"),
        (["preview", "--windows", "16"], 2, "invalid choice: 16"),
    ]
    rows += [([name, "--help"], 0, "sage:") for name in ("new", "check", "preview", "brand", "sign", "image", "ship")]
    for argv, code, text in rows:
        row = "kit " + " ".join(argv)
        result = kit_command(*argv)
        check.expect(row, "exit code", result.returncode, code)
        if not check.expect(row, f"output holds {text!r}", text in result.stdout + result.stderr, True):
            print(f"  output: {(result.stdout + result.stderr)[-400:]}")
    return len(rows)


# -- new ------------------------------------------------------------------------

def test_new(check, work):
    with open(paths.LAUNCHER, "rb") as f:
        built = f.read()
    # What each note must tell, whatever its wording: the releases, the
    # file name, the bitness and the highest subsystem version.
    facts = {
        "Autoinst\\win98SE": ("Windows 95, 98 and 98 SE", "inst98.exe", "32-bit", "4.x"),
        "Autoinst\\winme": ("Windows Me", "instme.exe", "32-bit", "4.x"),
        "Autoinst\\win2k": ("Windows 2000", "inst2k.exe", "32-bit", "5.0"),
        "Autoinst\\winxp": ("Windows XP", "instxp.exe", "32-bit", "5.1"),
        "Autoinst\\winvista\\Vistax86": ("Windows Vista to 11 on x86", "instvs32.exe", "32-bit", "6.0"),
        "Autoinst\\winvista\\Vistax64": ("Windows Vista to 11, 64-bit", "instvs64.exe", "64-bit", "6.0"),
    }
    notes = {folder + "\\README.txt" for folder in facts}

    def prepare(how, kit):
        if how == "file":
            write(kit, b"not a folder")
        elif how == "own launcher":
            write(os.path.join(kit, "setup.exe"), b"MZ my own build")
        elif how == "own note":
            write(os.path.join(kit, "Autoinst", "winme", "README.txt"), "my notes\n")
        elif how == "folder in other case":
            os.makedirs(os.path.join(kit, "Autoinst", "WinXP"))
        elif how == "filled kit":
            sample_kit(kit, "setup.exe")

    # how the folder is before, --name, exit code, files expected (None: not checked),
    # lines that must be in the output
    rows = [
        ("missing", None, 0, {"launcher.exe"} | notes, ["made  launcher.exe"]),
        ("missing", "setup.exe", 0, {"setup.exe"} | notes, ["made  setup.exe", "made  Autoinst\\winxp\\README.txt"]),
        ("own launcher", "setup.exe", 0, {"setup.exe"} | notes,
         ["kept  setup.exe: it differs from the built launcher"]),
        ("own note", None, 0, {"launcher.exe"} | notes, ["kept  Autoinst\\winme\\README.txt: it differs"]),
        ("folder in other case", None, 0,
         {"launcher.exe"} | {n.replace("winxp", "WinXP") for n in notes}, ["kept  Autoinst\\WinXP: spelt differently"]),
        ("filled kit", "setup.exe", 0, None, []),
        ("file", None, 1, None, ["exists and is not a folder"]),
    ]
    for how, name, code, files, lines in rows:
        row = f"{how}, --name {name}"
        kit = os.path.join(work, "new-" + how.replace(" ", "-"))
        shutil.rmtree(kit, ignore_errors=True)
        if os.path.isfile(kit):
            os.remove(kit)
        prepare(how, kit)
        before = tree(kit) if how != "file" else None
        argv = ["new", kit] + (["--name", name] if name else [])
        result = kit_command(*argv)
        output = result.stdout + result.stderr
        check.expect(row, "exit code", result.returncode, code)
        for line in lines:
            if not check.expect(row, f"output holds {line!r}", line in output, True):
                print(output)
        if code != 0:
            continue
        state = tree(kit)
        if files is not None:
            check.expect(row, "files", sorted(p.replace(os.sep, "\\") for p, v in state.items() if v[0] != "folder"),
                         sorted(files))
        # Nothing that was there changed.
        for path, value in (before or {}).items():
            check.expect(row, f"{path} kept as it was", state.get(path), value)
        top = os.path.join(kit, name or "launcher.exe")
        if how == "missing":
            with open(top, "rb") as f:
                check.expect(row, "the launcher is the built one", f.read() == built, True)
            for folder, words in facts.items():
                with open(os.path.join(kit, *folder.split("\\"), "README.txt"), "rb") as f:
                    text = f.read().decode("ascii")
                for word in words:
                    check.expect(row, f"{folder}\\README.txt names {word!r}", word in text, True)
        if how == "filled kit":
            # The notes do not disturb the check.
            findings = [f for f in check_kit.check(kit, "setup.exe") if f.severity != check_kit.INFO]
            check.expect(row, "check findings besides info", findings, [])
        # A second run changes nothing and says so.
        again = kit_command(*argv)
        check.expect(row, "second run: exit code", again.returncode, 0)
        check.expect(row, "second run: nothing made", "made " in again.stdout, False)
        check.expect(row, "second run: tree unchanged", differences(state, tree(kit)), [])
    # The launcher not built: one line, nothing made.
    kit = os.path.join(work, "new-unbuilt")
    try:
        layout_new.new(kit, launcher=os.path.join(work, "no-such", "launcher.exe"))
        check.expect("unbuilt", "refused", False, True)
    except layout_new.NewError as error:
        check.expect("unbuilt", "says what to run", "run tools/build.sh" in str(error), True)
    check.expect("unbuilt", "nothing made", os.path.exists(kit), False)
    return len(rows) + 1


# -- check, sign, image: the forwarded tools --------------------------------------------

def test_check(check, work):
    good = sample_kit(os.path.join(work, "check-good"))
    missing = sample_kit(os.path.join(work, "check-missing"))
    os.remove(os.path.join(missing, "Autoinst", "winme", "instme.exe"))
    two = sample_kit(os.path.join(work, "check-two"))
    write(os.path.join(two, "Readme.exe"), b"MZ")
    # arguments, exit code, text in the output
    rows = [
        ([good], 0, "0 error(s), 0 warning(s)"),
        ([missing], 1, "missing: Autoinst\\winme\\instme.exe"),
        ([two], 1, "several programs at the top"),
        ([two, "--program", "launcher.exe"], 0, "0 error(s)"),
        ([os.path.join(work, "nowhere")], 2, "is not a folder"),
    ]
    for argv, code, text in rows:
        row = "check " + " ".join(os.path.relpath(a, work) if a.startswith(work) else a for a in argv)
        result = kit_command("check", *argv)
        check.expect(row, "exit code", result.returncode, code)
        check.expect(row, f"output holds {text!r}", text in result.stdout + result.stderr, True)
    # The launcher's paths found whatever the pieces it is read in, one
    # cut in the middle of a path included.
    all_paths = [row.path for row in check_kit.ROWS]
    for program, piece, expected in ((paths.LAUNCHER, 7, []), (paths.LAUNCHER, 1 << 20, []),
                                     (paths.STAND_IN, 7, all_paths)):
        check.expect(f"unnamed_paths {os.path.basename(program)} in pieces of {piece}", "paths not named",
                     check_kit.unnamed_paths(program, piece), expected)
    result = kit_command("check", missing, "--json")
    found = json.loads(result.stdout)
    check.expect("check --json", "errors", [f["path"] for f in found if f["severity"] == "error"],
                 ["Autoinst\\winme\\instme.exe"])
    return len(rows) + 4


def test_sign(check, work):
    files = make_certificates(os.path.join(work, "certificates"))
    # password file, exit code, signatures afterwards (None: the file unchanged)
    rows = [(files["pass.txt"], 0, ["SHA256"]), (files["wrong-pass.txt"], 1, None)]
    for password, code, expected in rows:
        row = f"sign --pass {os.path.basename(password)}"
        program = os.path.join(work, "sign", "setup.exe")
        shutil.rmtree(os.path.dirname(program), ignore_errors=True)
        os.makedirs(os.path.dirname(program))
        shutil.copy(paths.LAUNCHER, program)
        before = tree(os.path.dirname(program))
        result = kit_command("sign", program, "--cert", files["cert.pem"], "--key", files["key.pem"],
                             "--pass", password, "--ca", files["cert.pem"])
        check.expect(row, "exit code", result.returncode, code)
        if expected:
            check.expect(row, "signatures", signatures(program, files["cert.pem"]), expected)
        else:
            check.expect(row, "folder unchanged", differences(before, tree(os.path.dirname(program))), [])
        check.expect(row, "password not printed", PASSWORD in result.stdout + result.stderr, False)
    # Several programs, the same options for each.
    folder = os.path.join(work, "sign-two")
    os.makedirs(folder)
    programs = [os.path.join(folder, name) for name in ("setup.exe", "other.exe")]
    for program in programs:
        shutil.copy(paths.LAUNCHER, program)
    result = kit_command("sign", programs[0], "--cert", files["cert.pem"], "--key", files["key.pem"],
                         programs[1], "--pass", files["pass.txt"], "--ca", files["cert.pem"])
    check.expect("sign two programs", "exit code", result.returncode, 0)
    check.expect("sign two programs", "signatures", [signatures(p, files["cert.pem"]) for p in programs],
                 [["SHA256"], ["SHA256"]])
    return len(rows) + 1


def test_image(check, work):
    kit = sample_kit(os.path.join(work, "image-kit"), "setup.exe")
    image = os.path.join(work, "image", "DISC.iso")
    os.makedirs(os.path.dirname(image), exist_ok=True)
    # label, exit code, text of the last line
    rows = [("DISC", 0, "label DISC, setup.exe at the top"), ("my disc", 2, "cannot be a disc's name")]
    for label, code, text in rows:
        if os.path.exists(image):
            os.remove(image)
        result = kit_command("image", kit, image, "--label", label)
        check.expect(label, "exit code", result.returncode, code)
        check.expect(label, f"last line holds {text!r}", text in last_line(result), True)
        check.expect(label, "image written", os.path.exists(image), code == 0)
        if code == 0:
            check.expect(label, "setup.exe and autorun.inf on the disc",
                         [p for p in iso_files(image) if "/" not in p[1:]], ["/autorun.inf", "/setup.exe"])
    return len(rows)


# -- brand ----------------------------------------------------------------------

def test_brand(check, work):
    folder = os.path.join(work, "brand")
    shutil.rmtree(folder, ignore_errors=True)
    write(os.path.join(folder, "art", "app.ico"), icons.ico(icons.BITMAPS))
    png_only = write(os.path.join(folder, "art", "png.ico"), icons.ico(icons.PNG_ONLY))
    text_ico = write(os.path.join(folder, "art", "text.ico"), "not an icon\n")
    out = os.path.join(folder, "out")
    os.makedirs(out)
    target = os.path.join(out, "setup.exe")
    notes = write(os.path.join(out, "notes.txt"), "the maker's notes\n")
    long_text = "x" * 10000
    # options, exit code, what the last line says, version strings afterwards
    rows = [
        (["--output", notes], 1, f"kit brand: -o: {notes} exists and is not a build of this launcher", None),
        (["--product", long_text, "--company", long_text, "--description", long_text, "--copyright", long_text],
         1, "kit brand: --product: too long: the texts (--product, --company, --description, --copyright) hold "
         "40000 UTF-16 characters in all; the version resource holds at most 32000", None),
        (["--icon", os.path.join(folder, "missing.ico")], 1,
         f"kit brand: --icon: {os.path.join(folder, 'missing.ico')} does not exist", None),
        (["--icon", text_ico], 1, f"kit brand: --icon: {text_ico} is not an .ico file", None),
        (["--icon", os.path.join(folder, "art")], 1, "--icon: " + os.path.join(folder, "art") + " is a folder", None),
        (["--version", "2.1"], 1, 'kit brand: --version: "2.1" is not a version', None),
        (["--version", "1.2.3.65536"], 1, "--version: \"1.2.3.65536\" is not a version", None),
        (["--product", "two\nlines"], 1, "kit brand: --product: holds a line break or a tab", None),
        (["--output", os.path.join(folder, "nowhere", "setup.exe")], 1, "the folder of", None),
        (["--output", out], 1, "is a folder", None),
        # A relative icon is the current folder's, not the source tree's.
        (["--icon", os.path.join("art", "app.ico"), "--version", "2.1.0.0", "--product", "ドライバー集 2026",
          "--company", "Example Ltd", "--description", "Example Drivers Setup", "--copyright", "© 2026 Example Ltd"],
         0, "setup.exe: version 2.1.0.0, icon app.ico, 4 string(s)",
         {"FileVersion": "2.1.0.0", "ProductVersion": "2.1.0.0", "ProductName": "ドライバー集 2026",
          "CompanyName": "Example Ltd", "FileDescription": "Example Drivers Setup",
          "LegalCopyright": "© 2026 Example Ltd"}),
        (["--icon", png_only], 0, "setup.exe: icon png.ico", {}),
    ]
    for options, code, text, strings in rows:
        row = "brand " + " ".join(options)
        shutil.copy(paths.LAUNCHER, target)   # an earlier build, which it replaces
        before = tree(out)
        argv = ["brand"] + ([] if "--output" in options else ["-o", target]) + options
        result = kit_command(*argv, cwd=folder)
        check.expect(row, "exit code", result.returncode, code)
        if not check.expect(row, f"last line holds {text!r}", text in last_line(result), True):
            print(f"  got: {last_line(result)}")
        if code:
            check.expect(row, "one line", len(result.stderr.strip().splitlines()), 1)
            check.expect(row, "output folder unchanged", differences(before, tree(out)), [])
            continue
        check.expect(row, "nothing left beside it", sorted(os.listdir(out)), ["notes.txt", "setup.exe"])
        check.expect(row, "version strings", version_strings(target), strings)
        if png_only in options:
            check.expect(row, "the PNG-only warning", "warning: --icon: every image" in result.stdout, True)
    return len(rows)


# -- ship -----------------------------------------------------------------------

SETTINGS = """\
[launcher]
name = "setup.exe"
icon = "art/app.ico"
version = "2.1.0.0"
product = "Example Drivers 2026"
company = "Example Ltd"
description = "Example Drivers Setup"
copyright = "© 2026 Example Ltd"
[sign]
cert = "keys/cert.pem"
key = "keys/key.pem"
password_file = "keys/pass.txt"
also_sha1 = true
ca = "keys/cert.pem"
[image]
output = "out/DRIVERS_2026.iso"
label = "DRIVERS_2026"
autorun = true
[report]
output = "out/report"
"""


class Project:
    """A distribution maker's folder: the kit, the settings beside it, the
    art and keys, and out/ for the image and the report."""

    def __init__(self, work, name, launcher="setup.exe"):
        self.folder = os.path.join(work, name)
        shutil.rmtree(self.folder, ignore_errors=True)
        self.kit = os.path.join(self.folder, "dist")
        os.makedirs(self.folder)
        result = kit_command("new", self.kit, "--name", launcher)
        assert result.returncode == 0, result.stdout + result.stderr
        for installer in windows.INSTALLERS:
            source = paths.STAND_IN64 if installer == windows.INSTALLERS[-1] else paths.STAND_IN
            shutil.copy(source, os.path.join(self.kit, *installer.split("\\")))
        write(os.path.join(self.folder, "art", "app.ico"), icons.ico(icons.BITMAPS))
        write(os.path.join(self.folder, "art", "text.ico"), "not an icon\n")
        self.keys = make_certificates(os.path.join(self.folder, "keys"))
        self.out = os.path.join(self.folder, "out")
        self.config = self.settings(SETTINGS)

    def settings(self, text, where=None):
        return write(where or os.path.join(self.folder, "ship.toml"), text)

    def ship(self, *options, config=None):
        return kit_command("ship", self.kit, "--config", config or self.config, *options, cwd=self.folder)


def step_lines(output):
    return [line for line in output.splitlines() if line.split(" ", 1)[0] in STEPS]


def test_ship(check, work):
    project = Project(work, "ship")
    result = project.ship("--no-preview")
    row = "ship, every section"
    check.expect(row, "exit code", result.returncode, 0)
    if result.returncode:
        print(result.stdout + result.stderr)
        return 1
    lines = step_lines(result.stdout)
    check.expect(row, "one line per step, in order", [line.split()[0] for line in lines], STEPS)
    check.expect(row, "each line ends with its time", all(re.search(r"\d+\.\d s$", line) for line in lines), True)
    check.expect(row, "preview line", "skipped: --no-preview" in lines[5], True)
    check.expect(row, "password not printed", PASSWORD in result.stdout + result.stderr, False)
    launcher = os.path.join(project.kit, "setup.exe")
    check.expect(row, "launcher signed twice", signatures(launcher, project.keys["cert.pem"]), ["SHA1", "SHA256"])
    check.expect(row, "launcher branded", version_strings(launcher).get("ProductName"), "Example Drivers 2026")
    image = os.path.join(project.out, "DRIVERS_2026.iso")
    top = [path for path in iso_files(image) if "/" not in path[1:]]
    check.expect(row, "top of the disc", top, ["/autorun.inf", "/setup.exe"])
    report = os.path.join(project.out, "report")
    check.expect(row, "report files", sorted(os.listdir(report)), ["check.json", "check.txt", "ship.txt"])
    written = b"".join(data for _, data in tree(project.out).values() if isinstance(data, bytes))
    check.expect(row, "password in no output", PASSWORD.encode() in written, False)
    check.expect(row, "kit holds only the kit", sorted(n for n in os.listdir(project.kit)), ["Autoinst", "setup.exe"])
    check.expect(row, "nothing left beside the outputs", sorted(os.listdir(project.out)),
                 ["DRIVERS_2026.iso", "report"])
    cases = 1

    # Shipping again replaces every output.
    with open(os.path.join(report, "stale.txt"), "w") as f:
        f.write("from an earlier run\n")
    again = project.ship("--no-preview")
    check.expect("ship again", "exit code", again.returncode, 0)
    check.expect("ship again", "report replaced whole", os.path.exists(os.path.join(report, "stale.txt")), False)
    cases += 1

    # The sections left out skip their steps.
    bare = Project(work, "ship-bare")
    os.rename(os.path.join(bare.kit, "setup.exe"), os.path.join(bare.kit, "launcher.exe"))
    config = bare.settings('[image]\noutput = "out/X.iso"\nlabel = "X"\n', os.path.join(bare.folder, "bare.toml"))
    before = tree(bare.kit)
    result = bare.ship("--no-preview", config=config)
    row = "ship, [image] alone"
    check.expect(row, "exit code", result.returncode, 0)
    lines = step_lines(result.stdout)
    for step, text in (("brand", "skipped: no [launcher]; the kit's launcher.exe as it is"),
                       ("sign", "skipped: no [sign]; launcher.exe stays unsigned"),
                       ("report", "skipped: no [report]")):
        check.expect(row, f"{step} line", any(line.startswith(step) and text in line for line in lines), True)
    check.expect(row, "kit unchanged", differences(before, tree(bare.kit)), [])
    check.expect(row, "image", os.path.exists(os.path.join(bare.out, "X.iso")), True)
    cases += 1

    # A first run that fails leaves no trace of the folders it made for its outputs.
    fresh = Project(work, "ship-fresh")
    config = fresh.settings(SETTINGS.replace("keys/pass.txt", "keys/wrong-pass.txt"))
    before = tree(fresh.folder)
    result = fresh.ship("--no-preview", config=config)
    row = "ship, first run, wrong password"
    check.expect(row, "exit code", result.returncode, 1)
    check.expect(row, "project folder unchanged, no out/", differences(before, tree(fresh.folder)), [])
    cases += 1

    # A kit as `new` lays it out, the launcher as launcher.exe: ship names it
    # as the settings say, or on a failure leaves the kit byte for byte.
    # what, settings, exit code, the brand step's line, the top of the kit afterwards (None: as before)
    rows = [
        ("ship after new", SETTINGS, 0, "setup.exe, replaces launcher.exe: version 2.1.0.0, icon app.ico, 4 string(s)",
         ["Autoinst", "setup.exe"]),
        ("ship after new, wrong password", SETTINGS.replace("keys/pass.txt", "keys/wrong-pass.txt"), 1,
         "setup.exe, replaces launcher.exe: version 2.1.0.0, icon app.ico, 4 string(s)",
         None),
    ]
    for what, text, code, brand_line, top in rows:
        laid = Project(work, "ship-after-new", launcher="launcher.exe")
        before = tree(laid.kit)
        result = laid.ship("--no-preview", config=laid.settings(text))
        check.expect(what, "exit code", result.returncode, code)
        check.expect(what, "the brand step's line", [line.split(";")[0] for line in step_lines(result.stdout)
                                                     if line.startswith("brand")], [f"brand     {brand_line}"])
        if top is None:
            check.expect(what, "kit unchanged", differences(before, tree(laid.kit)), [])
            continue
        check.expect(what, "top of the kit", sorted(os.listdir(laid.kit)), top)
        check.expect(what, "setup.exe signed", signatures(os.path.join(laid.kit, "setup.exe"),
                                                          laid.keys["cert.pem"]), ["SHA1", "SHA256"])
        check.expect(what, "top of the disc", [path for path in iso_files(os.path.join(laid.out, "DRIVERS_2026.iso"))
                                                if "/" not in path[1:]], ["/autorun.inf", "/setup.exe"])
    cases += len(rows)
    return cases + ship_refusals(check, project)


def ship_refusals(check, project):
    """Each row stops ship at one step (or before any); the kit and out/,
    which holds the previous run's image and report, stay byte for byte."""
    other = lambda old, new: SETTINGS.replace(old, new)  # noqa: E731

    def remove_installer(kit):
        os.remove(os.path.join(kit, "Autoinst", "win2k", "inst2k.exe"))

    def second_launcher(kit):
        shutil.copy(paths.LAUNCHER, os.path.join(kit, "launcher.exe"))

    def own_program(kit):
        shutil.copy(paths.STAND_IN, os.path.join(kit, "setup.exe"))

    def rename_launcher(kit):
        os.rename(os.path.join(kit, "setup.exe"), os.path.join(kit, "my setup.exe"))

    def key_inside(kit):
        shutil.copy(project.keys["key.pem"], os.path.join(kit, "key.pem"))

    write(os.path.join(project.folder, "not-a-folder"), "a file where a folder is needed\n")
    saved_launcher = shutil.copy(os.path.join(project.kit, "setup.exe"), os.path.join(project.folder, "setup.exe.saved"))
    inside_config = os.path.join(project.kit, "ship.toml")
    # what goes wrong, settings, a change to the kit, the step that fails (None: refused before
    # any step), what its line (or the refusal) says
    rows = [
        ("a bad icon", other("art/app.ico", "art/text.ico"), None, "brand", "[launcher] icon: "),
        ("a missing icon", other("art/app.ico", "art/none.ico"), None, None, "[launcher] icon: "),
        ("a wrong password", other("keys/pass.txt", "keys/wrong-pass.txt"), None, "sign",
         "setup.exe: wrong password: "),
        ("another certificate's key", other("keys/key.pem", "keys/other-key.pem"), None, "sign",
         "other-key.pem does not belong to the certificate"),
        ("an untrusted certificate", other('ca = "keys/cert.pem"', 'ca = "keys/other-cert.pem"'), None, "sign",
         "the signature does not verify"),
        ("a kit with an error", SETTINGS, remove_installer, "check", "missing: Autoinst\\win2k\\inst2k.exe"),
        ("a second launcher", SETTINGS, second_launcher, "check", "launcher.exe: another build of the launcher"),
        ("a program of the maker's own under the settings' name", SETTINGS, own_program, None,
         "setup.exe exists and is not a build of this launcher: not replacing it"),
        ("an unwritable image path", other("out/DRIVERS_2026.iso", "not-a-folder/D.iso"), None, "image",
         "not a folder"),
        ("a name AutoRun cannot start", other('name = "setup.exe"', 'name = "my setup.exe"'), rename_launcher, "image",
         "AutoRun cannot start 'my setup.exe'"),
        ("an unknown key", other("password_file", "pasword_file"), None, None,
         "ship.toml: [sign] unknown key 'pasword_file'"),
        ("a password in the settings", other('password_file = "keys/pass.txt"', f'password = "{PASSWORD}"'),
         None, None, "[sign] unknown key 'password'"),
        ("a wrong type", other("autorun = true", 'autorun = "yes"'), None, None,
         "ship.toml: [image] autorun must be true or false"),
        ("a version not in quotes", other('"2.1.0.0"', "2.1"), None, None, "[launcher] version must be a string"),
        ("a syntax error", other('label = "DRIVERS_2026"', 'label = "DRIVERS_2026'), None, None, "ship.toml:17:"),
        ("an unknown section", SETTINGS + "[upload]\nhost = \"x\"\n", None, None, "unknown section [upload]"),
        ("a missing key", other('label = "DRIVERS_2026"\n', ""), None, None, "ship.toml: [image] needs label"),
        ("a bad label", other('label = "DRIVERS_2026"', 'label = "Drivers 2026"'), None, None,
         "[image] label 'Drivers 2026' cannot be a disc's name"),
        ("an image inside the kit", other("out/DRIVERS_2026.iso", "dist/D.iso"), None, None, "inside the kit"),
        ("a key inside the kit", other("keys/key.pem", "dist/key.pem"), key_inside, None,
         "[sign] key: " + os.path.join(project.kit, "key.pem") + " is inside the kit"),
        ("the settings inside the kit", SETTINGS.replace('"art/', '"../art/').replace('"keys/', '"../keys/')
         .replace('"out/', '"../out/'), "inside", None, "ship.toml is inside the kit"),
    ]
    for what, text, change, step, message in rows:
        config = project.settings(text, inside_config if change == "inside" else None)
        if callable(change):
            change(project.kit)
        kit_before, out_before = tree(project.kit), tree(project.out)
        result = project.ship("--no-preview", config=config)
        output = result.stdout + result.stderr
        check.expect(what, "exit code", result.returncode, 1)
        lines = step_lines(result.stdout)
        if step is None:
            check.expect(what, "no step ran", lines, [])
            if not check.expect(what, f"one line holding {message!r}", message in last_line(result), True):
                print(f"  got: {output}")
            check.expect(what, "one line", len(result.stderr.strip().splitlines()), 1)
        else:
            failed = [line for line in lines if " FAILED: " in line]
            check.expect(what, "the failed step", [line.split()[0] for line in failed], [step])
            if not check.expect(what, f"its line or details hold {message!r}", message in result.stdout, True):
                print(f"  got: {result.stdout}")
            check.expect(what, "no step after it", lines[-1:] == failed, True)
        check.expect(what, "kit unchanged", differences(kit_before, tree(project.kit)), [])
        check.expect(what, "out/ unchanged", differences(out_before, tree(project.out)), [])
        check.expect(what, "password not printed", PASSWORD in output, False)
        # Undo the row's change for the next one.
        if change == "inside":
            os.remove(inside_config)
        elif change is remove_installer:
            shutil.copy(paths.STAND_IN, os.path.join(project.kit, "Autoinst", "win2k", "inst2k.exe"))
        elif change is second_launcher:
            os.remove(os.path.join(project.kit, "launcher.exe"))
        elif change is own_program:
            shutil.copy(saved_launcher, os.path.join(project.kit, "setup.exe"))
        elif change is rename_launcher:
            os.rename(os.path.join(project.kit, "my setup.exe"), os.path.join(project.kit, "setup.exe"))
        elif change is key_inside:
            os.remove(os.path.join(project.kit, "key.pem"))
    project.settings(SETTINGS)
    return len(rows)


def test_preview_results(check, work):
    """What ship makes of each way the preview can end, with a stand-in for
    preview.main in this process: Wine never runs."""
    import types
    import ship
    project = Project(work, "ship-preview-results")
    project.ship("--no-preview")   # an earlier run's outputs, to keep or replace
    calls = []

    def stand_in(code, stderr="", exit_text=None):
        def main(argv):
            calls.append(argv)
            report = argv[argv.index("--report") + 1] if "--report" in argv else None
            if report:
                write(os.path.join(report, "index.html"), "<p>the tables</p>\n")
            print(f"Check of {argv[0]}:")
            if report:
                print(f"Report: {os.path.join(report, 'index.html')}")
            print("Release  PROCESSOR_ARCHITECTURE\n" * 3, end="")
            os.system("echo a child process writes here too")
            if stderr:
                print(stderr, file=sys.stderr)
            if exit_text:
                sys.exit(exit_text)
            return code
        module = types.ModuleType("preview")
        module.main = lambda argv=None: (print("usage: kit preview [--report DIR]") or sys.exit(0)) \
            if argv == ["--help"] else main(argv)
        return module

    # how the preview ends, ship's exit code, its preview line, out/report/index.html afterwards
    rows = [
        (stand_in(0), 0, "preview   ok, 3 tables", True),
        (stand_in(77, "preview: this kernel runs no 32-bit programs"), 0,
         "preview   skipped: this kernel runs no 32-bit programs", True),
        (stand_in(1, "preview: 32-bit win7 x86: no installer started"), 1,
         "preview   FAILED: 32-bit win7 x86: no installer started", False),
        (stand_in(0, exit_text="preview: the prefix cannot be made"), 1,
         "preview   FAILED: the prefix cannot be made", False),
    ]
    saved = sys.modules.get("preview")
    try:
        for module, code, line, tables in rows:
            row = line
            shutil.rmtree(os.path.join(project.out, "report"))
            os.makedirs(os.path.join(project.out, "report"))
            kit_before, out_before = tree(project.kit), tree(project.out)
            sys.modules["preview"] = module
            calls.clear()
            out = io.StringIO()
            with contextlib.redirect_stderr(io.StringIO()):
                got = ship.main([project.kit, "--config", project.config], out=out)
            lines = step_lines(out.getvalue())
            check.expect(row, "exit code", got, code)
            check.expect(row, "preview line", [re.sub(r"\s+\d+\.\d s$", "", text) for text in lines
                                               if text.startswith("preview")], [line])
            argv = calls[-1] if calls else []
            check.expect(row, "the preview's options", [a for a in argv if a.startswith("--")],
                         ["--program", "--matrix", "--cd", "--xvfb", "--report"])
            check.expect(row, "the disc's launcher", argv[argv.index("--program") + 1] if argv else None,
                         "setup.exe")
            check.expect(row, "the preview's tables in the report",
                         os.path.exists(os.path.join(project.out, "report", "index.html")), tables)
            if code:
                check.expect(row, "kit unchanged", differences(kit_before, tree(project.kit)), [])
                check.expect(row, "out/ unchanged", differences(out_before, tree(project.out)), [])
            else:
                with open(os.path.join(project.out, "report", "preview.txt")) as f:
                    text = f.read()
                check.expect(row, "a child's output in preview.txt", "a child process writes here too" in text,
                             True)
                check.expect(row, "preview.txt names the kit and the report, not scratch folders",
                             re.findall(r"^(?:Check of|Report:) (.*?):?$", text, re.M),
                             [project.kit, os.path.relpath(os.path.join(project.out, "report", "index.html"))])
    finally:
        if saved is None:
            sys.modules.pop("preview", None)
        else:
            sys.modules["preview"] = saved
    return len(rows)


def table_rows(text):
    """The (release, arch, installer, boxes, exit, verdict) rows of the preview's tables."""
    rows, inside = [], False
    for line in text.splitlines():
        if line.startswith("-------"):
            inside = True
        elif not line.strip():
            inside = False
        elif inside:
            cells = re.split(r"\s{2,}", line.strip())
            if len(cells) == 6:
                rows.append(cells)
    return rows


def check_report_in_chromium(check, row, report, tables):
    """The report as a browser shows it: a row for each row of the tables,
    and a picture, loaded, for each box."""
    sys.path.insert(0, os.path.join(ROOT, "tests", "report"))
    import browser
    seen = browser.load(os.path.join(report, "index.html"), os.path.join(report, "..", "report-seen.png"))
    rows = table_rows(tables)
    check.expect(row, "rows in the page", len(seen["rows"]), len(rows))
    boxes = sum(0 if cells[3] in ("none", "?") else cells[3].count('", "') + 1 for cells in rows)
    check.expect(row, "pictures in the page", len(seen["images"]), boxes)
    check.expect(row, "pictures not loaded",
                 [image["src"] for image in seen["images"] if not (image["complete"] and image["naturalWidth"])], [])


def test_ship_preview(check, work):
    """The whole of ship, the preview of the image's contents under Wine
    included. Exit 77 (skipped) where this machine cannot run it."""
    project = Project(work, "ship-preview")
    result = project.ship()
    row = "ship with the preview"
    if not check.expect(row, "exit code", result.returncode, 0):
        print(result.stdout + result.stderr)
        return 1
    lines = step_lines(result.stdout)
    preview = [line for line in lines if line.startswith("preview")]
    if preview and "skipped:" in preview[0]:
        print(preview[0])
        return None
    check.expect(row, "preview line", [line.split()[1] for line in preview], ["ok,"])
    report = os.path.join(project.out, "report")
    check.expect(row, "the preview in the report", os.path.exists(os.path.join(report, "preview.txt")), True)
    with open(os.path.join(report, "preview.txt"), encoding="utf-8") as f:
        tables = f.read()
    check.expect(row, "from a CD-ROM drive", "from a CD-ROM drive" in tables, True)
    check_report_in_chromium(check, row, report, tables)
    if check.failures:
        print(result.stdout + result.stderr)
    return 1


# -- what a maker owns ----------------------------------------------------------

def test_adversarial(check, work):
    """Inputs a maker may give by mistake: each is refused or reported in
    one line with its exit code, and the maker's folder (the kit, the
    settings, keys and outputs beside it) stays byte for byte as it was."""
    project = Project(work, "owned")
    kit, folder = project.kit, project.folder
    notes = write(os.path.join(folder, "notes.txt"), "the maker's notes\n")
    write(os.path.join(folder, "busy", "notes.txt"), "not a report\n")
    write(os.path.join(folder, "plans", "private.key"), "a secret\n")
    other = lambda old, new: SETTINGS.replace(old, new)  # noqa: E731
    ship = lambda text: ["ship", kit, "--config", text, "--no-preview"]  # noqa: E731  (the settings' text)
    instme = os.path.join(kit, "Autoinst", "winme", "instme.exe")

    def link(target, where):
        return lambda: os.symlink(target, os.path.join(kit, *where.split("\\")))

    def fifo():
        os.rename(instme, instme + ".saved")
        os.mkfifo(instme)

    def names():
        for name in ("a:b.txt", "q?.txt", "CaSe.txt", "case.txt", "x|y.txt", "emoji\U0001F600.txt"):
            write(os.path.join(kit, "Autoinst", name), "")

    # what, a change to the kit, arguments, options to the run, exit code, what its output holds
    rows = [
        ("report over the folder of the kit", None, ship(other('"out/report"', '"."')), {}, 1,
         "[report] output: . holds the kit: not replacing it"),
        ("report over a folder of notes", None, ship(other('"out/report"', '"busy"')), {}, 1,
         "[report] output: busy holds files that are not an earlier report: not replacing them"),
        ("image over the key", None, ship(other('"out/DRIVERS_2026.iso"', '"keys/key.pem"')), {}, 1,
         "[image] output: keys/key.pem is [sign] key: not replacing it"),
        ("image over the settings", None, ship(other('"out/DRIVERS_2026.iso"', '"ship.toml"')), {}, 1,
         "[image] output: ship.toml is the settings file: not replacing it"),
        ("image over notes", None, ship(other('"out/DRIVERS_2026.iso"', '"notes.txt"')), {}, 1,
         "[image] output: notes.txt exists and is not an ISO image: not replacing it"),
        ("brand over a program of the maker's", lambda: write(os.path.join(kit, "tool.exe"), b"MZ a tool"),
         ship(other('"setup.exe"', '"tool.exe"')), {}, 1,
         "[launcher] name: dist/tool.exe exists and is not a build of this launcher: not replacing it"),
        ("image over notes, on the command line", None, ["image", kit, notes, "--label", "D"], {}, 1,
         f"kit image: {notes} exists and is not an ISO image: not replacing it"),
        ("preview's report over notes", None, ["preview", kit, "--report", "busy"], {}, 1,
         "preview: --report: busy holds files that are not an earlier report: not replacing them"),
        ("a link out of the kit", link(os.path.join(folder, "plans"), "Autoinst\\extras"), ["check", kit], {}, 1,
         f"Autoinst\\extras  a link to {os.path.join(folder, 'plans')}, outside the kit"),
        ("a link out of the kit, imaged", link(os.path.join(folder, "plans"), "Autoinst\\extras"),
         ["image", kit, os.path.join(folder, "D.iso"), "--label", "D"], {}, 1,
         "kit image: the distribution check found 1 error(s): fix them first; no image was written"),
        ("a link that loops", link("..", "Autoinst\\winme\\again"), ["check", kit], {}, 1,
         "a link to .., a folder that holds the link"),
        ("a FIFO for an installer", fifo, ["check", kit], {}, 1,
         "Autoinst\\winme\\instme.exe  a FIFO, not a file: nothing was read from it"),
        ("names the disc changes", names, ["check", kit], {}, 0, "Autoinst\\a:b.txt  the disc changes the name: "
         "it becomes 'a_b.txt'\nwarning  Autoinst\\case.txt  Windows takes Autoinst\\CaSe.txt and "
         "Autoinst\\case.txt for one name on the disc"),
        ("a name Windows refuses", names, ["check", kit], {}, 0, "Windows refuses '|' in a name"),
        ("a name beyond the disc's characters", names, ["check", kit], {}, 0, "it becomes 'emoji_.txt'"),
        ("a full disk", None, ["check", kit], {"stdout": "/dev/full"}, 1,
         "kit check: the standard output: No space left on device"),
        ("a label in lower case", None, ["image", kit, "x.iso", "--label", "drv"], {}, 2,
         "kit image: error: --label 'drv' cannot be a disc's name"),
        ("no such kit", None, ["check", os.path.join(folder, "nowhere")], {}, 2, "is not a folder"),
        ("an empty kit name", None, ["new", ""], {}, 2, "kit new: error: name the distribution's folder"),
        ("a name Windows cannot hold", None, ["new", "other", "--name", "a:b.exe"], {}, 2,
         "--name: 'a:b.exe': Windows refuses ':' in a name"),
        ("a timeout below zero", None, ["preview", kit, "--timeout", "-5"], {}, 2,
         "argument --timeout: -5: give a number of seconds above 0"),
        ("a Wine that is not there", None, ["preview", kit], {"env": {"WINE": "/nonexistent/wine"}}, 1,
         "preview: WINE=/nonexistent/wine: no such program"),
        ("a second ship", "locked", ship(SETTINGS), {}, 1,
         "kit ship: another ship of " + kit + " is running"),
    ]
    for what, change, argv, options, code, text in rows:
        if callable(change):
            change()
        if argv[0] == "ship":
            argv = argv[:3] + [project.settings(argv[3])] + argv[4:]
        before = tree(folder)
        with contextlib.ExitStack() as stack:
            if change == "locked":
                stack.enter_context(staging.lock_beside(kit))
            if options.get("stdout"):
                options = {**options, "stdout": stack.enter_context(open(options["stdout"], "w"))}
            result = kit_command(*argv, cwd=folder, timeout=60, **options)
        output = (result.stdout or "") + result.stderr
        check.expect(what, "exit code", result.returncode, code)
        if not check.expect(what, f"output holds {text!r}", re.sub(" +", "  ", text) in re.sub(" +", "  ", output),
                            True):
            print(f"  got: {output[-600:]}")
        if code == 1 and argv[0] != "check":
            check.expect(what, "one line", len(result.stderr.strip().splitlines()), 1)
        check.expect(what, "no traceback", "Traceback" in output, False)
        check.expect(what, "the maker's folder unchanged", differences(before, tree(folder)), [])
        # Undo the row's change for the next one.
        if change is fifo:
            os.remove(instme)
            os.rename(instme + ".saved", instme)
        elif change is names:
            for name in os.listdir(os.path.join(kit, "Autoinst")):
                if name.endswith(".txt"):
                    os.remove(os.path.join(kit, "Autoinst", name))
        for extra in ("Autoinst/extras", "Autoinst/winme/again", "tool.exe"):
            if os.path.lexists(os.path.join(kit, extra)):
                os.remove(os.path.join(kit, extra))
    return len(rows)


def test_signals(check, work):
    """A real TERM or HUP sent to a running ship while the launcher builds:
    it ends as Ctrl-C does, the maker's folder as it was, nothing left in
    build/, and no process of the build still running."""
    project = Project(work, "signals")
    build = os.path.join(ROOT, "build")
    rows = [(signal.SIGTERM, "brand"), (signal.SIGHUP, "brand")]
    for number, step in rows:
        row = f"{signal.Signals(number).name} during {step}"
        before, scratch = tree(project.folder), set(os.listdir(build))
        ship = subprocess.Popen([sys.executable, KIT, "ship", project.kit, "--config", project.config,
                                 "--no-preview"], cwd=project.folder, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # The first check's line: the brand step's build starts now.
        ship.stdout.readline()
        deadline = time.monotonic() + 60
        while not cli.descendants(ship.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(1)
        children = cli.descendants(ship.pid)
        ship.send_signal(number)
        stdout, stderr = ship.communicate(timeout=60)
        check.expect(row, "the build was running", bool(children), True)
        check.expect(row, "exit code", ship.returncode, 1)
        check.expect(row, "last line", (stderr.strip().splitlines() or [""])[-1],
                     "kit ship: interrupted; the kit and every output are as they were")
        check.expect(row, "the maker's folder unchanged", differences(before, tree(project.folder)), [])
        check.expect(row, "build/ scratch removed", sorted(set(os.listdir(build)) - scratch), [])
        check.expect(row, "no child left", [pid for pid in children if cli.alive(pid)], [])
    return len(rows)


TESTS = {"usage": test_usage, "new": test_new, "check": test_check, "sign": test_sign, "image": test_image,
         "brand": test_brand, "ship": test_ship, "preview_results": test_preview_results,
         "ship_preview": test_ship_preview, "adversarial": test_adversarial, "signals": test_signals}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("test", choices=sorted(TESTS))
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    work = os.path.join(args.work, args.test)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    if not os.path.isfile(paths.LAUNCHER):
        sys.exit(f"{paths.LAUNCHER} is missing: build it with tools/build.sh")
    check = Checker()
    cases = TESTS[args.test](check, work)
    if cases is None:
        print(f"kit {args.test}: skipped")
        sys.exit(77)
    print(f"kit {args.test}: {cases} cases, {check.failures} failures")
    sys.exit(1 if check.failures else 0)


if __name__ == "__main__":
    main()
