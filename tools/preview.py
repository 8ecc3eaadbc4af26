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
import os
import sys

import make_kit
import wine
from wine import RELEASES, X86, X64, Machine, WineSession, WineError

MATRIX_RELEASES = RELEASES[RELEASES.index("win95"):]
# NT 5.2 and NT 6 are the releases on which the launcher asks the registry
# whether the processor is x86; elsewhere one architecture says it all.
ARCH_MATTERS = ("winxp64", "win2003", "vista", "win7", "win8", "win81", "win10")


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
    parser.add_argument("--prefix", default=wine.DEFAULT_PREFIX, help="the Wine prefix to use (default build/wine)")
    parser.add_argument("--xvfb", action="store_true", help="use a display of our own even when DISPLAY is set")
    parser.add_argument("--timeout", type=float, default=wine.RUN_TIMEOUT, help="seconds one run may take")
    args = parser.parse_args()

    try:
        kit = os.path.abspath(args.kit) if args.kit else make_kit.make_kit(make_kit.DEFAULT_KIT)
        if not os.path.isfile(os.path.join(kit, args.program)):
            raise WineError(f"{os.path.join(kit, args.program)} does not exist")
        machines = list(matrix_machines()) if args.matrix else [Machine(args.release, args.arch, args.arch2)]
        runs = []
        with WineSession(args.prefix, own_display=args.xvfb, timeout=args.timeout) as session:
            for machine in machines:
                label = f"{machine.release}-{machine.place1 or 'none'}"
                # Started from its own folder, as a double click in Explorer does.
                runs.append(session.run(kit, machine, program=args.program, start_folder=kit,
                                        screenshots=args.screenshots, label=label))
    except (WineError, make_kit.KitError, OSError) as error:
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
