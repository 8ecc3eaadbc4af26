"""A host path as the Windows programs of a session see it: below Z:, the
host's root, or on D:, the CD-ROM drive a session may show a folder as."""
import os

CD_DRIVE = "D:"


def to_windows(path):
    """The path as a Windows program in the prefix sees it (Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def windows_path(path, cdrom):
    """The path as the programs of a session see it: on the CD-ROM drive
    when it lies in the session's CD-ROM folder (None: none), else below Z:."""
    path = os.path.abspath(path)
    if cdrom and (path == cdrom or path.startswith(cdrom + os.sep)):
        inside = os.path.relpath(path, cdrom)
        return CD_DRIVE + "\\" + ("" if inside == "." else inside.replace("/", "\\"))
    return to_windows(path)
