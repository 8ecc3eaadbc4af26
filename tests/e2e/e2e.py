"""End-to-end tests: the real launcher under Wine, in kits built for each
case, compared with the installer, the boxes and the exit code expected.

CTest runs each case alone (pytest e2e.py::test_case[NAME]) after the set-up
test of its prefix (e2e.py::test_prepare[32] or [64]); `e2e.py --list LABEL`
gives it the names. A case this machine or this Wine cannot run is skipped,
which conftest.py turns into CTest's exit 77. E2E_WORK names the folder for
the kits (build/e2e), LAUNCHER_EXE the launcher put in them (this build's).
"""
import contextlib
import dataclasses
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kitlib import model, paths, preview, wine  # noqa: E402
from kitlib.wine import AS_IS, Machine, X86, X64  # noqa: E402

WIN98, ME, W2K, XP, VISTA32, VISTA64 = model.INSTALLERS

NO_BOXES = ()
UNKNOWN = ("Unknow OS version", "Exec fail")
EXEC_FAIL = ("Exec fail",)
NOTICE = {VISTA32: ("VISTA32",), VISTA64: ("VISTA64",)}
LONG_VALUE = "x86" + "-long" * 14   # 73 bytes: too long for the launcher's 64-byte buffer
CDROM = "5"    # GetDriveType's DRIVE_CDROM, as the stand-in records it
PLANT = os.path.join(paths.HELPERS, "plant.dll")       # records the programs it is loaded into
CONTROL = os.path.join(paths.HELPERS, "control.exe")   # loads the DLL its command line names
WORK = os.environ.get("E2E_WORK") or os.path.join(paths.BUILD, "e2e")
LAUNCHER = os.environ.get("LAUNCHER_EXE") or paths.LAUNCHER


@dataclasses.dataclass
class Case:
    name: str
    machine: Machine
    installer: str   # expected, relative to the kit; None: nothing started
    boxes: tuple
    folder: str = "kit"        # the kit's folder name
    start: str = "quoted"      # how the command line names the launcher, see command_line()
    omit: tuple = ()           # installers missing from the kit
    composed: tuple = ()       # (installer, length): pad the kit's folder so that folder + installer has that length
    windows: int = 32          # the prefix: 32-bit or 64-bit Windows
    genuine64: bool = False    # the 64-bit installer is a 64-bit program
    cd: str = None             # "root" or "sub": the kit is on the CD-ROM drive, at its root or in a folder
    plant: str = None          # a DLL name: the recording DLL goes next to the launcher under it
    true32: bool = False       # needs a genuine 32-bit Windows, not one a WoW64-only Wine emulates
    program: str = "launcher.exe"   # the launcher's file name in the kit
    lang: str = None           # the locale Wine runs under, which sets its ANSI code page (None: C.UTF-8, 1252)

    @property
    def label(self):
        return "e2e64" if self.windows == 64 else "e2e"

    def bits(self):
        """How the expected installer must run: 64-bit only where it is one."""
        return "64" if self.genuine64 and self.installer == VISTA64 else "32"


def launched(installer):
    """The boxes a successful launch of the installer brings."""
    return NOTICE.get(installer, NO_BOXES)


# One row per Windows release, including those the launcher serves none of.
RELEASE_CASES = [
    Case("release.win31_win32s", Machine("win31"), None, UNKNOWN),
    Case("release.win95", Machine("win95"), WIN98, NO_BOXES),
    Case("release.win98", Machine("win98"), WIN98, NO_BOXES),
    Case("release.winme", Machine("winme"), ME, NO_BOXES),
    Case("release.nt351", Machine("nt351"), None, UNKNOWN),
    Case("release.nt40", Machine("nt40"), None, UNKNOWN),
    Case("release.win2k", Machine("win2k"), W2K, NO_BOXES),
    Case("release.winxp", Machine("winxp"), XP, NO_BOXES),
    Case("release.winxp_amd64", Machine("winxp", X64), XP, NO_BOXES),
    Case("release.winxp64", Machine("winxp64", X64), None, UNKNOWN),
    Case("release.win2003_x86", Machine("win2003", X86), None, UNKNOWN),
    Case("release.win2003_amd64", Machine("win2003", X64), None, UNKNOWN),
    Case("release.vista_x86", Machine("vista", X86), VISTA32, launched(VISTA32)),
    Case("release.vista_amd64", Machine("vista", X64), VISTA64, launched(VISTA64)),
    Case("release.win7_amd64", Machine("win7", X64), VISTA64, launched(VISTA64)),
    Case("release.win8_x86", Machine("win8", X86), VISTA32, launched(VISTA32)),
    Case("release.win10_x86", Machine("win10", X86), VISTA32, launched(VISTA32)),
    Case("release.win10_amd64", Machine("win10", X64), VISTA64, launched(VISTA64)),
    Case("release.win11_x86", Machine("win11", X86), VISTA32, launched(VISTA32)),
    Case("release.win11_amd64", Machine("win11", X64), VISTA64, launched(VISTA64)),
]

