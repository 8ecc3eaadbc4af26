"""The decisions of the Wine machinery that need no Wine: which prefix is of
which bitness, whether this machine runs 32-bit programs natively, where a
path lies for the programs of a CD-ROM session, what a run writes into the
registry, what a stand-in's record and Wine's trace say, and how runs wait
and run side by side. One table per decision.
"""
import os
import subprocess
import sys
import threading
import time

import pytest

from kitlib import wine
from kitlib.wine import install, server, watch
from kitlib.wine import AS_IS, X64, X86, Machine


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


# system.reg's head as Wine writes it -> the bitness the prefix is used as.
HEAD = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n"
PREFIX_CASES = [
    ("32-bit", HEAD + "#arch=win32\n\n[Software] 1\n", "win32"),
    ("64-bit", HEAD + "#arch=win64\n\n[Software] 1\n", "win64"),
    # Older Wine wrote no arch line: not known to be 32-bit, so rebuilt.
    ("no arch line", HEAD + "[Software] 1\n#arch=win32\n", None),
    ("empty", "", None),
    ("no system.reg", None, None),
]


@pytest.mark.parametrize("row, text, expected", PREFIX_CASES, ids=[row[0] for row in PREFIX_CASES])
def test_prefix_arch(tmp_path, row, text, expected):
    if text is not None:
        write(os.path.join(tmp_path, "system.reg"), text)
    assert wine.prefix_arch(str(tmp_path)) == expected


# binfmt_misc entries -> the emulator that runs 32-bit x86 programs, if any.
I386_MAGIC = "7f454c4601010100000000000000000002000300"
ARM_MAGIC = "7f454c4601010100000000000000000002002800"
EMULATOR_CASES = [
    ("qemu-i386 enabled", [("qemu-i386", "enabled", I386_MAGIC)], "/usr/libexec/qemu-binfmt/i386"),
    ("qemu-i386 disabled", [("qemu-i386", "disabled", I386_MAGIC)], None),
    ("only another machine", [("qemu-arm", "enabled", ARM_MAGIC)], None),
    ("none", [], None),
]


@pytest.mark.parametrize("row, entries, expected", EMULATOR_CASES, ids=[row[0] for row in EMULATOR_CASES])
def test_i386_emulator(tmp_path, row, entries, expected):
    write(os.path.join(tmp_path, "register"), "")
    write(os.path.join(tmp_path, "status"), "enabled\n")
    for entry, state, magic in entries:
        write(os.path.join(tmp_path, entry),
              f"{state}\ninterpreter /usr/libexec/qemu-binfmt/{entry[5:]}\nflags: F\noffset 0\n"
              f"magic {magic}\nmask fffffffffffefe00fffffffffffffffffeffffff\n")
    assert wine.i386_emulator(str(tmp_path)) == expected


# The session's CD-ROM folder and a host path -> the path its programs see.
CD = "/tmp/the cd"
PATH_CASES = [
    ("the CD's root", CD, CD, "D:\\"),
    ("a file on the CD", CD, CD + "/setup.exe", "D:\\setup.exe"),
    ("a folder on the CD", CD, CD + "/kit/Autoinst", "D:\\kit\\Autoinst"),
    ("a name with a leading dot", CD, CD + "/.kit/setup.exe", "D:\\.kit\\setup.exe"),
    ("a sibling with the same start", CD, CD + "x/setup.exe", "Z:\\tmp\\the cdx\\setup.exe"),
    ("elsewhere", CD, "/tmp/kit/setup.exe", "Z:\\tmp\\kit\\setup.exe"),
    ("no CD", None, CD + "/setup.exe", "Z:\\tmp\\the cd\\setup.exe"),
]


@pytest.mark.parametrize("row, cdrom, path, expected", PATH_CASES, ids=[row[0] for row in PATH_CASES])
def test_windows_path(row, cdrom, path, expected):
    assert wine.WineSession(cdrom=cdrom).windows_path(path) == expected


