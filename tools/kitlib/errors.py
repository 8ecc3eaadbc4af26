"""The toolkit's two ways of ending a command early. The front door
(cli.py) turns them, and any failed read or write, into one line and an
exit code, in one place: 1 the work failed or found faults, 2 wrong usage,
77 this machine cannot run what was asked."""


class Failure(Exception):
    """The work failed: its message is the command's last line, after the
    lines that explain it (details), if any."""
    exit_code = 1

    def __init__(self, message, details=()):
        super().__init__(message)
        self.details = list(details)


class CannotRun(Failure):
    """This machine lacks what the work needs (a Wine that runs 32-bit
    programs): a caller such as tools/build.sh tells it apart from a fault."""
    exit_code = 77


class Usage(Exception):
    """The command line asks for something that cannot be: said as argparse
    says its own refusals, with the command's usage."""
    exit_code = 2
