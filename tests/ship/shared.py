"""What the shipping and kit tests share: commands run quietly, a command's
last line, folders compared before and after, and exit code 77 (CTest's
"skipped") for a run in which every test was skipped: a machine without
what a test needs (a Wine that runs 32-bit programs) skips it, and a run that
tested nothing must not pass as one that tested everything."""
import os
import stat
import subprocess

SKIPPED = 77


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kwargs)


def last_line(result):
    return (result.stderr.strip().splitlines() or result.stdout.strip().splitlines() or [""])[-1]


def tree(folder):
    """Every entry below folder, dot files and empty folders included: a
    file's mode and bytes, a folder's mode, a link's target; None when
    there is no folder."""
    if not os.path.lexists(folder):
        return None
    state = {}
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(parent, name)
            relative = os.path.relpath(path, folder)
            if os.path.islink(path):
                state[relative] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                state[relative] = ("folder", os.stat(path).st_mode)
            elif not stat.S_ISREG(os.lstat(path).st_mode):
                state[relative] = ("special", os.lstat(path).st_mode)
            else:
                with open(path, "rb") as f:
                    state[relative] = (os.stat(path).st_mode, f.read())
    return state


def differences(before, after):
    """The paths whose entry differs between two tree()s."""
    if before is None or after is None:
        return [] if before == after else ["the folder itself"]
    return sorted(path for path in set(before) | set(after) if before.get(path) != after.get(path))


# The hooks below are pytest's; the conftest.py files beside the tests take them.
_outcomes = set()


def pytest_runtest_logreport(report):
    if report.when == "call" or report.outcome != "passed":
        _outcomes.add(report.outcome)


def pytest_sessionfinish(session, exitstatus):
    if exitstatus == 0 and _outcomes == {"skipped"}:
        session.exitstatus = SKIPPED
