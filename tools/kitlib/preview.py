#!/usr/bin/env python3
"""Shows what a distribution's launcher does under Wine on each Windows
release: which of the distribution's installers it starts, the boxes it
shows and its exit code. The distribution's own installers never run: they
are read (a check first, then their machine type) and a scratch copy of the
layout holds recording stand-ins in their place, of the same bitness where
that Windows would start them, and a file no Windows starts where it would
not. KIT itself is never changed.

Usage:
  tools/kit preview [KIT] [--program NAME] [--windows 32|64] [--release winxp]
                    [--arch x86] [--arch2 none] [--cd] [--report DIR]
  tools/kit preview [KIT] --matrix [--cd] [--screenshots DIR] [--report DIR]
KIT defaults to the sample kit (see make_kit.py); the launcher is the one
.exe at KIT's top unless --program names it. Exits 77 where this machine
cannot run 32-bit Windows programs under Wine at all.
"""
import argparse
import dataclasses
import functools
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interpreter  # noqa: E402

interpreter.require("pefile")
import check_kit  # noqa: E402  (after the interpreter has been settled)
import make_kit  # noqa: E402
import stand_in_kit  # noqa: E402
import wine  # noqa: E402
from wine import ARM64, AS_IS, RELEASES, X86, X64, Machine, WineSession, WineError, format_boxes  # noqa: E402

CANNOT_RUN = 77   # what a caller such as tools/build.sh tells apart from a failure

MATRIX_FROM = "win95"
# NT 5.2 and NT 6 are the releases on which the launcher asks the registry
# whether the processor is x86; elsewhere one architecture says it all.
ARCH_MATTERS = ("winxp64", "win2003", "vista", "win7", "win8", "win81", "win10", "win11")
# What a Windows of each bitness starts, and how the reasons name it.
WINDOWS = {32: (stand_in_kit.X86_WINDOWS, "a 32-bit Windows"), 64: (stand_in_kit.X64_WINDOWS, "an x64 Windows")}
# Windows on ARM, which Wine cannot be: the release it reports to the
# launcher (6.2, as 10 and 11 do to a program without a manifest), claiming
# ARM64, with in the copy what that Windows starts.
ARM_ROWS = (("win10", stand_in_kit.ARM64_WIN10, "Windows 10 on ARM, which starts no x64 program"),
            ("win11", stand_in_kit.ARM64_WIN11, "Windows 11 on ARM"))
WIN98, ME, W2K, XP, VISTA32, VISTA64 = make_kit.INSTALLERS
# The launcher does not say which path it failed to start; on the releases
# without a notice box the release tells, on NT 6 the notice does.
PATH_OF_RELEASE = {"win95": WIN98, "win98": WIN98, "winme": ME, "win2k": W2K, "winxp": XP}
PATH_OF_NOTICE = {"VISTA32": VISTA32, "VISTA64": VISTA64}
# The boxes that say the distribution let its user down.
FAILED_BOXES = ("Exec fail",)


@dataclasses.dataclass
class Row:
    """One run of a table: the machine, what its Windows starts, and whether
    Wine runs it as that Windows or the row is a model of one."""
    machine: Machine
    starts: frozenset
    windows_text: str
    modelled: bool = False
    release_shown: str = None   # the release the row stands for, when Wine runs another

    @property
    def release(self):
        return self.release_shown or self.machine.release


@dataclasses.dataclass
class Table:
    key: str            # "32", "64" or "cd"
    bits: int           # the Windows' bitness
    cd: bool
    rows: list
    results: list = dataclasses.field(default_factory=list)   # (Row, Run, Layout)
    session: WineSession = None


# -- the tables ----------------------------------------------------------

def matrix_rows(bits, known):
    """The rows of a table: on a 32-bit Windows each architecture the registry
    may claim, on a 64-bit one its own (no faking there), then Windows on ARM,
    modelled, after every row that needs the registry as Windows has it."""
    releases = [r for r in known if RELEASES.index(r) >= RELEASES.index(MATRIX_FROM)]
    if bits == 32:
        return [Row(Machine(release, arch), *WINDOWS[32])
                for release in releases for arch in ((X86, X64) if release in ARCH_MATTERS else (X86,))]
    rows = [Row(Machine(release, AS_IS), *WINDOWS[64]) for release in releases]
    for release, starts, text in ARM_ROWS:
        run_as = release if release in known else "win10"
        rows.append(Row(Machine(run_as, ARM64), starts, text, modelled=True, release_shown=release))
    return rows


