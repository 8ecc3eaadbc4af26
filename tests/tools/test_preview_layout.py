"""The preview's scratch copy of a distribution made of ordinary programs
(not the project's recording stand-ins), with the launcher renamed
setup.exe and one installer missing: which stand-in stands where, what stays
missing, and that the kit is byte for byte unchanged. No Wine."""
import os

import pytest

import samples
from samples import ordinary_kit, read, tree_digest
from kitlib import model, paths
from kitlib.preview import stand_ins, tables

WIN98, ME, W2K, XP, VISTA32, VISTA64 = model.INSTALLERS


# -- the scratch copy ----------------------------------------------------

# One table per layout decision: (row, what the kit holds there, the path
# laid in the copy or None, its stand-in's bitness, why nothing runs), one
# kit each; an ARM64 program takes the x64 row, so it has a kit of its own.
KITS = {
    "six rows": [
        ("i686 program", WIN98, "i686", WIN98, "32", ""),
        ("missing", ME, None, None, None, f"missing: {ME}"),
        ("name differs in case", W2K, ("Autoinst\\WIN2K\\Inst2k.EXE", "i686"), "Autoinst\\WIN2K\\Inst2k.EXE", "32",
         ""),
        ("misspelt folder", XP, ("Autoinst\\win_xp\\instxp.exe", "i686"), None, None, f"missing: {XP}"),
        ("not a program", VISTA32, b"MZ but no more", VISTA32, None, "not a program: "),
        ("x86_64 program", VISTA64, "x86_64", VISTA64, "64", ""),
    ],
    "arm64": [
        ("arm64 program", VISTA64, "arm64", VISTA64, None, "ARM64 program on an x64 Windows"),
    ],
}
SLOTS = [(kit,) + row for kit, rows in KITS.items() for row in rows]


@pytest.fixture(scope="module")
def laid(tmp_path_factory):
    """Each kit of KITS laid out once: {kit: (its folder, its digest before,
    the copy, the layout)}."""
    done = {}
    for name, rows in KITS.items():
        work = str(tmp_path_factory.mktemp(name.replace(" ", "_")))
        files = {}
        for _, row, held, *_ in rows:
            if held is not None:
                path, what = held if isinstance(held, tuple) else (row, held)
                files[path] = what
        kit = ordinary_kit(os.path.join(work, "kit"), files)
        before = tree_digest(kit)
        copy = os.path.join(work, "copy")
        done[name] = (kit, before, copy, stand_ins.lay(kit, copy))
    return done


@pytest.mark.parametrize("kit, row, slot, held, path, bits, why", SLOTS, ids=[row[1] for row in SLOTS])
def test_slot(laid, kit, row, slot, held, path, bits, why):
    copy, layout = laid[kit][2:]
    found = layout.slots[slot]
    assert (found.bits, found.why[:len(why)], found.found) == (bits, why, path)
    if path is not None:
        placed = read(os.path.join(copy, *path.split("\\")))
        if bits:
            assert placed == read(paths.STAND_IN64 if bits == "64" else paths.STAND_IN), "not the stand-in"
        else:
            assert placed == stand_ins.NOT_A_PROGRAM


@pytest.mark.parametrize("kit", KITS)
def test_copy(laid, kit):
    """The launcher under its own name, nothing but what was laid, the kit as it was."""
    folder, before, copy, layout = laid[kit]
    assert layout.program == "setup.exe"
    assert read(os.path.join(copy, "setup.exe")) == read(samples.LAUNCHER_EXE)
    assert sum(len(files) for _, _, files in os.walk(copy)) == 1 + sum(1 for row in KITS[kit] if row[3])
    assert tree_digest(folder) == before, "the kit changed"


NINE_X = ("win31", "win95", "win98", "winme")
# the --folder name, the locale Wine runs under, the releases left out of the matrix
UNNAMED = [
    ("Jürgen", {"LANG": "C.UTF-8"}, ()),
    ("Алексей/dist", {"LANG": "C.UTF-8"}, NINE_X),
    ("Алексей/dist", {"LANG": "ru_RU.UTF-8"}, ()),
    ("Алексей/dist", {"LANG": "ru_RU.KOI8-R"}, NINE_X),       # not UTF-8: Wine runs under C.UTF-8
    ("Jürgen", {"LC_ALL": "ru_RU.UTF-8", "LANG": "C.UTF-8"}, NINE_X),
    ("安装程序", {"LC_CTYPE": "zh_CN.UTF-8"}, ()),
    ("安装程序", {"LANG": "ja_JP.UTF-8"}, ()),
    ("Алексей/安装 🎮", {"LANG": "zh_CN.UTF-8"}, NINE_X),
    ("plain", {}, ()),
]


@pytest.mark.parametrize("folder, env, left_out", UNNAMED, ids=[f"{row[0]}-{row[1]}" for row in UNNAMED])
def test_releases_that_cannot_name_the_folder(monkeypatch, folder, env, left_out):
    for name in ("LC_ALL", "LC_CTYPE", "LANG"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    got, why = tables.unnamed_folder(tables.Request(folder=folder))
    assert got == left_out, f"{folder} under {env}: {got}, expected {left_out}"
    assert bool(why) == bool(left_out)