# A machine -> the PROCESSOR_ARCHITECTURE line under CurrentControlSet (None:
# the key is not touched), whether ControlSet002 gets one, and the starter's
# changes of it after the first four (the same for every machine).
ARCH_LINE = '"PROCESSOR_ARCHITECTURE"='
ENV = "HKEY_LOCAL_MACHINE\\SYSTEM\\{}\\Control\\Session Manager\\Environment\tPROCESSOR_ARCHITECTURE"
DROP = "drop\tHKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002"
REGISTRY_CASES = [
    ("x86", Machine("winxp", X86), '"x86"', False, ["set\t" + ENV.format("CurrentControlSet") + "\tx86", DROP]),
    ("AMD64", Machine("win7", X64), '"AMD64"', False, ["set\t" + ENV.format("CurrentControlSet") + "\tAMD64", DROP]),
    ("no value", Machine("vista", None), "-", False, ["delete\t" + ENV.format("CurrentControlSet"), DROP]),
    ("as Windows has it", Machine("win10", AS_IS), None, False, [DROP]),
    ("place 2 as well", Machine("vista", X86, X64), '"x86"', True,
     ["set\t" + ENV.format("CurrentControlSet") + "\tx86", DROP, "set\t" + ENV.format("ControlSet002") + "\tAMD64"]),
]


@pytest.mark.parametrize("row, machine, place1, place2, starter", REGISTRY_CASES,
                         ids=[row[0] for row in REGISTRY_CASES])
def test_registry(row, machine, place1, place2, starter):
    sections = {}
    for block in wine.registry_text(machine).split("\r\n\r\n"):
        lines = block.split("\r\n")
        sections[lines[0]] = lines[1:]
    values = [line[len(ARCH_LINE):] for line in sections.get(f"[HKEY_LOCAL_MACHINE\\{wine.PLACE1}]", [])
              if line.startswith(ARCH_LINE)]
    starter_lines = wine.registry.starter_text(machine).split("\n")
    assert {
        "place 1": values[0] if values else None,
        "place 2 written": f"[HKEY_LOCAL_MACHINE\\{wine.PLACE2}]" in sections,
        "version": sections["[HKEY_CURRENT_USER\\Software\\Wine]"],
        # Wine's prefixes have none; a run's must not reach the next run.
        "ControlSet002 removed first": "[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]" in sections,
        "the starter's version": starter_lines[0],
        "the starter's architecture": starter_lines[4:],
    } == {
        "place 1": place1,
        "place 2 written": place2,
        "version": [f'"Version"="{machine.release}"'],
        "ControlSet002 removed first": True,
        "the starter's version": f"set\tHKEY_CURRENT_USER\\Software\\Wine\tVersion\t{machine.release}",
        "the starter's architecture": starter,
    }


# A stand-in's record line (UTF-8) -> what the run reports of it: (path, bits, drive, arguments).
RECORD_CASES = [
    ("64-bit from a CD", "ran\tD:\\Autoinst\\winvista\\Vistax64\\instvs64.exe\t\"D:\\Autoinst\\winvista\\Vistax64"
     "\\instvs64.exe\" \tC:\\windows\\system32\t64\t5\n",
     ("D:\\Autoinst\\winvista\\Vistax64\\instvs64.exe", "64", "5", "")),
    ("32-bit, an argument", "ran\tZ:\\k\\Autoinst\\winxp\\instxp.exe\tZ:\\k\\Autoinst\\winxp\\instxp.exe /q\t"
     "Z:\\k\t32\t3\n", ("Z:\\k\\Autoinst\\winxp\\instxp.exe", "32", "3", "/q")),
    ("outside the code page", "ran\tZ:\\Алексей\\Setup 🎮\\Autoinst\\winxp\\instxp.exe\t"
     "\"Z:\\Алексей\\Setup 🎮\\Autoinst\\winxp\\instxp.exe\"\tZ:\\安装程序\t32\t3\n",
     ("Z:\\Алексей\\Setup 🎮\\Autoinst\\winxp\\instxp.exe", "32", "3", "")),
]


