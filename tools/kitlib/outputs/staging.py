"""Outputs written beside their targets and put in place whole, or not at
all: one file (beside()), or several together at the end (Staging), what lets
`kit ship` stop at any step and leave the kit and every earlier output
exactly as they were. The one place the toolkit writes an output; scratch
names come from mkstemp and mkdtemp, never from a name merely guessed free."""
import contextlib
import os
import shutil
import tempfile

PREFIX = ".kit-ship."


@contextlib.contextmanager
def beside(target, prefix=PREFIX, mode=None, replace=True):
    """A new empty file beside target to write; when the block ends without
    an exception it takes target's place (with replace=False only where
    nothing is: an entry that appeared meanwhile makes it fail), else it is
    removed."""
    fd, partial = _named(tempfile.mkstemp, target, prefix)
    os.close(fd)
    try:
        try:
            yield partial
        except OSError as error:
            # A full disk: the file that could not be written is target,
            # whatever name the failed call gives.
            if error.filename in (None, partial) or error.filename2 == partial:
                raise OSError(error.errno, error.strerror, target) from None
            raise
        if mode is not None:
            os.chmod(partial, mode & ~_umask())
        if replace:
            os.replace(partial, target)
        else:
            os.link(partial, target)
    finally:
        # Gone already once it has replaced target.
        with contextlib.suppress(FileNotFoundError):
            os.unlink(partial)


def put(finished, target):
    """Puts a file finished in a scratch folder beside target (a tool's
    output, which it would not write over an existing file) in target's
    place, in one step; a failure names target."""
    try:
        os.replace(finished, target)
    except OSError as error:
        raise OSError(error.errno, error.strerror, target) from None


@contextlib.contextmanager
def scratch_beside(target, prefix=PREFIX):
    """A private folder beside target for a tool to write into; removed
    whatever happens, after the block has moved out what it keeps."""
    folder = _named(tempfile.mkdtemp, target, prefix)
    try:
        yield folder
    finally:
        remove_tree(folder)


@contextlib.contextmanager
def folder_beside(target, prefix=PREFIX):
    """A new folder beside target to fill; when the block ends without an
    exception it takes target's place (replace_folder), else it is removed."""
    folder = _named(tempfile.mkdtemp, target, prefix)
    try:
        # mkdtemp's folder is private; an output is as readable as any other
        # file its writer makes.
        os.chmod(folder, 0o777 & ~_umask())
        yield folder
        replace_folder(folder, target, prefix)
    except BaseException:
        remove_tree(folder)
        raise


def replace_folder(staged, target, prefix=PREFIX):
    """Puts the folder staged in place of target: an earlier target goes
    aside, the new one takes its place, and only then is the old one
    removed; if the move fails the old one comes back."""
    if not os.path.lexists(target):
        os.rename(staged, target)
        return
    aside = tempfile.mkdtemp(prefix=prefix, dir=os.path.dirname(os.path.abspath(target)))
    old = os.path.join(aside, "old")
    os.rename(target, old)
    try:
        os.rename(staged, target)
    except BaseException:
        os.rename(old, target)
        os.rmdir(aside)
        raise
    # The new one is in place: an old file that will not go is no failure.
    with contextlib.suppress(OSError):
        remove_tree(aside)


def _named(make, target, prefix):
    """A scratch name beside target; a failure names target's folder, not a
    name the user never chose."""
    folder = os.path.dirname(os.path.abspath(target))
    try:
        return make(dir=folder, prefix=prefix)
    except OSError as error:
        raise OSError(error.errno, error.strerror, folder) from None


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


