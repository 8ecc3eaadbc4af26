#!/usr/bin/env python3
"""Builds a sample distribution for the launcher: the launcher at the top and
the stand-in installer at every path the launcher may start.

Usage: tools/kitlib/make_kit.py [DEST]   (default build/kit; needs the windows build)
"""
import argparse
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import paths  # noqa: E402
from windows import INSTALLERS  # noqa: E402

# Left in every kit this script builds, so that rebuilding one never wipes
# a folder the script did not make.
MARKER = ".sample-kit"


class KitError(Exception):
    pass


def make_kit(dest, omit=(), launcher=paths.LAUNCHER, stand_in=paths.STAND_IN, genuine64=False):
    """Builds a fresh kit in dest, without the installers named in omit; with
    genuine64, the 64-bit installer is the 64-bit build of the stand-in, as a
    kit for a 64-bit Windows has it."""
    paths.require_built(launcher, stand_in, *([paths.STAND_IN64] if genuine64 else []))
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
        shutil.copy(paths.STAND_IN64 if genuine64 and installer == INSTALLERS[-1] else stand_in, path)
    return dest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dest", nargs="?", default=paths.SAMPLE_KIT, help="the folder to build the kit in")
    parser.add_argument("--x86-only", action="store_true",
                        help="the 32-bit stand-in at the 64-bit installer's path too, for a 32-bit Windows "
                             "that claims AMD64 (default: the 64-bit stand-in, as a real distribution has)")
    args = parser.parse_args()
    try:
        print(make_kit(args.dest, genuine64=not args.x86_only))
    except (KitError, paths.NotBuilt) as error:
        sys.exit(f"make_kit.py: {error}")


if __name__ == "__main__":
    main()
