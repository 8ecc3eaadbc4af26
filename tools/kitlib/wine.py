"""The Wine machinery shared by the preview, the end-to-end tests and the
benchmark: a Wine prefix of our own, an X display, a persistent wineserver,
and runs of a kit's launcher whose installers record what happened.
"""
import contextlib
import ctypes
import dataclasses
import fcntl
import glob
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import make_kit

ROOT = make_kit.ROOT
# One prefix per Windows: 32-bit, and 64-bit with WOW64 for 32-bit programs.
PREFIXES = {32: os.path.join(ROOT, "build", "wine"), 64: os.path.join(ROOT, "build", "wine64")}
DEFAULT_PREFIX = PREFIXES[32]
WINEARCH = {32: "win32", 64: "win64"}
# Debian puts no wine64 command on the PATH; /usr/bin/wine is the 32-bit loader.
WINE64_LOADERS = ("wine64", "/usr/lib/wine/wine64")
CD_DRIVE = "D:"
# AutoRun starts a CD's program by its quoted path from here.
AUTORUN_FOLDER = "C:\\windows\\system32"
RUNS_DIR = os.path.join(ROOT, "build", "wine-runs")   # logs and records, removed after each session

# Wine's names for the releases it can pretend to be, oldest first.
RELEASES = ("win31", "win95", "win98", "winme", "nt351", "nt40", "win2k", "winxp",
            "winxp64", "win2003", "vista", "win7", "win8", "win81", "win10")
X86, X64 = "x86", "AMD64"


class _AsIs:
    """PROCESSOR_ARCHITECTURE left as the prefix's Windows has it."""
    def __repr__(self):
        return "AS_IS"


AS_IS = _AsIs()

ENVIRONMENT_KEY = "SYSTEM\\{}\\Control\\Session Manager\\Environment"
PLACE1 = ENVIRONMENT_KEY.format("CurrentControlSet")
PLACE2 = ENVIRONMENT_KEY.format("ControlSet002")

# The box text as Wine traces it when it sets a message box up.
BOX_TRACE = re.compile(r'trace:msgbox:MSGBOX_OnInit L"(.*)"\s*$')

# How many times slower than a plain machine Wine runs here: a VM without
# hardware help (tools/dev/vm) makes every wait below longer, even the grace
# during which no installer may show up.
SLOWDOWN = float(os.environ.get("PREVIEW_SLOWDOWN") or 1)
RUN_TIMEOUT = 60 * SLOWDOWN        # seconds for one launcher run, boxes included
RECORD_TIMEOUT = 15 * SLOWDOWN     # seconds for a reported launch to show up in the record
NO_LAUNCH_GRACE = 1.0 * SLOWDOWN   # seconds to make sure that nothing ran after all
PREFIX_TIMEOUT = 300 * SLOWDOWN    # seconds to create a Wine prefix
TOOL_TIMEOUT = 15 * SLOWDOWN       # seconds for Xvfb to start, a helper to answer


def clear_folder(path):
    """Empties a folder rather than removing it, since it may be a mount point
    (tools/dev/vm/run-in-vm.sh keeps the prefixes in the VM's memory)."""
    if os.path.islink(path) or not os.path.isdir(path):
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)
        return
    for entry in os.scandir(path):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.remove(entry.path)


class WineError(Exception):
    """A failure of the machinery (not of the launcher), told to the user as is."""


class WineUnavailable(WineError):
    """This machine cannot run what the session needs at all (tests skip)."""

# GetDriveType's answers, as the stand-in records them.
DRIVE_TYPES = {"2": "removable", "3": "fixed", "4": "remote", "5": "cdrom", "6": "ramdisk"}


@dataclasses.dataclass
class Machine:
    """What the launcher is to find: a Wine release name, and the registry's
    PROCESSOR_ARCHITECTURE at the two places it reads (None: no value;
    AS_IS at place1: whatever the prefix's Windows says, place2 unset)."""
    release: str
    place1: str = X86
    place2: str = None

    def describe_arch(self):
        if self.place1 is AS_IS:
            return "as is"
        if self.place2 is None:
            return "(none)" if self.place1 is None else self.place1
        return f"{self.place1 or '(none)'} / ControlSet002: {self.place2}"


