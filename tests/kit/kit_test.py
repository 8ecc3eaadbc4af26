"""tools/kit, the distribution maker's one command: each subcommand's
refusals and its success through the front door, `new` run twice, and `ship`
stopped at each of its steps in turn leaving the kit and every output byte
for byte as they were, the key's password never in what it prints or writes.
What brand, sign and image do is tested in tests/ship; here, their wiring.

CMake runs one group at a time (-k test_GROUP), each with a --basetemp in
its build folder.
"""
import contextlib
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import types

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KIT = os.path.join(ROOT, "tools", "kit")
from kitlib import interpreter  # noqa: E402

interpreter.require("pefile", "tomllib", "jinja2")
import pefile  # noqa: E402

import icons  # noqa: E402
from kitlib import checks, errors, model, paths, preview, processes, wine  # noqa: E402
from kitlib.outputs import staging  # noqa: E402
from kitlib.preview import stand_ins  # noqa: E402
from kitlib.preview.results import Result  # noqa: E402
from kitlib.preview.tables import Row, Table  # noqa: E402
from kitlib.shipping import new as layout_new, pipeline as shipping  # noqa: E402
from shared import differences, last_line, tree  # noqa: E402
from sign_test import PASSWORD, make_certificates  # noqa: E402

STEPS = ["check", "brand", "sign", "check", "image", "preview", "report"]


@pytest.fixture(scope="module", autouse=True)
def built():
    try:
        paths.require_built(paths.LAUNCHER, paths.STAND_IN, paths.STAND_IN64)
    except paths.NotBuilt as error:
        pytest.fail(str(error), pytrace=False)


def kit_command(*args, cwd=None, env=None, stdout=subprocess.PIPE, timeout=None):
    return subprocess.run([sys.executable, KIT, *args], stdout=stdout, stderr=subprocess.PIPE, text=True,
                          cwd=cwd, stdin=subprocess.DEVNULL, env=env and {**os.environ, **env}, timeout=timeout)


def sample_kit(folder, name="launcher.exe"):
    """A clean kit of the stand-in installers, a genuine 64-bit one in the
    64-bit row, without the sample kit's marker."""
    preview.make_kit(folder, genuine64=True)
    os.remove(os.path.join(folder, model.kit.SAMPLE_MARKER))
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


def disc_top(image):
    """The files at the top of an image, by their Joliet names."""
    result = subprocess.run(["xorriso", "-no_rc", "-read_fs", "norock", "-indev", image, "-find", "/",
                             "-type", "f", "-exec", "lsdl"], capture_output=True, text=True)
    return sorted(path for path in re.findall(r"'(/.*)'$", result.stdout, re.M) if "/" not in path[1:])


# -- usage ----------------------------------------------------------------------

# arguments (KIT: a sample kit), exit code, text the output holds
USAGE = [
    ([], 2, "name a COMMAND"),
    (["bogus"], 2, "invalid choice: 'bogus'"),
    (["--help"], 0, "ship"),
    (["check"], 2, "the following arguments are required: kit"),
    (["brand", "--icon", "x.ico"], 2, "the following arguments are required: -o/--output"),
    (["ship", "KIT"], 2, "the following arguments are required: --config"),
    (["new", "KIT", "--name", "Autoinst\\setup.exe"], 2, "--name: give the launcher's file name alone"),
    (["new", "KIT", "--name", "setup.com"], 2, "does not end in .exe"),
    (["image", "KIT", "x.iso"], 2, "the following arguments are required: --label"),
    (["sign"], 2, "the following arguments are required: --cert, --key"),
    (["sign", "x.exe", "--cert", "c.pem", "--key", "k.pem", "--bogus"], 2, "unrecognized arguments: --bogus"),
    (["preview", "--windows", "16"], 2, "invalid choice: 16"),
    (["preview", "KIT", "--folder", "../up"], 2, "--folder '../up': give a folder's name"),
    (["preview", "KIT", "--folder", "Диск/a:b"], 2, "--folder 'Диск/a:b': Windows refuses ':' in a name"),
] + [([name, "--help"], 0, "sage:") for name in ("new", "check", "preview", "brand", "sign", "image", "ship")]


@pytest.fixture(scope="module")
def a_kit(tmp_path_factory):
    return sample_kit(str(tmp_path_factory.mktemp("usage") / "kit"))


@pytest.mark.parametrize("argv, code, text", USAGE, ids=["kit " + " ".join(row[0]) for row in USAGE])
def test_usage(a_kit, argv, code, text):
    result = kit_command(*[a_kit if arg == "KIT" else arg for arg in argv])
    output = result.stdout + result.stderr
    assert result.returncode == code, output[-400:]
    assert text in output


# -- new ------------------------------------------------------------------------

# What each note must tell, whatever its wording: the releases, the file
# name, the bitness and the highest subsystem version.
FACTS = {
    "Autoinst\\win98SE": ("Windows 95, 98 and 98 SE", "inst98.exe", "32-bit", "4.x"),
    "Autoinst\\winme": ("Windows Me", "instme.exe", "32-bit", "4.x"),
    "Autoinst\\win2k": ("Windows 2000", "inst2k.exe", "32-bit", "5.0"),
    "Autoinst\\winxp": ("Windows XP", "instxp.exe", "32-bit", "5.1"),
    "Autoinst\\winvista\\Vistax86": ("Windows Vista to 11 on x86", "instvs32.exe", "32-bit", "6.0"),
    "Autoinst\\winvista\\Vistax64": ("Windows Vista to 11, 64-bit", "instvs64.exe", "64-bit", "6.0"),
}
NOTES = {folder + "\\README.txt" for folder in FACTS}


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


