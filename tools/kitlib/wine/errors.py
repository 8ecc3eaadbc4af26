"""The Wine machinery's failures, as opposed to the launcher's behaviour:
part of the toolkit's error family, so the front door ends a command on
them as on any other failure; the one check that a program the machinery
runs is installed; and the end of a tool's log, which tells why it failed."""
import shutil

from kitlib.errors import CannotRun, Failure

SETUP_HINT = "tools/dev/setup.sh e2e installs it"


class WineError(Failure):
    """A failure of the machinery (not of the launcher), told to the user as is."""


class WineUnavailable(WineError):
    """This machine cannot run what the session needs at all (tests skip)."""
    exit_code = CannotRun.exit_code


def need_program(name, why):
    path = shutil.which(name)
    if path is None:
        raise WineError(f"{name} is not installed ({why}); {SETUP_HINT}")
    return path


def tail(path, lines=5):
    """The last lines of a log, on one line, for an error message."""
    with open(path, errors="replace") as log:
        return " | ".join(log.read().strip().splitlines()[-lines:]) or "(no output)"