@dataclasses.dataclass
class Launch:
    """One run of a stand-in installer, as it recorded itself."""
    path: str
    command_line: str
    folder: str
    relative: str  # the path relative to the kit, or the full path outside it
    bits: str = "?"     # "32" or "64": how the installer ran
    drive: str = "?"    # the kind of drive it was started from, see DRIVE_TYPES

    def how(self):
        return f"{self.relative} ({self.bits}-bit)"

    def arguments(self):
        """What the command line holds after the program's own path."""
        line = self.command_line
        if line.startswith('"'):
            end = line.find('"', 1)
            rest = line[end + 1:] if end >= 0 else ""
        else:
            rest = line.partition(" ")[2]
        return rest.strip()


@dataclasses.dataclass
class Run:
    """What one run of the launcher did, as the user and the kit saw it."""
    machine: Machine
    start_folder: str   # the launcher's current folder, as Windows sees it
    launches: list
    boxes: list
    exit_code: int
    screenshots: list
    problems: list
    # (program, DLL) for every load of a planted DLL that records itself.
    loaded: list = dataclasses.field(default_factory=list)
    seconds: float = None   # how long the program ran, as the starter measured it

    def installer(self):
        return " + ".join(launch.relative for launch in self.launches) or "none"


def format_boxes(boxes):
    return ", ".join(f'"{box}"' for box in boxes) or "none"


def to_windows(path):
    """The path as a Windows program in the prefix sees it (Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine64_loader():
    for name in WINE64_LOADERS:
        path = shutil.which(name)
        if path:
            return path
    raise WineError("the 64-bit part of Wine is not installed (wine64); tools/dev/setup.sh e2e installs it")


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


def need_program(name, why):
    path = shutil.which(name)
    if path is None:
        raise WineError(f"{name} is not installed ({why}); tools/dev/setup.sh e2e installs it")
    return path


def die_with_parent():
    """Has the kernel end the child when we end, even by SIGKILL (a CTest
    timeout): an orphaned X server would live on forever."""
    with contextlib.suppress(OSError, AttributeError):
        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def tail(path, lines=5):
    """The last lines of a log, on one line, for an error message."""
    with open(path, errors="replace") as log:
        return " | ".join(log.read().strip().splitlines()[-lines:]) or "(no output)"


def decode_trace_text(text):
    """Undoes the escapes of Wine's debug strings."""
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    return re.sub(r"\\(x[0-9a-fA-F]{4}|[nrt\\\"])",
                  lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x" else simple[m.group(1)],
                  text)


def registry_text(machine):
    """A REGEDIT4 file that puts the prefix in the state the machine asks for."""
    def value(text):
        if text is None:
            return "-"
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = [
        "REGEDIT4", "",
        "[HKEY_CURRENT_USER\\Software\\Wine]",
        f'"Version"={value(machine.release)}', "",
        # Unmanaged windows: without a window manager Wine otherwise waits
        # two seconds for each closed box to be withdrawn.
        "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]",
        '"Managed"="N"', "",
        # A crash must fail the run, not wait behind a dialog nobody closes.
        "[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]",
        '"ShowCrashDialog"=dword:00000000', "",
    ]
    if machine.place1 is not AS_IS:
        lines += [f"[HKEY_LOCAL_MACHINE\\{PLACE1}]",
                  f'"PROCESSOR_ARCHITECTURE"={value(machine.place1)}', ""]
    # Wine's prefixes have no ControlSet002; one a run made must not outlive it.
    lines += ["[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]", ""]
    if machine.place2 is not None:
        lines += [f"[HKEY_LOCAL_MACHINE\\{PLACE2}]",
                  f'"PROCESSOR_ARCHITECTURE"={value(machine.place2)}', ""]
    return "\r\n".join(lines) + "\r\n"


