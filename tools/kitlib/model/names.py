"""The names a kit may hold: what Windows refuses in a name, what the disc's
Joliet tree changes, the disc's label, the launcher's own name and the
names AutoRun starts reliably; and whether a path lies inside a folder, the
rule behind every "not inside the kit" refusal."""
import os
import re

# What the image's Joliet names cannot hold, each character put as "_":
# these, control characters, and characters beyond U+FFFF (Joliet is UCS-2).
JOLIET_REPLACED = set(':*?\\;') | {chr(c) for c in range(32)}
JOLIET_LAST = 0xFFFF
# Longer Joliet names are cut short, and the launcher would miss the file.
JOLIET_NAME_MAX = 64
# What Windows refuses in a name.
WINDOWS_REFUSED = set('<>|":*?\\/') | {chr(c) for c in range(32)}
# Names Windows keeps for its devices, whatever follows the first dot.
DEVICE_NAMES = {"con", "prn", "aux", "nul", *(f"com{n}" for n in range(1, 10)), *(f"lpt{n}" for n in range(1, 10))}
# The volume label Windows shows is the Joliet one, which holds 16
# characters; the ISO 9660 one holds only these.
LABEL = re.compile(r"[A-Z0-9_]{1,16}")
# AutoRun reads open= and icon= as a command line and a file name, in the
# system code page: a plain name is the one that works on every Windows.
AUTORUN_SAFE_NAME = re.compile(r"[A-Za-z0-9_.\-]+")


def on_disc(name):
    """The name as the image's Joliet tree holds it."""
    return "".join("_" if c in JOLIET_REPLACED or ord(c) > JOLIET_LAST else c for c in name)


def windows_refuses(name):
    """Why Windows cannot hold name as a file's name, or None."""
    bad = sorted({c for c in name if c in WINDOWS_REFUSED})
    if bad:
        return "Windows refuses " + " ".join(repr(c) for c in bad) + " in a name"
    if name.endswith((".", " ")):
        return "Windows drops a dot or space at the end of a name"
    if name.split(".")[0].lower() in DEVICE_NAMES:
        return f"{name.split('.')[0]} is a device's name on Windows"
    return None


def label_refusal(label):
    """Why label cannot be a disc's name (the rest of a line that starts
    with how the label was given), or None."""
    if LABEL.fullmatch(label):
        return None
    return (f"{label!r} cannot be a disc's name: 1 to 16 characters A-Z, 0-9 and _ "
            "(ISO 9660 holds no others, and Windows shows only 16)")


def launcher_name_refusal(name):
    """Why name cannot be the launcher's file name, or None."""
    if not name or "/" in name or "\\" in name or name in (".", ".."):
        return "give the launcher's file name alone, e.g. setup.exe"
    if not name.lower().endswith(".exe"):
        return f"{name!r} does not end in .exe: Windows would not start it as a program"
    refused = windows_refuses(name)
    if refused:
        return f"{name!r}: {refused}"
    if on_disc(name) != name:
        return f"{name!r}: the disc would name it {on_disc(name)!r}"
    return None


def folder_refusal(folder):
    """Why folder (a relative path, parts separated by /) cannot be one a
    kit is run from, or None."""
    parts = folder.replace("\\", "/").split("/")
    if not folder or any(part in ("", ".", "..") for part in parts):
        return f"{folder!r}: give a folder's name, or names separated by /, e.g. Downloads/dist"
    refused = next(filter(None, map(windows_refuses, parts)), None)
    return f"{folder!r}: {refused}" if refused else None


def inside(path, folder):
    """Whether path, links followed, is folder or lies below it."""
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder
