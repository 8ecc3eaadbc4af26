#!/usr/bin/env python3
"""Shows what a distribution's launcher does under Wine on each Windows
release: which of the distribution's installers it starts, the boxes it
shows and its exit code. The distribution's own installers never run: they
are read (a check first, then their bitness) and a scratch copy of the layout
holds recording stand-ins of the same bitness in their place. KIT itself is
never changed.

Usage:
  tools/kitlib/preview.py [KIT] [--program NAME] [--windows 32|64] [--release winxp]
                   [--arch x86] [--arch2 none] [--cd]
  tools/kitlib/preview.py [KIT] --matrix [--cd] [--screenshots DIR]
KIT defaults to the sample kit (see tools/kitlib/make_kit.py); the launcher is the
one .exe at KIT's top unless --program names it. Exits 77 where this machine
cannot run 32-bit Windows programs under Wine at all.
"""
import argparse
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
from wine import AS_IS, RELEASES, X86, X64, Machine, WineSession, WineError, format_boxes  # noqa: E402

CANNOT_RUN = 77   # what a caller such as tools/build.sh tells apart from a failure

MATRIX_RELEASES = RELEASES[RELEASES.index("win95"):]
# NT 5.2 and NT 6 are the releases on which the launcher asks the registry
# whether the processor is x86; elsewhere one architecture says it all.
ARCH_MATTERS = ("winxp64", "win2003", "vista", "win7", "win8", "win81", "win10")
WIN98, ME, W2K, XP, VISTA32, VISTA64 = make_kit.INSTALLERS
# The launcher does not say which path it failed to start; on the releases
# without a notice box the release tells, on NT 6 the notice does.
PATH_OF_RELEASE = {"win95": WIN98, "win98": WIN98, "winme": ME, "win2k": W2K, "winxp": XP}
PATH_OF_NOTICE = {"VISTA32": VISTA32, "VISTA64": VISTA64}
TITLES = {32: "32-bit Windows ({prefix}): PROCESSOR_ARCHITECTURE set as shown",
          64: "64-bit Windows ({prefix}, WOW64): the registry as that Windows has it"}


# -- reporting -----------------------------------------------------------

def matrix_machines(windows):
    """The runs of a table: on a 32-bit Windows each architecture the registry
    may claim, on a 64-bit one its own (no faking there)."""
    for release in MATRIX_RELEASES:
        if windows == 64:
            yield Machine(release, AS_IS)
            continue
        for arch in ((X86, X64) if release in ARCH_MATTERS else (X86,)):
            yield Machine(release, arch)


def why_none(run, layout, windows):
    """Why no installer started, in the table's words ("" when the boxes say it)."""
    if "Unknow OS version" in run.boxes:
        return ""
    notice = next((PATH_OF_NOTICE[box] for box in run.boxes if box in PATH_OF_NOTICE), None)
    slot = layout.slots.get(notice or PATH_OF_RELEASE.get(run.machine.release))
    if slot is None:
        return ""
    if slot.bits is None:
        return slot.why
    if slot.bits == "64" and windows == 32:
        return f"64-bit program on a 32-bit Windows: {slot.found}"
    return ""


def installer_text(run, layout, windows):
    """Which of the distribution's files started, and how, or why none did."""
    started = []
    for launch in run.launches:
        slot = layout.slot_of(launch.relative)
        started.append(f"{slot.found if slot else launch.relative} ({launch.bits}-bit)")
    if started:
        return " + ".join(started)
    why = why_none(run, layout, windows)
    return f"none ({why})" if why else "none"


def format_table(runs, layout, windows):
    header = ("Release", "PROCESSOR_ARCHITECTURE", "Installer started", "Boxes", "Exit")
    rows = [(run.machine.release, run.machine.describe_arch(), installer_text(run, layout, windows),
             format_boxes(run.boxes), str(run.exit_code)) for run in runs]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    line = lambda cells: "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()
    return "\n".join([line(header), line(["-" * width for width in widths])] + [line(row) for row in rows])


def report_run(run, kit, layout, windows):
    print(f"Kit:                     {kit}")
    print(f"Windows:                 {windows}-bit, {run.machine.release}")
    if run.machine.place1 is AS_IS:
        print("PROCESSOR_ARCHITECTURE:  as that Windows has it")
    else:
        print(f"PROCESSOR_ARCHITECTURE:  CurrentControlSet: {run.machine.place1 or '(none)'}; "
              f"ControlSet002: {run.machine.place2 or '(none)'}")
    print(f"Installer started:       {installer_text(run, layout, windows)}")
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


def sample_kit(windows):
    """The sample kit for a Windows: a genuine 64-bit installer on a 64-bit one."""
    if windows == 64:
        return make_kit.make_kit(make_kit.DEFAULT_KIT + "64", genuine64=True)
    return make_kit.make_kit(make_kit.DEFAULT_KIT)


