"""The report's screenshots: each PNG a box was shown in is copied once into
the report's shots/, under a name of the report's own, with its size read
from its header so the page lays it out at that size."""
import os
import re
import struct

SHOTS = "shots"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class Shots:
    """Copies screenshots into a report being laid out in folder."""

    def __init__(self, folder):
        self.folder = os.path.join(folder, SHOTS)
        self.copied = {}    # source's real path -> (relative path, width, height)

    def add(self, path):
        """(relative path, width, height) of the copy, or (None, why not)."""
        source = os.path.realpath(path)
        if source in self.copied:
            return self.copied[source]
        try:
            with open(source, "rb") as image:
                data = image.read()
        except FileNotFoundError:
            return None, "screenshot not found"
        except OSError as error:
            return None, f"screenshot unreadable ({error.strerror or error})"
        size = png_size(data)
        if size is None:
            return None, "screenshot is not a PNG"
        os.makedirs(self.folder, exist_ok=True)
        # A distribution's file names may hold anything; the page's links
        # hold only these characters.
        stem = re.sub(r"[^A-Za-z0-9_-]+", "-", os.path.splitext(os.path.basename(source))[0]).strip("-")
        name = f"{len(self.copied) + 1:03d}-{stem[:48] or 'box'}.png"
        with open(os.path.join(self.folder, name), "wb") as copy:
            copy.write(data)
        self.copied[source] = (f"{SHOTS}/{name}", *size)
        return self.copied[source]


def png_size(data):
    """(width, height) from a PNG's header, or None for anything else."""
    if len(data) < 24 or not data.startswith(PNG_SIGNATURE) or data[12:16] != b"IHDR":
        return None
    width, height = struct.unpack(">II", data[16:24])
    return (width, height) if width and height else None