# how the folder is before, --name, exit code, files expected (None: not checked), lines the output holds
NEW = [
    ("missing", None, 0, {"launcher.exe"} | NOTES, ["made  launcher.exe"]),
    ("missing", "setup.exe", 0, {"setup.exe"} | NOTES, ["made  setup.exe", "made  Autoinst\\winxp\\README.txt"]),
    ("own launcher", "setup.exe", 0, {"setup.exe"} | NOTES, ["kept  setup.exe: it differs from the built launcher"]),
    ("own note", None, 0, {"launcher.exe"} | NOTES, ["kept  Autoinst\\winme\\README.txt: it differs"]),
    ("folder in other case", None, 0, {"launcher.exe"} | {n.replace("winxp", "WinXP") for n in NOTES},
     ["kept  Autoinst\\WinXP: spelt differently"]),
    ("filled kit", "setup.exe", 0, None, []),
    ("file", None, 1, None, ["exists and is not a folder"]),
]


@pytest.mark.parametrize("how, name, code, files, lines", NEW, ids=[f"{row[0]}, --name {row[1]}" for row in NEW])
def test_new(tmp_path, how, name, code, files, lines):
    kit = os.path.join(tmp_path, "kit")
    prepare(how, kit)
    before = tree(kit) if how != "file" else None
    argv = ["new", kit] + (["--name", name] if name else [])
    result = kit_command(*argv)
    output = result.stdout + result.stderr
    assert result.returncode == code, output
    assert [line for line in lines if line not in output] == [], output
    if code != 0:
        return
    state = tree(kit)
    if files is not None:
        assert sorted(p.replace(os.sep, "\\") for p, v in state.items() if v[0] != "folder") == sorted(files)
    assert [path for path, value in (before or {}).items() if state.get(path) != value] == [], "not kept as it was"
    if how == "missing":
        with open(os.path.join(kit, name or "launcher.exe"), "rb") as f, open(paths.LAUNCHER, "rb") as built:
            assert f.read() == built.read(), "the launcher is not the built one"
        for folder, words in FACTS.items():
            with open(os.path.join(kit, *folder.split("\\"), "README.txt"), "rb") as f:
                text = f.read().decode("ascii")
            assert [word for word in words if word not in text] == [], f"{folder}\\README.txt does not name them"
    if how == "filled kit":
        # The notes do not disturb the check.
        assert [f for f in checks.check(kit, "setup.exe") if f.severity != model.INFO] == []
    # A second run changes nothing and says so.
    again = kit_command(*argv)
    assert (again.returncode, "made " in again.stdout) == (0, False), again.stdout
    assert differences(state, tree(kit)) == [], "a second run changed the kit"


def test_new_unbuilt(tmp_path):
    # The launcher not built: one line, nothing made.
    kit = os.path.join(tmp_path, "kit")
    with pytest.raises(layout_new.NewError, match="run tools/build.sh"):
        layout_new.new(kit, launcher=os.path.join(tmp_path, "no-such", "launcher.exe"))
    assert not os.path.exists(kit)


# -- check, sign, image, brand: the front door's wiring ------------------------

@pytest.mark.parametrize("options, code, text", [([], 1, "several programs at the top"),
                                                 (["--program", "launcher.exe"], 0, "0 error(s)")],
                         ids=["two programs", "two programs, --program names one"])
def test_check(tmp_path, options, code, text):
    two = sample_kit(os.path.join(tmp_path, "kit"))
    write(os.path.join(two, "Readme.exe"), b"MZ")
    result = kit_command("check", two, *options)
    assert result.returncode == code, result.stdout + result.stderr
    assert text in result.stdout + result.stderr


# The launcher's paths found whatever the pieces it is read in, one cut in
# the middle of a path included: (program, piece size, the paths not named).
UNNAMED = [("launcher", paths.LAUNCHER, 7, []), ("launcher", paths.LAUNCHER, 1 << 20, []),
           ("stand-in", paths.STAND_IN, 7, list(model.INSTALLERS))]


@pytest.mark.parametrize("what, program, piece, expected", UNNAMED,
                         ids=[f"{row[0]} in pieces of {row[2]}" for row in UNNAMED])
def test_check_unnamed_paths(what, program, piece, expected):
    assert model.unnamed_paths(program, piece) == expected


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    return make_certificates(str(tmp_path_factory.mktemp("certificates")))


# password file, exit code, signatures of the two programs afterwards
SIGN = [("pass.txt", 0, [["SHA256"], ["SHA256"]]), ("wrong-pass.txt", 1, [None, None])]


@pytest.mark.parametrize("password, code, expected", SIGN, ids=[row[0] for row in SIGN])
def test_sign(certificates, tmp_path, password, code, expected):
    # Two programs, the options among them: each gets the same; the first failure stops it.
    programs = [shutil.copy(paths.LAUNCHER, os.path.join(tmp_path, name)) for name in ("setup.exe", "other.exe")]
    result = kit_command("sign", programs[0], "--cert", certificates["cert.pem"], "--key", certificates["key.pem"],
                         programs[1], "--pass", certificates[password], "--ca", certificates["cert.pem"])
    assert result.returncode == code, result.stdout + result.stderr
    assert [signatures(p, certificates["cert.pem"]) for p in programs] == expected
    assert PASSWORD not in result.stdout + result.stderr, "the password printed"
    if code:
        assert last_line(result).startswith(f"kit sign: {programs[0]}: wrong password: ")


