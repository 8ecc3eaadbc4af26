"""The kit's files as the disc will carry them: links that lead out of the
kit or loop (the image follows links, so the disc would carry whatever they
lead to), and names that the disc changes or that Windows cannot hold or
tell apart. Findings only; check_kit decides what they mean for a check."""
import os

# What the image's Joliet names cannot hold, each character put as "_":
# these, control characters, and characters beyond U+FFFF (Joliet is UCS-2).
JOLIET_REPLACED = set(':*?\\;') | {chr(c) for c in range(32)}
JOLIET_LAST = 0xFFFF
# What Windows refuses in a name.
WINDOWS_REFUSED = set('<>|":*?\\/') | {chr(c) for c in range(32)}
# Names Windows keeps for its devices, whatever follows the first dot.
DEVICE_NAMES = {"con", "prn", "aux", "nul", *(f"com{n}" for n in range(1, 10)), *(f"lpt{n}" for n in range(1, 10))}


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


def names(kit, taken=()):
    """(path, message) for each name below kit that the disc changes or that
    Windows cannot hold, and each pair that differs only in case; taken
    holds the lowered paths whose clashes are told elsewhere."""
    found = []
    for parent, folders, files in os.walk(kit):
        folders.sort()
        here = os.path.relpath(parent, kit)
        prefix = "" if here == "." else here.replace(os.sep, "\\") + "\\"
        seen = {}
        for name in sorted(folders + files):
            shown = prefix + name
            changed = on_disc(name)
            refused = windows_refuses(name)
            if changed != name:
                found.append((shown, f"the disc changes the name: it becomes {changed!r}"))
            elif refused:
                found.append((shown, f"{refused}: the disc carries it, Windows cannot open it"))
            other = seen.setdefault(changed.lower(), shown)
            if other != shown and (prefix + name).lower() not in taken:
                found.append((shown, f"Windows takes {other} and {shown} for one name on the disc: it "
                              "finds only one of them"))
    return found


def links(kit, within=None):
    """(path, message) for each link below kit that leads outside within
    (default: kit), to nothing, or into a loop."""
    root = os.path.realpath(within or kit)
    found = []
    for parent, folders, files in os.walk(kit):
        for name in sorted(folders + files):
            path = os.path.join(parent, name)
            if not os.path.islink(path):
                continue
            shown = os.path.relpath(path, kit).replace(os.sep, "\\")
            target = os.readlink(path)
            try:
                real = os.path.realpath(path, strict=True)
            except OSError as error:
                found.append((shown, f"a link to {target} that cannot be followed ({error.strerror}): "
                              "the disc cannot carry it"))
                continue
            if not _inside(real, root):
                found.append((shown, f"a link to {real}, outside the kit: the disc would carry what it "
                              "leads to; copy what belongs on the disc into the kit instead"))
            elif os.path.isdir(real) and _inside(os.path.realpath(parent), real):
                found.append((shown, f"a link to {target}, a folder that holds the link: the disc would "
                              "carry that folder again inside itself"))
    return found


def _inside(path, folder):
    return os.path.commonpath([path, folder]) == folder
