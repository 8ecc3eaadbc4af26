"""The decisions of the Wine machinery that need no Wine: which prefix is of
which bitness, whether this machine runs 32-bit programs natively, where a
path lies for the programs of a CD-ROM session, what a run writes into the
registry and what a stand-in's record says. One table per decision; every
failure prints the row, the actual and the expected value.
"""
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import wine  # noqa: E402
import wine.install  # noqa: E402
import wine.server  # noqa: E402
import wine.watch  # noqa: E402
from wine import AS_IS, X64, X86, Machine  # noqa: E402

errors = []


def compare(what, actual, expected, row):
    if actual != expected:
        errors.append(f"{what}: got {actual!r}, expected {expected!r}  [row {row}]")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
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


def check_prefix_arch(work):
    for name, text, expected in PREFIX_CASES:
        prefix = os.path.join(work, "prefix-" + name.replace(" ", "_"))
        os.makedirs(prefix)
        if text is not None:
            write(os.path.join(prefix, "system.reg"), text)
        compare("prefix_arch", wine.prefix_arch(prefix), expected, name)


# binfmt_misc entries -> the emulator that runs 32-bit x86 programs, if any.
I386_MAGIC = "7f454c4601010100000000000000000002000300"
ARM_MAGIC = "7f454c4601010100000000000000000002002800"
EMULATOR_CASES = [
    ("qemu-i386 enabled", [("qemu-i386", "enabled", I386_MAGIC)], "/usr/libexec/qemu-binfmt/i386"),
    ("qemu-i386 disabled", [("qemu-i386", "disabled", I386_MAGIC)], None),
    ("only another machine", [("qemu-arm", "enabled", ARM_MAGIC)], None),
    ("none", [], None),
]


def check_emulator(work):
    for name, entries, expected in EMULATOR_CASES:
        folder = os.path.join(work, "binfmt-" + name.replace(" ", "_"))
        os.makedirs(folder)
        write(os.path.join(folder, "register"), "")
        write(os.path.join(folder, "status"), "enabled\n")
        for entry, state, magic in entries:
            write(os.path.join(folder, entry),
                  f"{state}\ninterpreter /usr/libexec/qemu-binfmt/{entry[5:]}\nflags: F\noffset 0\n"
                  f"magic {magic}\nmask fffffffffffefe00fffffffffffffffffeffffff\n")
        compare("i386_emulator", wine.i386_emulator(folder), expected, name)


# A host path -> the path the programs of a session with a CD-ROM see.
CD = "/tmp/the cd"
PATH_CASES = [
    ("the CD's root", CD, "D:\\"),
    ("a file on the CD", CD + "/setup.exe", "D:\\setup.exe"),
    ("a folder on the CD", CD + "/kit/Autoinst", "D:\\kit\\Autoinst"),
    ("a name with a leading dot", CD + "/.kit/setup.exe", "D:\\.kit\\setup.exe"),
    ("a sibling with the same start", CD + "x/setup.exe", "Z:\\tmp\\the cdx\\setup.exe"),
    ("elsewhere", "/tmp/kit/setup.exe", "Z:\\tmp\\kit\\setup.exe"),
]


def check_paths():
    session = wine.WineSession(cdrom=CD)
    for name, path, expected in PATH_CASES:
        compare("windows_path", session.windows_path(path), expected, name)
    plain = wine.WineSession()
    compare("windows_path without a CD", plain.windows_path(CD + "/setup.exe"), "Z:\\tmp\\the cd\\setup.exe",
            "no CD")


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


def check_registry():
    for name, machine, place1, place2, starter in REGISTRY_CASES:
        text = wine.registry_text(machine)
        sections = {}
        for block in text.split("\r\n\r\n"):
            lines = block.split("\r\n")
            sections[lines[0]] = lines[1:]
        values = [line[len(ARCH_LINE):] for line in sections.get(f"[HKEY_LOCAL_MACHINE\\{wine.PLACE1}]", [])
                  if line.startswith(ARCH_LINE)]
        compare("place 1", values[0] if values else None, place1, name)
        compare("place 2 written", f"[HKEY_LOCAL_MACHINE\\{wine.PLACE2}]" in sections, place2, name)
        compare("version", sections["[HKEY_CURRENT_USER\\Software\\Wine]"], [f'"Version"="{machine.release}"'], name)
        # Wine's prefixes have none; a run's must not reach the next run.
        compare("ControlSet002 removed first", "[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]" in sections, True, name)
        lines = wine.registry.starter_text(machine).split("\n")
        version = f"set\tHKEY_CURRENT_USER\\Software\\Wine\tVersion\t{machine.release}"
        compare("the starter's version", lines[0], version, name)
        compare("the starter's architecture", lines[4:], starter, name)