# label, exit code, the last line
IMAGE = [("DISC", 0, "{image}: label DISC, setup.exe at the top, started by autorun.inf"),
         ("my disc", 2, "kit image: error: --label 'my disc' cannot be a disc's name: 1 to 16 characters A-Z, "
          "0-9 and _ (ISO 9660 holds no others, and Windows shows only 16)")]


@pytest.mark.parametrize("label, code, line", IMAGE, ids=[row[0] for row in IMAGE])
def test_image(tmp_path, label, code, line):
    kit = sample_kit(os.path.join(tmp_path, "kit"), "setup.exe")
    image = os.path.join(tmp_path, "DISC.iso")
    result = kit_command("image", kit, image, "--label", label)
    assert result.returncode == code, result.stdout + result.stderr
    assert re.sub(r"; \d+ bytes$", "", last_line(result)) == line.format(image=image)


@pytest.fixture(scope="module")
def brand_folder(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("brand"))
    write(os.path.join(folder, "art", "app.ico"), icons.ico(icons.BITMAPS))
    write(os.path.join(folder, "art", "png.ico"), icons.ico(icons.PNG_ONLY))
    write(os.path.join(folder, "art", "text.ico"), "not an icon\n")
    write(os.path.join(folder, "out", "notes.txt"), "the maker's notes\n")
    return folder


LONG = "x" * 10000
UNICODE_BRANDING = ["--icon", "art/app.ico", "--version", "2.1.0.0", "--product", "ドライバー集 2026",
                    "--company", "Example Ltd", "--description", "Example Drivers Setup",
                    "--copyright", "© 2026 Example Ltd"]
# what, options ({folder}: the working folder), exit code, what the last line says, version strings afterwards.
# The icon's and version's own refusals are cmake/branding.cmake's, tested in tests/ship/branding_test.py:
# here, one of each to show they come back naming the option.
BRAND = [
    ("over the maker's notes", ["--output", "out/notes.txt"], 1,
     "kit brand: -o: out/notes.txt exists and is not a build of this launcher", None),
    ("texts too long", ["--product", LONG, "--company", LONG, "--description", LONG, "--copyright", LONG], 1,
     "kit brand: --product: too long: the texts (--product, --company, --description, --copyright) hold "
     "40000 UTF-16 characters in all; the version resource holds at most 32000", None),
    ("a text file as icon", ["--icon", "art/text.ico"], 1,
     "kit brand: --icon: {folder}/art/text.ico is not an .ico file", None),
    ("a version of two numbers", ["--version", "2.1"], 1, 'kit brand: --version: "2.1" is not a version', None),
    ("a product of two lines", ["--product", "two\nlines"], 1, "kit brand: --product: holds a line break or a tab",
     None),
    ("into a missing folder", ["--output", "nowhere/setup.exe"], 1, "kit brand: the folder of nowhere/setup.exe", None),
    ("over a folder", ["--output", "out"], 1, "kit brand: -o: out is a folder: name the file", None),
    # A relative icon is the current folder's, not the source tree's.
    ("every string, a relative icon", UNICODE_BRANDING, 0, "out/setup.exe: version 2.1.0.0, icon app.ico, 4 string(s)",
     {"FileVersion": "2.1.0.0", "ProductVersion": "2.1.0.0", "ProductName": "ドライバー集 2026",
      "CompanyName": "Example Ltd", "FileDescription": "Example Drivers Setup",
      "LegalCopyright": "© 2026 Example Ltd"}),
    ("an icon of PNG images only", ["--icon", "art/png.ico"], 0, "out/setup.exe: icon png.ico", {}),
]


@pytest.mark.parametrize("what, options, code, line, strings", BRAND, ids=[row[0] for row in BRAND])
def test_brand(brand_folder, what, options, code, line, strings):
    out = os.path.join(brand_folder, "out")
    target = shutil.copy(paths.LAUNCHER, os.path.join(out, "setup.exe"))   # an earlier build, which it replaces
    before = tree(out)
    argv = ["brand"] + ([] if "--output" in options else ["-o", "out/setup.exe"]) + options
    result = kit_command(*argv, cwd=brand_folder)
    assert result.returncode == code, result.stdout + result.stderr
    assert last_line(result).startswith(line.format(folder=brand_folder))
    if code:
        assert len(result.stderr.strip().splitlines()) == 1, result.stderr
        assert differences(before, tree(out)) == [], "the output folder changed"
        return
    assert sorted(os.listdir(out)) == ["notes.txt", "setup.exe"], "left beside it"
    assert version_strings(target) == strings
    if "art/png.ico" in options:
        assert "kit brand: warning: --icon: every image" in result.stdout


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


def other(old, new):
    return SETTINGS.replace(old, new)


class Project:
    """A distribution maker's folder: the kit, the settings beside it, the
    art and keys, and out/ for the image and the report."""

    def __init__(self, folder, launcher="setup.exe", settings=SETTINGS):
        self.folder = str(folder)
        self.kit = os.path.join(self.folder, "dist")
        result = kit_command("new", self.kit, "--name", launcher)
        assert result.returncode == 0, result.stdout + result.stderr
        for installer in model.INSTALLERS:
            source = paths.STAND_IN64 if installer == model.INSTALLERS[-1] else paths.STAND_IN
            shutil.copy(source, os.path.join(self.kit, *installer.split("\\")))
        write(os.path.join(self.folder, "art", "app.ico"), icons.ico(icons.BITMAPS))
        write(os.path.join(self.folder, "art", "text.ico"), "not an icon\n")
        self.keys = make_certificates(os.path.join(self.folder, "keys"))
        self.out = os.path.join(self.folder, "out")
        self.config = self.settings(settings)

    def settings(self, text, where=None):
        return write(where or os.path.join(self.folder, "ship.toml"), text)

    def ship(self, *options, config=None):
        return kit_command("ship", self.kit, "--config", config or self.config, *options, cwd=self.folder)