@pytest.mark.parametrize("row, line, expected", RECORD_CASES, ids=[row[0] for row in RECORD_CASES])
def test_record(tmp_path, row, line, expected):
    path = os.path.join(tmp_path, "record.txt")
    # Half a line, still being written, is not read.
    write(path, line + "ran\tZ:\\half")
    records = wine.records.read_record(path)
    assert len(records["ran"]) == 1
    launch = wine.Launch(*records["ran"][0][:3], "relative", *records["ran"][0][3:])
    assert (launch.path, launch.bits, launch.drive, launch.arguments()) == expected


# Recorded trace lines, as Wine 8 writes them for the launcher's calls.
RELAY_ON = '0108:trace:relay:load_list L"RelayInclude" = L"user32.MessageBoxA;shell32.ShellExecuteA"'
CALL = '0108:Call user32.MessageBoxA(00000000,00402000 "{}",00402024 "INSTALL",00000000) ret=00401023'
MADE = '0108:trace:msgbox:MSGBOX_OnInit L"{}"'
EXEC = "0108:Ret  shell32.ShellExecuteA() retval={:08x} ret=00401040"
EXEC_CALL = '0108:Call shell32.ShellExecuteA(00000000,00402012 "open",0060fde8 "Z:\\\\k\\\\a.exe",0,0,5) ret=00401040'
# The same on NT, where the launcher calls the wide form.
EXEC_W = "0108:Ret  shell32.ShellExecuteW() retval={:08x} ret=00401040"
EXEC_W_CALL = ('0108:Call shell32.ShellExecuteW(00000000,00402014 L"open",0060fde8 L"Z:\\\\\\x0410\\\\a.exe",0,0,5)'
               ' ret=00401040')
BOX_RETURN = "0108:Ret  user32.MessageBoxA() retval=00000001 ret=00401023"
OTHER_CALL = '0120:Call user32.MessageBoxA(00000000,00402000 "hello",00402024 "Other",00000000) ret=00401023'

# (row, trace lines, boxes seen on screen, installers recorded) -> the boxes
# the launcher called for, and the words of each problem (none: the run
# can be believed).
VERDICT_CASES = [
    ("a box shown", [RELAY_ON, CALL.format("Exec fail"), MADE.format("Exec fail")], 1, 0, ["Exec fail"], []),
    ("two boxes, escapes", [RELAY_ON, CALL.format("Unknow OS version"), MADE.format("Unknow OS version"),
                            CALL.format('say \\"hi\\"'), MADE.format('say \\"hi\\"')], 2, 0,
     ["Unknow OS version", 'say \\"hi\\"'], []),
    ("a start recorded", [RELAY_ON, EXEC.format(42), CALL.format("VISTA64"), MADE.format("VISTA64")], 1, 1,
     ["VISTA64"], []),
    ("a failed start", [RELAY_ON, EXEC.format(2), MADE.format("Exec fail"), CALL.format("Exec fail")], 1, 0,
     ["Exec fail"], []),
    # Seen under load: the launcher called, and Wine made no dialog at all.
    ("a box lost by Wine", [RELAY_ON, CALL.format("Unknow OS version"), CALL.format("Exec fail")], 0, 0,
     ["Unknow OS version", "Exec fail"], [["called for", "Wine made none"]]),
    ("a dialog made, not on screen", [RELAY_ON, CALL.format("VISTA32"), MADE.format("VISTA32")], 0, 1,
     ["VISTA32"], [["Wine made \"VISTA32\", 0 on screen"]]),
    ("the dialog's trace lost, the box on screen", [RELAY_ON, CALL.format("VISTA64"), EXEC.format(42)], 1, 1,
     ["VISTA64"], []),
    ("a start not recorded", [RELAY_ON, EXEC.format(33)], 0, 0, [], [["ShellExecute reported 1 start"]]),
    ("a wide start not recorded", [RELAY_ON, EXEC_W.format(33)], 0, 0, [], [["ShellExecute reported 1 start"]]),
    ("another program's box", [RELAY_ON, OTHER_CALL], 0, 0, [], []),
    # A Wine without relay traces: what it made is all that is known.
    ("no relay trace", [MADE.format("Exec fail")], 1, 0, ["Exec fail"], []),
    ("a trace line glued to another", [RELAY_ON, "0060:err:x:y " + CALL.format("Exec fail") + "0060:fixme",
                                       MADE.format("Exec fail")], 1, 0, ["Exec fail"], []),
    # Another process's line written into the middle of the box's.
    ("a box trace glued to another", [RELAY_ON, CALL.format("VISTA64"),
                                      MADE.format("VISTA64") + '0124:Call PE DLL (proc=7BC69420,module=7BC00000)'],
     1, 1, ["VISTA64"], []),
]


