"""The shipped launcher under Wine: the contents of a CD image started as
AutoRun starts them from a CD-ROM drive, and a signed launcher doing exactly
what the unsigned one does.

CMake passes LAUNCHER_EXE and BRANDED_EXE, and a --basetemp in its build
folder. A machine that cannot run 32-bit programs skips every test, and the
run ends with exit code 77 (conftest.py).
"""
import configparser
import contextlib
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KIT = os.path.join(ROOT, "tools", "kit")
from kitlib import model, paths, wine  # noqa: E402
from kitlib.preview import make_kit  # noqa: E402
from kitlib.shipping import sign as signing  # noqa: E402
from kitlib.wine import Machine, X86, X64  # noqa: E402

from shared import run  # noqa: E402
from sign_test import make_certificates  # noqa: E402

PROGRAMS = {"plain": os.environ.get("LAUNCHER_EXE", paths.LAUNCHER),
            "branded": os.environ.get("BRANDED_EXE", os.path.join(ROOT, "build", "branded", "launcher.exe"))}
WIN98, ME, W2K, XP, VISTA32, VISTA64 = model.INSTALLERS
UNKNOWN = ["Unknow OS version", "Exec fail"]

# machine, installer expected (None: none), boxes expected
ROWS = [
    (Machine("win95"), WIN98, []),
    (Machine("win2k"), W2K, []),
    (Machine("winxp"), XP, []),
    (Machine("win7", X86), VISTA32, ["VISTA32"]),
    (Machine("win10", X64), VISTA64, ["VISTA64"]),
    (Machine("nt40"), None, UNKNOWN),
]
ROW_IDS = [f"{machine.release} {machine.describe_arch()}" for machine, _, _ in ROWS]


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    return make_certificates(str(tmp_path_factory.mktemp("certificates")))


def signed_kit(folder, launcher, top_name, certificates):
    """A sample kit whose launcher, under top_name, is signed SHA-1 + SHA-256."""
    if not os.path.isfile(PROGRAMS[launcher]):
        pytest.fail(f"{PROGRAMS[launcher]} is missing: build it first", pytrace=False)
    kit = make_kit(folder, launcher=PROGRAMS[launcher])
    program = os.path.join(kit, top_name)
    os.replace(os.path.join(kit, "launcher.exe"), program)
    signing.sign(program, cert=certificates["cert.pem"], key=certificates["key.pem"],
                 password_file=certificates["pass.txt"], ca=certificates["cert.pem"], also_sha1=True)
    return kit


def started(**options):
    """A Wine session in the e2e tests' 32-bit prefix, for a fixture to
    yield from; skips where this machine cannot run 32-bit programs."""
    with contextlib.ExitStack() as stack:
        try:
            session = stack.enter_context(wine.WineSession(paths.PREFIXES[32], own_display=True,
                                                           **paths.session_paths(32), **options))
        except wine.WineUnavailable as error:
            pytest.skip(str(error))
        except wine.WineError as error:
            pytest.fail(str(error), pytrace=False)
        yield session


@pytest.fixture(scope="module")
def disc(tmp_path_factory, certificates):
    """Kit -> branded, signed setup.exe -> image -> its contents, to be drive D:."""
    work = str(tmp_path_factory.mktemp("cd"))
    kit = signed_kit(os.path.join(work, "kit"), "branded", "setup.exe", certificates)
    image = os.path.join(work, "DRIVERS.iso")
    result = run([sys.executable, KIT, "image", kit, image, "--label", "DRIVERS"])
    assert result.returncode == 0, result.stdout + result.stderr
    folder = os.path.join(work, "disc")
    result = run(["xorriso", "-no_rc", "-osirrox", "on", "-indev", image, "-extract", "/", folder])
    assert result.returncode == 0, result.stderr
    # Files extracted from an image come read-only; the next run's clean-up
    # must be able to remove them.
    for parent, folders, _ in os.walk(folder):
        for name in folders:
            os.chmod(os.path.join(parent, name), 0o755)
    os.chmod(folder, 0o755)
    return folder


@pytest.fixture(scope="module")
def cd_session(disc):
    yield from started(cdrom=disc)


@pytest.fixture(scope="module")
def kits(tmp_path_factory, certificates):
    work = str(tmp_path_factory.mktemp("signed"))
    return {"unsigned": make_kit(os.path.join(work, "unsigned"), launcher=PROGRAMS["plain"]),
            "signed": signed_kit(os.path.join(work, "signed"), "plain", "launcher.exe", certificates)}


@pytest.fixture(scope="module")
def plain_session():
    yield from started()


def check_run(result, installer, boxes, drive=None):
    assert (result.problems, [launch.relative for launch in result.launches], result.boxes, result.exit_code) \
        == ([], [installer] if installer else [], boxes, 0), "problems, installers started, boxes, exit code"
    for launch in result.launches:
        assert launch.arguments() == "", "the installer's arguments"
        if drive:
            assert wine.DRIVE_TYPES.get(launch.drive, launch.drive) == drive, "the drive the installer ran from"


def test_cd_autorun(disc, cd_session):
    autorun = configparser.ConfigParser()
    autorun.read(os.path.join(disc, "autorun.inf"), encoding="ascii")
    assert autorun["autorun"]["open"] == "setup.exe"
    assert cd_session.windows_path(os.path.join(disc, "setup.exe")) == "D:\\setup.exe"


@pytest.mark.parametrize("machine, installer, boxes", ROWS, ids=ROW_IDS)
def test_cd(disc, cd_session, machine, installer, boxes):
    """Started by the command autorun.inf names, from AutoRun's folder."""
    command_line = f'"{cd_session.windows_path(os.path.join(disc, "setup.exe"))}"'
    result = cd_session.run(disc, machine, program="setup.exe", command_line=command_line,
                            start_folder=wine.AUTORUN_FOLDER)
    check_run(result, installer, boxes, drive="cdrom")


@pytest.mark.parametrize("which", ["unsigned", "signed"])
@pytest.mark.parametrize("machine, installer, boxes", ROWS, ids=ROW_IDS)
def test_signed(kits, plain_session, machine, installer, boxes, which):
    """Signing must not change what the launcher does: the same rows, signed
    and unsigned, in one session."""
    check_run(plain_session.run(kits[which], machine), installer, boxes)
