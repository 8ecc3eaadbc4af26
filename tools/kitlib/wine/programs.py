"""Wine's own programs run to their end for one session: wineboot, the
wineserver's -p, -k and -w, and regedit, each with its output in a log of the
session's folder (Wine's background services would hold a pipe open)."""
import contextlib
import os
import subprocess

from .errors import WineError, tail
from .drives import to_windows
from .timing import TOOL_TIMEOUT


class WinePrograms:
    """loader: the wine program; env: a function giving the session's
    environment with more variables; workdir: where the logs go."""

    def __init__(self, loader, wineserver, env, workdir):
        self.loader, self.wineserver_path, self.env, self.workdir = loader, wineserver, env, workdir

    def call(self, argv, what, timeout, log_name, **env):
        """Runs a Wine program to its end; returns its exit code."""
        with open(os.path.join(self.workdir, log_name), "w") as log:
            try:
                return subprocess.run(argv, env=self.env(**env), stdin=subprocess.DEVNULL,
                                      stdout=log, stderr=log, timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise WineError(f"{what} did not finish within {timeout:g} s") from None

    def wineserver(self, flag):
        self.call([self.wineserver_path, flag], f"wineserver {flag}", 4 * TOOL_TIMEOUT, "wineserver.log")

    def end_wineserver(self):
        """Ends the wineserver and every Windows process of the prefix: asked with SIGINT and waited
        for (-k alone polls in growing sleeps, some 0.3 s longer); killed if it does not end in time."""
        self.wineserver("-k2")
        try:
            self.call([self.wineserver_path, "-w"], "wineserver -w", TOOL_TIMEOUT, "wineserver.log")
        except WineError:
            self.wineserver("-k")
            self.wineserver("-w")

    def stop_wineserver(self):
        with contextlib.suppress(WineError):
            self.end_wineserver()

    # The means prefix.ensure() makes the prefix with.
    def wineboot(self, what, timeout):
        return self.call([self.loader, "wineboot", "-i"], what, timeout, "wineboot.log")

    def wait(self, what, timeout):
        return self.call([self.wineserver_path, "-w"], what, timeout, "wineserver.log")

    def regedit(self, text, name):
        path = os.path.join(self.workdir, name)
        with open(path, "w", encoding="latin-1", newline="") as reg:
            reg.write(text)
        if self.call([self.loader, "regedit", "/S", to_windows(path)], "regedit", 4 * TOOL_TIMEOUT,
                     "regedit.log") != 0:
            raise WineError("regedit could not set the registry: " + self.tail("regedit.log"))

    def tail(self, log_name):
        return tail(os.path.join(self.workdir, log_name))