def table_title(table, prefix):
    found = table.session.wine
    if table.bits == 64:
        arm = "; the ARM64 rows modelled, not run" if any(row.modelled for row in table.rows) else ""
        return f"64-bit Windows ({prefix}, WOW64) on {found.describe()}: the registry as that Windows has it{arm}"
    made = "" if found.true_32bit else f", {found.how_32bit_windows()}"
    return f"32-bit Windows ({prefix}{made}) on {found.describe()}: PROCESSOR_ARCHITECTURE set as shown"


def why_none(run, layout):
    """Why no installer started, in the table's words ("" when the boxes say it)."""
    if "Unknow OS version" in run.boxes:
        return ""
    notice = next((PATH_OF_NOTICE[box] for box in run.boxes if box in PATH_OF_NOTICE), None)
    slot = layout.slots.get(notice or PATH_OF_RELEASE.get(run.machine.release))
    return slot.why if slot is not None and slot.bits is None else ""


def started(run, layout):
    """(the distribution's file, its bitness) for each start of the run."""
    out = []
    for launch in run.launches:
        slot = layout.slot_of(launch.relative)
        out.append((slot.found if slot else launch.relative, launch.bits))
    return out


def installer_text(run, layout):
    """Which of the distribution's files started, and how, or why none did."""
    if run.problems:
        return "not judged: " + "; ".join(run.problems)
    starts = started(run, layout)
    if starts:
        return " + ".join(f"{found} ({bits}-bit)" for found, bits in starts)
    why = why_none(run, layout)
    return f"none ({why})" if why else "none"


def went_wrong(run, layout):
    """Whether the row lets the distribution's user down: nothing started
    where the launcher meant to start something."""
    return bool(run.problems) or any(box in FAILED_BOXES for box in run.boxes)


def arch_text(row):
    return row.machine.describe_arch() + (" (modelled)" if row.modelled else "")


def format_table(table):
    header = ("Release", "PROCESSOR_ARCHITECTURE", "Installer started", "Boxes", "Exit")
    rows = [(row.release, arch_text(row), installer_text(run, layout),
             "?" if run.problems else format_boxes(run.boxes), str(run.exit_code))
            for row, run, layout in table.results]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    line = lambda cells: "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()
    return "\n".join([line(header), line(["-" * width for width in widths])] + [line(row) for row in rows])


def report_run(row, run, kit, layout, bits):
    print(f"Kit:                     {kit}")
    print(f"Windows:                 {bits}-bit, {row.release}" + (" (modelled)" if row.modelled else ""))
    if run.machine.place1 is AS_IS:
        print("PROCESSOR_ARCHITECTURE:  as that Windows has it")
    else:
        print(f"PROCESSOR_ARCHITECTURE:  CurrentControlSet: {run.machine.place1 or '(none)'}; "
              f"ControlSet002: {run.machine.place2 or '(none)'}")
    print(f"Installer started:       {installer_text(run, layout)}")
    for launch in run.launches:
        print(f"  its command line:      {launch.command_line}")
        print(f"  its current folder:    {launch.folder}")
        print(f"  its drive:             {wine.DRIVE_TYPES.get(launch.drive, launch.drive)}")
    print(f"Boxes, in order:         {format_boxes(run.boxes)}")
    print(f"Exit code:               {run.exit_code}")
    for shot in run.screenshots:
        print(f"Screenshot:              {shot}")


def arch_value(text):
    return None if text.lower() == "none" else text


def sample_kit(bits):
    """The sample kit for a Windows: a genuine 64-bit installer on a 64-bit one."""
    if bits == 64:
        return make_kit.make_kit(make_kit.DEFAULT_KIT + "64", genuine64=True)
    return make_kit.make_kit(make_kit.DEFAULT_KIT)


def table_prefix(table, args):
    """The table's Windows. The matrix's CD-ROM table has a 64-bit prefix of
    its own beside the 64-bit one, so that it can run alongside that table,
    and does so whether it does or not: the report stays the same."""
    if table.bits == 64:
        return os.path.normpath(args.prefix64) + "cd" if table.cd and args.matrix else args.prefix64
    return args.prefix