class Staging:
    def __init__(self):
        self._staged = []      # (staged path, target, temporary folder or None)
        self._made = []        # folders made for targets, deepest last
        self._committed = []   # (target, backup or None), to undo a commit cut short
        self._asides = []      # the private folders the backups are kept in

    def _folder_for(self, target):
        folder = os.path.dirname(os.path.abspath(target))
        missing = []
        while not os.path.isdir(folder):
            if os.path.lexists(folder):
                raise OSError(f"{folder} is not a folder")
            missing.append(folder)
            folder = os.path.dirname(folder)
        for path in reversed(missing):
            os.mkdir(path)
            self._made.append(path)
        return os.path.dirname(os.path.abspath(target))

    def file(self, target, copy_of=None):
        """A new file beside target (a copy of copy_of, else empty) that
        replaces it on commit."""
        self._folder_for(target)
        fd, path = _named(tempfile.mkstemp, target, PREFIX)
        os.close(fd)
        self._staged.append((path, target, None))
        if copy_of:
            shutil.copyfile(copy_of, path)
            shutil.copymode(copy_of, path)
        return path

    def folder(self, target):
        """A path, not yet made, in a temporary folder beside target: the
        folder made there replaces target on commit."""
        self._folder_for(target)
        scratch = _named(tempfile.mkdtemp, target, PREFIX)
        path = os.path.join(scratch, os.path.basename(os.path.normpath(target)))
        self._staged.append((path, target, scratch))
        return path

    def remove(self, target):
        """Removes target on commit, with the rest; a rollback keeps it."""
        self._staged.append((None, target, None))

    def paths(self):
        return [staged for staged, _, _ in self._staged if staged]

    def removed(self):
        return [target for staged, target, _ in self._staged if staged is None]

    def commit(self):
        """Moves every staged output onto its target. Each target that
        existed is kept aside until all are in place, and put back if one
        cannot be."""
        try:
            for staged, target, _ in self._staged:
                backup = None
                if os.path.lexists(target):
                    aside = tempfile.mkdtemp(dir=os.path.dirname(os.path.abspath(target)), prefix=PREFIX)
                    self._asides.append(aside)
                    backup = os.path.join(aside, "old")
                    if os.path.isdir(target) and not os.path.islink(target):
                        os.rename(target, backup)
                    else:
                        # A link keeps the target in place until the rename
                        # replaces it in one step.
                        os.link(target, backup, follow_symlinks=False)
                if staged is None:
                    # A removal: the link aside is all that is left of it.
                    if backup:
                        self._committed.append((target, backup))
                        if os.path.lexists(target):
                            os.unlink(target)
                    continue
                self._committed.append((target, backup))
                if not os.path.exists(staged):
                    os.makedirs(staged)
                os.replace(staged, target)
        except BaseException:
            self._undo_commit()
            self.rollback()
            raise
        for aside in self._asides:
            with contextlib.suppress(OSError):
                _remove(aside)
        for _, _, scratch in self._staged:
            if scratch:
                shutil.rmtree(scratch, ignore_errors=True)
        self._staged, self._made, self._committed, self._asides = [], [], [], []

    def _undo_commit(self):
        for target, backup in reversed(self._committed):
            if backup is None:
                _remove(target)
            elif os.path.isdir(backup) and not os.path.islink(backup):
                _remove(target)
                os.rename(backup, target)
            else:
                os.replace(backup, target)
        for aside in self._asides:
            _remove(aside)
        self._committed, self._asides = [], []

    def rollback(self):
        """Removes whatever was staged, and the folders made for it."""
        for staged, _, scratch in reversed(self._staged):
            if staged or scratch:
                _remove(scratch or staged)
        for folder in reversed(self._made):
            try:
                os.rmdir(folder)
            except OSError:
                pass
        self._staged, self._made = [], []


def _remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        remove_tree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def remove_tree(path):
    """rmtree that also clears what xorriso extracted read-only."""
    def writable(function, failed, _):
        os.chmod(os.path.dirname(failed), 0o700)
        if os.path.isdir(failed):
            os.chmod(failed, 0o700)
        function(failed)
    shutil.rmtree(path, onerror=writable)


class Busy(Exception):
    """Another run holds the lock."""


@contextlib.contextmanager
def lock_beside(folder):
    """Holds an exclusive lock on .NAME.kit-lock in folder's parent (never
    in folder, whose every file would reach the disc) for the block; Busy if
    another process holds it. The file is removed by whoever holds the lock,
    so one that was removed under a waiter is taken again, not trusted."""
    import fcntl
    folder = os.path.abspath(folder)
    path = os.path.join(os.path.dirname(folder), f".{os.path.basename(folder)}.kit-lock")
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise Busy(path) from None
        try:
            current = os.stat(path).st_ino == os.fstat(fd).st_ino
        except FileNotFoundError:
            current = False
        if current:
            break
        os.close(fd)
    try:
        yield path
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(fd)
