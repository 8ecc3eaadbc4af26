#!/usr/bin/env python3
"""Runs the launcher of a kit under Wine, pretending to be a chosen Windows
release, and reports what happened: the installer started, the boxes shown
and the exit code.

Usage:
  tools/preview.py [KIT] [--release winxp] [--arch x86] [--arch2 none]
  tools/preview.py [KIT] --matrix [--screenshots DIR]
KIT defaults to a fresh sample kit in build/kit (see tools/make_kit.py).
"""
import argparse
import contextlib
import ctypes
import dataclasses
import fcntl
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
DEFAULT_PREFIX = os.path.join(ROOT, "build", "wine")
RUNS_DIR = os.path.join(ROOT, "build", "wine-runs")   # logs and records, removed after each session

# Wine's names for the releases it can pretend to be, oldest first.
RELEASES = ("win31", "win95", "win98", "winme", "nt351", "nt40", "win2k", "winxp",
            "winxp64", "win2003", "vista", "win7", "win8", "win81", "win10")
MATRIX_RELEASES = RELEASES[RELEASES.index("win95"):]
# NT 5.2 and NT 6 are the releases on which the launcher asks the registry
# whether the processor is x86; elsewhere one architecture says it all.
ARCH_MATTERS = ("winxp64", "win2003", "vista", "win7", "win8", "win81", "win10")
X86, X64 = "x86", "AMD64"

ENVIRONMENT_KEY = "SYSTEM\\{}\\Control\\Session Manager\\Environment"
PLACE1 = ENVIRONMENT_KEY.format("CurrentControlSet")
PLACE2 = ENVIRONMENT_KEY.format("ControlSet002")

# The box text as Wine traces it when it sets a message box up.
BOX_TRACE = re.compile(r'trace:msgbox:MSGBOX_OnInit L"(.*)"\s*$')

# How many times slower than a plain machine Wine runs here: a VM without
# hardware help (tools/vm) makes every wait below longer, even the grace
# during which no installer may show up.
SLOWDOWN = float(os.environ.get("PREVIEW_SLOWDOWN") or 1)
RUN_TIMEOUT = 60 * SLOWDOWN        # seconds for one launcher run, boxes included
RECORD_TIMEOUT = 15 * SLOWDOWN     # seconds for a reported launch to show up in the record
NO_LAUNCH_GRACE = 1.0 * SLOWDOWN   # seconds to make sure that nothing ran after all
PREFIX_TIMEOUT = 300 * SLOWDOWN    # seconds to create the Wine prefix
TOOL_TIMEOUT = 15 * SLOWDOWN       # seconds for Xvfb to start, a helper to answer


def clear_folder(path):
    """Empties a folder rather than removing it, since it may be a mount point
    (tools/vm/run-in-vm.sh keeps the prefix in the VM's memory)."""
    if os.path.islink(path) or not os.path.isdir(path):
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)
        return
    for entry in os.scandir(path):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.remove(entry.path)


class PreviewError(Exception):
    """A failure of the machinery (not of the launcher), told to the user as is."""


@dataclasses.dataclass
class Machine:
    """What the launcher is to find: a Wine release name, and the registry's
    PROCESSOR_ARCHITECTURE at the two places it reads (None: no value)."""
    release: str
    place1: str = X86
    place2: str = None

    def describe_arch(self):
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

    def installer(self):
        return " + ".join(launch.relative for launch in self.launches) or "none"