def step_lines(output):
    return [line for line in output.splitlines() if line.split(" ", 1)[0] in STEPS]


def without_time(line):
    return re.sub(r"\s+\d+\.\d s$", "", line)


@pytest.fixture(scope="module")
def shipped(tmp_path_factory):
    """A project shipped once with every section, the preview left out."""
    project = Project(tmp_path_factory.mktemp("ship"))
    return project, project.ship("--no-preview")


def test_ship_every_section(shipped):
    project, result = shipped
    assert result.returncode == 0, result.stdout + result.stderr
    lines = step_lines(result.stdout)
    assert [line.split()[0] for line in lines] == STEPS, "one line per step, in order"
    assert [line for line in lines if not re.search(r"\d+\.\d s$", line)] == [], "lines without their time"
    assert without_time(lines[5]) == "preview   skipped: --no-preview"
    assert PASSWORD not in result.stdout + result.stderr, "the password printed"
    launcher = os.path.join(project.kit, "setup.exe")
    assert signatures(launcher, project.keys["cert.pem"]) == ["SHA1", "SHA256"]
    assert version_strings(launcher).get("ProductName") == "Example Drivers 2026"
    assert disc_top(os.path.join(project.out, "DRIVERS_2026.iso")) == ["/autorun.inf", "/setup.exe"]
    assert sorted(os.listdir(os.path.join(project.out, "report"))) == ["check.json", "check.txt", "ship.txt"]
    written = b"".join(data for _, data in tree(project.out).values() if isinstance(data, bytes))
    assert PASSWORD.encode() not in written, "the password in an output"
    assert sorted(os.listdir(project.kit)) == ["Autoinst", "setup.exe"], "the kit holds more than the kit"
    assert sorted(os.listdir(project.out)) == ["DRIVERS_2026.iso", "report"], "left beside the outputs"


def test_ship_again_replaces_every_output(shipped):
    project, _ = shipped
    write(os.path.join(project.out, "report", "stale.txt"), "from an earlier run\n")
    again = project.ship("--no-preview")
    assert again.returncode == 0, again.stdout + again.stderr
    assert not os.path.exists(os.path.join(project.out, "report", "stale.txt")), "the report not replaced whole"


def test_ship_sections_left_out_skip_their_steps(tmp_path):
    bare = Project(tmp_path)
    os.rename(os.path.join(bare.kit, "setup.exe"), os.path.join(bare.kit, "launcher.exe"))
    config = bare.settings('[image]\noutput = "out/X.iso"\nlabel = "X"\n', os.path.join(bare.folder, "bare.toml"))
    before = tree(bare.kit)
    result = bare.ship("--no-preview", config=config)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = [without_time(line) for line in step_lines(result.stdout) if line.split()[0] in ("brand", "sign", "report")]
    assert lines == ["brand     skipped: no [launcher]; the kit's launcher.exe as it is",
                     "sign      skipped: no [sign]; launcher.exe stays unsigned", "report    skipped: no [report]"]
    assert differences(before, tree(bare.kit)) == [], "the kit changed"
    assert os.path.exists(os.path.join(bare.out, "X.iso"))


def test_ship_first_run_that_fails_leaves_no_trace(tmp_path):
    # Not even the folders it made for its outputs.
    fresh = Project(tmp_path, settings=other("keys/pass.txt", "keys/wrong-pass.txt"))
    before = tree(fresh.folder)
    result = fresh.ship("--no-preview")
    assert result.returncode == 1, result.stdout + result.stderr
    assert differences(before, tree(fresh.folder)) == [], "the project folder changed"


# A kit as `new` lays it out, the launcher as launcher.exe: ship names it as
# the settings say, or on a failure leaves the kit byte for byte.
# settings, exit code, the top of the kit afterwards (None: as before)
AFTER_NEW = [(SETTINGS, 0, ["Autoinst", "setup.exe"]), (other("keys/pass.txt", "keys/wrong-pass.txt"), 1, None)]


@pytest.mark.parametrize("text, code, top", AFTER_NEW, ids=["ship after new", "ship after new, wrong password"])
def test_ship_after_new(tmp_path, text, code, top):
    laid = Project(tmp_path, launcher="launcher.exe", settings=text)
    before = tree(laid.kit)
    result = laid.ship("--no-preview")
    assert result.returncode == code, result.stdout + result.stderr
    assert [line.split(";")[0] for line in step_lines(result.stdout) if line.startswith("brand")] \
        == ["brand     setup.exe, replaces launcher.exe: version 2.1.0.0, icon app.ico, 4 string(s)"]
    if top is None:
        assert differences(before, tree(laid.kit)) == [], "the kit changed"
        return
    assert sorted(os.listdir(laid.kit)) == top
    assert signatures(os.path.join(laid.kit, "setup.exe"), laid.keys["cert.pem"]) == ["SHA1", "SHA256"]
    assert disc_top(os.path.join(laid.out, "DRIVERS_2026.iso")) == ["/autorun.inf", "/setup.exe"]


