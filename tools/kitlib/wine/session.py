"""One Windows to run a kit's launcher on: a prefix of the chosen bitness, a
display and one persistent wineserver for the session, and runs whose
installers record what happened, each judged before it is believed."""
import contextlib
import dataclasses
import os
import re
import shutil
import subprocess
import tempfile
import time

from . import code_page, display, install, prefix as prefixes, records, side_by_side, timing
from .errors import need_program
from .timing import NO_LAUNCH_GRACE, PREFIX_TIMEOUT, RECORD_TIMEOUT, RETRY_PAUSE, RUN_TIMEOUT, TOOL_TIMEOUT
from .drives import to_windows, windows_path
from .errors import WineError
from .records import Run, Trace
from .registry import AS_IS, starter_text
from .programs import WinePrograms
from .server import Served, StarterServer
from .watch import Watch

# AutoRun starts a CD's program by its quoted path from here.
AUTORUN_FOLDER = "C:\\windows\\system32"

TRACED = "-all,trace+msgbox,+relay"   # Wine's trace of a run: the boxes it made, the calls relayed


@dataclasses.dataclass(frozen=True)
class _Launch:
    """One run asked of the session, as run() takes it."""
    kit: str
    launcher: str           # the launcher's host path
    machine: object         # registry.Machine
    command_line: str       # None: the launcher's path in quotes
    start_folder: str       # None: a scratch folder
    screenshots: str
    label: str
    env: dict
    dll_overrides: str
    starts_installer: bool


class _NotRecorded(WineError):
    """The run left no record of its end: Wine's failure, tried again."""


