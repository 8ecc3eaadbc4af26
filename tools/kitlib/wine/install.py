"""Which Wine this machine has and how it runs 32-bit programs. Wine comes in
two kinds: with its 32-bit part (a 32-bit Linux loader, and prefixes of
either bitness), or 64-bit only, which runs 32-bit programs through WoW64 and
can make no 32-bit prefix at all. Every difference between the two is
decided here."""
import contextlib
import dataclasses
import glob
import errno
import os
import re
import shutil
import struct
import subprocess
import tempfile

from .errors import SETUP_HINT, WineError, WineUnavailable
from .registry import knows

WITH_32BIT = "with its 32-bit part"
WOW64_ONLY = "WoW64 only"
WINEARCH = {32: "win32", 64: "win64"}

# Debian keeps the programs of a Wine outside the PATH; Fedora, Arch and
# upstream builds put them on it.
LIBRARY_FOLDERS = ("/usr/lib/wine", "/usr/lib/*-linux-gnu/wine", "/usr/lib64/wine", "/usr/lib32/wine")


def search(name, variable=None, environ=os.environ, folders=LIBRARY_FOLDERS):
    """The program: named by the environment variable, else on the PATH,
    else in a library folder of Wine's. None when nowhere."""
    if variable and environ.get(variable):
        named = environ[variable]
        return shutil.which(named, path=environ.get("PATH")) if os.sep not in named else named
    found = shutil.which(name, path=environ.get("PATH"))
    if found:
        return found
    for pattern in folders:
        for folder in sorted(glob.glob(pattern)):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return path
    return None


def where_searched(name, variable, folders=LIBRARY_FOLDERS):
    places = ([f"${variable}"] if variable else []) + ["the PATH"] + [os.path.join(f, name) for f in folders]
    return f"{name} was not found ({', '.join(places)}); {SETUP_HINT}"


def elf_class(path):
    """32 or 64 for an ELF program, None for anything else (a script, say)."""
    with contextlib.suppress(OSError):
        with open(os.path.realpath(path), "rb") as program:
            head = program.read(5)
        if head[:4] == b"\x7fELF":
            return {1: 32, 2: 64}.get(head[4])
    return None


def kind_of(loader, folders=LIBRARY_FOLDERS):
    """WITH_32BIT where the Wine has a 32-bit Linux side: its loader is a
    32-bit program, or its Unix libraries include i386 ones (Wine 7 and
    later keep them in i386-unix). WOW64_ONLY otherwise."""
    if elf_class(loader) == 32:
        return WITH_32BIT
    real = os.path.realpath(loader)
    near = [os.path.join(os.path.dirname(os.path.dirname(real)), "lib", "wine"),
            os.path.join(os.path.dirname(os.path.dirname(real)), "lib", "*", "wine")]
    for pattern in near + list(folders):
        if glob.glob(os.path.join(pattern, "i386-unix")):
            return WITH_32BIT
    return WOW64_ONLY


def minimal_i386_program():
    """The smallest 32-bit x86 Linux program: exit(0) through int 0x80."""
    base, code = 0x08048000, b"\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80"
    size = 52 + 32 + len(code)
    header = struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01" + bytes(9), 2, 3, 1, base + 84, 52,
                         0, 0, 52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def kernel_runs_i386(folder):
    """Whether this kernel starts 32-bit x86 programs at all. A kernel built
    or booted without it (ia32_emulation=off) refuses them, and then no
    32-bit Windows program runs, not even through WoW64."""
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        probe = os.path.join(scratch, "i386-probe")
        with open(probe, "wb") as program:
            program.write(minimal_i386_program())
        os.chmod(probe, 0o755)
        try:
            return subprocess.run([probe], stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=30).returncode == 0
        except OSError:
            return False


@dataclasses.dataclass
class Wine:
    wine: str              # the loader that starts the 32-bit launcher
    wine64: str            # the loader of a 64-bit prefix
    wineserver: str
    version: str           # as `wine --version` says it, e.g. "wine-8.0 (Debian 8.0~repack-4)"
    kind: str              # WITH_32BIT or WOW64_ONLY

    @property
    def true_32bit(self):
        """Whether a genuine 32-bit Windows (a win32 prefix) can be made."""
        return self.kind == WITH_32BIT

    def prefix_arch(self, windows):
        """The prefix a Windows of that bitness is made in: a WoW64-only Wine
        makes the 32-bit one in a 64-bit prefix, whose registry then claims
        the processor each run asks for."""
        return WINEARCH[windows if self.true_32bit else 64]

    def loader(self, windows):
        # In a 64-bit prefix only the 64-bit regedit writes HKLM\Software
        # where a 64-bit Windows keeps it.
        if self.prefix_arch(windows) == "win32":
            return self.wine
        if self.wine64 is None:
            raise WineError(f"the 64-bit part of Wine is not installed (wine64); {SETUP_HINT}")
        return self.wine64

    def knows(self, release):
        """Whether this Wine can pretend to be release (Wine's name)."""
        match = re.match(r"wine-(\d+)", self.version)
        return knows(int(match.group(1)) if match else None, release)

    def describe(self):
        number = self.version.split()[0].removeprefix("wine-")
        return f"Wine {number} ({self.kind})"

    def how_32bit_windows(self):
        if self.true_32bit:
            return "a 32-bit prefix"
        return ("emulated in a 64-bit prefix: 32-bit programs run under WoW64, and every x64 or "
                "ARM64 installer is replaced by a file no Windows starts")

    def check_runs_32bit(self, scratch):
        """Raises WineUnavailable where no 32-bit Windows program can run."""
        if self.true_32bit:
            check_runs_32bit(self.wine)
        elif not kernel_runs_i386(scratch):
            raise WineUnavailable("this kernel runs no 32-bit x86 programs (ia32_emulation=off), and Wine's "
                                  "WoW64 mode needs them as well: the launcher cannot run here")