# Changes to the kit for a row; each returns what undoes it.
def remove_installer(project):
    path = os.path.join(project.kit, "Autoinst", "win2k", "inst2k.exe")
    os.remove(path)
    return lambda: shutil.copy(paths.STAND_IN, path)


def second_launcher(project):
    path = shutil.copy(paths.LAUNCHER, os.path.join(project.kit, "launcher.exe"))
    return lambda: os.remove(path)


def own_program(project):
    path = os.path.join(project.kit, "setup.exe")
    saved = shutil.copy(path, os.path.join(project.folder, "setup.exe.saved"))
    shutil.copy(paths.STAND_IN, path)
    return lambda: os.replace(saved, path)


def rename_launcher(project):
    path = os.path.join(project.kit, "setup.exe")
    os.rename(path, os.path.join(project.kit, "my setup.exe"))
    return lambda: os.rename(os.path.join(project.kit, "my setup.exe"), path)


def key_inside(project):
    path = shutil.copy(project.keys["key.pem"], os.path.join(project.kit, "key.pem"))
    return lambda: os.remove(path)


def settings_inside(project):
    # The row's settings are written into the kit, not beside it.
    return lambda: os.remove(os.path.join(project.kit, "ship.toml"))


# what goes wrong, settings, a change to the kit, the step that fails (None: refused before any step),
# what its line (or the refusal) says ({kit}: the kit's folder)
SHIP_REFUSALS = [
    ("a bad icon", other("art/app.ico", "art/text.ico"), None, "brand", "[launcher] icon: "),
    ("a missing icon", other("art/app.ico", "art/none.ico"), None, None, "[launcher] icon: "),
    ("a wrong password", other("keys/pass.txt", "keys/wrong-pass.txt"), None, "sign", "setup.exe: wrong password: "),
    ("another certificate's key", other("keys/key.pem", "keys/other-key.pem"), None, "sign",
     "other-key.pem does not belong to the certificate"),
    ("an untrusted certificate", other('ca = "keys/cert.pem"', 'ca = "keys/other-cert.pem"'), None, "sign",
     "the signature does not verify"),
    ("a kit with an error", SETTINGS, remove_installer, "check", "missing: Autoinst\\win2k\\inst2k.exe"),
    ("a second launcher", SETTINGS, second_launcher, "check", "launcher.exe: another build of the launcher"),
    ("a program of the maker's own under the settings' name", SETTINGS, own_program, None,
     "setup.exe exists and is not a build of this launcher: not replacing it"),
    ("an unwritable image path", other("out/DRIVERS_2026.iso", "not-a-folder/D.iso"), None, "image", "not a folder"),
    ("a name AutoRun cannot start", other('name = "setup.exe"', 'name = "my setup.exe"'), rename_launcher, "image",
     "AutoRun cannot start 'my setup.exe'"),
    ("an unknown key", other("password_file", "pasword_file"), None, None,
     "ship.toml: [sign] unknown key 'pasword_file'"),
    ("a password in the settings", other('password_file = "keys/pass.txt"', f'password = "{PASSWORD}"'), None, None,
     "[sign] unknown key 'password'"),
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
     "[sign] key: {kit}/key.pem is inside the kit"),
    ("the settings inside the kit", SETTINGS.replace('"art/', '"../art/').replace('"keys/', '"../keys/')
     .replace('"out/', '"../out/'), settings_inside, None, "ship.toml is inside the kit"),
]


@pytest.mark.parametrize("what, text, change, step, message", SHIP_REFUSALS, ids=[row[0] for row in SHIP_REFUSALS])
def test_ship_refused(shipped, what, text, change, step, message):
    """Each row stops ship at one step (or before any); the kit and out/,
    which holds the previous run's image and report, stay byte for byte."""
    project, _ = shipped
    write(os.path.join(project.folder, "not-a-folder"), "a file where a folder is needed\n")
    config = project.settings(text, os.path.join(project.kit, "ship.toml") if change is settings_inside else None)
    undo = change(project) if change else None
    try:
        kit_before, out_before = tree(project.kit), tree(project.out)
        result = project.ship("--no-preview", config=config)
        output = result.stdout + result.stderr
        message = message.replace("{kit}", project.kit)
        assert result.returncode == 1, output
        lines = step_lines(result.stdout)
        if step is None:
            assert lines == [], "a step ran"
            assert message in last_line(result), output
            assert len(result.stderr.strip().splitlines()) == 1, result.stderr
        else:
            failed = [line for line in lines if " FAILED: " in line]
            assert [line.split()[0] for line in failed] == [step], "the failed step"
            assert message in result.stdout, "its line or details"
            assert lines[-1:] == failed, "a step ran after it"
        assert differences(kit_before, tree(project.kit)) == [], "the kit changed"
        assert differences(out_before, tree(project.out)) == [], "out/ changed"
        assert PASSWORD not in output, "the password printed"
    finally:
        if undo:
            undo()
        project.settings(SETTINGS)


# -- what ship makes of the preview's results ---------------------------------------

XP = model.INSTALLERS[3]


