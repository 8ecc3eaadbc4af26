"""What the tools know about Windows and the launcher's place in it: the
releases, the launcher's six installer rows, what each kind of Windows
starts, and which releases the launcher leaves alone by design.

The launcher's own table is in launcher/launcher.cpp; a test compares the
paths its build names with ROWS."""
import dataclasses


@dataclasses.dataclass(frozen=True)
class Release:
    wine: str       # Wine's name for it, as winecfg and the preview take it
    name: str       # the name people know
    reports: str    # the platform and version the launcher is told


# Oldest first. Windows 8.1, 10 and 11 tell a program without a manifest
# (the launcher has none) that they are 6.2.
RELEASES = (
    Release("win31", "Windows 3.1", "Win32s 3.10"),
    Release("win95", "Windows 95", "9x 4.0"),
    Release("win98", "Windows 98", "9x 4.10"),
    Release("winme", "Windows Me", "9x 4.90"),
    Release("nt351", "Windows NT 3.51", "NT 3.51"),
    Release("nt40", "Windows NT 4.0", "NT 4.0"),
    Release("win2k", "Windows 2000", "NT 5.0"),
    Release("winxp", "Windows XP", "NT 5.1"),
    Release("winxp64", "Windows XP x64", "NT 5.2"),
    Release("win2003", "Windows Server 2003", "NT 5.2"),
    Release("vista", "Windows Vista", "NT 6.0"),
    Release("win7", "Windows 7", "NT 6.1"),
    Release("win8", "Windows 8", "NT 6.2"),
    Release("win81", "Windows 8.1", "NT 6.2"),
    Release("win10", "Windows 10", "NT 6.2"),
    Release("win11", "Windows 11", "NT 6.2"),
)
WINE_NAMES = tuple(release.wine for release in RELEASES)
# Their programs see file names only in the ANSI code page: a folder named
# outside it has no name there that a program could be started by.
ANSI_ONLY = ("win31", "win95", "win98", "winme")
NAMES = {release.wine: release.name for release in RELEASES}


def listed(releases, names=NAMES):
    """Releases (Wine's names) in words: "Windows Vista, 7 and 8"."""
    words = [names[releases[0]]] + [names[key].replace("Windows ", "", 1) for key in releases[1:]]
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]


# The releases the launcher serves no installer on, by design: it says
# "Unknow OS version" there, whatever the distribution holds.
UNSERVED = ("win31", "nt351", "nt40", "winxp64", "win2003")


@dataclasses.dataclass(frozen=True)
class Row:
    """One installer path of the launcher's table, and what its releases need."""
    path: str               # relative to the launcher, as it names it
    machines: tuple         # machine types that run everywhere the row serves
    releases: str           # the releases the launcher sends here, in words
    served: tuple           # the same releases, by Wine's names
    notice: str = None      # the box the launcher shows after starting it

    @property
    def folder(self):
        return self.path.split("\\")[-2]


_NT6 = ("vista", "win7", "win8", "win81", "win10", "win11")
# In the launcher's order. On NT 6 the registry's PROCESSOR_ARCHITECTURE
# picks the row: x86 the fifth, anything else the sixth.
ROWS = (
    Row("Autoinst\\win98SE\\inst98.exe", ("i386",), "Windows 95, 98 and 98 SE", ("win95", "win98")),
    Row("Autoinst\\winme\\instme.exe", ("i386",), "Windows Me", ("winme",)),
    Row("Autoinst\\win2k\\inst2k.exe", ("i386",), "Windows 2000", ("win2k",)),
    Row("Autoinst\\winxp\\instxp.exe", ("i386",), "Windows XP (32-bit)", ("winxp",)),
    Row("Autoinst\\winvista\\Vistax86\\instvs32.exe", ("i386",), "Windows Vista to 11 on x86", _NT6, "VISTA32"),
    Row("Autoinst\\winvista\\Vistax64\\instvs64.exe", ("x64",), "Windows Vista to 11, 64-bit", _NT6, "VISTA64"),
)
INSTALLERS = tuple(row.path for row in ROWS)


def row_tried(release, boxes):
    """The row whose installer the launcher tried on release: on NT 6 its
    notice box tells which; None where it tried none."""
    for row in ROWS:
        if row.notice and row.notice in boxes:
            return row
    return next((row for row in ROWS if not row.notice and release in row.served), None)


# -- what each Windows starts ---------------------------------------------

@dataclasses.dataclass(frozen=True)
class Kind:
    """A kind of Windows: the machine types of the programs it starts, and
    how a reason names it."""
    starts: frozenset
    text: str


# A 32-bit Windows starts no 64-bit program; Windows 10 on ARM runs x86 and
# ARM64 programs but no x64 ones, Windows 11 on ARM all three.
X86_WINDOWS = Kind(frozenset({"i386"}), "a 32-bit Windows")
X64_WINDOWS = Kind(frozenset({"i386", "x64"}), "an x64 Windows")
ARM64_WIN10 = Kind(frozenset({"i386", "arm64"}), "Windows 10 on ARM, which starts no x64 program")
ARM64_WIN11 = Kind(frozenset({"i386", "x64", "arm64"}), "Windows 11 on ARM")
ON_ARM = {"win10": ARM64_WIN10, "win11": ARM64_WIN11}
MACHINE_NAMES = {"i386": "32-bit", "x64": "64-bit", "arm64": "ARM64"}