# A stand-in's record line -> what the run reports of it.
RECORD_CASES = [
    ("64-bit from a CD", "ran\tD:\\Autoinst\\winvista\\Vistax64\\instvs64.exe\t\"D:\\Autoinst\\winvista\\Vistax64"
     "\\instvs64.exe\" \tC:\\windows\\system32\t64\t5\n", ("64", "5", "")),
    ("32-bit, an argument", "ran\tZ:\\k\\Autoinst\\winxp\\instxp.exe\tZ:\\k\\Autoinst\\winxp\\instxp.exe /q\t"
     "Z:\\k\t32\t3\n", ("32", "3", "/q")),
]


def check_records(work):
    for name, line, (bits, drive, arguments) in RECORD_CASES:
        path = os.path.join(work, "record-" + name.replace(" ", "_").replace(",", ""))
        # Half a line, still being written, is not read.
        write(path, line + "ran\tZ:\\half")
        records = wine.records.read_record(path)
        compare("records", len(records["ran"]), 1, name)
        launch = wine.Launch(*records["ran"][0][:3], "relative", *records["ran"][0][3:])
        compare("bits", launch.bits, bits, name)
        compare("drive", launch.drive, drive, name)
        compare("arguments", launch.arguments(), arguments, name)


# Recorded trace lines, as Wine 8 writes them for the launcher's calls.
RELAY_ON = '0108:trace:relay:load_list L"RelayInclude" = L"user32.MessageBoxA;shell32.ShellExecuteA"'
CALL = '0108:Call user32.MessageBoxA(00000000,00402000 "{}",00402024 "INSTALL",00000000) ret=00401023'
MADE = '0108:trace:msgbox:MSGBOX_OnInit L"{}"'
EXEC = "0108:Ret  shell32.ShellExecuteA() retval={:08x} ret=00401040"
EXEC_CALL = '0108:Call shell32.ShellExecuteA(00000000,00402012 "open",0060fde8 "Z:\\\\k\\\\a.exe",0,0,5) ret=00401040'
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
    ("a start not recorded", [RELAY_ON, EXEC.format(33)], 0, 0, [], [["ShellExecuteA reported 1 start"]]),
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


# (row, trace lines) -> whether the trace proves that nothing started, so
# that the run ends at once rather than after a grace for a late installer.
NOTHING_STARTED_CASES = [
    ("no start asked for", [RELAY_ON, CALL.format("Exec fail")], True),
    ("a start that failed", [RELAY_ON, EXEC_CALL, EXEC.format(2)], True),
    ("a start", [RELAY_ON, EXEC_CALL, EXEC.format(42)], False),
    ("a start whose return was lost", [RELAY_ON, EXEC_CALL], False),
    ("no relay trace", [MADE.format("Exec fail")], False),
]


def check_nothing_started():
    for name, lines, expected in NOTHING_STARTED_CASES:
        trace = wine.Trace.parse(line + "\n" for line in lines)
        compare("nothing started", trace.nothing_started(), expected, name)


# The trace as it grows, cut mid-line -> (relayed, boxes called for, set up,
# come back) after each part: a half line is counted once it is whole.
FOLLOWER_PARTS = [
    ("the starter", RELAY_ON + "\n" + CALL.format("VISTA64")[:30], (True, 0, 0, 0)),
    ("the call whole", CALL.format("VISTA64")[30:] + "\n" + MADE.format("VISTA64") + "\n", (True, 1, 1, 0)),
    ("the box back", BOX_RETURN + "\n" + OTHER_CALL + "\n", (True, 2, 1, 1)),
]


def check_follower(work):
    path = os.path.join(work, "growing.log")
    follower = wine.records.Follower(path)
    compare("before the trace exists", (follower.read().relayed, follower.calls), (False, 0), "none")
    for name, part, expected in FOLLOWER_PARTS:
        with open(path, "a") as f:
            f.write(part)
        follower.read()
        compare("follower", (follower.relayed, follower.calls, follower.made, follower.returns), expected, name)


# A run's program, command line and current folder -> whether the serving
# starter takes it (requests are lines ended by an empty one), or the run
# gets a starter of its own.
SERVED_CASES = [
    ("as Explorer starts it", ["Z:\\k\\setup.exe", '"Z:\\k\\setup.exe"', "Z:\\k"], True),
    ("an empty command line", ["Z:\\k\\setup.exe", "", "Z:\\k"], False),
    ("a line break in it", ["Z:\\k\\setup.exe", 'setup.exe "a\nb"', "Z:\\k"], False),
    ("not ASCII", ["Z:\\jos\u00e9\\setup.exe", '"Z:\\jos\u00e9\\setup.exe"', "Z:\\jos\u00e9"], False),
]


def check_served():
    for name, fields, expected in SERVED_CASES:
        compare("served", wine.server.StarterServer.takes(fields), expected, name)


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


def check_painted():
    for name, picture, expected in PAINTED_CASES:
        compare("painted", wine.display.painted(picture), expected, name)


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