# The architecture probe on the registry itself, on NT 6 where it shows:
# (place 1, place 2) -> the installer.
ARCH_CASES = [
    Case(f"arch.{name}", Machine("vista", place1, place2), installer, launched(installer))
    for name, place1, place2, installer in [
        ("place1_ia64", "IA64", None, VISTA64),
        ("place1_x86_place2_amd64", X86, X64, VISTA32),
        ("place1_amd64_place2_x86", X64, X86, VISTA64),
        ("place1_missing_place2_x86", None, X86, VISTA32),
        ("place1_missing_place2_amd64", None, X64, VISTA64),
        ("missing_at_both", None, None, VISTA64),
        ("place1_too_long_place2_x86", LONG_VALUE, X86, VISTA32),
        ("place1_too_long_place2_missing", LONG_VALUE, None, VISTA64),
    ]
]

# What the user sees when the kit lacks the installer.
MISSING_CASES = [
    Case("missing.winxp", Machine("winxp"), None, EXEC_FAIL, omit=(XP,)),
    Case("missing.vista_x86", Machine("vista", X86), None, ("VISTA32", "Exec fail"), omit=(VISTA32,)),
    Case("missing.vista_amd64", Machine("vista", X64), None, ("VISTA64", "Exec fail"), omit=(VISTA64,)),
]

# How the launcher finds its folder from its command line.
FOLDER_CASES = [
    Case("folder.spaces_quoted", Machine("winxp"), XP, NO_BOXES, folder="my kit"),
    Case("folder.unquoted", Machine("winxp"), XP, NO_BOXES, start="unquoted"),
    # Unquoted, the path ends at the first blank: the folder is the one
    # holding "my kit", which has no installers.
    Case("folder.spaces_unquoted", Machine("winxp"), None, EXEC_FAIL, folder="my kit", start="unquoted"),
    Case("folder.argument_with_backslash", Machine("winxp"), XP, NO_BOXES, start="quoted_argument"),
    Case("folder.unquoted_argument_with_backslash", Machine("winxp"), XP, NO_BOXES, start="unquoted_argument"),
    Case("folder.bare_name_in_current_folder", Machine("winxp"), XP, NO_BOXES, start="bare"),
    Case("folder.path_255_chars", Machine("winxp"), XP, NO_BOXES, composed=(XP, 255)),
    Case("folder.path_256_chars", Machine("winxp"), None, EXEC_FAIL, composed=(XP, 256)),
    Case("folder.path_256_chars_vista", Machine("vista", X86), None, ("VISTA32", "Exec fail"),
         composed=(VISTA32, 256)),
]