class WineSession:
    """One Wine prefix of our own, an X display and a persistent wineserver:
    the registry changes of a run survive only while the same wineserver
    lives, since a fresh one rewrites the processor architecture.

    windows: 32 or 64, the Windows (a 64-bit one runs the 32-bit launcher
    under WOW64, as a real one does; on a WoW64-only Wine the 32-bit one is
    emulated, see install.Wine). cdrom: a host folder that the session shows
    as drive D:, a CD-ROM drive; paths inside it reach the programs as
    D:\\..., see windows_path(). The caller says where things lie: the
    prefix, the starter program that stands for Explorer and AutoRun (a
    64-bit one on a 64-bit Windows), the folder for the runs' logs, removed
    with the session, and the one that keeps the traces of runs Wine got
    wrong."""

    def __init__(self, prefix=None, own_display=False, timeout=RUN_TIMEOUT, windows=32, cdrom=None,
                 needs_32bit=True, wine=None, starter=None, runs=None, traces=None):
        if windows not in (32, 64):
            raise WineError(f"no {windows}-bit Windows: 32 or 64")
        self.windows = windows
        self.prefix = os.path.abspath(prefix) if prefix else None
        self.own_display = own_display or not os.environ.get("DISPLAY")
        self.timeout = timeout
        self.starter = starter
        self.runs_dir = runs
        self.traces_dir = traces or runs
        self.cdrom = os.path.abspath(cdrom) if cdrom else None
        self.needs_32bit = needs_32bit
        self.wine = wine
        self.stack = contextlib.ExitStack()
        self.workdir = None
        self.runs = 0
        self.arch_changed = False
        self.spent = timing.Spent()

    @property
    def emulated(self):
        """Whether this 32-bit Windows is a 64-bit prefix claiming x86."""
        return self.windows == 32 and not self.wine.true_32bit

    # -- setting up and tearing down -------------------------------------

    def __enter__(self):
        started = time.monotonic()
        self.wine = self.wine or install.find()
        self.loader = self.wine.loader(self.windows)
        if self.own_display:
            need_program("Xvfb", "it gives the boxes a display")
        need_program("xdotool", "it dismisses the boxes")
        if not (self.prefix and self.starter and self.runs_dir):
            raise WineError("a session needs its prefix, its starter and a folder for its runs")
        if not os.path.isfile(self.starter):
            raise WineError(f"{self.starter} is missing: build the windows preset first (tools/build.sh)")
        try:
            os.makedirs(self.runs_dir, exist_ok=True)
            self.workdir = tempfile.mkdtemp(dir=self.runs_dir)
            self.stack.callback(shutil.rmtree, self.workdir, True)
            self.programs = WinePrograms(self.loader, self.wine.wineserver, self._env, self.workdir)
            if self.needs_32bit:
                self.wine.check_runs_32bit(self.workdir)
            self.stack.enter_context(prefixes.locked(self.prefix))
            self.display = (display.start_xvfb(self.stack, self.workdir, TOOL_TIMEOUT) if self.own_display
                            else os.environ["DISPLAY"])
            self.boxes = display.Boxes(self.display, TOOL_TIMEOUT, self.spent)
            self.stack.callback(self.programs.stop_wineserver)   # also what making the prefix started
            prefixes.ensure(self.prefix, self.wine.prefix_arch(self.windows), self.programs, PREFIX_TIMEOUT)
            self.programs.end_wineserver()
            # Wine reads its drives when the wineserver's session starts.
            prefixes.mount_cdrom(self.prefix, self.cdrom)
            self.stack.callback(prefixes.unmount_cdrom, self.prefix)
            self.programs.wineserver("-p")
            self.server = StarterServer([self.loader, self.starter], self._env(WINEDEBUG=TRACED, STARTER_SERVE="1"),
                                        os.path.join(self.workdir, "served.log"), TOOL_TIMEOUT)
            self.stack.callback(self.server.forget)
        except BaseException:
            self.stack.close()
            raise
        self.spent.add(timing.SET_UP, time.monotonic() - started)
        return self

    def __exit__(self, *exc):
        with self.spent.on(timing.SET_UP):
            self.stack.close()
        timing.SPENT.merge(self.spent)

    def _env(self, **extra):
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH=self.wine.prefix_arch(self.windows),
                   DISPLAY=self.display, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   WINESERVER=self.wine.wineserver)
        # Under a locale that is not UTF-8 Wine opens no host path outside
        # ASCII (a kit in ~/Jürgen would not start); C.UTF-8, always there,
        # gives code page 1252. A UTF-8 locale stays: it sets the code page.
        if not code_page.is_utf8(code_page.locale(env)):
            env["LC_ALL"] = "C.UTF-8"
        env.update(extra)
        return env

    def windows_path(self, path):
        """The path as the programs in this session see it (drives.windows_path)."""
        return windows_path(path, self.cdrom)

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
        program that never starts one.

        A run that Wine got wrong (a box the launcher called for that it did
        not show, a start it reported that no installer recorded) is run
        again, up to records.ATTEMPTS times; a last one that is still wrong
        comes back with its problems, never as what the launcher does."""
        launcher = os.path.join(kit, program)
        if not os.path.isfile(launcher):
            raise WineError(f"{launcher} does not exist")
        if machine.place1 is AS_IS and self.arch_changed:
            raise WineError("PROCESSOR_ARCHITECTURE was changed earlier in this session; "
                            "a run with it as Windows has it needs a session of its own")
        self.arch_changed |= machine.place1 is not AS_IS
        self.spent.add(timing.ROW, 0)
        launch = _Launch(kit, launcher, machine, command_line, start_folder, screenshots, label or machine.release,
                         dict(env or {}), dll_overrides, starts_installer)
        for attempt in range(1, records.ATTEMPTS + 1):
            side_by_side.check_interrupted()
            if attempt > 1:
                self._fresh_start(attempt)
            try:
                run = self._attempt(launch)
            except (_NotRecorded, Served) as error:
                # Seen under load: Wine started nothing at all, not even the
                # starter, and left no trace.
                if attempt == records.ATTEMPTS:
                    raise WineError(f"{error} (in each of {attempt} attempts)") from None
                continue
            run.attempts = attempt
            if not run.problems:
                break
        return run

    def _fresh_start(self, attempt):
        """Before another attempt: under load Wine's desktop can fail to make
        dialogs (MessageBoxA returns at once) for seconds on end, so the
        wineserver, and the desktop with it, starts anew after a pause. Each
        attempt sets the registry again, so nothing of the run is lost."""
        with self.spent.on(timing.WAITS):
            self.programs.end_wineserver()
            self.server.forget()
            time.sleep(RETRY_PAUSE * (attempt - 1))
            self.programs.wineserver("-p")

    def _attempt(self, launch):
        """One try of a run: the launcher started (by the serving starter
        where it can take the run, else by a starter of its own), its boxes
        dismissed until it ends, and what it left read back."""
        self.runs += 1
        rundir = os.path.join(self.workdir, f"run{self.runs}")
        os.makedirs(rundir)
        record = os.path.join(rundir, "record.txt")
        start_folder = launch.start_folder
        if not (start_folder and re.match(r"[A-Za-z]:\\", start_folder)):
            start_folder = self.windows_path(start_folder or rundir)
        env = dict(launch.env)
        if launch.dll_overrides:
            env["WINEDLLOVERRIDES"] = self._env()["WINEDLLOVERRIDES"] + ";" + launch.dll_overrides
        program = self.windows_path(launch.launcher)
        fields = [program, launch.command_line or f'"{program}"', start_folder]
        registry = starter_text(launch.machine)
        serve = not env and self.server.takes(fields, registry)
        trace_path, offset = self.server.log_path if serve else os.path.join(rundir, "wine.log"), 0
        with Watch(rundir, *([self.workdir] if serve else [])) as watch:
            if serve:
                offset = self.server.ask(*fields, to_windows(record), registry)
                process = self.server.process
                watch.follow(process, lambda: any(records.read_record(record)[kind] for kind in records.ENDS))
            else:
                run_env = self._env(WINEDEBUG=TRACED, KIT_RECORD=to_windows(record), STARTER_PROGRAM=fields[0],
                                    STARTER_COMMAND_LINE=fields[1], STARTER_FOLDER=start_folder,
                                    STARTER_REGISTRY=registry, **env)
                with open(trace_path, "w") as log:
                    process = subprocess.Popen([self.loader, self.starter], env=run_env, stdin=subprocess.DEVNULL,
                                               stdout=log, stderr=log)
                watch.follow(process)
            shots, seen = self._dismiss(process, watch, launch, trace_path, offset)
            with open(trace_path, "rb") as log:
                log.seek(offset)
                text = log.read().decode("latin-1")
            trace = Trace.parse(text.splitlines(keepends=True))
            with self.spent.on(timing.WAITS):
                found = records.complete_record(record, trace, launch.starts_installer, watch, RECORD_TIMEOUT,
                                                NO_LAUNCH_GRACE)
        return self._outcome(launch, start_folder, text, trace, found, shots, seen)

    def _dismiss(self, process, watch, launch, trace_path, offset):
        """(screenshots, boxes seen) once the run has ended; a run that does
        not end in time ends the prefix's every process."""
        try:
            shots, seen = self.boxes.dismiss_until_done(time.monotonic() + self.timeout, launch.screenshots,
                                                        launch.label, watch, records.Follower(trace_path, offset))
            if shots is None:
                raise WineError(f"the launcher did not finish within {self.timeout:g} s ({seen} box(es) dismissed)")
            return shots, seen
        except BaseException:
            self.programs.stop_wineserver()   # ends every Windows process of the prefix
            process.wait()
            raise

    def _outcome(self, launch, start_folder, text, trace, found, shots, seen):
        """The Run that the record and the trace tell, or the machinery's
        failure; problems when Wine got the run wrong."""
        problems = records.verdict(trace, seen, len(found["ran"]))
        if problems:
            # The session's logs go with it; this one is what tells why.
            kept = records.keep(text, self.traces_dir, f"{launch.label}-{self.runs}")
            problems = [f"{problem} (Wine's trace: {os.path.relpath(kept)})" for problem in problems]
        if found["notset"]:
            change, code = (found["notset"][0] + ["?", "?"])[:2]
            raise WineError(f"the starter could not change the registry ({change!r}, Windows error {code})")
        if found["notstarted"]:
            raise WineError(f"Wine could not start {launch.launcher} (Windows error {found['notstarted'][0][0]})")
        if not found["exit"]:
            raise _NotRecorded("the launcher's exit code was not recorded: "
                               + (" | ".join(text.strip().splitlines()[-5:]) or "(no output)"))
        launches = records.launches(found["ran"], self.windows_path(launch.kit))
        exit_fields = found["exit"][0]
        if len(exit_fields) < 2:   # an older starter ignores the registry: another Windows than the row's
            raise WineError(f"{os.path.relpath(self.starter)} is an older build that does not set the registry: "
                            "rebuild it with 'cmake --build --preset windows'")
        seconds = int(exit_fields[1]) / 1e6
        return Run(launch.machine, start_folder, launches, trace.called, int(exit_fields[0]), shots, problems,
                   loaded=[tuple(fields[:2]) for fields in found.get("loaded", [])], seconds=seconds)
