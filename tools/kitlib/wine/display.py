"""The X display the boxes appear on: an Xvfb of our own where asked, and
the boxes captioned INSTALL found, photographed and dismissed there."""
import contextlib
import ctypes
import os
import select
import signal
import subprocess
import time

from . import timing
from .errors import WineError, need_program, tail


# Looked up here, not in the child between fork and exec: with tables run
# side by side another thread may hold the dynamic loader's lock at the fork,
# and the child would wait for it forever.
try:
    _PRCTL = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _PRCTL = None


def die_with_parent():
    """Has the kernel end the child when we end, even by SIGKILL (a CTest
    timeout): an orphaned X server would live on forever. (The end of the
    thread that started it counts as ours: a session starts and stops its
    X server in the same thread.)"""
    if _PRCTL is not None:
        PR_SET_PDEATHSIG = 1
        _PRCTL(PR_SET_PDEATHSIG, signal.SIGTERM)


def stop_process(process):
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def start_xvfb(stack, workdir, timeout):
    """Starts an Xvfb that ends with the stack; returns its display name."""
    need_program("Xvfb", "it gives the boxes a display")
    log_path = os.path.join(workdir, "xvfb.log")
    log = open(log_path, "w")
    stack.callback(log.close)
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                             "-screen", "0", "800x600x24"], preexec_fn=die_with_parent,
                            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    os.close(write_end)
    stack.callback(stop_process, xvfb)
    number = b""
    deadline = time.monotonic() + timeout
    with os.fdopen(read_end, "rb", buffering=0) as pipe:
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([pipe], [], [], left)[0]:
                raise WineError(f"Xvfb did not start within {timeout:g} s (see its log: xvfb.log)")
            chunk = pipe.read(16)
            if not chunk:
                raise WineError("Xvfb ended at start-up: " + tail(log_path))
            number += chunk
    return ":" + number.decode().strip()


# Seconds: how long a box called for may take to be set up (Wine traces it;
# the first box of a run takes some 70 ms) before the screen is searched
# anyway; the first look for one set up (mapped some 15 ms later), doubled
# while it is not found up to the longest; how long a key press has to land
# before it is sent again; how often the screen is looked at while no box is
# due, and when Wine does not trace the calls.
SET_UP_WAIT = 0.25
BOX_STEP, MAX_STEP = 0.01, 0.1
REPRESS = 1.0
IDLE_LOOK = 0.5
PAINT_TIMEOUT = 2.0   # a box never painted is photographed as it is
UNTRACED_STEP = 0.05


class Boxes:
    """The INSTALL boxes of one display."""

    def __init__(self, display, timeout, spent=None):
        need_program("xdotool", "it dismisses the boxes")
        self.env = dict(os.environ, DISPLAY=display)
        self.timeout = timeout
        self.spent = spent or timing.Spent()

    def _xdotool(self, *args):
        try:
            return subprocess.run(["xdotool", *args], env=self.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=self.timeout)
        except subprocess.TimeoutExpired:
            return None

    def dismiss_until_done(self, deadline, screenshots, label, watch, trace):
        """Presses Return on every INSTALL box until the run ends; returns
        the screenshots taken and the number of boxes seen. None for the
        screenshots when the deadline passed first. watch: the run's events;
        trace: a records.Follower of its trace, which tells when a box is
        due, so that the screen is searched then rather than all the time."""
        pressed = {}   # window id -> when Return was last sent
        shots = []
        handled = 0    # boxes called for that were found on screen or came back
        was_due = set_up = None
        step = BOX_STEP
        search_at = last_search = time.monotonic() + IDLE_LOOK
        while not watch.ended():
            now = time.monotonic()
            if now > deadline:
                return None, len(pressed)
            trace.read()
            due = None
            if trace.relayed:
                handled = max(handled, trace.returns)
                due = trace.calls > handled
                if due and not was_due:
                    step = BOX_STEP
                    search_at = now + (BOX_STEP if trace.made > handled else SET_UP_WAIT)
                elif due and trace.made > handled and not set_up:
                    # Wine traces the box's set-up just before it shows it.
                    search_at = min(search_at, now + BOX_STEP)
                elif not due and was_due is not False:
                    search_at = now + IDLE_LOOK   # a box no trace announced is still found
                was_due, set_up = due, due and trace.made > handled
            elif trace.offset > trace.start:
                # Wine traces no calls: only the screen tells.
                search_at = min(search_at, last_search + UNTRACED_STEP)
            if now >= search_at:
                new = self._press_all(pressed, shots, screenshots, label)
                last_search = time.monotonic()
                handled = max(handled, len(pressed))
                if due is not None and trace.calls > handled:
                    # Called for and not shown yet: look again soon, then less often.
                    step = BOX_STEP if new else step
                    search_at = last_search + step
                    step = min(step * 2, MAX_STEP)
                else:
                    search_at = last_search + (UNTRACED_STEP if due is None else IDLE_LOOK)
            watch.wait(min(search_at, deadline) - time.monotonic())
        noticed = time.monotonic()
        self.spent.add(timing.RUN, (watch.ended_at or noticed) - watch.started_at)
        self.spent.add(timing.NOTICE, noticed - (watch.ended_at or noticed))
        return shots, len(pressed)

    def _press_all(self, pressed, shots, screenshots, label):
        """Photographs each INSTALL box not seen before and presses Return on
        it, and again on one still there a while after; whether one was new."""
        with self.spent.on(timing.FIND):
            found = self._xdotool("search", "--onlyvisible", "--name", "^INSTALL$")
        new = False
        for window in (found.stdout.split() if found and found.returncode == 0 else []):
            if window not in pressed:
                new = True
                if screenshots:
                    with self.spent.on(timing.SCREENSHOT):
                        shots.append(self._screenshot(window, screenshots, f"{label}-{len(pressed) + 1}"))
            elif time.monotonic() - pressed[window] < REPRESS:
                continue   # give the last key press time to land
            pressed[window] = time.monotonic()
            with self.spent.on(timing.DISMISS):
                self._xdotool("windowfocus", "--sync", window, "key", "Return")
        return new

    def _screenshot(self, window, folder, name):
        need_program("import", "it takes the screenshots")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name + ".png")
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)   # an earlier attempt's picture is not this one's
        # A box just mapped may not be painted yet, and no event says when it
        # is: its picture is taken once two looks in a row show the same
        # painted box, however long that takes under load.
        deadline = time.monotonic() + PAINT_TIMEOUT
        last, step = None, BOX_STEP
        while time.monotonic() < deadline:
            picture = self._capture(window, "ppm:-")
            if picture is not None and picture == last and painted(picture):
                break
            last = picture
            time.sleep(step)
            step = min(step * 2, MAX_STEP)
        self._capture(window, path)
        return path if os.path.exists(path) else None

    def _capture(self, window, where):
        with contextlib.suppress(subprocess.TimeoutExpired):
            result = subprocess.run(["import", "-window", window, where], env=self.env, stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=self.timeout)
            return result.stdout if result.returncode == 0 else None
        return None


def painted(picture):
    """Whether a PPM picture of a box shows more than a background: its
    text and button bring at least three colours (an unpainted window has
    one, or the root window's two)."""
    parts = picture.split(maxsplit=4)
    if len(parts) < 5 or parts[0] != b"P6":
        return False
    pixels = parts[4]
    colours = {pixels[i:i + 3] for i in range(0, len(pixels) - 2, 3)}
    return len(colours) >= 3