def trace_of(lines):
    return wine.Trace.parse(line + "\n" for line in lines)


@pytest.mark.parametrize("row, lines, seen, recorded, called, problems", VERDICT_CASES,
                         ids=[row[0] for row in VERDICT_CASES])
def test_verdict(row, lines, seen, recorded, called, problems):
    trace = trace_of(lines)
    assert trace.called == [wine.decode_trace_text(text) for text in called]
    found = wine.verdict(trace, seen, recorded)
    assert len(found) == len(problems), found
    for words, problem in zip(problems, found):
        assert [word for word in words if word not in problem] == [], problem


# (row, trace lines) -> whether the trace proves that nothing started, so
# that the run ends at once rather than after a grace for a late installer.
NOTHING_STARTED_CASES = [
    ("no start asked for", [RELAY_ON, CALL.format("Exec fail")], True),
    ("a start that failed", [RELAY_ON, EXEC_CALL, EXEC.format(2)], True),
    ("a start", [RELAY_ON, EXEC_CALL, EXEC.format(42)], False),
    ("a start whose return was lost", [RELAY_ON, EXEC_CALL], False),
    ("a wide start that failed", [RELAY_ON, EXEC_W_CALL, EXEC_W.format(2)], True),
    ("a wide start", [RELAY_ON, EXEC_W_CALL, EXEC_W.format(42)], False),
    ("no relay trace", [MADE.format("Exec fail")], False),
]


@pytest.mark.parametrize("row, lines, expected", NOTHING_STARTED_CASES, ids=[row[0] for row in NOTHING_STARTED_CASES])
def test_nothing_started(row, lines, expected):
    assert trace_of(lines).nothing_started() == expected


# The trace as it grows, cut mid-line -> (relayed, boxes called for, set up,
# come back) after each part: a half line is counted once it is whole.
FOLLOWER_PARTS = [
    ("the starter", RELAY_ON + "\n" + CALL.format("VISTA64")[:30], (True, 0, 0, 0)),
    ("the call whole", CALL.format("VISTA64")[30:] + "\n" + MADE.format("VISTA64") + "\n", (True, 1, 1, 0)),
    ("the box back", BOX_RETURN + "\n" + OTHER_CALL + "\n", (True, 2, 1, 1)),
]


def test_follower(tmp_path):
    path = os.path.join(tmp_path, "growing.log")
    follower = wine.records.Follower(path)
    states = [("before the trace exists", (follower.read().relayed, follower.calls, follower.made, follower.returns))]
    for row, part, _ in FOLLOWER_PARTS:
        with open(path, "a") as f:
            f.write(part)
        follower.read()
        states.append((row, (follower.relayed, follower.calls, follower.made, follower.returns)))
    assert states == ([("before the trace exists", (False, 0, 0, 0))]
                      + [(row, state) for row, _, state in FOLLOWER_PARTS])


