"""A Wine prefix of our own on disk: made once with the bitness its Windows
needs, kept while it is whole, and its CD-ROM drive pointed at a folder."""
import contextlib
import fcntl
import os
import shutil
import sys

from .drives import CD_DRIVE
from .errors import WineError
from .registry import RELAYED
from .side_by_side import check_interrupted
# What a whole prefix has: the Windows folders of each bitness.
WHOLE = {"win32": ("drive_c/windows/system32/kernel32.dll",),
         "win64": ("drive_c/windows/system32/kernel32.dll", "drive_c/windows/syswow64/kernel32.dll")}
# What the ready marker of a finished prefix holds.
READY = "prefix with drive D: as CD-ROM and the relay list\n"
# Drive D: is the CD-ROM drive of every prefix; a session points it at a folder.
# The relay list is set too, not only by each run: Wine reads it when a
# process starts, and a session's serving starter starts before its first
# run, so it would trace every call of its own (and of the desktop) made
# until then, which under emulation takes minutes.
SETUP_TEXT = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n"
              f'"{CD_DRIVE.lower()}"="cdrom"\r\n\r\n'
              "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n"
              f'"RelayInclude"="{RELAYED}"\r\n')


def clear_folder(path):
    """Empties a folder rather than removing it, since it may be a mount point
    (the VM and the Debian roots keep the prefixes elsewhere)."""
    if os.path.islink(path) or not os.path.isdir(path):
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)
        return
    for entry in os.scandir(path):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.remove(entry.path)


def prefix_arch(prefix):
    """win32 or win64 as the prefix's registry says, None without one."""
    with contextlib.suppress(OSError):
        with open(os.path.join(prefix, "system.reg"), errors="replace") as reg:
            for line in reg:
                if line.startswith("#arch="):
                    return line.strip()[len("#arch="):]
                if not line.startswith(("#", ";", "WINE REGISTRY")) and line.strip():
                    break
    return None


@contextlib.contextmanager
def locked(prefix):
    """Runs that share a prefix would rewrite each other's registry."""
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"preview: waiting for another run that uses {prefix}", file=sys.stderr)
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def ensure(prefix, wanted, tools, timeout):
    """Makes the prefix (win32 or win64) unless a whole one is there. tools:
    the session's means of running Wine's programs (wineboot, wineserver -w,
    regedit), each returning the exit code."""
    ready = os.path.join(prefix, ".preview-ready")
    found = prefix_arch(prefix)
    missing = [path for path in WHOLE[wanted] if not os.path.isfile(os.path.join(prefix, path))]
    if os.path.exists(ready) and (found != wanted or missing):
        # With the 64-bit part of Wine installed, a prefix made without
        # WINEARCH comes out 64-bit: never fake a 32-bit Windows in it.
        # One that an earlier version marked ready although cut short has no Windows.
        what = f"a {found or 'broken'} prefix, not {wanted}" if found != wanted else f"unfinished (no {missing[0]})"
        print(f"wine: {prefix} is {what}: rebuilding it", file=sys.stderr)
        os.remove(ready)
    if not os.path.exists(ready):
        print(f"wine: creating the {wanted} Wine prefix {prefix} (once, may take a minute)", file=sys.stderr)
        clear_folder(prefix)
        if tools.wineboot("creating the Wine prefix", timeout) != 0:
            # Wine waits five minutes at most for a new prefix and then
            # gives up, while the set-up goes on; an emulated machine can
            # take longer. Once it has finished, the prefix must start.
            # Not where the user ended it: that wineboot was killed.
            check_interrupted()
            tools.wait("setting up the Wine prefix", timeout)
            if tools.wineboot("starting the Wine prefix", timeout) != 0:
                raise WineError("wineboot could not create the Wine prefix: " + tools.tail("wineboot.log"))
        tools.wait("setting up the Wine prefix", timeout)
        found = prefix_arch(prefix)
        if found != wanted:
            raise WineError(f"wineboot made a {found or 'broken'} prefix in {prefix}, not {wanted}: "
                            + tools.tail("wineboot.log"))
        missing = [path for path in WHOLE[wanted] if not os.path.isfile(os.path.join(prefix, path))]
        if missing:
            # A wineboot cut short leaves a registry and no Windows: never
            # marked ready, it is made again next time.
            raise WineError(f"the Wine prefix {prefix} was left unfinished (no {missing[0]}); "
                            "the next preview makes it again")
    check_interrupted()
    current = False
    with contextlib.suppress(FileNotFoundError), open(ready) as marker:
        current = marker.read() == READY
    if not current:
        # Made before D: became the CD-ROM drive and the relay list was
        # set, or just now.
        tools.regedit(SETUP_TEXT, "setup.reg")
        tools.wait("setting up the Wine prefix", timeout)
        with open(ready, "w") as marker:
            marker.write(READY)
    # Paths reach the Windows programs as Z:\..., which holds only while
    # Z: is the root.
    drive = os.path.join(prefix, "dosdevices", "z:")
    if not os.path.islink(drive) or os.readlink(drive) != "/":
        raise WineError(f"drive Z: of {prefix} is not the root folder; remove the prefix to rebuild it")


def unmount_cdrom(prefix):
    link = os.path.join(prefix, "dosdevices", CD_DRIVE.lower())
    if os.path.lexists(link):
        os.remove(link)


def mount_cdrom(prefix, folder):
    """Points the CD-ROM drive at the folder, or leaves it out, so that no
    run sees the folder of an earlier session."""
    unmount_cdrom(prefix)
    if folder:
        if not os.path.isdir(folder):
            raise WineError(f"{folder} is not a folder, so it cannot be the CD-ROM")
        os.symlink(folder, os.path.join(prefix, "dosdevices", CD_DRIVE.lower()))
