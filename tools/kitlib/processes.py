"""The processes below this one, from /proc: what an interrupted command
ends before it puts everything back (Ctrl-C reaches the terminal's whole
group, a TERM or HUP only this process)."""
import os
import signal
import time


def descendants(pid):
    """The processes below pid, from /proc."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    fields = f.read().rsplit(b")", 1)[1].split()
                parents.setdefault(int(fields[1]), []).append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    found, todo = [], [pid]
    while todo:
        children = parents.get(todo.pop(), [])
        found += children
        todo += children
    return found


def end_children(grace=5.0):
    """Sends TERM to every process below this one and waits until they are
    gone (or zombies), at most grace seconds, then KILLs what is left."""
    children = descendants(os.getpid())
    for pid in children:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    deadline = time.monotonic() + grace
    while children and time.monotonic() < deadline:
        children = [pid for pid in children if alive(pid)]
        time.sleep(0.05)
    for pid in children:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except (OSError, IndexError):
        return False