def fabricated(disc, name, problems):
    """A Preview as preview.run returns it for the disc: three tables of one
    Windows XP row, the 64-bit one a fault (the launcher's failure box); the
    problems, Wine's, in the first table's run."""
    found = wine.Wine("wine", "wine64", "wineserver", "wine-8.0 (Debian 8.0~repack-4)", wine.WITH_32BIT)
    session = types.SimpleNamespace(prefix=paths.PREFIXES[32], wine=found)
    layout = stand_ins.Layout(name, {XP: stand_ins.Slot(XP, XP, "32")})
    tables = []
    for key, bits, cd, starts in (("32", 32, False, True), ("64", 64, False, False), ("cd", 64, True, True)):
        row = Row(wine.Machine("winxp", wine.X86), model.windows.X86_WINDOWS)
        launches = [wine.Launch(XP, XP, "", XP, "32", "cdrom" if cd else "fixed")] if starts else []
        run = wine.Run(row.machine, "C:\\", launches, [] if starts else ["Exec fail"], 0, [],
                       list(problems) if key == "32" else [])
        tables.append(Table(key, bits, cd, [row], [Result(row, run, layout)], session))
    return preview.Preview(preview.Request(matrix=True, cd=True), found, {t.key: disc for t in tables}, [], tables)


REPORT = ["check.json", "check.txt", "ship.txt"]
# what preview.run does (a list: returns fabricated() with those problems; an exception: raises it),
# ship's exit code, its preview line, the report's files afterwards (None: out/ as before)
PREVIEW_ENDS = [
    ("tables, one fault", [], 0, "preview   ok, 3 tables, 1 fault",
     sorted(REPORT + ["index.html", "preview.json", "preview.txt"])),
    ("a run Wine got wrong", ["Wine did not show a box the launcher called for"], 1,
     "preview   FAILED: 1 run not judged", None),
    ("no Wine for 32-bit programs", wine.WineUnavailable("this kernel runs no 32-bit programs"), 0,
     "preview   skipped: this kernel runs no 32-bit programs", REPORT),
    ("Wine failed", wine.WineError("the prefix cannot be made"), 1, "preview   FAILED: the prefix cannot be made",
     None),
]


@pytest.fixture(scope="module")
def previewed(tmp_path_factory):
    """A project with no [launcher] (no build to wait for), shipped once."""
    project = Project(tmp_path_factory.mktemp("preview"), settings=SETTINGS[SETTINGS.index("[sign]"):])
    result = project.ship("--no-preview")
    assert result.returncode == 0, result.stdout + result.stderr
    return project


@pytest.mark.parametrize("what, ends, code, line, report", PREVIEW_ENDS, ids=[row[0] for row in PREVIEW_ENDS])
def test_preview_results(previewed, monkeypatch, what, ends, code, line, report):
    """What ship makes of each way the preview can end, preview.run stood
    in for in this process: Wine never runs."""
    calls = []

    def stand_in(disc, name, request, progress=None):
        calls.append((name, request.matrix, request.cd, request.own_display, request.screenshots is not None))
        if isinstance(ends, Exception):
            raise ends
        return fabricated(disc, name, ends)
    monkeypatch.setattr(preview, "run", stand_in)
    monkeypatch.chdir(previewed.folder)
    kit_before, out_before = tree(previewed.kit), tree(previewed.out)
    out = io.StringIO()
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            shipping.ship(previewed.kit, previewed.config, out=out)
        got = 0
    except errors.Failure as failure:
        got = failure.exit_code
    assert got == code, out.getvalue()
    assert [without_time(text) for text in step_lines(out.getvalue()) if text.startswith("preview")] == [line]
    assert calls == [("setup.exe", True, True, True, True)], "the disc's launcher, matrix, cd, own display, shots"
    if report is None:
        assert differences(kit_before, tree(previewed.kit)) == [], "the kit changed"
        assert differences(out_before, tree(previewed.out)) == [], "out/ changed"
        return
    folder = os.path.join(previewed.out, "report")
    assert sorted(os.listdir(folder)) == report
    if "preview.txt" in report:
        with open(os.path.join(folder, "preview.txt"), encoding="utf-8") as f:
            text = f.read()
        # It ran on the image's contents in a scratch folder: the text names the kit.
        assert re.findall(r"^(?:Check of|Launcher:) (.*)$", text, re.M) == [
            f"{previewed.kit}:", f"{previewed.kit}/setup.exe", f"{previewed.kit}/setup.exe",
            f"{previewed.kit}/setup.exe, from a CD-ROM drive (AutoRun)"]
        with open(os.path.join(folder, "preview.json"), encoding="utf-8") as f:
            found = json.load(f)
        assert [(table["windows"], table["rows"]) for table in found["tables"]] == PREVIEW_JSON, found


STAND_IN = "a stand-in ran in place of the installer: the preview does not run the distribution's installers"
# fabricated()'s three tables as the preview's JSON gives them
PREVIEW_JSON = [
    ("32", [{"release": "winxp", "arch": "x86", "modelled": False, "started": XP, "bits": "32", "boxes": [],
             "exit": 0, "verdict": "starts", "reason": None, "installer": None, "installer_note": STAND_IN}]),
    ("64", [{"release": "winxp", "arch": "x86", "modelled": False, "started": None, "bits": None,
             "boxes": ["Exec fail"], "exit": 0, "verdict": "fault", "reason": None, "installer": None,
             "installer_note": "no installer started"}]),
    ("cd", [{"release": "winxp", "arch": "x86", "modelled": False, "started": XP, "bits": "32", "boxes": [],
             "exit": 0, "verdict": "starts", "reason": None, "installer": None, "installer_note": STAND_IN}]),
]


# -- the whole of ship, under Wine ------------------------------------------------

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


