"""What a run left behind and what it means: the stand-ins' record of the
installers started, Wine's trace of the boxes, and the decision whether a
run can be believed at all."""
import contextlib
import dataclasses
import os
import re
import time

# GetDriveType's answers, as the stand-in records them.
DRIVE_TYPES = {"2": "removable", "3": "fixed", "4": "remote", "5": "cdrom", "6": "ramdisk"}

# The box text as Wine traces it when it sets a message box up: the box was
# made, whatever the screen then showed.
_STRING = r'"((?:[^"\\]|\\.)*)"'
BOX_TRACE = re.compile(r'trace:msgbox:MSGBOX_OnInit L' + _STRING)
# The launcher's own calls, as the relay trace records them before Wine does
# anything with them: what the launcher asked for, shown or not.
RELAY_BOX = re.compile(r'Call user32\.MessageBoxA\([0-9a-fA-F]+,[0-9a-fA-F]+ ' + _STRING
                       + r',[0-9a-fA-F]+ "INSTALL",')
# The launcher starts the installer with ShellExecuteW on NT, ShellExecuteA on 9x.
RELAY_EXEC_RETURN = re.compile(r'Ret  shell32\.ShellExecute[AW]\(\) retval=([0-9a-fA-F]+)')
RELAY_EXEC_CALL = re.compile(r'Call shell32\.ShellExecute[AW]\(')
RELAY_BOX_CALL = re.compile(r'Call user32\.MessageBoxA\(')
RELAY_BOX_RETURN = re.compile(r'Ret  user32\.MessageBoxA\(\)')
# Printed by every process whose relay trace is on: without it (a Wine built
# without relay support) the calls are unknown, not absent.
RELAY_ON = re.compile(r'trace:relay:load_list L"RelayInclude"')
# The record's lines that end a run: its end, or why the starter could not start it.
ENDS = ("exit", "notstarted", "notset")
# How often a run that Wine got wrong is tried again before it is reported
# as a problem of that run.
ATTEMPTS = 4


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
    machine: object
    start_folder: str   # the launcher's current folder, as Windows sees it
    launches: list
    boxes: list
    exit_code: int
    screenshots: list
    problems: list      # of the run itself: Wine lost a box or a start; never the launcher's doing
    # (program, DLL) for every load of a planted DLL that records itself.
    loaded: list = dataclasses.field(default_factory=list)
    seconds: float = None   # how long the program ran, as the starter measured it
    attempts: int = 1

    def installer(self):
        return " + ".join(launch.relative for launch in self.launches) or "none"


def format_boxes(boxes):
    return ", ".join(f'"{box}"' for box in boxes) or "none"


def decode_trace_text(text):
    """Undoes the escapes of Wine's debug strings (\\xNN in ANSI strings,
    \\xNNNN in wide ones)."""
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    return re.sub(r"\\(x[0-9a-fA-F]{4}|x[0-9a-fA-F]{2}|[nrt\\\"])",
                  lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x" else simple[m.group(1)],
                  text)


@dataclasses.dataclass
class Trace:
    """What Wine's trace of one run says."""
    called: list        # box texts the launcher passed to MessageBoxA
    made: list          # box texts Wine set a dialog up for
    exec_results: list  # ShellExecuteA's return values
    exec_calls: int = 0     # ShellExecuteA's calls
    relayed: bool = False   # whether the calls were traced at all

    @classmethod
    def parse(cls, lines):
        called, made, results, relayed, calls = [], [], [], False, 0
        for line in lines:
            relayed = relayed or bool(RELAY_ON.search(line))
            if m := RELAY_BOX.search(line):
                called.append(decode_trace_text(m.group(1)))
            if m := BOX_TRACE.search(line):
                made.append(decode_trace_text(m.group(1)))
            if m := RELAY_EXEC_RETURN.search(line):
                results.append(int(m.group(1), 16))
            calls += bool(RELAY_EXEC_CALL.search(line))
        return cls(called if relayed else list(made), made, results, calls, relayed)

    def nothing_started(self):
        """Whether the trace proves that the launcher started nothing: its
        calls were traced, and every ShellExecuteA it made came back with a
        failure. Else an installer may still show up in the record late."""
        return self.relayed and self.exec_calls == len(self.exec_results) and all(
            result <= 32 for result in self.exec_results)


