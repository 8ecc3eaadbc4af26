"""Shows what a distribution's launcher does under Wine on each Windows
release: which of the distribution's installers it starts, the boxes it
shows, its exit code and a verdict: starts, fault (the distribution fails
that Windows), not-served (the launcher serves no installer there, by
design) or run-problem (the run could not be judged). The distribution's own
installers never run, and KIT is never changed.

  kit preview [KIT] [--program NAME] [--windows 32|64] [--release winxp]
              [--arch x86] [--arch2 none] [--cd] [--report DIR]
  kit preview [KIT] --matrix [--cd] [--screenshots DIR] [--report DIR]
  any of them with [--folder NAME] [--json FILE]

KIT defaults to the sample kit; the launcher is the one .exe at KIT's top
unless --program names it. Exits 77 where this machine cannot run 32-bit
Windows programs under Wine at all."""
import argparse
import os
import shutil
import sys
import tempfile

from kitlib import errors, paths, preview, progress, wine
from kitlib.model import windows
from kitlib.model.names import folder_refusal, inside
from kitlib.outputs import replaceable
from kitlib.report import write_preview_json, write_report

HELP = ("run the distribution's launcher under Wine on each Windows release "
        "(exit 77 where this machine cannot run 32-bit Windows programs)")


def seconds(text):
    value = float(text)
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text}: give a number of seconds above 0")
    return value


def arch_value(text):
    return None if text.lower() == "none" else text


def add_arguments(parser):
    parser.add_argument("kit", nargs="?", help="the distribution's folder (default: the sample kit)")
    parser.add_argument("--program", help="the launcher's file name in KIT (default: the one .exe at its top)")
    parser.add_argument("--windows", type=int, choices=(32, 64), default=32,
                        help="a 32-bit (default) or 64-bit Windows, each a Wine prefix of its own")
    parser.add_argument("--release", choices=windows.WINE_NAMES, default="winxp", metavar="NAME",
                        help="the Windows release Wine pretends to be: " + ", ".join(windows.WINE_NAMES)
                             + " (default winxp; win11 from Wine 9 on)")
    parser.add_argument("--arch", type=arch_value, default=wine.AS_IS, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in CurrentControlSet ('none': no value; default x86 "
                             "on a 32-bit Windows, as it is on a 64-bit one; ARM64 on a 64-bit one models "
                             "Windows 11 on ARM)")
    parser.add_argument("--arch2", type=arch_value, default=None, metavar="VALUE",
                        help="PROCESSOR_ARCHITECTURE in ControlSet002 (default none)")
    parser.add_argument("--matrix", action="store_true",
                        help=f"run every release from {preview.MATRIX_FROM} on that Wine knows, on both Windows, "
                             f"and print a table for each ({wine.X86} on the 32-bit one; Windows 10 and 11 on ARM, "
                             "modelled, on the 64-bit one)")
    parser.add_argument("--cd", action="store_true",
                        help="run the distribution from a CD-ROM drive, started as AutoRun does (with "
                             "--matrix: a third table, the 64-bit Windows started so)")
    parser.add_argument("--folder", metavar="NAME",
                        help="run the distribution from a folder of that name, in any script, e.g. "
                             "'Алексей/Downloads/dist' (parts separated by /; not for the CD-ROM table, whose "
                             "launcher sits at the disc's top)")
    parser.add_argument("--screenshots", metavar="DIR", help="save a PNG of every box in DIR")
    parser.add_argument("--report", metavar="DIR",
                        help="write DIR/index.html: the check and the tables, with every box's screenshot")
    parser.add_argument("--json", metavar="FILE",
                        help="write the tables to FILE as JSON, for a CI job to gate on (replaces only an "
                             "earlier preview's JSON)")
    parser.add_argument("--prefix", default=paths.PREFIXES[32], help="the 32-bit Windows' prefix (build/wine)")
    parser.add_argument("--prefix64", default=paths.PREFIXES[64], help="the 64-bit Windows' prefix (build/wine64)")
    parser.add_argument("--xvfb", action="store_true", help="use a display of our own even when DISPLAY is set")
    parser.add_argument("--timeout", type=seconds, default=wine.RUN_TIMEOUT, help="seconds one run may take")


def run(args):
    if args.kit and not os.path.isdir(args.kit):
        raise errors.Usage(f"{args.kit} is not a folder")
    why = args.folder is not None and folder_refusal(args.folder)
    if why:
        raise errors.Usage(f"--folder {why}")
    # Outputs refused now, not after the whole matrix has run.
    for option, path, rule in (("--report", args.report, lambda: replaceable.report(args.report, ship=False)),
                               ("--json", args.json, lambda: replaceable.preview_json(args.json)),
                               ("--screenshots", args.screenshots, lambda: None)):
        if path is None:
            continue
        why = "is in the kit, which the preview never changes" if args.kit and inside(path, args.kit) else rule()
        if why:
            raise errors.Failure(f"{option}: {path} {why}")
    progress.attach()
    line = progress.Line("preview")
    shots = tempfile.mkdtemp(prefix="shots-", dir=paths.BUILD) if args.report and not args.screenshots else None
    try:
        request = preview.Request(matrix=args.matrix, cd=args.cd, windows=args.windows, release=args.release,
                                  arch=args.arch, arch2=args.arch2, prefix=args.prefix, prefix64=args.prefix64,
                                  own_display=args.xvfb, timeout=args.timeout, screenshots=args.screenshots or shots,
                                  folder=args.folder and args.folder.replace("\\", "/"))
        try:
            found = preview.run(args.kit, args.program, request, line)
        finally:
            line.clear()
        print(preview.text(found), end="")
        if args.report:
            print(f"Report: {write_report(args.report, found)}")
        if args.json:
            print(f"JSON: {write_preview_json(args.json, found)}")
    finally:
        if shots:
            shutil.rmtree(shots, ignore_errors=True)
    problems = preview.problems(found)
    for problem in problems:
        print(f"kit preview: run not judged, {problem}", file=sys.stderr)
    return 1 if problems else 0