def preview(kit, program, windows, machines, args):
    """Runs the launcher of a scratch copy of kit once per machine; returns
    the layout and the runs."""
    scratch = tempfile.mkdtemp(prefix="preview-", dir=os.path.join(make_kit.ROOT, "build"))
    try:
        # From a CD, the copy is the disc: the launcher at its root.
        copy = os.path.join(scratch, "kit")
        layout = stand_in_kit.lay(kit, copy, program)
        runs = []
        prefix = args.prefix64 if windows == 64 else args.prefix
        with WineSession(prefix, own_display=args.xvfb, timeout=args.timeout, windows=windows,
                         cdrom=copy if args.cd else None) as session:
            for machine in machines:
                label = f"{windows}-{machine.release}-{machine.describe_arch().replace(' ', '')}"
                # AutoRun starts it by its quoted path from system32;
                # otherwise from its own folder, as a double click in Explorer.
                runs.append(session.run(copy, machine, program=layout.program,
                                        start_folder=wine.AUTORUN_FOLDER if args.cd else copy,
                                        screenshots=args.screenshots, label=label))
        return layout, runs
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kit", nargs="?", help="the distribution's folder (default: the sample kit)")
    parser.add_argument("--program", help="the launcher's file name in KIT (default: the one .exe at its top)")
    parser.add_argument("--windows", type=int, choices=(32, 64), default=32,
                        help="a 32-bit (default) or 64-bit Windows, each a Wine prefix of its own")
    parser.add_argument("--release", choices=RELEASES, default="winxp", metavar="NAME",
                        help="the Windows release Wine pretends to be: " + ", ".join(RELEASES) + " (default winxp)")
    parser.add_argument("--arch", type=arch_value, default=AS_IS, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in CurrentControlSet ('none': no value; default x86 "
                             "on a 32-bit Windows, as it is on a 64-bit one)")
    parser.add_argument("--arch2", type=arch_value, default=None, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in ControlSet002 (default none)")
    parser.add_argument("--matrix", action="store_true",
                        help=f"run every release from {MATRIX_RELEASES[0]} to {MATRIX_RELEASES[-1]} on both "
                             f"Windows and print a table for each ({X86} and {X64} where it matters on the "
                             "32-bit one)")
    parser.add_argument("--cd", action="store_true",
                        help="run the distribution from a CD-ROM drive, started as AutoRun does")
    parser.add_argument("--screenshots", metavar="DIR", help="save a PNG of every box in DIR")
    parser.add_argument("--prefix", default=wine.PREFIXES[32], help="the 32-bit Windows' prefix (build/wine)")
    parser.add_argument("--prefix64", default=wine.PREFIXES[64], help="the 64-bit Windows' prefix (build/wine64)")
    parser.add_argument("--xvfb", action="store_true", help="use a display of our own even when DISPLAY is set")
    parser.add_argument("--timeout", type=float, default=wine.RUN_TIMEOUT, help="seconds one run may take")
    args = parser.parse_args()

    tables = []
    try:
        kits = {}
        for windows in ((32, 64) if args.matrix else (args.windows,)):
            kits[windows] = os.path.abspath(args.kit) if args.kit else sample_kit(windows)
        first = kits[min(kits)]
        if not os.path.isdir(first):
            raise WineError(f"{first} is not a folder")
        findings = check_kit.check(first, args.program)
        print(f"Check of {first}:")
        print(check_kit.format_text(findings))
        print()
        for windows, kit in kits.items():
            if args.matrix:
                machines = list(matrix_machines(windows))
            else:
                arch = args.arch if args.arch is not AS_IS or windows == 64 else X86
                machines = [Machine(args.release, arch, args.arch2)]
            layout, runs = preview(kit, args.program, windows, machines, args)
            tables.append((windows, kit, layout, runs))
    except wine.WineUnavailable as error:
        print(f"preview: {error}", file=sys.stderr)
        return CANNOT_RUN
    except (WineError, make_kit.KitError, stand_in_kit.LayoutError, OSError) as error:
        sys.exit(f"preview: {error}")
    except KeyboardInterrupt:
        sys.exit("preview: interrupted")

    problems = []
    for windows, kit, layout, runs in tables:
        if args.matrix:
            prefix = os.path.relpath(args.prefix64 if windows == 64 else args.prefix)
            print(f"Launcher: {os.path.relpath(os.path.join(kit, layout.program))}"
                  f"{', from a CD-ROM drive (AutoRun)' if args.cd else ''}")
            print(TITLES[windows].format(prefix=prefix))
            print(format_table(runs, layout, windows))
            print()
        else:
            report_run(runs[0], kit, layout, windows)
        problems += [f"{windows}-bit {run.machine.release} {run.machine.describe_arch()}: {p}"
                     for run in runs for p in run.problems]
    for problem in problems:
        print(f"preview: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
