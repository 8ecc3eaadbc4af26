"""The starter kept running for a session: one Wine process starts the
session's runs one after another (STARTER_SERVE) rather than a Wine process
of its own per run. Its trace, and so its runs', is one file; each run's
part of it starts where the file ended when the run was asked for."""
import contextlib
import os
import subprocess


class Served(Exception):
    """The starter ended before the run was over: Wine's failure, tried again."""


class StarterServer:
    def __init__(self, argv, env, log_path, timeout):
        self.argv, self.env, self.log_path, self.timeout = argv, env, log_path, timeout
        self.process = None

    @staticmethod
    def takes(fields, changes=""):
        """Whether the run fits a request: no field empty or with a line
        break (requests are lines ended by an empty one), and all of it
        ASCII, which reads the same in every ANSI code page; any other run
        gets a starter of its own, its fields passed as Wine passes the
        environment."""
        return changes.isascii() and all(field and field.isascii() and "\n" not in field and "\r" not in field
                                         for field in fields)

    def ask(self, program, command_line, folder, record, changes):
        """Asks for one run; returns where its trace begins in the log."""
        if self.process is None or self.process.poll() is not None:
            self.forget()
            with open(self.log_path, "ab") as log:
                self.process = subprocess.Popen(self.argv, env=self.env, stdin=subprocess.PIPE, stdout=log,
                                                stderr=log)
        offset = os.path.getsize(self.log_path)
        request = "\n".join([program, command_line, folder, record] + ([changes] if changes else [])) + "\n\n"
        try:
            self.process.stdin.write(request.encode("ascii"))
            self.process.stdin.flush()
        except OSError as error:
            self.forget()
            raise Served(f"the starter did not take the run: {error}") from None
        return offset

    def forget(self):
        """After the starter ended, or to end it: the wineserver's end ends it."""
        if self.process is None:
            return
        with contextlib.suppress(OSError):
            self.process.stdin.close()
        try:
            self.process.wait(self.timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None
