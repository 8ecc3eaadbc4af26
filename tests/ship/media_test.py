"""CD image tests: tools/kit image on sample kits, the image read back as
Windows reads it (the Joliet names), and the refusals, which leave neither an
image nor a changed kit behind.

CMake passes LAUNCHER_EXE and BRANDED_EXE, and a --basetemp in its build folder.
"""
import os
import re
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KIT = os.path.join(ROOT, "tools", "kit")
from kitlib import model  # noqa: E402
from kitlib.preview import make_kit  # noqa: E402
from shared import last_line, run, tree  # noqa: E402

PROGRAMS = {"plain": os.environ.get("LAUNCHER_EXE", os.path.join(ROOT, "build", "windows", "launcher.exe")),
            "branded": os.environ.get("BRANDED_EXE", os.path.join(ROOT, "build", "branded", "launcher.exe"))}
INSTALLER_PATHS = ["/" + path.replace("\\", "/") for path in model.INSTALLERS]


@pytest.fixture(scope="module", autouse=True)
def built():
    missing = [path for path in PROGRAMS.values() if not os.path.isfile(path)]
    if missing:
        pytest.fail(f"{', '.join(missing)} missing: build it first", pytrace=False)


def joliet_files(image):
    """Every file of the image under the name Windows sees: the Joliet tree,
    Rock Ridge (which only Unix reads) left out."""
    result = run(["xorriso", "-no_rc", "-read_fs", "norock", "-indev", image, "-find", "/", "-type", "f",
                  "-exec", "lsdl"])
    return sorted(re.findall(r"'(/.*)'$", result.stdout, re.M))


def volume_id(image):
    result = run(["xorriso", "-no_rc", "-indev", image, "-pvd_info"])
    found = re.search(r"^Volume Id\s*: (.*)$", result.stdout, re.M)
    return found.group(1) if found else None


def extracted(image, path, work):
    target = os.path.join(work, "extracted")
    if os.path.exists(target):
        os.chmod(target, 0o600)
        os.remove(target)
    result = run(["xorriso", "-no_rc", "-osirrox", "on", "-indev", image, "-extract", path, target])
    if result.returncode != 0 or not os.path.exists(target):
        return None
    with open(target, "rb") as f:
        return f.read()


def kit(work, name, launcher="plain", top_name="launcher.exe", omit=(), extra=(), linked=(), outside=False):
    """A sample kit; the files in linked are links to copies in its payload
    folder (outside it, with outside)."""
    folder = os.path.join(work, name)
    make_kit(folder, omit=omit, launcher=PROGRAMS[launcher])
    store = os.path.join(work, name + "-payload") if outside else os.path.join(folder, "payload")
    os.makedirs(store, exist_ok=True)
    for path in linked:
        inside = os.path.join(folder, *path.split("\\"))
        copy = os.path.join(store, os.path.basename(inside))
        os.replace(inside, copy)
        os.symlink(copy, inside)
    if top_name != "launcher.exe":
        os.rename(os.path.join(folder, "launcher.exe"), os.path.join(folder, top_name))
    for path, data in extra:
        full = os.path.join(folder, path)
        if data is None:
            os.remove(full)
        else:
            with open(full, "wb") as f:
                f.write(data)
    return folder


def autorun(*lines):
    return ("\r\n".join(("[autorun]",) + lines) + "\r\n").encode()


# what, the kit (kit()'s options), image options, files expected at the top besides the installers, autorun.inf
IMAGES = [
    ("plain", {}, ["--label", "SAMPLE_KIT"], ["/launcher.exe"], autorun("open=launcher.exe", "label=SAMPLE_KIT")),
    # A launcher with an icon lends it to the drive in Explorer.
    ("branded", {"launcher": "branded", "top_name": "setup.exe"}, ["--label", "DRIVERS_2026"], ["/setup.exe"],
     autorun("open=setup.exe", "icon=setup.exe", "label=DRIVERS_2026")),
    ("two programs, one named", {"extra": [("Readme.exe", b"MZ")]}, ["--label", "A", "--program", "launcher.exe"],
     ["/Readme.exe", "/launcher.exe"], autorun("open=launcher.exe", "label=A")),
    # Joliet holds no links: the disc must carry the file itself.
    ("installers linked", {"linked": model.INSTALLERS}, ["--label", "LINKED"],
     ["/launcher.exe"] + ["/payload/" + path.split("\\")[-1] for path in model.INSTALLERS],
     autorun("open=launcher.exe", "label=LINKED")),
    ("no autorun", {"launcher": "branded", "top_name": "Setup.exe",
                    "extra": [("AUTORUN.INF", b"[autorun]\r\nopen=x.exe\r\n")]},
     ["--label", "MINE", "--no-autorun"], ["/AUTORUN.INF", "/Setup.exe"], None),
]