# A run's program, command line and current folder -> whether the serving
# starter takes it (requests are lines ended by an empty one), or the run
# gets a starter of its own.
SERVED_CASES = [
    ("as Explorer starts it", ["Z:\\k\\setup.exe", '"Z:\\k\\setup.exe"', "Z:\\k"], True),
    ("an empty command line", ["Z:\\k\\setup.exe", "", "Z:\\k"], False),
    ("a line break in it", ["Z:\\k\\setup.exe", 'setup.exe "a\nb"', "Z:\\k"], False),
    ("not ASCII", ["Z:\\jos\u00e9\\setup.exe", '"Z:\\jos\u00e9\\setup.exe"', "Z:\\jos\u00e9"], False),
]


@pytest.mark.parametrize("row, fields, expected", SERVED_CASES, ids=[row[0] for row in SERVED_CASES])
def test_served(row, fields, expected):
    assert wine.server.StarterServer.takes(fields) == expected


# A PPM picture of a box -> whether it is painted (text and button bring a
# third colour; an unpainted window shows one, the root window's weave two).
def ppm(*pixels):
    return b"P6\n%d 1\n255\n" % len(pixels) + b"".join(pixels)


GREY, BLACK, WHITE = b"\xc0\xc0\xc0", b"\x00\x00\x00", b"\xff\xff\xff"
PAINTED_CASES = [
    ("not painted", ppm(BLACK, BLACK, BLACK), False),
    ("the root's weave", ppm(BLACK, WHITE, BLACK, WHITE), False),
    ("painted", ppm(GREY, BLACK, WHITE, GREY), True),
    ("not a PPM", b"\x89PNG\r\n", False),
]


@pytest.mark.parametrize("row, picture, expected", PAINTED_CASES, ids=[row[0] for row in PAINTED_CASES])
def test_painted(row, picture, expected):
    assert wine.display.painted(picture) == expected


# The run's events: (row, what the child does, what tells the run's end)
# -> whether the wait ended before its 60 s, and whether the run ended.
# Never a timing test: an event that is missed makes the wait run out.
WATCH_CASES = [
    ("the process ends", "pass", None, True, True),
    ("a write in the folder, the process goes on", "open(sys.argv[1] + '/record.txt', 'w').write('x'); "
     "time.sleep(60)", None, True, False),
    ("the record tells the end", "open(sys.argv[1] + '/record.txt', 'w').write('exit'); time.sleep(60)",
     "exit", True, True),
]


@pytest.mark.parametrize("row, code, done_word, woke, ended", WATCH_CASES, ids=[row[0] for row in WATCH_CASES])
def test_watch(tmp_path, row, code, done_word, woke, ended):
    folder = str(tmp_path)
    record = os.path.join(folder, "record.txt")
    done = (lambda: os.path.exists(record) and done_word in open(record).read()) if done_word else None
    with wine.watch.Watch(folder) as watch:
        child = subprocess.Popen([sys.executable, "-c", "import sys, time; " + code, folder])
        try:
            watch.follow(child, done)
            started = time.monotonic()
            written = lambda: os.path.exists(record) and os.path.getsize(record) > 0  # noqa: E731
            while not watch.ended() and not written() and time.monotonic() - started < 60:
                watch.wait(60 - (time.monotonic() - started))
            assert (time.monotonic() - started < 60, watch.ended()) == (woke, ended)
        finally:
            child.kill()
            child.wait()


# Jobs side by side: (row, each job's outcome, cores) -> the failure raised.
# A job that failed stops the others; the first failure in the jobs' order
# is the one told, as one after the other would have it.
SIDE_BY_SIDE_CASES = [
    ("all well", ["ok", "ok", "ok"], 2, None),
    ("the second fails", ["ok", "B", "ok"], 2, "B"),
    ("both fail, the later one first", ["A", "B"], 2, "A"),
    ("one core: the first failure ends it", ["A", "B"], 1, "A"),
]


@pytest.mark.parametrize("row, outcomes, cores, expected", SIDE_BY_SIDE_CASES,
                         ids=[row[0] for row in SIDE_BY_SIDE_CASES])
