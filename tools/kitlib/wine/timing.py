"""Where the sessions' time goes, step by step, for the benchmark: a clock
read per step is all it costs, so it is always kept."""
import collections
import contextlib
import threading
import time

# The steps, in the order the benchmark prints them.
SET_UP = "session set-up and teardown"
REGISTRY = "registry change"
RUN = "the run: Wine's start to its end"
FIND = "  of it: finding the boxes"
SCREENSHOT = "  of it: screenshots"
DISMISS = "  of it: dismissing the boxes"
NOTICE = "noticing the run's end (polls)"
WAITS = "waits after the run, retries"
STEPS = (SET_UP, REGISTRY, RUN, FIND, SCREENSHOT, DISMISS, NOTICE, WAITS)
# The steps that add up to the wall time of a session (the others are parts of RUN).
WHOLE = (SET_UP, REGISTRY, RUN, NOTICE, WAITS)
ROW = "rows"   # counted only: the runs asked for, retries not included


class Spent:
    """Seconds and counts per step, added to from the threads of tables run
    side by side."""

    def __init__(self):
        self.lock = threading.Lock()
        self.seconds = collections.Counter()
        self.counts = collections.Counter()

    def add(self, step, seconds):
        with self.lock:
            self.seconds[step] += seconds
            self.counts[step] += 1

    @contextlib.contextmanager
    def on(self, step):
        started = time.monotonic()
        try:
            yield
        finally:
            self.add(step, time.monotonic() - started)

    def merge(self, other):
        with self.lock:
            self.seconds.update(other.seconds)
            self.counts.update(other.counts)

    def total(self, steps):
        return sum(self.seconds[step] for step in steps)

    def clear(self):
        with self.lock:
            self.seconds.clear()
            self.counts.clear()


# What every session so far spent, added to as each one ends.
SPENT = Spent()
