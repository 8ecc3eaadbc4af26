"""Lays a copy of a distribution's layout that is safe to run: the launcher as
it is, and in place of every installer that exists a stand-in that records
its run, of the same bitness as the original (read from its PE header, never
run). Missing installers stay missing; the distribution is only read.
"""
import dataclasses
import os
import shutil

from kitlib import errors, paths
from kitlib.model import windows
from kitlib.model.kit import NoLauncher, find_launcher as launcher_name, locate
from kitlib.pe import headers

# The stand-in for each kind of program Wine can run here. An ARM64 program
# stands as a 64-bit one: Wine here runs no ARM code, and where Windows on
# ARM would start it, what matters is that it starts.
STAND_INS = {"i386": ("32", paths.STAND_IN), "x64": ("64", paths.STAND_IN64), "arm64": ("64", paths.STAND_IN64)}
# What goes where an installer is no program Wine could run: Windows cannot
# start it either, and the launcher shows "Exec fail".
NOT_A_PROGRAM = b"Not a program: it stands for a file that no Windows here would start.\r\n"


class LayoutError(errors.Failure):
    """The distribution cannot be previewed (no launcher, say)."""


@dataclasses.dataclass
class Slot:
    """One installer path of the launcher's table, as the distribution fills it."""
    expected: str          # the launcher's path, e.g. Autoinst\winxp\instxp.exe
    found: str = None      # their file, as Windows finds it (the case may differ), or None
    bits: str = None       # "32" or "64": the stand-in laid there; None: nothing runnable
    why: str = ""          # why nothing can start there, for the table

    def describe(self):
        return f"{self.found} ({self.bits}-bit)" if self.bits else self.why


@dataclasses.dataclass
class Layout:
    program: str           # the launcher's file name
    slots: dict            # expected path -> Slot

    def slot_of(self, relative):
        """The slot whose file a run started, by its path in the copy."""
        for slot in self.slots.values():
            if slot.found and slot.found.lower() == relative.lower():
                return slot
        return None


def find_launcher(kit, program=None):
    try:
        name = launcher_name(kit, program)
    except NoLauncher as error:
        raise LayoutError(f"{error.path}: {error}") from None
    if not os.path.isfile(os.path.join(kit, name)):
        raise LayoutError(f"{os.path.join(kit, name)} does not exist")
    return name


def survey(kit, program=None, kind=windows.X64_WINDOWS):
    """What a copy of kit would hold, without laying it, for that kind of
    Windows (windows.Kind)."""
    slots = {}
    for installer in windows.INSTALLERS:
        found, how, _ = locate(kit, installer)
        slot = Slot(installer)
        slots[installer] = slot
        if found is None or how == "similar":
            # A similar-looking name is not one Windows would open.
            slot.why = f"missing: {installer}"
            continue
        slot.found = found
        path = os.path.join(kit, *found.split("\\"))
        try:
            machine = headers.read(path).machine
        except headers.NotAProgram as error:
            slot.why = f"not a program: {found} ({error})"
            continue
        if machine in kind.starts:
            slot.bits = STAND_INS[machine][0]
        elif machine in STAND_INS:
            slot.why = f"{windows.MACHINE_NAMES[machine]} program on {kind.text}: {found}"
        else:
            slot.why = f"{machine} program, which no x86, x64 or ARM64 Windows starts: {found}"
    return Layout(find_launcher(kit, program), slots)


def lay(kit, dest, program=None, kind=windows.X64_WINDOWS):
    """Lays the copy of kit in dest (which must not exist) and returns its
    Layout. Where the Windows would not start an installer, the copy holds a
    file that no Windows starts, so that ShellExecute fails there as it
    would on that Windows, whatever Wine could run."""
    layout = survey(kit, program, kind)
    paths.require_built(*{STAND_INS["x64" if slot.bits == "64" else "i386"][1]
                             for slot in layout.slots.values() if slot.bits})
    os.makedirs(dest)
    shutil.copy(os.path.join(kit, layout.program), os.path.join(dest, layout.program))
    for slot in layout.slots.values():
        if slot.found is None:
            continue
        path = os.path.join(dest, *slot.found.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if slot.bits:
            shutil.copy(STAND_INS["x64" if slot.bits == "64" else "i386"][1], path)
        else:
            with open(path, "wb") as placeholder:
                placeholder.write(NOT_A_PROGRAM)
    return layout