# Folders and a program named outside the ANSI code page (Wine's follows the
# locale: C.UTF-8 is 1252, ru_RU 1251, zh_CN 936): NT starts the installer by
# its UTF-16 path, as a user whose profile or stick is named in another script
# needs; 9x has only the ANSI path, in its own code page. The controls: a
# character of the code page, and Cyrillic where the code page is Russian.
RU = "ru_RU.UTF-8"
UNICODE_CASES = [
    Case("unicode.cyrillic_xp", Machine("winxp"), XP, NO_BOXES, folder="Алексей/dist"),
    Case("unicode.cyrillic_win2k", Machine("win2k"), W2K, NO_BOXES, folder="Алексей/dist"),
    Case("unicode.cyrillic_win7_amd64", Machine("win7", AS_IS), VISTA64, launched(VISTA64),
         folder="Алексей/Downloads/dist", windows=64, genuine64=True),
    Case("unicode.cjk_win10_x86", Machine("win10", X86), VISTA32, launched(VISTA32), folder="安装程序"),
    Case("unicode.greek_under_russian_vista_amd64", Machine("vista", AS_IS), VISTA64, launched(VISTA64),
         folder="Ελληνικά", windows=64, genuine64=True, lang=RU),
    Case("unicode.emoji_win10_amd64", Machine("win10", AS_IS), VISTA64, launched(VISTA64), folder="Setup 🎮",
         windows=64, genuine64=True),
    Case("unicode.program_name_win8_amd64", Machine("win8", AS_IS), VISTA64, launched(VISTA64), folder="Диск",
         program="установка.exe", windows=64, genuine64=True),
    Case("unicode.missing_cyrillic_xp", Machine("winxp"), None, EXEC_FAIL, folder="Алексей/dist", omit=(XP,)),
    Case("unicode.cyrillic_nt40", Machine("nt40"), None, UNKNOWN, folder="Алексей/dist"),
    Case("unicode.code_page_character_xp", Machine("winxp"), XP, NO_BOXES, folder="Jürgen"),
    Case("unicode.cyrillic_under_russian_xp", Machine("winxp"), XP, NO_BOXES, folder="Алексей", lang=RU),
    Case("unicode.code_page_character_win98", Machine("win98"), WIN98, NO_BOXES, folder="Jürgen"),
]

# A 64-bit installer on a 32-bit Windows that claims AMD64: the launcher
# picks it, and Windows refuses to start it.
WOW_CASES = [
    Case("wow.genuine64_on_32bit_windows", Machine("win7", X64), None, ("VISTA64", "Exec fail"),
         genuine64=True, true32=True),
]

# A real 64-bit Windows (WOW64 prefix), its registry as it is: the 32-bit
# launcher must start the 64-bit installer as a 64-bit process.
WIN64_CASES = [
    Case(f"win64.{release}", Machine(release, AS_IS), installer, boxes, windows=64, genuine64=True)
    for release, installer, boxes in [
        ("winxp", XP, NO_BOXES),
        ("winxp64", None, UNKNOWN),
        ("win2003", None, UNKNOWN),
        ("vista", VISTA64, launched(VISTA64)),
        ("win7", VISTA64, launched(VISTA64)),
        ("win8", VISTA64, launched(VISTA64)),
        ("win81", VISTA64, launched(VISTA64)),
        ("win10", VISTA64, launched(VISTA64)),
        ("win11", VISTA64, launched(VISTA64)),
    ]
]

# Started from a CD-ROM drive: by AutoRun (quoted, current folder in
# system32), typed unquoted, or by bare name from the CD's folder.
CD_CASES = [
    Case(f"cd{windows}.{place}_{start}", machine, installer, launched(installer), start=start, cd=place,
         windows=windows, genuine64=windows == 64)
    for windows, machine, installer in [(32, Machine("winxp"), XP), (64, Machine("win10", AS_IS), VISTA64)]
    for place in ("root", "sub")
    for start in ("quoted", "unquoted", "bare")
]

# A DLL planted next to the launcher under the name of one that the boxes
# make Windows load by bare name must stay out of it: where the search can be
# narrowed to the system folder (win7), on Vista, which preloads instead, and
# where no installer is started (nt40). uxtheme rather than shcore, version
# or imm32: Wine loads those at process start, before the launcher's code.
PLANT_CASES = [
    Case("plant.win7_amd64", Machine("win7", X64), VISTA64, launched(VISTA64), plant="uxtheme"),
    Case("plant.vista_x86", Machine("vista", X86), VISTA32, launched(VISTA32), plant="uxtheme"),
    Case("plant.nt40", Machine("nt40"), None, UNKNOWN, plant="uxtheme"),
]