def check_watch(work):
    for name, code, done_word, woke, ended in WATCH_CASES:
        folder = os.path.join(work, "watch-" + name.split()[1])
        os.makedirs(folder)
        record = os.path.join(folder, "record.txt")
        done = (lambda: os.path.exists(record) and done_word in open(record).read()) if done_word else None
        with wine.watch.Watch(folder) as watch:
            child = subprocess.Popen([sys.executable, "-c", "import sys, time; " + code, folder])
            watch.follow(child, done)
            started = time.monotonic()
            written = lambda: os.path.exists(record) and os.path.getsize(record) > 0
            while not watch.ended() and not written() and time.monotonic() - started < 60:
                watch.wait(60 - (time.monotonic() - started))
            compare("woke before the timeout", time.monotonic() - started < 60, woke, name)
            compare("ended", watch.ended(), ended, name)
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


def check_side_by_side():
    import threading
    for name, outcomes, cores, expected in SIDE_BY_SIDE_CASES:
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
        compare("failure told", raised, expected, name)
        if cores == 1:
            compare("jobs started", started, [0], name)


def check_finding_wine(work):
    """Where Wine's programs are looked for, and which kind of Wine it is."""
    bin_dir, lib = os.path.join(work, "bin"), os.path.join(work, "lib")
    debian = os.path.join(lib, "x86_64-linux-gnu", "wine")
    for folder in (bin_dir, debian, os.path.join(lib, "i386-linux-gnu", "wine")):
        os.makedirs(folder)
    def program(path, head=b"#!/bin/sh\n"):
        write(path, "")
        with open(path, "wb") as f:
            f.write(head)
        os.chmod(path, 0o755)
        return path
    on_path = program(os.path.join(bin_dir, "wine"))
    in_lib = program(os.path.join(debian, "wineserver"))
    folders = (os.path.join(lib, "*-linux-gnu", "wine"),)
    # (row, name, variable, environment) -> the program found
    for name, program_name, variable, environ, expected in [
        ("on the PATH", "wine", "WINE", {"PATH": bin_dir}, on_path),
        ("named by the environment", "wine", "WINE", {"PATH": bin_dir, "WINE": "/opt/w/bin/wine"}, "/opt/w/bin/wine"),
        ("in Debian's library folder", "wineserver", "WINESERVER", {"PATH": bin_dir}, in_lib),
        ("nowhere", "wine64", None, {"PATH": bin_dir}, None),
    ]:
        compare("search", wine.install.search(program_name, variable, environ, folders), expected, name)
    said = wine.install.where_searched("wineserver", "WINESERVER", folders)
    compare("says where it looked", all(w in said for w in ("$WINESERVER", "PATH", folders[0])), True, said)

    # (row, the loader's first bytes, Unix libraries of i386) -> the kind
    for name, head, i386_unix, expected in [
        ("a 32-bit loader", b"\x7fELF\x01", False, wine.WITH_32BIT),
        ("a 64-bit loader with i386 Unix libraries", b"\x7fELF\x02", True, wine.WITH_32BIT),
        ("a 64-bit loader alone", b"\x7fELF\x02", False, wine.WOW64_ONLY),
    ]:
        root = os.path.join(work, "kind-" + name.replace(" ", "_"))
        os.makedirs(os.path.join(root, "bin"))
        loader = program(os.path.join(root, "bin", "wine"), head)
        if i386_unix:
            os.makedirs(os.path.join(root, "lib", "wine", "i386-unix"))
        compare("kind", wine.install.kind_of(loader, folders=()), expected, name)
    # Where the 32-bit loader starts, the kernel must start the probe too.
    if os.path.exists("/lib/ld-linux.so.2") and subprocess.run(["/lib/ld-linux.so.2", "--version"],
                                                               capture_output=True).returncode == 0:
        compare("the kernel starts the i386 probe", wine.install.kernel_runs_i386(work), True, "probe")


def check_verdicts():
    for name, lines, seen, recorded, called, problems in VERDICT_CASES:
        trace = wine.Trace.parse(line + "\n" for line in lines)
        compare("boxes called for", trace.called, [wine.decode_trace_text(text) for text in called], name)
        found = wine.verdict(trace, seen, recorded)
        compare("problems", len(found), len(problems), name)
        for words, problem in zip(problems, found):
            for word in words:
                compare(f"problem says {word!r}", word in problem, True, f"{name}: {problem}")


def main():
    with tempfile.TemporaryDirectory() as work:
        check_prefix_arch(work)
        check_emulator(work)
        check_paths()
        check_registry()
        check_records(work)
        check_verdicts()
        check_nothing_started()
        check_follower(work)
        check_side_by_side()
        check_served()
        check_painted()
        check_watch(work)
        check_finding_wine(work)
    for error in errors:
        print(error)
    print(f"test_wine: {'FAIL' if errors else 'ok'}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