def test_e2e_ship_with_preview(tmp_path):
    """The whole of ship, the preview of the image's contents under Wine
    included; skipped where this machine cannot run it. Then the report as a
    browser shows it: a row for each row of the tables, and a picture,
    loaded, for each box."""
    project = Project(tmp_path)
    result = project.ship()
    assert result.returncode == 0, result.stdout + result.stderr
    preview_line = [line for line in step_lines(result.stdout) if line.startswith("preview")]
    if preview_line and "skipped:" in preview_line[0]:
        pytest.skip(preview_line[0])
    assert [line.split()[1] for line in preview_line] == ["ok,"], result.stdout
    report = os.path.join(project.out, "report")
    with open(os.path.join(report, "preview.txt"), encoding="utf-8") as f:
        tables = f.read()
    assert "from a CD-ROM drive" in tables
    import browser
    seen = browser.load(os.path.join(report, "index.html"), os.path.join(project.out, "report-seen.png"))
    rows = table_rows(tables)
    assert len(seen["rows"]) == len(rows), "rows in the page"
    boxes = sum(0 if cells[3] in ("none", "?") else cells[3].count('", "') + 1 for cells in rows)
    assert len(seen["images"]) == boxes, "pictures in the page"
    assert [image["src"] for image in seen["images"] if not (image["complete"] and image["naturalWidth"])] == [], \
        "pictures not loaded"


# -- what a maker owns ----------------------------------------------------------

def linked(target, where):
    """A change: a link in the kit at where, to target ({folder}: the maker's folder)."""
    def change(project):
        path = os.path.join(project.kit, *where.split("\\"))
        os.symlink(target.replace("{folder}", project.folder), path)
        return lambda: os.remove(path)
    return change


def fifo(project):
    instme = os.path.join(project.kit, "Autoinst", "winme", "instme.exe")
    os.rename(instme, instme + ".saved")
    os.mkfifo(instme)
    return lambda: (os.remove(instme), os.rename(instme + ".saved", instme))


def odd_names(project):
    made = [write(os.path.join(project.kit, "Autoinst", name), "")
            for name in ("a:b.txt", "q?.txt", "CaSe.txt", "case.txt", "x|y.txt", "emoji\U0001F600.txt")]
    return lambda: [os.remove(path) for path in made]


def tool(project):
    path = write(os.path.join(project.kit, "tool.exe"), b"MZ a tool")
    return lambda: os.remove(path)


def locked(project):
    lock = staging.lock_beside(project.kit)
    lock.__enter__()
    return lambda: lock.__exit__(None, None, None)


def ship_with(text):
    """ship's arguments, the settings' text in place of their file."""
    return ["ship", "{kit}", "--config", text, "--no-preview"]


# what, a change to the kit, arguments ({kit}, {folder}), options to the run, exit code, what its output holds
ADVERSARIAL = [
    ("report over the folder of the kit", None, ship_with(other('"out/report"', '"."')), {}, 1,
     "[report] output: . holds the kit: not replacing it"),
    ("report over a folder of notes", None, ship_with(other('"out/report"', '"busy"')), {}, 1,
     "[report] output: busy holds files that are not an earlier report: not replacing them"),
    ("image over the key", None, ship_with(other('"out/DRIVERS_2026.iso"', '"keys/key.pem"')), {}, 1,
     "[image] output: keys/key.pem is [sign] key: not replacing it"),
    ("image over the settings", None, ship_with(other('"out/DRIVERS_2026.iso"', '"ship.toml"')), {}, 1,
     "[image] output: ship.toml is the settings file: not replacing it"),
    ("image over notes", None, ship_with(other('"out/DRIVERS_2026.iso"', '"notes.txt"')), {}, 1,
     "[image] output: notes.txt exists and is not an ISO image: not replacing it"),
    ("brand over a program of the maker's", tool, ship_with(other('"setup.exe"', '"tool.exe"')), {}, 1,
     "[launcher] name: dist/tool.exe exists and is not a build of this launcher: not replacing it"),
    ("image over notes, on the command line", None, ["image", "{kit}", "{folder}/notes.txt", "--label", "D"], {}, 1,
     "kit image: {folder}/notes.txt exists and is not an ISO image: not replacing it"),
    ("preview's report over notes", None, ["preview", "{kit}", "--report", "busy"], {}, 1,
     "preview: --report: busy holds files that are not an earlier report: not replacing them"),
    ("preview's JSON over notes", None, ["preview", "{kit}", "--json", "notes.txt"], {}, 1,
     "preview: --json: notes.txt exists and is not an earlier preview's JSON: not replacing it"),
    ("preview's JSON into the kit", None, ["preview", "{kit}", "--json", "{kit}/preview.json"], {}, 1,
     "preview: --json: {kit}/preview.json is in the kit, which the preview never changes"),
    ("preview's report into the kit", None, ["preview", "{kit}", "--report", "{kit}/report"], {}, 1,
     "preview: --report: {kit}/report is in the kit, which the preview never changes"),
    ("a link out of the kit", linked("{folder}/plans", "Autoinst\\extras"), ["check", "{kit}"], {}, 1,
     "Autoinst\\extras  a link to {folder}/plans, outside the kit"),
    ("a link out of the kit, imaged", linked("{folder}/plans", "Autoinst\\extras"),
     ["image", "{kit}", "{folder}/D.iso", "--label", "D"], {}, 1,
     "kit image: the distribution check found 1 error(s): fix them first; no image was written"),
    ("a link that loops", linked("..", "Autoinst\\winme\\again"), ["check", "{kit}"], {}, 1,
     "a link to .., a folder that holds the link"),
    ("a FIFO for an installer", fifo, ["check", "{kit}"], {}, 1,
     "Autoinst\\winme\\instme.exe  a FIFO, not a file: nothing was read from it"),
    ("names the disc changes", odd_names, ["check", "{kit}"], {}, 0, "Autoinst\\a:b.txt  the disc changes the name: "
     "it becomes 'a_b.txt'\nwarning  Autoinst\\case.txt  Windows takes Autoinst\\CaSe.txt and "
     "Autoinst\\case.txt for one name on the disc"),
    ("a name Windows refuses", odd_names, ["check", "{kit}"], {}, 0, "Windows refuses '|' in a name"),
    ("a name beyond the disc's characters", odd_names, ["check", "{kit}"], {}, 0, "it becomes 'emoji_.txt'"),
    ("a full disk", None, ["check", "{kit}"], {"stdout": "/dev/full"}, 1,
     "kit check: the standard output: No space left on device"),
    ("an empty kit name", None, ["new", ""], {}, 2, "kit new: error: name the distribution's folder"),
    ("a name Windows cannot hold", None, ["new", "other", "--name", "a:b.exe"], {}, 2,
     "--name: 'a:b.exe': Windows refuses ':' in a name"),
    ("a timeout below zero", None, ["preview", "{kit}", "--timeout", "-5"], {}, 2,
     "argument --timeout: -5: give a number of seconds above 0"),
    ("a Wine that is not there", None, ["preview", "{kit}"], {"env": {"WINE": "/nonexistent/wine"}}, 1,
     "preview: WINE=/nonexistent/wine: no such program"),
    ("a second ship", locked, ship_with(SETTINGS), {}, 1, "kit ship: another ship of {kit} is running"),
]