def test_side_by_side(row, outcomes, cores, expected):
    started = []
    second_failed = threading.Event()

    def job(stop, outcome, number):
        started.append(number)
        if outcome == "ok":
            return
        if number == 0 and cores > 1:
            second_failed.wait(5)   # fails after the later job did
        if number == 1:
            second_failed.set()
        raise wine.WineError(outcome)
    jobs = [lambda stop, o=o, n=n: job(stop, o, n) for n, o in enumerate(outcomes)]
    try:
        wine.run_side_by_side(jobs, cores=cores)
        raised = None
    except wine.WineError as error:
        raised = str(error)
    assert raised == expected
    if cores == 1:
        assert started == [0]


# Where Wine's programs are looked for: (row, name, variable, environment)
# -> the program found, below the folder of fake ones unless absolute.
SEARCH_CASES = [
    ("on the PATH", "wine", "WINE", {}, "bin/wine"),
    ("named by the environment", "wine", "WINE", {"WINE": "/opt/w/bin/wine"}, "/opt/w/bin/wine"),
    ("in Debian's library folder", "wineserver", "WINESERVER", {}, "lib/x86_64-linux-gnu/wine/wineserver"),
    ("nowhere", "wine64", None, {}, None),
]


def program(path, head=b"#!/bin/sh\n"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(head)
    os.chmod(path, 0o755)
    return path


@pytest.fixture
def wine_folders(tmp_path):
    """Fake Wine programs on a PATH and in Debian's library folders; returns
    the folder and the library folders' pattern."""
    os.makedirs(os.path.join(tmp_path, "lib", "i386-linux-gnu", "wine"))
    program(os.path.join(tmp_path, "bin", "wine"))
    program(os.path.join(tmp_path, "lib", "x86_64-linux-gnu", "wine", "wineserver"))
    return str(tmp_path), (os.path.join(tmp_path, "lib", "*-linux-gnu", "wine"),)


@pytest.mark.parametrize("row, name, variable, environ, expected", SEARCH_CASES, ids=[row[0] for row in SEARCH_CASES])
def test_search(wine_folders, row, name, variable, environ, expected):
    top, folders = wine_folders
    environ = dict(environ, PATH=os.path.join(top, "bin"))
    found = wine.install.search(name, variable, environ, folders)
    assert found == (os.path.join(top, expected) if expected else None)


def test_says_where_it_looked(wine_folders):
    _, folders = wine_folders
    said = wine.install.where_searched("wineserver", "WINESERVER", folders)
    assert [where for where in ("$WINESERVER", "PATH", folders[0]) if where not in said] == [], said


# (row, the loader's first bytes, Unix libraries of i386) -> the kind of Wine.
KIND_CASES = [
    ("a 32-bit loader", b"\x7fELF\x01", False, wine.WITH_32BIT),
    ("a 64-bit loader with i386 Unix libraries", b"\x7fELF\x02", True, wine.WITH_32BIT),
    ("a 64-bit loader alone", b"\x7fELF\x02", False, wine.WOW64_ONLY),
]


@pytest.mark.parametrize("row, head, i386_unix, expected", KIND_CASES, ids=[row[0] for row in KIND_CASES])
def test_kind(tmp_path, row, head, i386_unix, expected):
    loader = program(os.path.join(tmp_path, "bin", "wine"), head)
    if i386_unix:
        os.makedirs(os.path.join(tmp_path, "lib", "wine", "i386-unix"))
    assert wine.install.kind_of(loader, folders=()) == expected


def test_kernel_runs_i386_as_the_loader_does(tmp_path):
    """The probe says what the kernel does: it starts where the 32-bit
    loader starts, and not where the kernel refuses that loader."""
    if not os.path.exists("/lib/ld-linux.so.2"):
        pytest.skip("no 32-bit loader to compare with")
    try:
        loader_runs = subprocess.run(["/lib/ld-linux.so.2", "--version"], capture_output=True).returncode == 0
    except OSError:   # ENOEXEC: a kernel without 32-bit support
        loader_runs = False
    assert install.kernel_runs_i386(str(tmp_path)) == loader_runs