@pytest.mark.parametrize("what, made, options, top, inf", IMAGES, ids=[row[0] for row in IMAGES])
def test_image(tmp_path, what, made, options, top, inf):
    folder = kit(tmp_path, "kit", **made)
    image = os.path.join(tmp_path, "disc.iso")
    before = tree(folder)
    result = run([sys.executable, KIT, "image", folder, image] + options)
    assert result.returncode == 0, result.stdout + result.stderr
    assert joliet_files(image) == sorted(INSTALLER_PATHS + top + (["/autorun.inf"] if inf else [])), \
        "files on the disc (Joliet names)"
    assert volume_id(image) == options[options.index("--label") + 1]
    if inf:
        assert extracted(image, "/autorun.inf", tmp_path) == inf
    for path in (top[-1], INSTALLER_PATHS[-1]):
        with open(os.path.join(folder, path.lstrip("/")), "rb") as f:
            assert extracted(image, path, tmp_path) == f.read(), f"{path} on the disc is not the kit's"
    assert tree(folder) == before, "the kit changed"
    assert sorted(n for n in os.listdir(tmp_path) if n.startswith(".")) == [], "left beside the image"


PREVIOUS_IMAGE = bytes(0x8001) + b"CD001 the previous image"
LONG_NAME = "Read me first, before you install anything from this disc, please.txt"
# The kits the refusals are tried on, by name: kit()'s options.
REFUSED_KITS = {
    "good": {},
    "spaced": {"top_name": "my setup.exe"},
    "no-launcher": {"extra": [("launcher.exe", None)]},
    "two": {"extra": [("Readme.exe", b"MZ")]},
    "missing-installer": {"omit": ("Autoinst\\win2k\\inst2k.exe",)},
    "own-autorun": {"extra": [("Autorun.inf", b"[autorun]\r\n")]},
    "too-long": {"extra": [(LONG_NAME, b"69 characters: more than Joliet holds")]},
    "linked-out": {"linked": model.INSTALLERS[:1], "outside": True},
}
BAD_LABEL = "--label {!r} cannot be a disc's name"
# kit, the image (below the work folder), label, extra options, what the last line says
REFUSALS = [
    ("no-launcher", "refused.iso", "X", [], "has no launcher at its top: no launcher: no .exe at the top"),
    ("two", "refused.iso", "X", [], "several programs at the top (Readme.exe, launcher.exe)"),
    ("good", "refused.iso", "X", ["--program", "setup.exe"], "has no launcher named setup.exe at its top"),
    ("good", "refused.iso", "X", ["--program", "Autoinst\\winxp\\instxp.exe"], "has no launcher"),
    ("good", "refused.iso", "sample", [], BAD_LABEL.format("sample")),
    ("good", "refused.iso", "MY DISC", [], BAD_LABEL.format("MY DISC")),
    ("good", "refused.iso", "SEVENTEEN_LETTERS", [], BAD_LABEL.format("SEVENTEEN_LETTERS")),
    ("good", "refused.iso", "", [], BAD_LABEL.format("")),
    ("good", "refused.iso", "DISQUE_É", [], BAD_LABEL.format("DISQUE_É")),
    ("good", "good/out.iso", "X", [], "would be inside the distribution"),
    ("good", "good/Autoinst/out.iso", "X", [], "would be inside the distribution"),
    ("good", "good/launcher.exe", "X", [], "would be inside the distribution"),
    ("good", "good/../good/x.iso", "X", [], "would be inside the distribution"),
    ("good", ".", "X", [], "is a folder"),
    ("spaced", "refused.iso", "X", [], "AutoRun cannot start 'my setup.exe'"),
    ("own-autorun", "refused.iso", "X", [], "already has an Autorun.inf"),
    ("missing-installer", "refused.iso", "X", [], "the distribution check found 1 error(s)"),
    ("linked-out", "refused.iso", "X", [], "the distribution check found 1 error(s)"),
    ("too-long", "refused.iso", "X", [], f"{LONG_NAME}: Joliet holds names of at most 64 characters"),
]


@pytest.fixture(scope="module")
def refused_kits(tmp_path_factory):
    work = str(tmp_path_factory.mktemp("refusals"))
    return work, {name: kit(work, name, **options) for name, options in REFUSED_KITS.items()}


@pytest.mark.parametrize("name, target, label, options, message", REFUSALS,
                         ids=[f"{row[0]} -> {row[1]} --label {row[2]!r} {' '.join(row[3])}".strip()
                              for row in REFUSALS])
def test_refused(refused_kits, name, target, label, options, message):
    work, kits = refused_kits
    folder, target = kits[name], work if target == "." else os.path.join(work, *target.split("/"))
    image = os.path.join(work, "refused.iso")
    # An image already there (its first bytes as an ISO's) must survive a
    # refused run untouched.
    with open(image, "wb") as f:
        f.write(PREVIOUS_IMAGE)
    existed = os.path.exists(target)
    before = tree(folder)
    result = run([sys.executable, KIT, "image", folder, target, "--label", label] + options)
    assert result.returncode == (2 if message.startswith("--label") else 1), result.stdout + result.stderr
    assert message in last_line(result)
    assert tree(folder) == before, "the kit changed (names, modes or bytes)"
    with open(image, "rb") as f:
        assert f.read() == PREVIOUS_IMAGE, "the previous image changed"
    assert os.path.exists(target) == existed, "an image was written"
