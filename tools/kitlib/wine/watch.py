"""The events of one run, so that its waits end when something happens
rather than after fixed steps: a write to the run's folder (Wine's trace, the
installers' record) through inotify, and the run's end through a pidfd."""
import contextlib
import ctypes
import os
import select
import time

IN_MODIFY, IN_CLOSE_WRITE, IN_MOVED_TO, IN_CREATE = 0x2, 0x8, 0x80, 0x100
IN_NONBLOCK, IN_CLOEXEC = os.O_NONBLOCK, os.O_CLOEXEC
# Where neither is to be had, a wait still ends this often to look again.
FALLBACK_STEP = 0.02


try:
    _LIBC = ctypes.CDLL(None, use_errno=True)
except OSError:
    _LIBC = None


def _inotify(folders):
    """An inotify descriptor that becomes readable on every write in the
    folders, or None where the kernel or the C library has none."""
    with contextlib.suppress(OSError, AttributeError):
        libc = _LIBC
        fd = libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        if fd < 0:
            return None
        for folder in folders:
            events = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE
            if libc.inotify_add_watch(fd, os.fsencode(folder), events) < 0:
                os.close(fd)
                return None
        return fd
    return None


class Watch:
    """The run's folders and, once started, its process."""

    def __init__(self, *folders):
        self.folder_fd = _inotify(folders)
        self.process = self.done = None
        self.pid_fd = None
        self.started_at = self.ended_at = None   # the process's start, and its end as the first wait after saw it

    def follow(self, process, done=None):
        """done: what tells the run's end while the process goes on (one
        serving run after run), checked on each event."""
        self.process, self.done = process, done
        self.started_at = time.monotonic()
        with contextlib.suppress(OSError, AttributeError):
            self.pid_fd = os.pidfd_open(process.pid)

    def ended(self):
        if self.process is None:
            return False
        if self.process.poll() is not None or (self.done is not None and self.done()):
            self.ended_at = self.ended_at or time.monotonic()
            return True
        return False

    def wait(self, timeout):
        """Until the folder is written to, the process ends or the timeout
        passes, whichever comes first."""
        timeout = max(timeout, 0)
        fds = [fd for fd in (self.folder_fd, self.pid_fd) if fd is not None]
        if self.folder_fd is None or (self.process is not None and self.pid_fd is None):
            timeout = min(timeout, FALLBACK_STEP)
        if not fds:
            time.sleep(timeout)
            return
        ready = select.select(fds, [], [], timeout)[0]
        if self.pid_fd in ready and self.ended_at is None and self.done is None:
            self.ended_at = time.monotonic()
        if self.folder_fd in ready:
            # The events say only that something was written; what is read next tells what.
            with contextlib.suppress(BlockingIOError):
                while os.read(self.folder_fd, 65536):
                    pass

    def close(self):
        for fd in (self.folder_fd, self.pid_fd):
            if fd is not None:
                os.close(fd)
        self.folder_fd = self.pid_fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
