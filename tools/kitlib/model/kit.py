"""The kit's layout as Windows sees it: the launcher at its top, found by
name or as the one program there; each installer path looked up as Windows
looks a name up (exactly, or differing only in case) and as a misspelling
would look; and what tells a build of this launcher from any other program."""
import difflib
import errno
import os
import stat

from kitlib import errors
from kitlib.model.windows import ROWS

# Names closer than this (difflib's ratio, case ignored) look alike enough to
# be a misspelling: win98 / win98SE, Vistax64 / Vista64.
SIMILAR = 0.8
# Left in every sample kit the tools build, so that rebuilding one never
# wipes a folder they did not make; never carried on a disc.
SAMPLE_MARKER = ".sample-kit"


class NoLauncher(errors.Failure):
    """The kit has no launcher to speak of: path is where the finding goes
    ("." for the kit's top), str() says why."""

    def __init__(self, path, message):
        super().__init__(message)
        self.path = path


def find_launcher(kit, program=None):
    """The launcher's file name at kit's top: program, or the one .exe
    there; NoLauncher when there is none, or several."""
    if program:
        if "/" in program or "\\" in program:
            # The launcher looks for Autoinst next to itself.
            raise NoLauncher(program.replace("/", "\\"), "the launcher must sit at the top of the "
                             "distribution, next to Autoinst: give its file name alone")
        return program
    programs = sorted(name for name in os.listdir(kit)
                      if name.lower().endswith(".exe") and os.path.isfile(os.path.join(kit, name)))
    if len(programs) == 1:
        return programs[0]
    if not programs:
        raise NoLauncher(".", "no launcher: no .exe at the top of the distribution")
    raise NoLauncher(".", "several programs at the top (%s): name the launcher with --program"
                     % ", ".join(programs))


def unnamed_paths(path, piece=1 << 20):
    """The installer paths that the program at path does not name. Every
    build of the launcher names all six as plain strings; another program
    does not. Read in pieces: an installer may be gigabytes."""
    missing = {row.path.encode("ascii") + b"\0": row.path for row in ROWS}
    overlap = max(map(len, missing)) - 1
    with open(path, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        tail = b""
        while missing:
            data = f.read(piece)
            if not data:
                break
            data = tail + data
            for text in [text for text in missing if text in data]:
                del missing[text]
            tail = data[-overlap:]
    return [row.path for row in ROWS if row.path in missing.values()]


def is_launcher(path):
    """Whether the file at path is a build of this launcher (False when it
    cannot be read)."""
    try:
        return not unnamed_paths(path)
    except (OSError, ValueError):
        return False


def locate(kit, path):
    """Finds path under kit as Windows would, and as a misspelling would.
    Returns (found path, how, clashes): how is "exact", "case" (the names
    differ only in case) or "similar" (a folder or name that looks like the
    expected one); found is None when nothing fits; clashes lists the pairs
    of names on the way that differ only in case."""
    here = kit
    found = []
    how = "exact"
    clashes = []
    parts = path.split("\\")
    for depth, part in enumerate(parts):
        try:
            names = os.listdir(here)
        except OSError:
            return None, None, clashes
        name, kind = _match(part, names, _siblings(parts[:depth]))
        if name is None:
            return None, None, clashes
        prefix = "\\".join(found + [""])
        clashes += [(prefix + name, prefix + other) for other in sorted(names)
                    if other != name and other.lower() == name.lower()]
        if kind == "similar":
            how = "similar"
        elif kind == "case" and how == "exact":
            how = "case"
        found.append(name)
        here = os.path.join(here, name)
        if depth < len(parts) - 1 and not os.path.isdir(here):
            return None, None, clashes
    return "\\".join(found), how, clashes


def installer_file(kit, path):
    """The host path of the file Windows would open for the launcher's
    path in kit, or None (missing, or only a look-alike name)."""
    found, how, _ = locate(kit, path)
    if found is None or how == "similar":
        return None
    return os.path.join(kit, *found.split("\\"))


def _match(part, names, siblings):
    if part in names:
        return part, "exact"
    same = sorted(name for name in names if name.lower() == part.lower())
    if same:
        return same[0], "case"
    # A folder that another row expects is that row's, not a misspelling.
    taken = {sibling.lower() for sibling in siblings}
    candidates = [name for name in names if name.lower() not in taken]
    close = [name for name in candidates if _normal(name) == _normal(part)]
    if not close:
        close = difflib.get_close_matches(part.lower(), [name.lower() for name in candidates], 1, SIMILAR)
        close = [name for name in candidates if name.lower() in close]
    return (sorted(close)[0], "similar") if close else (None, None)


def _normal(name):
    return "".join(c for c in name.lower() if c.isalnum())


def _siblings(parent_parts):
    """The names the table expects next to each other below parent_parts."""
    depth = len(parent_parts)
    return {row.path.split("\\")[depth] for row in ROWS
            if row.path.split("\\")[:depth] == parent_parts and len(row.path.split("\\")) > depth}
