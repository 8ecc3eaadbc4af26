"""What the shipping tests share: table rows checked one expectation at a
time, commands run quietly, and folders compared before and after."""
import os
import subprocess


class Checker:
    """Counts failed expectations; each failure prints the row, the actual
    and the expected value, and the test goes on with the next one."""

    def __init__(self):
        self.failures = 0

    def expect(self, row, what, actual, expected):
        if actual != expected:
            self.failures += 1
            print(f"FAIL [{row}] {what}: got {actual!r}, expected {expected!r}")
        return actual == expected


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL, **kwargs)


def last_line(result):
    return (result.stderr.strip().splitlines() or [""])[-1]


def snapshot(folder):
    """Every file below folder: its mode and its bytes, by relative path."""
    state = {}
    for parent, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(parent, name)
            with open(path, "rb") as f:
                state[os.path.relpath(path, folder)] = (os.stat(path).st_mode, f.read())
    return state


def expect_refused(check, row, result, message, folder, before, code=1):
    """A tool's refusal: exit code 1 (2 for wrong usage), a last line that
    names the fault, and the folder it worked on left as snapshot() found it
    before."""
    check.expect(row, "exit code", result.returncode, code)
    if not check.expect(row, "last line names the fault", message in last_line(result), True):
        print(f"  last line: {last_line(result)}")
    check.expect(row, "folder unchanged (names, modes, bytes)", snapshot(folder) == before, True)
