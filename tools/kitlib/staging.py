"""Outputs written beside their targets and put in place together at the
end, or not at all: what lets `kit ship` stop at any step and leave the kit
and every earlier output exactly as they were."""
import os
import shutil
import tempfile

PREFIX = ".kit-ship."


class Staging:
    def __init__(self):
        self._staged = []      # (staged path, target, temporary folder or None)
        self._made = []        # folders made for targets, deepest last
        self._committed = []   # (target, backup or None), to undo a commit cut short

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
        folder = self._folder_for(target)
        fd, path = tempfile.mkstemp(dir=folder, prefix=PREFIX)
        os.close(fd)
        self._staged.append((path, target, None))
        if copy_of:
            shutil.copyfile(copy_of, path)
            shutil.copymode(copy_of, path)
        return path

    def folder(self, target):
        """A path, not yet made, in a temporary folder beside target: the
        folder made there replaces target on commit."""
        scratch = tempfile.mkdtemp(dir=self._folder_for(target), prefix=PREFIX)
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
                    backup = tempfile.mktemp(dir=os.path.dirname(os.path.abspath(target)), prefix=PREFIX)
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
        for target, backup in self._committed:
            if backup:
                _remove(backup)
        for _, _, scratch in self._staged:
            if scratch:
                shutil.rmtree(scratch, ignore_errors=True)
        self._staged, self._made, self._committed = [], [], []

    def _undo_commit(self):
        for target, backup in reversed(self._committed):
            if backup is None:
                _remove(target)
            elif os.path.isdir(backup) and not os.path.islink(backup):
                _remove(target)
                os.rename(backup, target)
            else:
                os.replace(backup, target)
        self._committed = []

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
