#!/usr/bin/env python3
"""Measures what the launcher costs over the least that a launcher can do:
under Wine, with one wineserver throughout, it runs in turn the launcher of a
sample kit (whose installers end at once) and a floor program that does
nothing but open the same installer with ShellExecuteA, N rounds each, per
Windows release, and prints the median run times and their ratio. A
benchmark, not a test: it passes or fails nothing. Given more than one
launcher (a build from before a change, say), it runs them all in the same
rounds, so that they meet the same load on the machine.

Usage: tools/dev/bench.py [--rounds N] [--release winxp ...] [--launcher EXE ...]
"""
import argparse
import os
import shutil
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "kitlib"))
import make_kit  # noqa: E402
import paths  # noqa: E402
import windows  # noqa: E402
import wine  # noqa: E402
from wine import Machine, WineSession, X86  # noqa: E402

FLOOR = os.path.join(paths.HELPERS, "floor.exe")
BENCH_KIT = os.path.join(paths.BUILD, "bench")   # a kit per launcher below it

# What each release's launcher starts on an x86 machine. Under Wine every
# release has SetDefaultDllDirectories, so only Vista, where the launcher
# does without it, takes the preloading path.
INSTALLER = {"winxp": windows.INSTALLERS[3], "win10": windows.INSTALLERS[4], "vista": windows.INSTALLERS[4]}


def timed_run(session, kit, machine, program, command_line, installer):
    """One run; its time in seconds, once it is sure the installer started."""
    run = session.run(kit, machine, program=program, command_line=command_line)
    started = [launch.relative for launch in run.launches]
    if started != [installer] or run.problems or run.seconds is None:
        raise wine.WineError(f"{program} as {machine.release}: started {started}, expected {installer};"
                                   f" {'; '.join(run.problems) or 'no time recorded'}")
    return run.seconds


def bench(session, kits, release, rounds):
    """The median run time in seconds of the floor, and of the launcher of
    each kit (the floor runs from the first)."""
    machine = Machine(release, X86)
    installer = INSTALLER[release]
    floor_line = '"{}" {}'.format(wine.to_windows(os.path.join(kits[0], "floor.exe")),
                                  wine.to_windows(os.path.join(kits[0], *installer.split("\\"))))
    runs = [(kit, "launcher.exe", None) for kit in kits] + [(kits[0], "floor.exe", floor_line)]
    times = [[] for _ in runs]
    # Round 0 warms Wine's caches up and is not counted; the programs
    # alternate so that a slow spell of the machine hits them all.
    for round_number in range(rounds + 1):
        for measured, (kit, program, line) in zip(times, runs):
            seconds = timed_run(session, kit, machine, program, line, installer)
            if round_number:
                measured.append(seconds)
    medians = [statistics.median(measured) for measured in times]
    return medians[-1], medians[:-1]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=10, help="runs of each program per release (default 10)")
    parser.add_argument("--release", action="append", choices=sorted(INSTALLER),
                        help="a release to measure; repeat for more (default: winxp, win10 and vista)")
    parser.add_argument("--launcher", action="append",
                        help="a launcher to measure; repeat to compare (default: this build's)")
    parser.add_argument("--prefix", default=paths.PREFIXES[32], help="the Wine prefix to use (default build/wine)")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    releases = args.release or ["winxp", "win10", "vista"]
    launchers = args.launcher or [paths.LAUNCHER]

    try:
        paths.require_built(FLOOR)
        kits = []
        for number, launcher in enumerate(launchers, 1):
            kits.append(make_kit.make_kit(os.path.join(BENCH_KIT, str(number)), launcher=launcher))
        shutil.copy(FLOOR, os.path.join(kits[0], "floor.exe"))
        names = [os.path.relpath(launcher) for launcher in launchers]
        width = max(len("Launcher"), *map(len, names))
        print(f"Median run times of {args.rounds} rounds")
        print(f"{'Release':8} {'Launcher':{width}} {'launcher':>10} {'floor':>10} {'ratio':>6}")
        with WineSession(args.prefix, own_display=True, **paths.session_paths(32)) as session:
            for release in releases:
                floor, medians = bench(session, kits, release, args.rounds)
                for name, launcher in zip(names, medians):
                    print(f"{release:8} {name:{width}} {launcher * 1000:8.1f}ms {floor * 1000:8.1f}ms"
                          f" {launcher / floor:6.2f}", flush=True)
    except (wine.WineError, make_kit.KitError, paths.NotBuilt, OSError) as error:
        sys.exit(f"bench: {error}")
    except KeyboardInterrupt:
        sys.exit("bench: interrupted")
    return 0


if __name__ == "__main__":
    sys.exit(main())