def run_table(table, kit, program, args, found, stop=None):
    """Runs the launcher of scratch copies of kit once per row of the table;
    stop: an event that ends it before the next row."""
    scratch = tempfile.mkdtemp(prefix="preview-", dir=os.path.join(make_kit.ROOT, "build"))
    try:
        copies = {}
        def copy_for(row):
            # One copy per set of programs the row's Windows starts; from a
            # CD, the copy is the disc: the launcher at its root.
            if row.starts not in copies:
                dest = os.path.join(scratch, f"kit{len(copies)}")
                copies[row.starts] = (dest, stand_in_kit.lay(kit, dest, program, row.starts, row.windows_text))
            return copies[row.starts]
        first, _ = copy_for(table.rows[0])
        prefix = table_prefix(table, args)
        with WineSession(prefix, own_display=args.xvfb, timeout=args.timeout, windows=table.bits,
                         cdrom=first if table.cd else None, wine=found) as session:
            table.session = session
            for row in table.rows:
                if stop is not None and stop.is_set():
                    raise wine.Stopped()
                copy, layout = copy_for(row)
                label = f"{table.key}-{row.release}-{arch_text(row).replace(' ', '')}"
                # AutoRun starts it by its quoted path from system32;
                # otherwise from its own folder, as a double click in Explorer.
                run = session.run(copy, row.machine, program=layout.program,
                                  start_folder=wine.AUTORUN_FOLDER if table.cd else copy,
                                  screenshots=args.screenshot_dir, label=label)
                table.results.append((row, run, layout))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run_tables(tables, kits, args, found):
    """Runs the tables, side by side where the machine has the cores: each is
    a Windows of its own, so the rows and their results are those of running
    them one after the other."""
    wine.run_side_by_side([functools.partial(run_table, table, kits[table.key], args.program, args, found)
                           for table in tables])


def plan(args, found):
    """The tables to run: one machine, or the matrix (with --cd a third
    table, the 64-bit Windows started from a CD-ROM drive)."""
    known = found.releases()
    if not args.matrix:
        bits = args.windows
        if args.release not in known:
            raise WineError(f"{found.describe()} does not know the release {args.release}")
        arch = args.arch if args.arch is not AS_IS or bits == 64 else X86
        starts, text = WINDOWS[bits]
        if arch == ARM64 and bits == 64:
            starts, text = stand_in_kit.ARM64_WIN11, "Windows 11 on ARM"
        row = Row(Machine(args.release, arch, args.arch2), starts, text)
        return [Table("cd" if args.cd else str(bits), bits, args.cd, [row])]
    tables = [Table("32", 32, False, matrix_rows(32, known)), Table("64", 64, False, matrix_rows(64, known))]
    if args.cd:
        tables.append(Table("cd", 64, True, [row for row in matrix_rows(64, known) if not row.modelled]))
    return tables


