#!/usr/bin/env python3
"""Measures what the launcher costs over the least that a launcher can do:
under Wine, with one wineserver throughout, it runs in turn the launcher of a
sample kit (whose installers end at once) and a floor program that does
nothing but open the same installer as it does, N rounds each, per
Windows release, and prints the median run times and their ratio. A
benchmark, not a test: it passes or fails nothing. Given more than one
launcher (a build from before a change, say), it runs them all in the same
rounds, so that they meet the same load on the machine.

With --preview it measures the preview instead: where the time of one
table and of the whole `--matrix --cd` goes, step by step, against the floor
(a bare Wine run of a plain GUI program in the same prefix, with a
persistent wineserver) measured in the same run, and the ratio of the
matrix's time to its rows' bare runs.

Usage: tools/dev/bench.py [--rounds N] [--release winxp ...] [--launcher EXE ...]
       tools/dev/bench.py --preview [--rounds N] [--out DIR] [--screenshots]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

# A developer's front door, beside tools/kit: the toolkit's package is below tools/.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kitlib import interpreter  # noqa: E402

interpreter.require("pefile")
from kitlib import model, paths, wine  # noqa: E402
from kitlib import preview  # noqa: E402
from kitlib.preview import KitError, make_kit, printing as preview_text, running as preview_run  # noqa: E402
from kitlib.preview import tables as preview_tables  # noqa: E402
from kitlib.wine import Machine, WineSession, X86, timing  # noqa: E402

FLOOR = os.path.join(paths.HELPERS, "floor.exe")
BENCH_KIT = os.path.join(paths.BUILD, "bench")   # a kit per launcher below it

# What each release's launcher starts on an x86 machine. Under Wine every
# release has SetDefaultDllDirectories, so only Vista, where the launcher
# does without it, takes the preloading path.
INSTALLER = {"winxp": model.INSTALLERS[3], "win10": model.INSTALLERS[4], "vista": model.INSTALLERS[4]}


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


def bare_floor(rounds, prefix):
    """The wall times of bare runs of floor.exe (no command line: it opens
    nothing and ends), from the loader's start to its end, and the parts of
    them the program ran, as the starter measures a row's run."""
    walls, inside = [], []
    kit = make_kit(os.path.join(BENCH_KIT, "floor"))
    shutil.copy(FLOOR, os.path.join(kit, "floor.exe"))
    with WineSession(prefix, own_display=True, **paths.session_paths(32)) as session:
        env = session._env()
        for round_number in range(rounds + 1):
            started = time.monotonic()
            subprocess.run([session.loader, os.path.join(kit, "floor.exe")], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)
            if round_number:
                walls.append(time.monotonic() - started)
            run = session.run(kit, Machine("winxp", X86), program="floor.exe", starts_installer=False,
                              command_line=f'"{wine.to_windows(os.path.join(kit, "floor.exe"))}"')
            if round_number and run.seconds is not None:
                inside.append(run.seconds)
    timing.SPENT.clear()
    return walls, inside


def print_spent(title, wall, rows, floor, fastest):
    spent = timing.SPENT
    print(f"{title}: {rows} rows in {wall:.2f} s wall, {wall / rows * 1000:.0f} ms a row; the rows' bare runs "
          f"{rows * floor:.2f} s (median), {rows * fastest:.2f} s (fastest); ratio {wall / (rows * floor):.1f} "
          f"to the median, {wall / (rows * fastest):.1f} to the fastest")
    print(f"  {'step':40} {'seconds':>8} {'times':>6} {'ms a row':>9}")
    for step in timing.STEPS:
        print(f"  {step:40} {spent.seconds[step]:8.2f} {spent.counts[step]:6} "
              f"{spent.seconds[step] / rows * 1000:9.1f}")
    counted = spent.total(timing.WHOLE)
    print(f"  {'(all steps, summed over the tables)':40} {counted:8.2f}")
    print(f"  {'(outside the sessions: copies, check)':40} {max(wall - counted, 0):8.2f}"
          "  (more than the wall time is left out when tables overlap)", flush=True)


