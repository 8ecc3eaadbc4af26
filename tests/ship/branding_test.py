"""Branding tests: the configure step's refusals and warning, the branded
program read back as Explorer would, and the unbranded program left bare.

CMake passes CMAKE (its own program), SHIP_WORK (a scratch folder) and
LAUNCHER_EXE (the unbranded build); the branded build goes to build/branded,
where the signing and image tests pick it up.
"""
import os
import shutil
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
from kitlib import interpreter  # noqa: E402

interpreter.require("pefile")
import pefile  # noqa: E402

import icons  # noqa: E402
from shared import run  # noqa: E402

CMAKE = os.environ.get("CMAKE", "cmake")
WORK = os.path.join(os.environ.get("SHIP_WORK", os.path.join(ROOT, "build", "ship-work")), "configure")
LAUNCHER_EXE = os.environ.get("LAUNCHER_EXE", os.path.join(ROOT, "build", "windows", "launcher.exe"))
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

# The build a distribution maker asks for: non-ASCII in every script the
# resource compiler has to carry through, and the quote and backslash it
# treats specially.
BRANDED = {
    "LAUNCHER_VERSION": "2.010.0.65535",
    "LAUNCHER_PRODUCT": "ドライバー集 \"Ω\" 2026",
    "LAUNCHER_COMPANY": "Société Exemple\\Labs",
    "LAUNCHER_DESCRIPTION": "セットアップ",
    "LAUNCHER_COPYRIGHT": "© 2026 Société Exemple",
}
EXPECTED_STRINGS = {
    "FileVersion": "2.10.0.65535",
    "ProductVersion": "2.10.0.65535",
    "ProductName": "ドライバー集 \"Ω\" 2026",
    "CompanyName": "Société Exemple\\Labs",
    "FileDescription": "セットアップ",
    "LegalCopyright": "© 2026 Société Exemple",
}
EXPECTED_FIXED_VERSION = (0x0002000A, 0x0000FFFF)


def configure(build, definitions):
    shutil.rmtree(build, ignore_errors=True)
    command = [CMAKE, "--preset", "windows", "-B", build] + [f"-D{k}={v}" for k, v in definitions.items()]
    return run(command, cwd=ROOT)


def our_lines(output):
    """The lines the branding writes: each starts with the variable's name."""
    return [line.strip() for line in output.splitlines() if line.strip().startswith("LAUNCHER_")]


@pytest.fixture(scope="module")
def icon_files():
    os.makedirs(WORK, exist_ok=True)
    files = {
        "bitmaps.ico": icons.ico(icons.BITMAPS),
        "png-only.ico": icons.ico(icons.PNG_ONLY),
        "png-and-bitmap.ico": icons.ico(icons.PNG_ONLY + icons.BITMAPS),
        "text.ico": b"Not an icon, although its name says so.\n",
        "bitmap.ico": b"BM" + bytes(60),
        "cut.ico": icons.ico(icons.BITMAPS)[:-10],
        "empty-directory.ico": b"\0\0\1\0\0\0" + bytes(40),
        "unreadable.ico": icons.ico(icons.BITMAPS),
    }
    for name, data in files.items():
        with open(os.path.join(WORK, name), "wb") as f:
            f.write(data)
    os.chmod(os.path.join(WORK, "unreadable.ico"), 0)


def path(name):
    return os.path.join(WORK, name)


def not_ico(name, why):
    return f"LAUNCHER_ICON: {path(name)} is not an .ico file ({why})"


def not_version(version):
    return f'LAUNCHER_VERSION: "{version}" is not a version: four numbers of at most 65535, as in 1.2.0.15'