CASES = {case.name: case for case in
         RELEASE_CASES + ARCH_CASES + MISSING_CASES + FOLDER_CASES + UNICODE_CASES + WOW_CASES + WIN64_CASES
         + CD_CASES + PLANT_CASES}
ARGUMENT = "C:\\some folder\\file.txt"


def padded_folder(base, length):
    """A folder below base whose Windows path, trailing backslash included,
    is exactly length characters long."""
    left = length - len(wine.to_windows(base)) - 1
    if left < 2:
        raise wine.WineError(f"{base} is too long a path for a {length}-character folder")
    parts = []
    while left > 101:   # Linux allows 255 bytes per name; stay well below
        parts.append("d" * 80)
        left -= 81
    parts.append("k" * (left - 1))
    return os.path.join(base, *parts)


def command_line(case, kit, session):
    """The command line and current folder the launcher is started with."""
    program = session.windows_path(os.path.join(kit, case.program))
    lines = {
        "quoted": f'"{program}"',
        "unquoted": program,
        "quoted_argument": f'"{program}" {ARGUMENT}',
        "unquoted_argument": f"{program} {ARGUMENT}",
        "bare": case.program,
    }
    # Started by its bare name, the launcher has only the current folder to
    # go by; otherwise that folder is elsewhere, so that it cannot help (from
    # a CD, where AutoRun leaves it).
    if case.start == "bare":
        return lines[case.start], kit
    return lines[case.start], wine.AUTORUN_FOLDER if case.cd else None


def cd_folder(case):
    return os.path.join(WORK, case.name, "cd")


def build_kit(case):
    base = os.path.join(WORK, case.name)
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    if case.composed:
        installer, length = case.composed
        kit = padded_folder(base, length - len(installer))
    elif case.cd:
        kit = cd_folder(case) if case.cd == "root" else os.path.join(cd_folder(case), "setup")
    else:
        kit = os.path.join(base, *case.folder.split("/"))
    preview.make_kit(kit, omit=case.omit, genuine64=case.genuine64, launcher=LAUNCHER)
    if case.program != "launcher.exe":
        os.rename(os.path.join(kit, "launcher.exe"), os.path.join(kit, case.program))
    return kit


def plant_dll(case, session, kit, overrides):
    """Puts the recording DLL next to the launcher under the case's name and
    runs the control there: unless the control records the plant, Wine would
    not have loaded it into the launcher either, and the case proves nothing."""
    paths.require_built(PLANT, CONTROL)
    shutil.copy(PLANT, os.path.join(kit, case.plant + ".dll"))
    shutil.copy(CONTROL, os.path.join(kit, "control.exe"))
    control = session.windows_path(os.path.join(kit, "control.exe"))
    run = session.run(kit, case.machine, program="control.exe", command_line=f'"{control}" {case.plant}.dll',
                      dll_overrides=overrides, starts_installer=False, label=case.name + "-control")
    if not any(program.lower() == control.lower() for program, _ in run.loaded):
        pytest.fail(f"control: the planted {case.plant}.dll was not loaded into control.exe (exit {run.exit_code},"
                    f" loads recorded {run.loaded!r}), so this case cannot tell", pytrace=False)