class Follower:
    """Wine's trace read as it grows, for the boxes: whether its calls are
    traced, and how many boxes the launcher has called for, Wine has set up
    and the launcher has got back so far."""

    def __init__(self, path, offset=0):
        self.path = path
        self.start = self.offset = offset
        self.rest = b""
        self.relayed = False
        self.calls = self.made = self.returns = 0

    def read(self):
        with contextlib.suppress(FileNotFoundError):
            with open(self.path, "rb") as trace:
                trace.seek(self.offset)
                data = trace.read()
            self.offset += len(data)
            *lines, self.rest = (self.rest + data).split(b"\n")
            for line in lines:
                text = line.decode("latin-1")
                self.relayed = self.relayed or bool(RELAY_ON.search(text))
                self.calls += bool(RELAY_BOX_CALL.search(text))
                self.made += bool(BOX_TRACE.search(text))
                self.returns += bool(RELAY_BOX_RETURN.search(text))
        return self


def verdict(trace, seen, launches):
    """Why the run cannot be taken as what the launcher does, if it cannot:
    a box the launcher called for that Wine did not make or show, or a start
    that ShellExecute reported (above 32) and no installer recorded. seen:
    boxes captioned INSTALL found on screen; launches: starts recorded."""
    problems = []
    # The screen has the last word on whether a box was shown: Wine's own
    # trace of the dialog can be lost among other processes' lines.
    if seen != len(trace.called):
        problems.append(f"the launcher called for {format_boxes(trace.called)}, "
                        f"Wine made {format_boxes(trace.made)}, {seen} on screen")
    started = sum(result > 32 for result in trace.exec_results)
    if launches < started:
        problems.append(f"ShellExecute reported {started} start(s), {launches} installer(s) recorded one")
    return problems


def read_record(path):
    """The stand-ins' record: kind -> list of tab-separated fields, in UTF-8
    (bytes that are not, from an older build's ANSI, read as U+FFFD). Half a
    line, still being written, is not read."""
    records = {"ran": [], "exit": [], "notstarted": [], "notset": []}
    with contextlib.suppress(FileNotFoundError):
        with open(path, encoding="utf-8", errors="replace") as record:
            for line in record:
                if line.endswith("\n"):
                    kind, *fields = line.rstrip("\n").split("\t")
                    records.setdefault(kind, []).append(fields)
    return records


def complete_record(path, trace, starts_installer, watch, timeout, grace):
    """The record once it holds all the run will write. The starter wrote
    the launcher's end before it ended; an installer runs on its own, so a
    start ShellExecute reported must show up in it (within timeout), and
    where the trace does not prove that nothing started, something may show
    up late (within grace). watch: the run's events (watch.Watch)."""
    started = sum(result > 32 for result in trace.exec_results)
    if started and starts_installer:
        deadline = time.monotonic() + timeout
        while len((found := read_record(path))["ran"]) < started and time.monotonic() < deadline:
            watch.wait(deadline - time.monotonic())
        return found
    if not trace.nothing_started():
        time.sleep(grace)
    return read_record(path)


def launches(ran, kit):
    """The stand-ins' "ran" lines as launches, paths inside the kit (as
    Windows sees it) relative to it."""
    kit_prefix = kit.rstrip("\\") + "\\"
    found = []
    for path, command, folder, *how in ran:
        inside = path.lower().startswith(kit_prefix.lower())
        found.append(Launch(path, command, folder, path[len(kit_prefix):] if inside else path, *how))
    return found


def keep(text, folder, name):
    """Keeps the trace of a run Wine got wrong; returns its path."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, re.sub(r"[^\w.-]", "_", name) + ".log")
    with open(path, "w", encoding="latin-1") as kept:
        kept.write(text)
    return path
