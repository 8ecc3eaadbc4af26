"""One line on the terminal, rewritten in place, that says how far a long run
has come; nothing at all when stderr is no terminal, so that logs stay clean."""
import os
import threading
import time

_terminal = None   # a file on a duplicate of the terminal's descriptor, or None


def attach():
    """Takes hold of the terminal on stderr, if it is one, so that the line
    still reaches it when descriptor 2 is later sent to a log (as ship does
    with the preview's output). A second call keeps the first one's."""
    global _terminal
    if _terminal is None and os.isatty(2):
        _terminal = open(os.dup(2), "w", encoding="utf-8", errors="replace", closefd=True)


class Line:
    """The line of one long run. Parts that run side by side (the preview's
    tables) each say where they are under a key of their own, and the line
    shows them all, in the order they first spoke."""

    def __init__(self, what):
        self.what = what
        self.started = time.monotonic()
        self.shown = False
        self.parts = {}
        self.lock = threading.Lock()

    def show(self, text, key=None):
        if _terminal is None:
            return
        with self.lock:
            self.parts[key] = text
            seconds = int(time.monotonic() - self.started)
            # \r back to the start, then erase to the end of the line.
            _terminal.write(f"\r{self.what}: {'; '.join(self.parts.values())}, "
                            f"{seconds // 60}:{seconds % 60:02d}\033[K")
            _terminal.flush()
            self.shown = True

    def clear(self):
        with self.lock:
            if self.shown and _terminal is not None:
                _terminal.write("\r\033[K")
                _terminal.flush()
                self.shown = False