def check(case, session):
    """Runs one case; returns what it showed and what was expected, each
    {what: value}, and the command line it was started with."""
    kit = build_kit(case)
    line, start_folder = command_line(case, kit, session)
    overrides = f"{case.plant}=n,b" if case.plant else None
    if case.plant:
        plant_dll(case, session, kit, overrides)
    run = session.run(kit, case.machine, program=case.program, command_line=line, start_folder=start_folder,
                      dll_overrides=overrides)
    print(f"{case.windows}-bit Windows, {case.machine.release}, PROCESSOR_ARCHITECTURE "
          f"{case.machine.describe_arch()}, started as {line} in {run.start_folder}")
    print(f"installer {', '.join(launch.how() for launch in run.launches) or 'none'}, "
          f"boxes {wine.format_boxes(run.boxes)}, exit {run.exit_code}"
          + (f", after {run.attempts} attempts" if run.attempts > 1 else ""))

    showed = {
        "doubts about the run": run.problems,
        "installer started": [launch.relative for launch in run.launches],
        # As the installer itself saw its path (the stand-in records it in UTF-8).
        "its own path": [launch.path for launch in run.launches],
        "boxes": tuple(run.boxes),
        "exit code": run.exit_code,
        # Each start: its arguments, current folder, bitness, whether from a CD-ROM drive.
        "starts": [(launch.arguments(), launch.folder.rstrip("\\"), launch.bits, launch.drive == CDROM)
                   for launch in run.launches],
    }
    expected = {
        "doubts about the run": [],
        "installer started": [case.installer] if case.installer else [],
        "its own path": [session.windows_path(os.path.join(kit, *case.installer.split("\\")))] if case.installer
        else [],
        "boxes": case.boxes,
        "exit code": 0,
        # No working directory is passed: the installer inherits the
        # launcher's current folder.
        "starts": [("", run.start_folder.rstrip("\\"), case.bits(), bool(case.cd))] * len(run.launches),
    }
    if case.plant:
        program = session.windows_path(os.path.join(kit, "launcher.exe")).lower()
        showed["loads of the planted DLL into launcher.exe"] = [dll for loader, dll in run.loaded
                                                               if loader.lower() == program]
        expected["loads of the planted DLL into launcher.exe"] = []
    return showed, expected


def why_skipped(case, found):
    """Why this Wine cannot run the case at all, or None."""
    if not found.knows(case.machine.release):
        return f"{found.describe()} does not know the release {case.machine.release}"
    if case.true32 and not found.true_32bit:
        return f"it needs a genuine 32-bit Windows, which {found.describe()} cannot make"
    return None


@contextlib.contextmanager
def wine_or_skip():
    """A machine that cannot run 32-bit programs skips; any other trouble
    fails in one line."""
    try:
        yield
    except wine.WineUnavailable as error:
        pytest.skip(str(error))
    except (wine.WineError, preview.KitError, paths.NotBuilt, OSError) as error:
        pytest.fail(str(error), pytrace=False)


@pytest.fixture(scope="module")
def found():
    with wine_or_skip():
        return wine.find_wine()


@pytest.mark.parametrize("bits", [32, 64], ids=["32", "64"])
def test_prepare(found, bits):
    """Creates the prefix that the cases of its label share."""
    with wine_or_skip(), wine.WineSession(paths.PREFIXES[bits], own_display=True, windows=bits, wine=found,
                                          **paths.session_paths(bits)) as session:
        print(f"e2e: {bits}-bit Windows in {session.prefix}: {found.describe()} ({found.version})"
              + ("" if found.true_32bit or bits == 64 else ", " + found.how_32bit_windows()))


def generated(name):
    """Whether the locale is there to run Wine under (locale -a says ru_RU.utf8)."""
    listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
    return name.lower().replace("utf-8", "utf8") in listed


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_case(found, case, monkeypatch):
    reason = why_skipped(case, found)
    if reason:
        pytest.skip(reason)
    if case.lang:
        if not generated(case.lang):
            pytest.fail(f"the locale {case.lang} is not generated: tools/dev/setup.sh e2e makes it", pytrace=False)
        monkeypatch.setenv("LC_ALL", case.lang)
    if case.cd:
        os.makedirs(cd_folder(case), exist_ok=True)
    # A session per case: each may need another prefix or CD-ROM.
    with wine_or_skip(), wine.WineSession(paths.PREFIXES[case.windows], own_display=True, windows=case.windows,
                                          cdrom=cd_folder(case) if case.cd else None, wine=found,
                                          **paths.session_paths(case.windows)) as session:
        showed, expected = check(case, session)
    assert showed == expected


if __name__ == "__main__":
    # CMake makes a CTest test of each case of a label: e2e (the 32-bit
    # Windows) or e2e64 (the 64-bit one).
    if len(sys.argv) != 3 or sys.argv[1] != "--list":
        sys.exit("usage: e2e.py --list e2e|e2e64   (the cases run under pytest)")
    print("\n".join(name for name, case in CASES.items() if case.label == sys.argv[2]))
