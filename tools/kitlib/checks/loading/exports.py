"""What Windows' own DLLs export, per build, and the first Windows of
functions older Windows lack, from the compact lists in
data/windows-exports.txt.gz (made by tools/dev/windows_exports.py from the
YY-Thunks project's export lists and thunks, MIT licence): read once, each
DLL's line parsed only when a check asks for it.
"""
import functools
import gzip
import os
import zlib

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "windows-exports.txt.gz")


class DataError(Exception):
    """The data file is missing or damaged; str() says which."""


class Exports:
    """One DLL's exports in one build: names, and the ordinals that exist."""

    def __init__(self, names, ordinals):
        self.names = names
        self.ordinals = ordinals      # ((first, last), ...)

    def has(self, function):
        if isinstance(function, int):
            return any(first <= function <= last for first, last in self.ordinals)
        return function in self.names


class ExportData:
    def __init__(self, path=DATA):
        try:
            with gzip.open(path, "rt", encoding="utf-8") as f:
                text = f.read()
        except (OSError, EOFError, UnicodeError, zlib.error) as error:
            raise DataError("cannot read %s: %s" % (path, error)) from None
        self.builds = {}
        self._lines = {}
        self._first = {}
        for line in text.split("\n"):
            if not line or line.startswith("#"):
                continue
            arch, _, rest = line.partition(" ")
            if arch == "first":
                dll, function, first = (rest.split(" ", 2) + ["", ""])[:3]
                self._first[dll, function] = first
                continue
            if arch == "builds":
                arch, _, builds = rest.partition(" ")
                self.builds[arch] = builds.split()
                continue
            name, _, rest = rest.partition(" ")
            self._lines[arch, name] = rest
        if set(self.builds) != {"x86", "x64"}:
            raise DataError("%s is damaged: it does not name its builds" % path)

    def exports(self, arch, build, dll):
        """The Exports of dll (lower case) in that build, or None when the
        build has no such DLL."""
        table = self._dll(arch, dll)
        index = self.builds[arch].index(build) if build in self.builds.get(arch, ()) else None
        return table.get(index) if table and index is not None else None

    @functools.lru_cache(maxsize=None)
    def _dll(self, arch, dll):
        line = self._lines.get((arch, dll))
        if line is None:
            return None
        fields = line.split(" ")
        mask = int(fields[0], 16)
        present = [i for i in range(len(self.builds[arch])) if mask >> i & 1]
        names = {i: set() for i in present}
        for field in fields[2:]:
            name, _, bits = field.partition("|")
            for i in present if not bits else [i for i in present if int(bits, 16) >> i & 1]:
                names[i].add(name)
        ordinals = fields[1].split(";") if fields[1] != "-" else [""] * len(present)
        return {i: Exports(names[i], _ranges(spans)) for i, spans in zip(present, ordinals)}

    def first_windows(self, dll, function):
        """The first Windows of a function that older ones lack ("5.1",
        "5.1 SP2", "6.0"), or None where the data does not name it."""
        return self._first.get((dll, function))

    @functools.lru_cache(maxsize=None)
    def apiset_hosts(self, arch):
        """Windows 10's API set schema: {set DLL: host DLL}."""
        line = self._lines.get((arch, "@apiset"), "")
        return dict(item.split("=", 1) for item in line.split(" ") if "=" in item)

    def ordinal_name(self, arch, dll, ordinal):
        """The function's name behind an ordinal of dll, undecorated, or None."""
        for item in self._lines.get((arch, "#" + dll), "").split(" "):
            number, _, name = item.partition("=")
            if number == str(ordinal):
                return name.lstrip("_").split("@")[0] if name.startswith("_") else name
        return None


def _ranges(text):
    spans = []
    for part in filter(None, text.split(",")):
        first, _, last = part.partition("-")
        spans.append((int(first), int(last or first)))
    return tuple(spans)


@functools.lru_cache(maxsize=None)
def load(path=DATA):
    return ExportData(path)
