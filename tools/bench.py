#!/usr/bin/env python3
"""Measures what the launcher costs over the least that a launcher can do:
under Wine, with one wineserver throughout, it runs in turn the launcher of a
sample kit (whose installers end at once) and a floor program that does
nothing but open the same installer with ShellExecuteA, N rounds each, per
Windows release, and prints the median run times and their ratio. A
benchmark, not a test: it passes or fails nothing.

Usage: tools/bench.py [--rounds N] [--release winxp ...] [--launcher EXE]
"""
import argparse
import os
import shutil
import statistics
import sys

import make_kit
import preview
from preview import Machine, WineSession, X86

FLOOR = os.path.join(os.path.dirname(make_kit.STARTER), "floor.exe")
BENCH_KIT = os.path.join(make_kit.ROOT, "build", "bench", "kit")

# What each release's launcher starts on an x86 machine. Under Wine every
# release has SetDefaultDllDirectories, so only Vista, where the launcher
# does without it, takes the preloading path.
INSTALLER = {"winxp": make_kit.INSTALLERS[3], "win10": make_kit.INSTALLERS[4], "vista": make_kit.INSTALLERS[4]}


def timed_run(session, kit, machine, program, command_line, installer):
    """One run; its time in seconds, once it is sure the installer started."""
    run = session.run(kit, machine, program=program, command_line=command_line)
    started = [launch.relative for launch in run.launches]
    if started != [installer] or run.problems or run.seconds is None:
        raise preview.PreviewError(f"{program} as {machine.release}: started {started}, expected {installer};"
                                   f" {'; '.join(run.problems) or 'no time recorded'}")
    return run.seconds


def bench(session, kit, release, rounds):
    """The medians, in seconds, of the launcher's and the floor's runs."""
    machine = Machine(release, X86)
    installer = INSTALLER[release]
    floor_line = '"{}" {}'.format(preview.to_windows(os.path.join(kit, "floor.exe")),
                                  preview.to_windows(os.path.join(kit, *installer.split("\\"))))
    times = {"launcher.exe": [], "floor.exe": []}
    # Round 0 warms Wine's caches up and is not counted; the two alternate so
    # that a slow spell of the machine hits both.
    for round_number in range(rounds + 1):
        for program, line in (("launcher.exe", None), ("floor.exe", floor_line)):
            seconds = timed_run(session, kit, machine, program, line, installer)
            if round_number:
                times[program].append(seconds)
    return statistics.median(times["launcher.exe"]), statistics.median(times["floor.exe"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=10, help="runs of each program per release (default 10)")
    parser.add_argument("--release", action="append", choices=sorted(INSTALLER),
                        help="a release to measure; repeat for more (default: winxp, win10 and vista)")
    parser.add_argument("--launcher", default=make_kit.LAUNCHER, help="the launcher to measure (default: this build's)")
    parser.add_argument("--prefix", default=preview.DEFAULT_PREFIX, help="the Wine prefix to use (default build/wine)")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    releases = args.release or ["winxp", "win10", "vista"]

    try:
        make_kit.require_built(FLOOR)
        kit = make_kit.make_kit(BENCH_KIT, launcher=args.launcher)
        shutil.copy(FLOOR, os.path.join(kit, "floor.exe"))
        print(f"Launcher: {os.path.relpath(args.launcher)}, {args.rounds} rounds each, median run times")
        print(f"{'Release':8} {'launcher':>10} {'floor':>10} {'ratio':>6}")
        with WineSession(args.prefix, own_display=True) as session:
            for release in releases:
                launcher, floor = bench(session, kit, release, args.rounds)
                print(f"{release:8} {launcher * 1000:8.1f}ms {floor * 1000:8.1f}ms {launcher / floor:6.2f}", flush=True)
    except (preview.PreviewError, make_kit.KitError, OSError) as error:
        sys.exit(f"bench: {error}")
    except KeyboardInterrupt:
        sys.exit("bench: interrupted")
    return 0


if __name__ == "__main__":
    sys.exit(main())
