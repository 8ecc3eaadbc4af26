#!/usr/bin/env python3
"""The shipped launcher under Wine: the contents of a CD image started as
AutoRun starts them from a CD-ROM drive, and a signed launcher doing exactly
what the unsigned one does.

Usage: wine_test.py (cd|signed) --work DIR --program LAUNCHER --branded BRANDED [--prefix DIR]
"""
import argparse
import configparser
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import make_kit  # noqa: E402
import signing  # noqa: E402
import paths  # noqa: E402
import windows  # noqa: E402
import wine  # noqa: E402
from wine import Machine, X86, X64  # noqa: E402

from checking import Checker, run  # noqa: E402
from sign_test import make_certificates  # noqa: E402

KIT = os.path.join(ROOT, "tools", "kit")
WIN98, ME, W2K, XP, VISTA32, VISTA64 = windows.INSTALLERS
UNKNOWN = ["Unknow OS version", "Exec fail"]
SKIPPED = 77   # CTest's SKIP_RETURN_CODE for this test

# machine, installer expected (None: none), boxes expected
ROWS = [
    (Machine("win95"), WIN98, []),
    (Machine("win2k"), W2K, []),
    (Machine("winxp"), XP, []),
    (Machine("win7", X86), VISTA32, ["VISTA32"]),
    (Machine("win10", X64), VISTA64, ["VISTA64"]),
    (Machine("nt40"), None, UNKNOWN),
]


def fresh(folder):
    """An empty folder; files extracted from an image come read-only."""
    if os.path.exists(folder):
        for parent, folders, _ in os.walk(folder):
            for name in folders:
                os.chmod(os.path.join(parent, name), 0o755)
        os.chmod(folder, 0o755)
        shutil.rmtree(folder)
    os.makedirs(folder)
    return folder


def signed_kit(work, name, launcher, top_name, certificates):
    """A sample kit whose launcher, under top_name, is signed SHA-1 + SHA-256."""
    kit = make_kit.make_kit(os.path.join(work, name), launcher=launcher)
    program = os.path.join(kit, top_name)
    os.replace(os.path.join(kit, "launcher.exe"), program)
    try:
        signing.sign(program, cert=certificates["cert.pem"], key=certificates["key.pem"],
                     password_file=certificates["pass.txt"], ca=certificates["cert.pem"], also_sha1=True)
    except signing.SignError as error:
        sys.exit(f"could not sign {program}: {error}")
    return kit


def check_run(check, row, result, installer, boxes, drive=None):
    check.expect(row, "problems", result.problems, [])
    check.expect(row, "installer started", [launch.relative for launch in result.launches],
                 [installer] if installer else [])
    check.expect(row, "boxes", result.boxes, boxes)
    check.expect(row, "exit code", result.exit_code, 0)
    for launch in result.launches:
        check.expect(row, "installer's arguments", launch.arguments(), "")
        if drive:
            check.expect(row, "drive the installer ran from", wine.DRIVE_TYPES.get(launch.drive, launch.drive),
                         drive)


def test_cd(args, check):
    """Kit -> branded, signed setup.exe -> image -> its contents on drive D:,
    started by the command autorun.inf names, from AutoRun's folder."""
    certificates = make_certificates(os.path.join(args.work, "certificates"))
    kit = signed_kit(args.work, "kit", args.branded, "setup.exe", certificates)
    image = os.path.join(args.work, "DRIVERS.iso")
    result = run([sys.executable, KIT, "image", kit, image, "--label", "DRIVERS"])
    if result.returncode != 0:
        sys.exit(f"make_media.py failed:\n{result.stdout}{result.stderr}")
    disc = fresh(os.path.join(args.work, "disc"))
    result = run(["xorriso", "-no_rc", "-osirrox", "on", "-indev", image, "-extract", "/", disc])
    if result.returncode != 0:
        sys.exit(f"xorriso could not extract {image}:\n{result.stderr}")
    autorun = configparser.ConfigParser()
    autorun.read(os.path.join(disc, "autorun.inf"), encoding="ascii")
    program = autorun["autorun"]["open"]
    check.expect("autorun.inf", "open=", program, "setup.exe")

    with wine.WineSession(args.prefix, own_display=True, cdrom=disc, **paths.session_paths(32)) as session:
        command_line = f'"{session.windows_path(os.path.join(disc, program))}"'
        check.expect("session", "the launcher's path", command_line, '"D:\\setup.exe"')
        for machine, installer, boxes in ROWS:
            row = f"CD {machine.release} {machine.describe_arch()}"
            result = session.run(disc, machine, program=program, command_line=command_line,
                                 start_folder=wine.AUTORUN_FOLDER)
            print(f"{row}: installer {result.installer()}, boxes {result.boxes}, exit {result.exit_code}")
            check_run(check, row, result, installer, boxes, drive="cdrom")
    return len(ROWS)


def test_signed(args, check):
    """The same rows, signed and unsigned, in one session: signing must not
    change what the launcher does."""
    certificates = make_certificates(os.path.join(args.work, "certificates"))
    signed = signed_kit(args.work, "signed", args.program, "launcher.exe", certificates)
    unsigned = make_kit.make_kit(os.path.join(args.work, "unsigned"), launcher=args.program)
    with wine.WineSession(args.prefix, own_display=True, **paths.session_paths(32)) as session:
        for machine, installer, boxes in ROWS:
            for name, kit in (("unsigned", unsigned), ("signed", signed)):
                row = f"{name} {machine.release} {machine.describe_arch()}"
                result = session.run(kit, machine)
                print(f"{row}: installer {result.installer()}, boxes {result.boxes}, exit {result.exit_code}")
                check_run(check, row, result, installer, boxes)
    return 2 * len(ROWS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("test", choices=("cd", "signed"))
    parser.add_argument("--work", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--branded", required=True)
    parser.add_argument("--prefix", default=paths.PREFIXES[32])
    args = parser.parse_args()
    args.work = fresh(os.path.join(args.work, args.test))
    check = Checker()
    try:
        cases = (test_cd if args.test == "cd" else test_signed)(args, check)
    except wine.WineUnavailable as error:
        print(f"skipped: {error}")
        sys.exit(SKIPPED)
    except (wine.WineError, make_kit.KitError, paths.NotBuilt) as error:
        sys.exit(f"wine_test.py: {error}")
    print(f"{cases} runs, {check.failures} failures")
    sys.exit(1 if check.failures else 0)


if __name__ == "__main__":
    main()