NO_DIRECTORY = "no icon directory at its start"
# (what, definitions, configure fails, the one line it prints, or None: none at all)
CONFIGURE = [
    ("icon missing", {"LAUNCHER_ICON": path("missing.ico")}, True,
     f"LAUNCHER_ICON: {path('missing.ico')} does not exist"),
    ("icon a folder", {"LAUNCHER_ICON": WORK}, True, f"LAUNCHER_ICON: {WORK} is a folder, not an .ico file"),
    ("icon a text file", {"LAUNCHER_ICON": path("text.ico")}, True, not_ico("text.ico", NO_DIRECTORY)),
    ("icon a bitmap", {"LAUNCHER_ICON": path("bitmap.ico")}, True, not_ico("bitmap.ico", NO_DIRECTORY)),
    ("icon with no images", {"LAUNCHER_ICON": path("empty-directory.ico")}, True,
     not_ico("empty-directory.ico", NO_DIRECTORY)),
    ("icon cut short", {"LAUNCHER_ICON": path("cut.ico")}, True, not_ico("cut.ico", "image 1 lies outside the file")),
    pytest.param("icon unreadable", {"LAUNCHER_ICON": path("unreadable.ico")}, True,
                 f"LAUNCHER_ICON: {path('unreadable.ico')} cannot be read", id="icon unreadable",
                 marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file, whatever its mode")),
    ("version of three numbers", {"LAUNCHER_VERSION": "1.2.3"}, True, not_version("1.2.3")),
    ("version of five numbers", {"LAUNCHER_VERSION": "1.2.3.4.5"}, True, not_version("1.2.3.4.5")),
    ("version number over 65535", {"LAUNCHER_VERSION": "1.2.3.65536"}, True, not_version("1.2.3.65536")),
    ("version number of 20 digits", {"LAUNCHER_VERSION": "1.2.3.99999999999999999999"}, True,
     not_version("1.2.3.99999999999999999999")),
    ("version number negative", {"LAUNCHER_VERSION": "1.-2.3.4"}, True, not_version("1.-2.3.4")),
    ("version with a v", {"LAUNCHER_VERSION": "v1.2.3.4"}, True, not_version("v1.2.3.4")),
    # A refused version fails the step even when everything else is fine.
    ("good icon, bad version", {"LAUNCHER_ICON": path("bitmaps.ico"), "LAUNCHER_VERSION": "1.2"}, True,
     not_version("1.2")),
    ("product of two lines", {"LAUNCHER_PRODUCT": "two\nlines"}, True, "LAUNCHER_PRODUCT: holds a line break or a tab"),
    ("icon of PNG images only", {"LAUNCHER_ICON": path("png-only.ico")}, False,
     f"LAUNCHER_ICON: every image in {path('png-only.ico')} is PNG-compressed; Windows XP and older will show "
     "no icon (add a bitmap image, 32 or 48 pixels)"),
    ("icon of PNG and bitmap images", {"LAUNCHER_ICON": path("png-and-bitmap.ico")}, False, None),
    ("version 0.0.0.0", {"LAUNCHER_VERSION": "0.0.0.0", "LAUNCHER_ICON": path("bitmaps.ico")}, False, None),
    ("version with leading zeros", {"LAUNCHER_VERSION": "65535.00065535.0.1"}, False, None),
]


@pytest.mark.parametrize("what, definitions, fails, line", CONFIGURE,
                         ids=[row[0] if isinstance(row, tuple) else None for row in CONFIGURE])
def test_configure(icon_files, what, definitions, fails, line):
    build = os.path.join(WORK, "build")
    result = configure(build, definitions)
    assert (result.returncode != 0) == fails, "configure failed?\n" + result.stderr
    assert our_lines(result.stderr) == ([line] if line else []), "the lines naming a LAUNCHER_ variable"
    if fails:
        # Nothing to build from: no build system was written.
        assert [name for name in ("Makefile", "build.ninja", "launcher.rc", "launcher.exe")
                if os.path.exists(os.path.join(build, name))] == [], "files left in the build folder"


def strings_of(pe):
    found = {}
    for info in getattr(pe, "FileInfo", ()):
        for entry in info:
            for table in getattr(entry, "StringTable", ()):
                found.update({k.decode("utf-8"): v.decode("utf-8") for k, v in table.entries.items()})
    return found


def resource_types(pe):
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return sorted(entry.id for entry in directory.entries) if directory else []


@pytest.fixture(scope="module")
def branded():
    """build/branded/launcher.exe, built with BRANDED and an icon of two
    bitmaps; the icon's path and the program as pefile reads it."""
    work = os.path.join(os.path.dirname(WORK), "branded")
    os.makedirs(work, exist_ok=True)
    icon = os.path.join(work, "brand.ico")
    with open(icon, "wb") as f:
        f.write(icons.ico(icons.BITMAPS))
    build = os.path.join(ROOT, "build", "branded")
    result = configure(build, dict(BRANDED, LAUNCHER_ICON=icon))
    if result.returncode == 0:
        result = run([CMAKE, "--build", build, "--target", "launcher"])
    if result.returncode != 0:
        pytest.fail("the branded build did not build:\n" + result.stdout + result.stderr, pytrace=False)
    return icon, pefile.PE(os.path.join(build, "launcher.exe"))


def test_branded_resource_types(branded):
    assert resource_types(branded[1]) == [RT_ICON, RT_GROUP_ICON, RT_VERSION]


def test_branded_version_strings(branded):
    assert strings_of(branded[1]) == EXPECTED_STRINGS


def test_branded_fixed_versions(branded):
    fixed = branded[1].VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == EXPECTED_FIXED_VERSION, "file version"
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == EXPECTED_FIXED_VERSION, "product version"


def test_branded_icon_images(branded):
    # Both icon sizes made it into the group Explorer picks from.
    icon, pe = branded
    with open(icon, "rb") as f:
        count = int.from_bytes(f.read()[4:6], "little")
    icon_type = next(e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == RT_ICON)
    assert len(icon_type.directory.entries) == count


def test_unbranded():
    pe = pefile.PE(LAUNCHER_EXE)
    assert resource_types(pe) == []
    assert [s.Name for s in pe.sections if s.Name.startswith(b".rsrc")] == []