def write_report(folder, findings, tables, launcher, found):
    import report   # only a report needs it
    pages = []
    for table in tables:
        rows = []
        for row, run, layout in table.results:
            starts = started(run, layout)
            rows.append(report.Row(
                release=row.release, arch=row.machine.describe_arch(),
                installer=" + ".join(found_name for found_name, _ in starts) or None,
                bits=" + ".join(bits for _, bits in starts) or None,
                why_none="" if starts else why_none(run, layout),
                boxes=[report.Box(text, shot) for text, shot in
                       zip(run.boxes, list(run.screenshots) + [None] * len(run.boxes))],
                exit_code=run.exit_code, wrong=went_wrong(run, layout), modelled=row.modelled,
                problem="; ".join(run.problems)))
        title = table_title(table, os.path.relpath(table.session.prefix))
        if table.cd:
            title = "Started from a CD-ROM drive (AutoRun) on a " + title[0].lower() + title[1:]
        pages.append(report.Table(windows=table.key, title=title, rows=rows))
    return report.write(folder, findings=findings, tables=pages, launcher=launcher,
                        wine=found.describe() + f" ({found.version})")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="tools/kit preview", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kit", nargs="?", help="the distribution's folder (default: the sample kit)")
    parser.add_argument("--program", help="the launcher's file name in KIT (default: the one .exe at its top)")
    parser.add_argument("--windows", type=int, choices=(32, 64), default=32,
                        help="a 32-bit (default) or 64-bit Windows, each a Wine prefix of its own")
    parser.add_argument("--release", choices=RELEASES, default="winxp", metavar="NAME",
                        help="the Windows release Wine pretends to be: " + ", ".join(RELEASES)
                             + " (default winxp; win11 from Wine 9 on)")
    parser.add_argument("--arch", type=arch_value, default=AS_IS, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in CurrentControlSet ('none': no value; default x86 "
                             "on a 32-bit Windows, as it is on a 64-bit one; ARM64 on a 64-bit one models "
                             "Windows 11 on ARM)")
    parser.add_argument("--arch2", type=arch_value, default=None, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in ControlSet002 (default none)")
    parser.add_argument("--matrix", action="store_true",
                        help=f"run every release from {MATRIX_FROM} on that Wine knows, on both Windows, and "
                             f"print a table for each ({X86} and {X64} where it matters on the 32-bit one; "
                             "Windows 10 and 11 on ARM, modelled, on the 64-bit one)")
    parser.add_argument("--cd", action="store_true",
                        help="run the distribution from a CD-ROM drive, started as AutoRun does (with "
                             "--matrix: a third table, the 64-bit Windows started so)")
    parser.add_argument("--screenshots", metavar="DIR", help="save a PNG of every box in DIR")
    parser.add_argument("--report", metavar="DIR",
                        help="write DIR/index.html: the check and the tables, with every box's screenshot")
    parser.add_argument("--prefix", default=wine.PREFIXES[32], help="the 32-bit Windows' prefix (build/wine)")
    parser.add_argument("--prefix64", default=wine.PREFIXES[64], help="the 64-bit Windows' prefix (build/wine64)")
    parser.add_argument("--xvfb", action="store_true", help="use a display of our own even when DISPLAY is set")
    parser.add_argument("--timeout", type=float, default=wine.RUN_TIMEOUT, help="seconds one run may take")
    args = parser.parse_args(argv)

    shots = None
    try:
        found = wine.find_wine()
        if args.report and not args.screenshots:
            shots = tempfile.mkdtemp(prefix="shots-", dir=os.path.join(make_kit.ROOT, "build"))
        args.screenshot_dir = args.screenshots or shots
        tables = plan(args, found)
        kits, samples = {}, {}
        for table in tables:
            if not args.kit and table.bits not in samples:
                samples[table.bits] = sample_kit(table.bits)
            kits[table.key] = os.path.abspath(args.kit) if args.kit else samples[table.bits]
        first = kits[tables[0].key]
        if not os.path.isdir(first):
            raise WineError(f"{first} is not a folder")
        findings = check_kit.check(first, args.program)
        print(f"Check of {first}:")
        print(check_kit.format_text(findings))
        print()
        run_tables(tables, kits, args, found)
        problems = []
        for table in tables:
            kit = kits[table.key]
            prefix = os.path.relpath(table.session.prefix)
            if args.matrix:
                launcher = os.path.relpath(os.path.join(kit, table.results[0][2].program))
                print(f"Launcher: {launcher}{', from a CD-ROM drive (AutoRun)' if table.cd else ''}")
                print(table_title(table, prefix))
                print(format_table(table))
                print()
            else:
                row, run, layout = table.results[0]
                report_run(row, run, kit, layout, table.bits)
            problems += [f"{table.key}: {row.release} {arch_text(row)}: {p}"
                         for row, run, _ in table.results for p in run.problems]
        if args.report:
            layout = tables[0].results[0][2]
            page = write_report(args.report, findings, tables, os.path.join(first, layout.program), found)
            print(f"Report: {page}")
    except wine.WineUnavailable as error:
        print(f"preview: {error}", file=sys.stderr)
        return CANNOT_RUN
    except (WineError, make_kit.KitError, stand_in_kit.LayoutError, OSError) as error:
        print(f"preview: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("preview: interrupted", file=sys.stderr)
        return 1
    finally:
        if shots:
            shutil.rmtree(shots, ignore_errors=True)

    # Wine getting a run wrong even after its retries is no fact about the
    # launcher: the row says "not judged", and the preview fails.
    for problem in problems:
        print(f"preview: run not judged, {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