# What the ready marker of a finished prefix holds.
READY = "prefix with drive D: as CD-ROM\n"
# Drive D: is the CD-ROM drive of every prefix; a session points it at a folder.
DRIVES_TEXT = ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n"
               f'"{CD_DRIVE.lower()}"="cdrom"\r\n')


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


class WineSession:
    """One Wine prefix of our own, an X display and a persistent wineserver:
    the registry changes of a run survive only while the same wineserver
    lives, since a fresh one rewrites the processor architecture.

    windows: 32 or 64, the prefix's Windows (a 64-bit one runs the 32-bit
    launcher under WOW64, as a real one does). cdrom: a host folder that the
    session shows as drive D:, a CD-ROM drive; paths inside it reach the
    programs as D:\\..., see windows_path()."""

    def __init__(self, prefix=None, own_display=False, timeout=RUN_TIMEOUT, windows=32, cdrom=None,
                 needs_32bit=True):
        if windows not in PREFIXES:
            raise WineError(f"no {windows}-bit Windows: 32 or 64")
        self.windows = windows
        self.prefix = os.path.abspath(prefix or PREFIXES[windows])
        self.own_display = own_display or not os.environ.get("DISPLAY")
        self.timeout = timeout
        # On a 64-bit Windows, Explorer and AutoRun, which start the launcher,
        # are 64-bit programs.
        self.starter = make_kit.STARTER64 if windows == 64 else make_kit.STARTER
        self.cdrom = os.path.abspath(cdrom) if cdrom else None
        self.needs_32bit = needs_32bit
        self.stack = contextlib.ExitStack()
        self.workdir = None
        self.runs = 0
        self.arch_changed = False

    # -- setting up and tearing down -------------------------------------

    def __enter__(self):
        self.wine = need_program("wine", "it runs the launcher")
        self.wineserver = need_program("wineserver", "it holds the registry for the runs")
        # The prefix's own loader: the 64-bit one for a 64-bit prefix, whose
        # regedit alone writes HKLM\\Software where 64-bit Windows keeps it.
        self.loader = wine64_loader() if self.windows == 64 else self.wine
        need_program("xdotool", "it dismisses the boxes")
        if self.own_display:
            need_program("Xvfb", "it gives the boxes a display")
        make_kit.require_built(self.starter)
        if self.needs_32bit:
            check_runs_32bit(self.wine)
        try:
            self.stack.enter_context(self._lock())
            os.makedirs(RUNS_DIR, exist_ok=True)
            self.workdir = tempfile.mkdtemp(dir=RUNS_DIR)
            self.stack.callback(shutil.rmtree, self.workdir, True)
            self.display = self._start_xvfb() if self.own_display else os.environ["DISPLAY"]
            self._ensure_prefix()
            self._wineserver("-k")
            self._wineserver("-w")
            # Wine reads its drives when the wineserver's session starts.
            self._mount_cdrom()
            self.stack.callback(self._unmount_cdrom)
            self._wineserver("-p")
            self.stack.callback(self._stop_wineserver)
        except BaseException:
            self.stack.close()
            raise
        return self

    def __exit__(self, *exc):
        self.stack.close()

    @contextlib.contextmanager
    def _lock(self):
        # Runs that share the prefix would rewrite each other's registry.
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        with open(self.prefix + ".lock", "w") as lock:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                print(f"preview: waiting for another run that uses {self.prefix}", file=sys.stderr)
                fcntl.flock(lock, fcntl.LOCK_EX)
            yield

    def _start_xvfb(self):
        log = open(os.path.join(self.workdir, "xvfb.log"), "w")
        self.stack.callback(log.close)
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                                 "-screen", "0", "800x600x24"], preexec_fn=die_with_parent,
                                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        os.close(write_end)
        self.stack.callback(self._stop_process, xvfb)
        number = b""
        deadline = time.monotonic() + TOOL_TIMEOUT
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([pipe], [], [], left)[0]:
                    raise WineError(f"Xvfb did not start within {TOOL_TIMEOUT:g} s (see its log: xvfb.log)")
                chunk = pipe.read(16)
                if not chunk:
                    raise WineError("Xvfb ended at start-up: " + self._tail("xvfb.log"))
                number += chunk
        return ":" + number.decode().strip()

    @staticmethod
    def _stop_process(process):
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def _env(self, **extra):
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH=WINEARCH[self.windows], DISPLAY=self.display,
                   WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.update(extra)
        return env

    def _call(self, argv, what, timeout, log_name, **env):
        """Runs a Wine tool to its end; output goes to a file, since Wine's
        background services would hold a pipe open."""
        with open(os.path.join(self.workdir, log_name), "w") as log:
            try:
                return subprocess.run(argv, env=self._env(**env), stdin=subprocess.DEVNULL,
                                      stdout=log, stderr=log, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise WineError(f"{what} did not finish within {timeout:g} s") from None

    def _wineserver(self, flag):
        self._call([self.wineserver, flag], f"wineserver {flag}", 4 * TOOL_TIMEOUT, "wineserver.log")

    def _stop_wineserver(self):
        with contextlib.suppress(WineError):
            self._wineserver("-k")
            self._wineserver("-w")

    def _ensure_prefix(self):
        ready = os.path.join(self.prefix, ".preview-ready")
        wanted = WINEARCH[self.windows]
        found = prefix_arch(self.prefix)
        if os.path.exists(ready) and found != wanted:
            # With the 64-bit part of Wine installed, a prefix made without
            # WINEARCH comes out 64-bit: never fake a 32-bit Windows in it.
            print(f"wine: {self.prefix} is a {found or 'broken'} prefix, not {wanted}: rebuilding it",
                  file=sys.stderr)
            os.remove(ready)
        if not os.path.exists(ready):
            print(f"wine: creating the {self.windows}-bit Wine prefix {self.prefix} (once, may take a minute)",
                  file=sys.stderr)
            clear_folder(self.prefix)
            wineboot = [self.loader, "wineboot", "-i"]
            if self._call(wineboot, "creating the Wine prefix", PREFIX_TIMEOUT, "wineboot.log") != 0:
                # Wine waits five minutes at most for a new prefix and then
                # gives up, while the set-up goes on; an emulated machine can
                # take longer. Once it has finished, the prefix must start.
                self._call([self.wineserver, "-w"], "setting up the Wine prefix", PREFIX_TIMEOUT, "wineserver.log")
                if self._call(wineboot, "starting the Wine prefix", PREFIX_TIMEOUT, "wineboot.log") != 0:
                    raise WineError("wineboot could not create the Wine prefix: " + self._tail("wineboot.log"))
            self._wineserver("-w")
            found = prefix_arch(self.prefix)
            if found != wanted:
                raise WineError(f"wineboot made a {found or 'broken'} prefix in {self.prefix}, not {wanted}: "
                                + self._tail("wineboot.log"))
        current = False
        with contextlib.suppress(FileNotFoundError), open(ready) as marker:
            current = marker.read() == READY
        if not current:
            # Made before D: became the CD-ROM drive, or just now.
            self._regedit(DRIVES_TEXT, "drives.reg")
            self._wineserver("-w")
            with open(ready, "w") as marker:
                marker.write(READY)
        # Paths reach the Windows programs as Z:\..., which holds only while
        # Z: is the root.
        drive = os.path.join(self.prefix, "dosdevices", "z:")
        if not os.path.islink(drive) or os.readlink(drive) != "/":
            raise WineError(f"drive Z: of {self.prefix} is not the root folder; remove the prefix to rebuild it")

    def _unmount_cdrom(self):
        link = os.path.join(self.prefix, "dosdevices", CD_DRIVE.lower())
        if os.path.lexists(link):
            os.remove(link)

    def _mount_cdrom(self):
        """Points the CD-ROM drive at the session's folder, or leaves it out,
        so that no run sees the folder of an earlier session."""
        self._unmount_cdrom()
        if self.cdrom:
            link = os.path.join(self.prefix, "dosdevices", CD_DRIVE.lower())
            if not os.path.isdir(self.cdrom):
                raise WineError(f"{self.cdrom} is not a folder, so it cannot be the CD-ROM")
            os.symlink(self.cdrom, link)

    def windows_path(self, path):
        """The path as the programs in this session see it: on the CD-ROM
        drive when it lies in the session's CD-ROM folder, else below Z:."""
        path = os.path.abspath(path)
        if self.cdrom and (path == self.cdrom or path.startswith(self.cdrom + os.sep)):
            inside = os.path.relpath(path, self.cdrom)
            return CD_DRIVE + "\\" + ("" if inside == "." else inside.replace("/", "\\"))
        return to_windows(path)

    def _regedit(self, text, name):
        path = os.path.join(self.workdir, name)
        with open(path, "w", encoding="latin-1", newline="") as reg:
            reg.write(text)
        if self._call([self.loader, "regedit", "/S", to_windows(path)], "regedit", 4 * TOOL_TIMEOUT, "regedit.log") != 0:
            raise WineError("regedit could not set the registry: " + self._tail("regedit.log"))

    def _tail(self, log_name):
        return tail(os.path.join(self.workdir, log_name))

    # -- one run ---------------------------------------------------------

    def run(self, kit, machine, program="launcher.exe", command_line=None, start_folder=None,
            screenshots=None, label=None, env=None, dll_overrides=None, starts_installer=True):
        """Runs the kit's launcher once on the given machine and returns what
        happened. command_line defaults to the program's path in quotes, as
        Explorer starts it; start_folder (the current folder, a host path or a
        Windows one such as C:\\windows\\system32) to a scratch folder, so that
        only the command line can lead to the kit. A kit inside the session's
        CD-ROM folder runs from the CD-ROM drive. env: more environment for
        Wine and the programs of this run. dll_overrides adds to
        WINEDLLOVERRIDES ("uxtheme=n,b" makes Wine look in the program's
        folder first, as Windows does); starts_installer=False is for a
        program that never starts one."""
        self.runs += 1
        rundir = os.path.join(self.workdir, f"run{self.runs}")
        os.makedirs(rundir)
        launcher = os.path.join(kit, program)
        if not os.path.isfile(launcher):
            raise WineError(f"{launcher} does not exist")

        if machine.place1 is AS_IS and self.arch_changed:
            raise WineError("PROCESSOR_ARCHITECTURE was changed earlier in this session; "
                            "a run with it as Windows has it needs a session of its own")
        self.arch_changed |= machine.place1 is not AS_IS
        self._regedit(registry_text(machine), os.path.join(f"run{self.runs}", "state.reg"))

        record = os.path.join(rundir, "record.txt")
        if not (start_folder and re.match(r"[A-Za-z]:\\", start_folder)):
            start_folder = self.windows_path(start_folder or rundir)
        env = dict(env or {})
        if dll_overrides:
            env["WINEDLLOVERRIDES"] = self._env()["WINEDLLOVERRIDES"] + ";" + dll_overrides
        run_env = self._env(WINEDEBUG="-all,trace+msgbox", KIT_RECORD=to_windows(record),
                            STARTER_PROGRAM=self.windows_path(launcher),
                            STARTER_COMMAND_LINE=command_line or f'"{self.windows_path(launcher)}"',
                            STARTER_FOLDER=start_folder, **env)
        trace = os.path.join(rundir, "wine.log")
        with open(trace, "w") as log:
            process = subprocess.Popen([self.loader, self.starter], env=run_env, stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=log)
            try:
                shots, seen = self._dismiss_boxes(process, screenshots, label or machine.release)
            except BaseException:
                self._stop_wineserver()   # ends every Windows process of the prefix
                process.wait()
                raise

        with open(trace, errors="replace") as log:
            boxes = [decode_trace_text(m.group(1)) for m in map(BOX_TRACE.search, log) if m]
        problems = []
        if seen != len(boxes):
            problems.append(f"{seen} box(es) captioned INSTALL on screen, {len(boxes)} in Wine's trace")

        # The launch is reported before any box, but the installer runs on
        # its own: a launch the launcher believes in must show up in the
        # record, and where it reported failure nothing may show up late.
        if "Exec fail" in boxes or not starts_installer:
            time.sleep(NO_LAUNCH_GRACE)
            records = self._read_record(record)
        else:
            deadline = time.monotonic() + RECORD_TIMEOUT
            while not (records := self._read_record(record))["ran"] and time.monotonic() < deadline:
                time.sleep(0.1)
            if not records["ran"]:
                problems.append(f"the launcher reported a launch, but no installer recorded a run within {RECORD_TIMEOUT:g} s")

        if records["notstarted"]:
            raise WineError(f"Wine could not start {launcher} (Windows error {records['notstarted'][0][0]})")
        if not records["exit"]:
            raise WineError(f"the launcher's exit code was not recorded: {tail(trace)}")
        kit_prefix = self.windows_path(kit).rstrip("\\") + "\\"
        launches = []
        for path, command, folder, *how in records["ran"]:
            inside = path.lower().startswith(kit_prefix.lower())
            launches.append(Launch(path, command, folder, path[len(kit_prefix):] if inside else path, *how))
        exit_fields = records["exit"][0]
        seconds = int(exit_fields[1]) / 1e6 if len(exit_fields) > 1 else None
        return Run(machine, start_folder, launches, boxes, int(exit_fields[0]), shots, problems,
                   loaded=[tuple(fields[:2]) for fields in records.get("loaded", [])], seconds=seconds)

    @staticmethod
    def _read_record(path):
        records = {"ran": [], "exit": [], "notstarted": []}
        with contextlib.suppress(FileNotFoundError):
            with open(path, encoding="latin-1") as record:
                for line in record:
                    if line.endswith("\n"):
                        kind, *fields = line.rstrip("\n").split("\t")
                        records.setdefault(kind, []).append(fields)
        return records

    def _xdotool(self, *args):
        try:
            return subprocess.run(["xdotool", *args], env=self._env(), stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=TOOL_TIMEOUT)
        except subprocess.TimeoutExpired:
            return None

    def _dismiss_boxes(self, process, screenshots, label):
        """Presses Return on every INSTALL box until the launcher ends; returns
        the screenshots taken and the number of boxes seen."""
        deadline = time.monotonic() + self.timeout
        pressed = {}   # window id -> when Return was last sent
        shots = []
        while process.poll() is None:
            if time.monotonic() > deadline:
                raise WineError(f"the launcher did not finish within {self.timeout:g} s"
                                   f" ({len(pressed)} box(es) dismissed)")
            found = self._xdotool("search", "--onlyvisible", "--name", "^INSTALL$")
            for window in (found.stdout.split() if found and found.returncode == 0 else []):
                if window not in pressed:
                    if screenshots:
                        shots.append(self._screenshot(window, screenshots, f"{label}-{len(pressed) + 1}"))
                elif time.monotonic() - pressed[window] < 1.0:
                    continue   # give the last key press time to land
                pressed[window] = time.monotonic()
                self._xdotool("windowfocus", "--sync", window, "key", "Return")
            time.sleep(0.05)
        return shots, len(pressed)

    def _screenshot(self, window, folder, name):
        need_program("import", "it takes the screenshots")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name + ".png")
        time.sleep(0.3)   # a box just mapped may not be painted yet
        with contextlib.suppress(subprocess.TimeoutExpired):
            subprocess.run(["import", "-window", window, path], env=self._env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=TOOL_TIMEOUT)
        return path if os.path.exists(path) else None
