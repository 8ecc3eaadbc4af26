"""The front door of tools/kit, the distribution maker's one command: picks
the subcommand (commands/NAME.py), parses its options, runs it, and is the
one place that turns what it raises (errors.py), a signal or an
operating-system error into one line and an exit code."""
import argparse
import importlib
import os
import signal
import sys

from kitlib import errors, processes, wine

# In the order a distribution is made; each is the module commands/NAME.py.
COMMANDS = ("new", "check", "preview", "brand", "sign", "image", "ship")
USAGE = "kit COMMAND [options]   (kit COMMAND --help for each)"


def parser():
    p = argparse.ArgumentParser(prog="kit", usage=USAGE, description="One command for shipping a "
                                "distribution of the setup launcher.",
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="commands:\n" + "\n".join(f"  {name:<8} {_command(name).HELP}"
                                                                 for name in COMMANDS))
    p.add_argument("command", choices=COMMANDS, metavar="COMMAND")
    return p


def main(argv):
    """Runs a command: a TERM or HUP (a CI runner's timeout, a closed
    terminal) ends it as Ctrl-C does, and a failed read or write of any file
    is one line naming it, never a traceback."""
    command = argv[0] if argv else "kit"
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _interrupt)
    if (sys.stdout.encoding or "").lower().replace("-", "") != "utf8":
        # Names and branding strings may be in any script; a C locale must
        # not turn them into an encoding error.
        sys.stdout.reconfigure(errors="backslashreplace")
        sys.stderr.reconfigure(errors="backslashreplace")
    sys.stdout = _Named(sys.stdout, "the standard output")
    try:
        code = _run(argv)
        # Written here, not at exit, so a full disk is reported like any
        # other failed write.
        sys.stdout.flush()
        return code
    except KeyboardInterrupt:
        _say(f"kit {command}: interrupted; nothing was changed")
        return 1
    except BrokenPipeError:
        # A reader that has seen enough (| head): nothing to say.
        _silence_stdout()
        return 1
    except OSError as error:
        what = error.strerror or str(error)
        _say(f"kit {command}: {error.filename}: {what}" if error.filename else f"kit {command}: {what}")
        _silence_stdout()
        return 1


class _Named:
    """A stream whose failed writes name it, as a file's do."""

    def __init__(self, stream, name):
        self._stream, self._name = stream, name

    def write(self, text):
        try:
            return self._stream.write(text)
        except OSError as error:
            raise type(error)(error.errno, error.strerror, self._name) from None

    def flush(self):
        try:
            self._stream.flush()
        except OSError as error:
            raise type(error)(error.errno, error.strerror, self._name) from None

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _say(line):
    # After a HUP the terminal may be gone too.
    try:
        print(line, file=sys.stderr)
    except OSError:
        pass


def _silence_stdout():
    # What is left in the buffer would fail again at exit, with a traceback.
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
        sys.stdout = open(os.devnull, "w")
    except OSError:
        pass


def _interrupt(number, frame):
    """A TERM or HUP: Ctrl-C reaches every process of the terminal's group,
    a signal only this one; so the children (the build, Wine, xorriso) are
    ended first, then the work unwinds as from Ctrl-C and puts everything
    back. Once: a second signal must not cut the putting back short."""
    for other in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(other, signal.SIG_IGN)
    wine.interrupt()   # before the children end: a table running beside starts no more
    processes.end_children()
    raise KeyboardInterrupt


def _run(argv):
    if not argv or argv[0] in ("-h", "--help"):
        p = parser()
        if not argv:
            p.print_usage(sys.stderr)
            print("kit: error: name a COMMAND: " + ", ".join(COMMANDS), file=sys.stderr)
            return 2
        p.print_help()
        return 0
    name, rest = argv[0], argv[1:]
    if name not in COMMANDS:
        parser().parse_args([name])   # says what the commands are, and exits 2
    command = _command(name)
    p = argparse.ArgumentParser(prog=f"kit {name}", description=command.__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog=getattr(command, "EPILOG", None))
    command.add_arguments(p)
    args = p.parse_intermixed_args(rest) if getattr(command, "INTERMIXED", False) else p.parse_args(rest)
    try:
        return command.run(args)
    except errors.Usage as error:
        p.error(str(error))     # exits 2
    except errors.Failure as error:
        for line in error.details:
            print(line, file=sys.stderr)
        _say(f"kit {name}: {error}")
        return error.exit_code


def _command(name):
    return importlib.import_module(f"kitlib.commands.{name}")
