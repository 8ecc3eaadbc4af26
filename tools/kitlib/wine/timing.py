"""Time in the sessions: how long each wait may last, and where the time
goes, step by step, for the benchmark (a clock read per step is all it
costs, so it is always kept)."""
import collections
import contextlib
import os
import threading
import time

# How many times slower than a plain machine Wine runs here: a VM without
# hardware help (tools/dev/vm) makes every wait below longer, even the grace
# during which no installer may show up.
SLOWDOWN = float(os.environ.get("PREVIEW_SLOWDOWN") or 1)
RUN_TIMEOUT = 60 * SLOWDOWN        # seconds for one launcher run, boxes included
RECORD_TIMEOUT = 15 * SLOWDOWN     # seconds for a reported launch to show up in the record
NO_LAUNCH_GRACE = 1.0 * SLOWDOWN   # seconds to make sure that nothing ran, where the trace cannot tell
PREFIX_TIMEOUT = 300 * SLOWDOWN    # seconds to create a Wine prefix
TOOL_TIMEOUT = 15 * SLOWDOWN       # seconds for Xvfb to start, a helper to answer
RETRY_PAUSE = 2.0 * SLOWDOWN       # seconds, times the attempts so far, before a run is tried again

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