def i386_emulator(binfmt="/proc/sys/fs/binfmt_misc"):
    """The binfmt_misc entry that hands 32-bit x86 programs to an emulator
    (qemu-i386), if one is enabled; None otherwise."""
    for entry in glob.glob(os.path.join(binfmt, "*")):
        if os.path.basename(entry) in ("register", "status"):
            continue
        with contextlib.suppress(OSError):
            with open(entry) as text:
                lines = text.read().splitlines()
            fields = dict(line.partition(" ")[::2] for line in lines[1:])
            # An ELF header for a 32-bit little-endian x86 program: class 1,
            # data 1, and machine 3 at bytes 18-19.
            magic = fields.get("magic", "")
            if lines[:1] == ["enabled"] and magic.startswith("7f454c460101") and magic[36:40] == "0300":
                return fields.get("interpreter", entry)
    return None


def check_runs_32bit(wine):
    """Wine runs 32-bit Windows programs with a 32-bit Linux loader: a kernel
    built or booted without 32-bit support (ia32_emulation=off) refuses it,
    and then no 32-bit program, the launcher included, can run here. Through
    an emulator Wine's 32-bit loader starts, but its programs hang or fail:
    that is no place to judge the launcher either."""
    emulator = i386_emulator()
    if emulator:
        raise WineUnavailable(f"32-bit programs run here only through an emulator ({emulator}, "
                              "binfmt_misc), under which Wine's 32-bit programs hang or fail; "
                              "the kernel itself has no 32-bit support (ia32_emulation=off)")
    try:
        result = subprocess.run([wine, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise WineUnavailable(f"{wine} does not start: {error}") from None
    if result.returncode != 0:
        said = " | ".join((result.stdout + result.stderr).strip().splitlines()[-2:])
        raise WineUnavailable(f"this machine cannot run Wine's 32-bit loader, so no 32-bit Windows program "
                              f"(the launcher included) can run here: {said or 'exit ' + str(result.returncode)}"
                              " (a Linux kernel without 32-bit support: ia32_emulation=off)")


def version_of(wine):
    try:
        result = subprocess.run([wine, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return "wine-unknown"
    return (result.stdout.strip().splitlines() or ["wine-unknown"])[0]


def find(environ=os.environ):
    """The Wine to use, as the environment, the PATH or the distribution's
    library folders give it."""
    wine = search("wine", "WINE", environ)
    if wine is None:
        raise WineError(where_searched("wine", "WINE"))
    server = search("wineserver", "WINESERVER", environ)
    if server is None:
        raise WineError(where_searched("wineserver", "WINESERVER"))
    for variable, program in (("WINE", wine), ("WINESERVER", server)):
        if environ.get(variable):
            starts(variable, environ[variable], program)
    kind = kind_of(wine)
    # Debian puts no wine64 on the PATH; a WoW64-only Wine has one loader.
    wine64 = search("wine64", None, environ)
    if wine64 is None or (kind == WOW64_ONLY and elf_class(wine) == 64):
        wine64 = wine if kind == WOW64_ONLY else None
    return Wine(wine, wine64, server, version_of(wine), kind)


def starts(variable, named, program):
    """A Wine the user named must start: a typo there is an error, not a
    machine that cannot run Wine."""
    if not program or not os.path.isfile(program) or not os.access(program, os.X_OK):
        raise WineError(f"{variable}={named}: no such program")
    try:
        result = subprocess.run([program, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, errors="replace", timeout=30)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return   # a 32-bit loader on a kernel without 32-bit support: this machine, not a typo
        raise WineError(f"{variable}={named} does not start: {error.strerror or error}") from None
    except subprocess.TimeoutExpired:
        raise WineError(f"{variable}={named} does not start: no answer to --version in 30 s") from None
    if variable == "WINE" and not (result.returncode == 0 and result.stdout.startswith("wine-")):
        # It started and is no Wine that runs (/bin/false, another program).
        said = " | ".join((result.stdout + result.stderr).strip().splitlines()[:2]) or "nothing"
        raise WineError(f"{variable}={named} is no Wine that runs: its --version exits {result.returncode} "
                        f"and says {said!r}")


