"""Where things lie: the project's root and what its builds leave below
build/ (the launcher, the stand-in installers, the sample kit, the Wine
prefixes and the Wine runs' logs)."""
import os

from kitlib import errors

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build")
WINDOWS_BUILD = os.path.join(BUILD, "windows")
LAUNCHER = os.path.join(WINDOWS_BUILD, "launcher.exe")
HELPERS = os.path.join(WINDOWS_BUILD, "tools", "helpers")
STAND_IN = os.path.join(HELPERS, "stand_in.exe")
STARTER = os.path.join(HELPERS, "starter.exe")
# The same two built as 64-bit programs.
STAND_IN64 = os.path.join(HELPERS, "stand_in64.exe")
STARTER64 = os.path.join(HELPERS, "starter64.exe")
SAMPLE_KIT = os.path.join(BUILD, "kit")

# One Wine prefix per Windows: 32-bit, and 64-bit with WOW64 for 32-bit programs.
PREFIXES = {32: os.path.join(BUILD, "wine"), 64: os.path.join(BUILD, "wine64")}
WINE_RUNS = os.path.join(BUILD, "wine-runs")       # logs and records, removed after each session
WINE_TRACES = os.path.join(BUILD, "wine-traces")   # the traces of runs Wine got wrong


class NotBuilt(errors.Failure):
    """A program the windows build makes is not there."""


def require_built(*paths):
    for path in paths:
        if not os.path.isfile(path):
            raise NotBuilt(f"{os.path.relpath(path, ROOT)} is missing: build it first with "
                           "'cmake --preset windows && cmake --build --preset windows' (or tools/build.sh)")


def session_paths(windows):
    """What a Wine session of that bitness is given: the starter, which
    stands for Explorer and AutoRun (64-bit programs on a 64-bit Windows),
    and the folders for the runs' logs and the traces kept."""
    return {"starter": STARTER64 if windows == 64 else STARTER, "runs": WINE_RUNS, "traces": WINE_TRACES}


def shown(path):
    """A path as a line names it: relative to here, unless it lies above."""
    relative = os.path.relpath(path)
    return os.path.abspath(path) if relative.startswith("..") else relative
