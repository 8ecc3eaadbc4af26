"""`kit new`: a distribution folder to fill in: the built launcher at the
top, the six installer folders, and in each a note saying what the launcher
expects there. It only ever adds: whatever is already in the folder stays
as it is, so running it again on a kit being filled in is harmless."""
import contextlib
import filecmp
import os
import shutil

from kitlib import errors, paths
from kitlib.model import loader, windows
from kitlib.model.names import launcher_name_refusal
from kitlib.outputs import staging

NOTE = "README.txt"


class NewError(errors.Failure):
    pass


def note_text(row):
    """What the note in a row's folder says, from the model of Windows."""
    folder, name = row.path.rsplit("\\", 1)
    bits = "64-bit (x64)" if row.machines == ("x64",) else "32-bit (i386)"
    (major, minor), oldest = loader.subsystem_ceiling(row.served)
    highest = f"{major}.x" if minor == loader.ANY_MINOR else f"{major}.{minor}"
    refuses = "refuse" if len(oldest) > 1 else "refuses"
    lines = [
        f"{folder}",
        "",
        f"Serves: {row.releases}.",
        f"The launcher starts: {name} (the path {row.path}, exactly this name).",
        f"It must be: a {bits} Windows GUI program, linked for subsystem version {highest} at most",
        f"  ({windows.listed(oldest)} {refuses} to load a program linked for a newer Windows).",
        "",
        "Put the installer here under that name; tools/kit check tells whether it fits.",
        "This note may stay: the launcher starts only the file named above.",
    ]
    # Windows Notepad before 10 shows a file without CR as one long line.
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def _existing(parent, name):
    """The entry of parent that Windows would take for name: the exact one,
    else one that differs only in case."""
    try:
        names = os.listdir(parent)
    except FileNotFoundError:
        return None
    if name in names:
        return name
    same = sorted(entry for entry in names if entry.lower() == name.lower())
    return same[0] if same else None


def _place_file(path, write):
    """Writes a new file at path through write(file object), never over an
    existing one, even one that appears meanwhile: the link fails instead."""
    with staging.beside(path, prefix=".kit-new.", replace=False,
                        mode=0o755 if path.lower().endswith(".exe") else 0o644) as partial:
        with open(partial, "wb") as f:
            write(f)


def new(kit, name="launcher.exe", launcher=paths.LAUNCHER):
    """Lays out kit; returns the lines to print: what was made, what kept."""
    why = launcher_name_refusal(name)
    if why:
        raise NewError(why)
    if not os.path.isfile(launcher):
        raise NewError(f"{os.path.relpath(launcher, paths.ROOT)} is not built: run tools/build.sh")
    if os.path.exists(kit) and not os.path.isdir(kit):
        raise NewError(f"{kit} exists and is not a folder")
    created = []   # what this run added, taken back if it stops half way
    try:
        return _lay_out(kit, name, launcher, created)
    except BaseException:
        for path in reversed(created):
            with contextlib.suppress(OSError):
                os.rmdir(path) if os.path.isdir(path) else os.unlink(path)
        raise


def _lay_out(kit, name, launcher, created):
    made, kept = [], []
    missing = kit
    while not os.path.lexists(missing):
        created.insert(0, missing)
        missing = os.path.dirname(os.path.abspath(missing))
    os.makedirs(kit, exist_ok=True)

    top = _existing(kit, name)
    if top is None:
        with open(launcher, "rb") as source:
            _place_file(os.path.join(kit, name), lambda f: shutil.copyfileobj(source, f))
        created.append(os.path.join(kit, name))
        made.append(f"{name} (the launcher, from {os.path.relpath(launcher, paths.ROOT)})")
    elif not os.path.isfile(os.path.join(kit, top)):
        kept.append(f"{top}: not a file, left as it is")
    elif not filecmp.cmp(os.path.join(kit, top), launcher, shallow=False):
        kept.append(f"{top}: it differs from the built launcher (branded or signed?), left as it is")
    others = sorted(entry for entry in os.listdir(kit) if entry.lower().endswith(".exe")
                    and entry != (top or name) and os.path.isfile(os.path.join(kit, entry)))
    if others:
        kept.append(f"{', '.join(others)}: more programs at the top; check and image then need --program")

    for row in windows.ROWS:
        here, shown = kit, []
        parts = row.path.split("\\")[:-1]
        for part in parts:
            found = _existing(here, part)
            if found is None:
                os.mkdir(os.path.join(here, part))
                created.append(os.path.join(here, part))
                made.append("\\".join(shown + [part]) + "\\")
                found = part
            elif found != part:
                kept.append("\\".join(shown + [found]) + f": spelt differently from {part}; "
                            "check says whether Windows finds it")
            elif not os.path.isdir(os.path.join(here, found)):
                raise NewError(f"{os.path.join(here, found)} is a file where the folder {part} belongs")
            shown.append(found)
            here = os.path.join(here, found)
        where = "\\".join(shown + [NOTE])
        note = os.path.join(here, NOTE)
        text = note_text(row)
        if not os.path.lexists(note):
            _place_file(note, lambda f: f.write(text))
            created.append(note)
            made.append(where)
        elif not _same(note, text):
            kept.append(f"{where}: it differs from the note this tool writes, left as it is")
    return made, kept


def _same(path, data):
    try:
        with open(path, "rb") as f:
            return f.read() == data
    except OSError:
        return False
