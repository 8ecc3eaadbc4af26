"""Builds a sample distribution for the launcher: the launcher at the top and
the stand-in installer at every path the launcher may start (needs the
windows build)."""
import os
import shutil

from kitlib import errors, paths
from kitlib.model.kit import SAMPLE_MARKER as MARKER
from kitlib.model.windows import INSTALLERS


class KitError(errors.Failure):
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