def bench_preview(rounds, out, screenshots):
    """Times one table and then the whole matrix with --cd."""
    # The floor before and after each measurement, so that it meets the same
    # load as the preview did.
    load = os.getloadavg()[0]
    walls, inside = bare_floor(rounds, paths.PREFIXES[32])
    results = []
    os.makedirs(out, exist_ok=True)
    for title, argv in (("One table (32-bit, --windows 32 --matrix, first table)", None),
                        ("The whole --matrix --cd" + (" --screenshots" if screenshots else ""), "matrix")):
        timing.SPENT.clear()
        started = time.monotonic()
        if argv is None:
            found = wine.find_wine()
            request = preview.Request(matrix=True, own_display=True)
            table = preview_tables.plan(request, found)[0]
            preview_run.run_table(table, preview_run.sample_kit(32), None, request, found)
            rows = len(table.results)
            with open(os.path.join(out, "table32.txt"), "w") as text:
                text.write(preview_text.format_table(table) + "\n")
        else:
            request = preview.Request(matrix=True, cd=True, own_display=True,
                                      screenshots=os.path.join(out, "shots") if screenshots else None)
            found = preview.run(None, None, request)
            with open(os.path.join(out, "matrix.txt"), "w") as text:
                text.write(preview.text(found))
            if preview.problems(found):
                raise wine.WineError(f"runs not judged; see {out}/matrix.txt")
            rows = timing.SPENT.counts[timing.ROW]
        wall = time.monotonic() - started
        results.append((title, wall, rows, dict(timing.SPENT.seconds), dict(timing.SPENT.counts)))
        more_walls, more_inside = bare_floor(rounds, paths.PREFIXES[32])
        walls += more_walls
        inside += more_inside
    # Its times come in steps of some 33 ms (32, 65, 116 ms), so the median
    # jumps between runs of the benchmark: the fastest is printed too.
    floor = statistics.median(walls)
    print(f"Floor: a bare run of floor.exe, {len(walls)} runs around the measurements: median "
          f"{floor * 1000:.1f} ms wall, {min(walls) * 1000:.1f} to {max(walls) * 1000:.1f} ms (the program itself "
          f"{statistics.median(inside) * 1000:.1f} ms as the starter measures it)")
    print(f"Cores: {os.cpu_count()}; load average (1 min): {load:.1f} before, {os.getloadavg()[0]:.1f} after")
    for title, wall, rows, seconds, counts in results:
        timing.SPENT.clear()
        timing.SPENT.seconds.update(seconds)
        timing.SPENT.counts.update(counts)
        print_spent(title, wall, rows, floor, min(walls))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=10, help="runs of each program per release (default 10)")
    parser.add_argument("--release", action="append", choices=sorted(INSTALLER),
                        help="a release to measure; repeat for more (default: winxp, win10 and vista)")
    parser.add_argument("--launcher", action="append",
                        help="a launcher to measure; repeat to compare (default: this build's)")
    parser.add_argument("--prefix", default=paths.PREFIXES[32], help="the Wine prefix to use (default build/wine)")
    parser.add_argument("--preview", action="store_true",
                        help="time the preview's steps, one table and the whole --matrix --cd, against the floor")
    parser.add_argument("--out", default=os.path.join(paths.BUILD, "bench-preview"),
                        help="where --preview keeps the tables it printed (default build/bench-preview)")
    parser.add_argument("--screenshots", action="store_true",
                        help="with --preview: the matrix photographs every box, as a report does")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    releases = args.release or ["winxp", "win10", "vista"]
    launchers = args.launcher or [paths.LAUNCHER]

    try:
        paths.require_built(FLOOR)
        if args.preview:
            bench_preview(args.rounds, args.out, args.screenshots)
            return 0
        kits = []
        for number, launcher in enumerate(launchers, 1):
            kits.append(make_kit(os.path.join(BENCH_KIT, str(number)), launcher=launcher))
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
    except (wine.WineError, KitError, paths.NotBuilt, OSError) as error:
        sys.exit(f"bench: {error}")
    except KeyboardInterrupt:
        sys.exit("bench: interrupted")
    return 0


if __name__ == "__main__":
    sys.exit(main())
