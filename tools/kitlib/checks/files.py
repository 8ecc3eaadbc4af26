"""The kit's files as the disc will carry them: links that lead out of the
kit or loop (the image follows links, so the disc would carry whatever they
lead to), and names that the disc changes or that Windows cannot hold or
tell apart. (path, message) pairs only; the check decides what they mean."""
import os

from kitlib.model.names import inside, on_disc, windows_refuses


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
            if not inside(real, root):
                found.append((shown, f"a link to {real}, outside the kit: the disc would carry what it "
                              "leads to; copy what belongs on the disc into the kit instead"))
            elif os.path.isdir(real) and inside(parent, real):
                found.append((shown, f"a link to {target}, a folder that holds the link: the disc would "
                              "carry that folder again inside itself"))
    return found