@pytest.fixture(scope="module")
def owned(tmp_path_factory):
    """A maker's folder with more in it than the kit: notes, a folder that is
    not a report, a private key in plans/."""
    project = Project(tmp_path_factory.mktemp("owned"))
    write(os.path.join(project.folder, "notes.txt"), "the maker's notes\n")
    write(os.path.join(project.folder, "busy", "notes.txt"), "not a report\n")
    write(os.path.join(project.folder, "plans", "private.key"), "a secret\n")
    return project


@pytest.mark.parametrize("what, change, argv, options, code, text", ADVERSARIAL, ids=[row[0] for row in ADVERSARIAL])
def test_adversarial(owned, what, change, argv, options, code, text):
    """Inputs a maker may give by mistake: each is refused or reported in
    one line with its exit code, and the maker's folder (the kit, the
    settings, keys and outputs beside it) stays byte for byte as it was."""
    def placed(arg):
        return arg.replace("{kit}", owned.kit).replace("{folder}", owned.folder)
    argv = [placed(arg) for arg in argv]
    if argv[0] == "ship":
        argv[3] = owned.settings(argv[3])
    undo = change(owned) if change else None
    try:
        before = tree(owned.folder)
        with contextlib.ExitStack() as stack:
            if options.get("stdout"):
                options = {**options, "stdout": stack.enter_context(open(options["stdout"], "w"))}
            result = kit_command(*argv, cwd=owned.folder, timeout=60, **options)
        output = (result.stdout or "") + result.stderr
        assert result.returncode == code, output[-600:]
        assert re.sub(" +", "  ", placed(text)) in re.sub(" +", "  ", output), output[-600:]
        if code == 1 and argv[0] != "check":
            assert len(result.stderr.strip().splitlines()) == 1, result.stderr
        assert "Traceback" not in output
        assert differences(before, tree(owned.folder)) == [], "the maker's folder changed"
    finally:
        if undo:
            undo()


def left_in_build(before, grace=60):
    """What is new in build/ since before, once the ship ended, and stays
    there: a test running alongside has scratch folders of its own there for
    a while (ship's, a brand's build), never for long."""
    new = set(os.listdir(paths.BUILD)) - before
    deadline = time.monotonic() + grace
    while new and time.monotonic() < deadline:
        time.sleep(0.5)
        new &= set(os.listdir(paths.BUILD))
    return sorted(new)


@pytest.fixture(scope="module")
def interrupted(tmp_path_factory):
    return Project(tmp_path_factory.mktemp("signals"))


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP], ids=["TERM during brand", "HUP during brand"])
def test_signals(interrupted, number):
    """A real TERM or HUP sent to a running ship while the launcher builds:
    it ends as Ctrl-C does, the maker's folder as it was, nothing left in
    build/, and no process of the build still running."""
    before, scratch = tree(interrupted.folder), set(os.listdir(paths.BUILD))
    ship = subprocess.Popen([sys.executable, KIT, "ship", interrupted.kit, "--config", interrupted.config,
                             "--no-preview"], cwd=interrupted.folder, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The first check's line: the brand step's build starts now.
    ship.stdout.readline()
    deadline = time.monotonic() + 60
    while not processes.descendants(ship.pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(1)
    children = processes.descendants(ship.pid)
    ship.send_signal(number)
    _, stderr = ship.communicate(timeout=60)
    assert children, "the build was not running"
    assert ship.returncode == 1, stderr
    assert (stderr.strip().splitlines() or [""])[-1] \
        == "kit ship: interrupted; the kit and every output are as they were"
    assert differences(before, tree(interrupted.folder)) == [], "the maker's folder changed"
    assert left_in_build(scratch) == [], "build/ scratch left"
    assert [pid for pid in children if processes.alive(pid)] == [], "a child left running"
