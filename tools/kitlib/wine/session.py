"""One Windows to run a kit's launcher on: a prefix of the chosen bitness, a
display and one persistent wineserver for the session, and runs whose
installers record what happened, each judged before it is believed."""
import contextlib
import os
import re
import shutil
import subprocess
import tempfile
import time

from . import display, install, prefix as prefixes, records, side_by_side, timing
from .prefix import to_windows
from .errors import WineError
from .records import Run, Trace
from .registry import AS_IS, starter_text
from .server import Served, StarterServer
from .watch import Watch

# AutoRun starts a CD's program by its quoted path from here.
AUTORUN_FOLDER = "C:\\windows\\system32"

# How many times slower than a plain machine Wine runs here: a VM without
# hardware help (tools/dev/vm) makes every wait below longer, even the grace
# during which no installer may show up.
SLOWDOWN = float(os.environ.get("PREVIEW_SLOWDOWN") or 1)
RUN_TIMEOUT = 60 * SLOWDOWN        # seconds for one launcher run, boxes included
RECORD_TIMEOUT = 15 * SLOWDOWN     # seconds for a reported launch to show up in the record
NO_LAUNCH_GRACE = 1.0 * SLOWDOWN   # seconds to make sure that nothing ran, where the trace cannot tell
PREFIX_TIMEOUT = 300 * SLOWDOWN    # seconds to create a Wine prefix
TOOL_TIMEOUT = 15 * SLOWDOWN       # seconds for Xvfb to start, a helper to answer
RETRY_PAUSE = 2.0 * SLOWDOWN       # seconds, times the attempts so far, before a run is tried again
TRACED = "-all,trace+msgbox,+relay"   # Wine's trace of a run: the boxes it made, the calls relayed


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
            install.need_program("Xvfb", "it gives the boxes a display")
        install.need_program("xdotool", "it dismisses the boxes")
        if not (self.prefix and self.starter and self.runs_dir):
            raise WineError("a session needs its prefix, its starter and a folder for its runs")
        if not os.path.isfile(self.starter):
            raise WineError(f"{self.starter} is missing: build the windows preset first (tools/build.sh)")
        try:
            os.makedirs(self.runs_dir, exist_ok=True)
            self.workdir = tempfile.mkdtemp(dir=self.runs_dir)
            self.stack.callback(shutil.rmtree, self.workdir, True)
            if self.needs_32bit:
                self.wine.check_runs_32bit(self.workdir)
            self.stack.enter_context(prefixes.locked(self.prefix))
            self.display = (display.start_xvfb(self.stack, self.workdir, TOOL_TIMEOUT) if self.own_display
                            else os.environ["DISPLAY"])
            self.boxes = display.Boxes(self.display, TOOL_TIMEOUT, self.spent)
            self.stack.callback(self._stop_wineserver)   # also what making the prefix started
            prefixes.ensure(self.prefix, self.wine.prefix_arch(self.windows), self, PREFIX_TIMEOUT)
            self._end_wineserver()
            # Wine reads its drives when the wineserver's session starts.
            prefixes.mount_cdrom(self.prefix, self.cdrom)
            self.stack.callback(prefixes.unmount_cdrom, self.prefix)
            self._wineserver("-p")
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
        self._call([self.wine.wineserver, flag], f"wineserver {flag}", 4 * TOOL_TIMEOUT, "wineserver.log")

    def _end_wineserver(self):
        """Ends the wineserver and every Windows process of the prefix: asked with SIGINT and waited
        for (-k alone polls in growing sleeps, some 0.3 s longer); killed if it does not end in time."""
        self._wineserver("-k2")
        try:
            self._call([self.wine.wineserver, "-w"], "wineserver -w", TOOL_TIMEOUT, "wineserver.log")
        except WineError:
            self._wineserver("-k")
            self._wineserver("-w")

    def _stop_wineserver(self):
        with contextlib.suppress(WineError):
            self._end_wineserver()

    # The means prefix.ensure() makes the prefix with.
    def wineboot(self, what, timeout):
        return self._call([self.loader, "wineboot", "-i"], what, timeout, "wineboot.log")

    def wait(self, what, timeout):
        return self._call([self.wine.wineserver, "-w"], what, timeout, "wineserver.log")

    def regedit(self, text, name):
        path = os.path.join(self.workdir, name)
        with open(path, "w", encoding="latin-1", newline="") as reg:
            reg.write(text)
        if self._call([self.loader, "regedit", "/S", to_windows(path)], "regedit", 4 * TOOL_TIMEOUT,
                      "regedit.log") != 0:
            raise WineError("regedit could not set the registry: " + self.tail("regedit.log"))

    def tail(self, log_name):
        return display.tail(os.path.join(self.workdir, log_name))

    def windows_path(self, path):
        """The path as the programs in this session see it (prefix.windows_path)."""
        return prefixes.windows_path(path, self.cdrom)

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
        for attempt in range(1, records.ATTEMPTS + 1):
            side_by_side.check_interrupted()
            if attempt > 1:
                self._fresh_start(attempt)
            try:
                run = self._attempt(kit, launcher, machine, command_line, start_folder, screenshots,
                                    label or machine.release, dict(env or {}), dll_overrides, starts_installer)
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
            self._end_wineserver()
            self.server.forget()
            time.sleep(RETRY_PAUSE * (attempt - 1))
            self._wineserver("-p")

    def _attempt(self, kit, launcher, machine, command_line, start_folder, screenshots, label, env,
                 dll_overrides, starts_installer):
        self.runs += 1
        rundir = os.path.join(self.workdir, f"run{self.runs}")
        os.makedirs(rundir)
        record = os.path.join(rundir, "record.txt")
        if not (start_folder and re.match(r"[A-Za-z]:\\", start_folder)):
            start_folder = self.windows_path(start_folder or rundir)
        if dll_overrides:
            env["WINEDLLOVERRIDES"] = self._env()["WINEDLLOVERRIDES"] + ";" + dll_overrides
        run_env = self._env(WINEDEBUG=TRACED, KIT_RECORD=to_windows(record),
                            STARTER_PROGRAM=self.windows_path(launcher),
                            STARTER_COMMAND_LINE=command_line or f'"{self.windows_path(launcher)}"',
                            STARTER_FOLDER=start_folder, STARTER_REGISTRY=starter_text(machine), **env)
        fields = [self.windows_path(launcher), command_line or f'"{self.windows_path(launcher)}"', start_folder]
        serve = not env and self.server.takes(fields, starter_text(machine))
        trace_path, offset = self.server.log_path if serve else os.path.join(rundir, "wine.log"), 0
        with Watch(rundir, *([self.workdir] if serve else [])) as watch:
            if serve:
                offset = self.server.ask(*fields, to_windows(record), starter_text(machine))
                process = self.server.process
                watch.follow(process, lambda: any(records.read_record(record)[kind] for kind in records.ENDS))
            else:
                with open(trace_path, "w") as log:
                    process = subprocess.Popen([self.loader, self.starter], env=run_env, stdin=subprocess.DEVNULL,
                                               stdout=log, stderr=log)
                watch.follow(process)
            try:
                shots, seen = self.boxes.dismiss_until_done(time.monotonic() + self.timeout, screenshots, label,
                                                            watch, records.Follower(trace_path, offset))
                if shots is None:
                    raise WineError(f"the launcher did not finish within {self.timeout:g} s"
                                    f" ({seen} box(es) dismissed)")
            except BaseException:
                self._stop_wineserver()   # ends every Windows process of the prefix
                process.wait()
                raise
            with open(trace_path, "rb") as log:
                log.seek(offset)
                text = log.read().decode("latin-1")
            trace = Trace.parse(text.splitlines(keepends=True))
            with self.spent.on(timing.WAITS):
                found = records.complete_record(record, trace, starts_installer, watch, RECORD_TIMEOUT,
                                                NO_LAUNCH_GRACE)
        problems = records.verdict(trace, seen, len(found["ran"]))
        if problems:
            # The session's logs go with it; this one is what tells why.
            kept = records.keep(text, self.traces_dir, f"{label}-{self.runs}")
            problems = [f"{problem} (Wine's trace: {os.path.relpath(kept)})" for problem in problems]
        if found["notset"]:
            change, code = (found["notset"][0] + ["?", "?"])[:2]
            raise WineError(f"the starter could not change the registry ({change!r}, Windows error {code})")
        if found["notstarted"]:
            raise WineError(f"Wine could not start {launcher} (Windows error {found['notstarted'][0][0]})")
        if not found["exit"]:
            raise _NotRecorded("the launcher's exit code was not recorded: "
                               + (" | ".join(text.strip().splitlines()[-5:]) or "(no output)"))
        launches = records.launches(found["ran"], self.windows_path(kit))
        exit_fields = found["exit"][0]
        if len(exit_fields) < 2:   # an older starter ignores the registry: another Windows than the row's
            raise WineError(f"{os.path.relpath(self.starter)} is an older build that does not set the registry: "
                            "rebuild it with 'cmake --build --preset windows'")
        seconds = int(exit_fields[1]) / 1e6
        return Run(machine, start_folder, launches, trace.called, int(exit_fields[0]), shots, problems,
                   loaded=[tuple(fields[:2]) for fields in found.get("loaded", [])], seconds=seconds)
