#!/usr/bin/env python3
"""Builds a sample distribution for the launcher: the launcher at the top and
the stand-in installer at every path the launcher may start.

Usage: tools/kitlib/make_kit.py [DEST]   (default build/kit; needs the windows build)
"""
import argparse
import os
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINDOWS_BUILD = os.path.join(ROOT, "build", "windows")
LAUNCHER = os.path.join(WINDOWS_BUILD, "launcher.exe")
STAND_IN = os.path.join(WINDOWS_BUILD, "tools", "helpers", "stand_in.exe")
STARTER = os.path.join(WINDOWS_BUILD, "tools", "helpers", "starter.exe")
# The same two built as 64-bit programs.
STAND_IN64 = os.path.join(WINDOWS_BUILD, "tools", "helpers", "stand_in64.exe")
STARTER64 = os.path.join(WINDOWS_BUILD, "tools", "helpers", "starter64.exe")
DEFAULT_KIT = os.path.join(ROOT, "build", "kit")

# Where the distribution keeps its installers, relative to the launcher.
INSTALLERS = (
    "Autoinst\\win98SE\\inst98.exe",
    "Autoinst\\winme\\instme.exe",
    "Autoinst\\win2k\\inst2k.exe",
    "Autoinst\\winxp\\instxp.exe",
    "Autoinst\\winvista\\Vistax86\\instvs32.exe",
    "Autoinst\\winvista\\Vistax64\\instvs64.exe",
)

# Left in every kit this script builds, so that rebuilding one never wipes
# a folder the script did not make.
MARKER = ".sample-kit"


class KitError(Exception):
    pass


def require_built(*paths):
    for path in paths:
        if not os.path.isfile(path):
            raise KitError(f"{os.path.relpath(path, ROOT)} is missing: build it first with "
                           "'cmake --preset windows && cmake --build --preset windows' (or tools/build.sh)")


def make_kit(dest, omit=(), launcher=LAUNCHER, stand_in=STAND_IN, genuine64=False):
    """Builds a fresh kit in dest, without the installers named in omit; with
    genuine64, the 64-bit installer is the 64-bit build of the stand-in, as a
    kit for a 64-bit Windows has it."""
    require_built(launcher, stand_in, *([STAND_IN64] if genuine64 else []))
    if os.path.isdir(dest) and os.listdir(dest):
        if not os.path.exists(os.path.join(dest, MARKER)):
            raise KitError(f"{dest} is not empty and holds no kit of ours: choose another folder")
        shutil.rmtree(dest)
    os.makedirs(dest, exist_ok=True)
    open(os.path.join(dest, MARKER), "w").close()
    shutil.copy(launcher, os.path.join(dest, "launcher.exe"))
    for installer in INSTALLERS:
        if installer in omit:
            continue
        path = os.path.join(dest, *installer.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copy(STAND_IN64 if genuine64 and installer == INSTALLERS[-1] else stand_in, path)
    return dest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dest", nargs="?", default=DEFAULT_KIT, help="the folder to build the kit in")
    parser.add_argument("--x86-only", action="store_true",
                        help="the 32-bit stand-in at the 64-bit installer's path too, for a 32-bit Windows "
                             "that claims AMD64 (default: the 64-bit stand-in, as a real distribution has)")
    args = parser.parse_args()
    try:
        print(make_kit(args.dest, genuine64=not args.x86_only))
    except KitError as error:
        sys.exit(f"make_kit.py: {error}")


if __name__ == "__main__":
    main()