def to_windows(path):
    """The path as a Windows program in the prefix sees it (Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def need_program(name, why):
    path = shutil.which(name)
    if path is None:
        raise PreviewError(f"{name} is not installed ({why}); tools/setup.sh e2e installs it")
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
        f"[HKEY_LOCAL_MACHINE\\{PLACE1}]",
        f'"PROCESSOR_ARCHITECTURE"={value(machine.place1)}', "",
        "[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]", "",
    ]
    if machine.place2 is not None:
        lines += [f"[HKEY_LOCAL_MACHINE\\{PLACE2}]",
                  f'"PROCESSOR_ARCHITECTURE"={value(machine.place2)}', ""]
    return "\r\n".join(lines) + "\r\n"


class WineSession:
    """One Wine prefix of our own, an X display and a persistent wineserver:
    the registry changes of a run survive only while the same wineserver
    lives, since a fresh one rewrites the processor architecture."""

    def __init__(self, prefix=DEFAULT_PREFIX, own_display=False, timeout=RUN_TIMEOUT,
                 starter=make_kit.STARTER):
        self.prefix = os.path.abspath(prefix)
        self.own_display = own_display or not os.environ.get("DISPLAY")
        self.timeout = timeout
        self.starter = starter
        self.stack = contextlib.ExitStack()
        self.workdir = None
        self.runs = 0

    # -- setting up and tearing down -------------------------------------

    def __enter__(self):
        self.wine = need_program("wine", "it runs the launcher")
        self.wineserver = need_program("wineserver", "it holds the registry for the runs")
        need_program("xdotool", "it dismisses the boxes")
        if self.own_display:
            need_program("Xvfb", "it gives the boxes a display")
        make_kit.require_built(self.starter)
        try:
            self.stack.enter_context(self._lock())
            os.makedirs(RUNS_DIR, exist_ok=True)
            self.workdir = tempfile.mkdtemp(dir=RUNS_DIR)
            self.stack.callback(shutil.rmtree, self.workdir, True)
            self.display = self._start_xvfb() if self.own_display else os.environ["DISPLAY"]
            self._ensure_prefix()
            self._wineserver("-k")
            self._wineserver("-w")
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
                    raise PreviewError(f"Xvfb did not start within {TOOL_TIMEOUT:g} s (see its log: xvfb.log)")
                chunk = pipe.read(16)
                if not chunk:
                    raise PreviewError("Xvfb ended at start-up: " + self._tail("xvfb.log"))
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
        env = dict(os.environ, WINEPREFIX=self.prefix, DISPLAY=self.display,
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
                raise PreviewError(f"{what} did not finish within {timeout:g} s") from None

    def _wineserver(self, flag):
        self._call([self.wineserver, flag], f"wineserver {flag}", 4 * TOOL_TIMEOUT, "wineserver.log")

    def _stop_wineserver(self):
        with contextlib.suppress(PreviewError):
            self._wineserver("-k")
            self._wineserver("-w")

    def _ensure_prefix(self):
        ready = os.path.join(self.prefix, ".preview-ready")
        if not os.path.exists(ready):
            print(f"preview: creating the Wine prefix {self.prefix} (once, may take a minute)",
                  file=sys.stderr)
            clear_folder(self.prefix)
            wineboot = [self.wine, "wineboot", "-i"]
            if self._call(wineboot, "creating the Wine prefix", PREFIX_TIMEOUT, "wineboot.log") != 0:
                # Wine waits five minutes at most for a new prefix and then
                # gives up, while the set-up goes on; an emulated machine can
                # take longer. Once it has finished, the prefix must start.
                self._call([self.wineserver, "-w"], "setting up the Wine prefix", PREFIX_TIMEOUT, "wineserver.log")
                if self._call(wineboot, "starting the Wine prefix", PREFIX_TIMEOUT, "wineboot.log") != 0:
                    raise PreviewError("wineboot could not create the Wine prefix: " + self._tail("wineboot.log"))
            self._wineserver("-w")
            open(ready, "w").close()
        # Paths reach the Windows programs as Z:\..., which holds only while
        # Z: is the root.
        drive = os.path.join(self.prefix, "dosdevices", "z:")
        if not os.path.islink(drive) or os.readlink(drive) != "/":
            raise PreviewError(f"drive Z: of {self.prefix} is not the root folder; remove the prefix to rebuild it")

    def _tail(self, log_name):
        return tail(os.path.join(self.workdir, log_name))

    # -- one run ---------------------------------------------------------

    def run(self, kit, machine, program="launcher.exe", command_line=None, start_folder=None,
            screenshots=None, label=None):
        """Runs the kit's launcher once on the given machine and returns what
        happened. command_line defaults to the program's path in quotes, as
        Explorer starts it; start_folder (the current folder) to a scratch
        folder, so that only the command line can lead to the kit."""
        self.runs += 1
        rundir = os.path.join(self.workdir, f"run{self.runs}")
        os.makedirs(rundir)
        launcher = os.path.join(kit, program)
        if not os.path.isfile(launcher):
            raise PreviewError(f"{launcher} does not exist")

        state = os.path.join(rundir, "state.reg")
        with open(state, "w", encoding="latin-1", newline="") as reg:
            reg.write(registry_text(machine))
        if self._call([self.wine, "regedit", "/S", to_windows(state)], "regedit", 4 * TOOL_TIMEOUT, "regedit.log") != 0:
            raise PreviewError("regedit could not set the registry: " + self._tail("regedit.log"))

        record = os.path.join(rundir, "record.txt")
        start_folder = to_windows(start_folder or rundir)
        env = self._env(WINEDEBUG="-all,trace+msgbox", KIT_RECORD=to_windows(record),
                        STARTER_PROGRAM=to_windows(launcher),
                        STARTER_COMMAND_LINE=command_line or f'"{to_windows(launcher)}"',
                        STARTER_FOLDER=start_folder)
        trace = os.path.join(rundir, "wine.log")
        with open(trace, "w") as log:
            process = subprocess.Popen([self.wine, self.starter], env=env, stdin=subprocess.DEVNULL,
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
        if "Exec fail" in boxes:
            time.sleep(NO_LAUNCH_GRACE)
            records = self._read_record(record)
        else:
            deadline = time.monotonic() + RECORD_TIMEOUT
            while not (records := self._read_record(record))["ran"] and time.monotonic() < deadline:
                time.sleep(0.1)
            if not records["ran"]:
                problems.append(f"the launcher reported a launch, but no installer recorded a run within {RECORD_TIMEOUT:g} s")

        if records["notstarted"]:
            raise PreviewError(f"Wine could not start {launcher} (Windows error {records['notstarted'][0][0]})")
        if not records["exit"]:
            raise PreviewError(f"the launcher's exit code was not recorded: {tail(trace)}")
        kit_prefix = to_windows(kit).rstrip("\\") + "\\"
        launches = []
        for path, command, folder in records["ran"]:
            inside = path.lower().startswith(kit_prefix.lower())
            launches.append(Launch(path, command, folder, path[len(kit_prefix):] if inside else path))
        return Run(machine, start_folder, launches, boxes, int(records["exit"][0][0]), shots, problems)

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
                raise PreviewError(f"the launcher did not finish within {self.timeout:g} s"
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


# -- reporting -----------------------------------------------------------

def matrix_machines():
    for release in MATRIX_RELEASES:
        for arch in ((X86, X64) if release in ARCH_MATTERS else (X86,)):
            yield Machine(release, arch)


def format_boxes(boxes):
    return ", ".join(f'"{box}"' for box in boxes) or "none"


def format_table(runs):
    header = ("Release", "PROCESSOR_ARCHITECTURE", "Installer started", "Boxes", "Exit")
    rows = [(run.machine.release, run.machine.describe_arch(), run.installer(),
             format_boxes(run.boxes), str(run.exit_code)) for run in runs]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    line = lambda cells: "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()
    return "\n".join([line(header), line(["-" * width for width in widths])] + [line(row) for row in rows])


def report_run(run, kit):
    print(f"Kit:                     {kit}")
    print(f"Windows release:         {run.machine.release}")
    print(f"PROCESSOR_ARCHITECTURE:  CurrentControlSet: {run.machine.place1 or '(none)'}; "
          f"ControlSet002: {run.machine.place2 or '(none)'}")
    for launch in run.launches or [None]:
        if launch is None:
            print("Installer started:       none")
        else:
            print(f"Installer started:       {launch.relative}")
            print(f"  its command line:      {launch.command_line}")
            print(f"  its current folder:    {launch.folder}")
    print(f"Boxes, in order:         {format_boxes(run.boxes)}")
    print(f"Exit code:               {run.exit_code}")
    for shot in run.screenshots:
        print(f"Screenshot:              {shot}")


def arch_value(text):
    return None if text.lower() == "none" else text


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kit", nargs="?", help="a folder holding launcher.exe (default: a fresh sample kit)")
    parser.add_argument("--release", choices=RELEASES, default="winxp", metavar="NAME",
                        help="the Windows release Wine pretends to be: " + ", ".join(RELEASES) + " (default winxp)")
    parser.add_argument("--arch", type=arch_value, default=X86, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in CurrentControlSet (default x86; 'none': no value)")
    parser.add_argument("--arch2", type=arch_value, default=None, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in ControlSet002 (default none)")
    parser.add_argument("--matrix", action="store_true",
                        help=f"run every release from {MATRIX_RELEASES[0]} to {MATRIX_RELEASES[-1]}, with "
                             f"{X86} and {X64} where it matters, and print a table")
    parser.add_argument("--screenshots", metavar="DIR", help="save a PNG of every box in DIR")
    parser.add_argument("--program", default="launcher.exe", help="the launcher's file name in the kit")
    parser.add_argument("--prefix", default=DEFAULT_PREFIX, help="the Wine prefix to use (default build/wine)")
    parser.add_argument("--xvfb", action="store_true", help="use a display of our own even when DISPLAY is set")
    parser.add_argument("--timeout", type=float, default=RUN_TIMEOUT, help="seconds one run may take")
    args = parser.parse_args()

    try:
        kit = os.path.abspath(args.kit) if args.kit else make_kit.make_kit(make_kit.DEFAULT_KIT)
        if not os.path.isfile(os.path.join(kit, args.program)):
            raise PreviewError(f"{os.path.join(kit, args.program)} does not exist")
        machines = list(matrix_machines()) if args.matrix else [Machine(args.release, args.arch, args.arch2)]
        runs = []
        with WineSession(args.prefix, own_display=args.xvfb, timeout=args.timeout) as session:
            for machine in machines:
                label = f"{machine.release}-{machine.place1 or 'none'}"
                # Started from its own folder, as a double click in Explorer does.
                runs.append(session.run(kit, machine, program=args.program, start_folder=kit,
                                        screenshots=args.screenshots, label=label))
    except (PreviewError, make_kit.KitError, OSError) as error:
        sys.exit(f"preview: {error}")
    except KeyboardInterrupt:
        sys.exit("preview: interrupted")

    if args.matrix:
        print(f"Launcher: {os.path.relpath(os.path.join(kit, args.program))}")
        print(format_table(runs))
    else:
        report_run(runs[0], kit)
    problems = [f"{run.machine.release} {run.machine.describe_arch()}: {p}" for run in runs for p in run.problems]
    for problem in problems:
        print(f"preview: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
