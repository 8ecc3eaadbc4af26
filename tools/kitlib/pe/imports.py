"""Reads what decides whether Windows' loader can load a program or DLL: its
imports (by name or ordinal, delay-loaded apart), its exports, the manifest
it carries and the .NET runtime it asks for; with pefile, without running it.

    module = imports.read(path)   # raises headers.NotAProgram with a clear message
"""
import mmap
import os
import re
import struct

import pefile
from kitlib.pe import headers

IMPORT = [pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]]
OTHERS = [pefile.DIRECTORY_ENTRY[name] for name in (
    "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", "IMAGE_DIRECTORY_ENTRY_EXPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE")]
# pefile's warnings that mean the loader would meet a broken table too.
DAMAGED = "a Windows program with a damaged import table (%s)"
DAMAGE = ("import directory", "import table", "invalid entries", "invalid names")
CLR_METADATA_OFFSET = 8
METADATA_SIGNATURE = 0x424A5342
# A custom attribute's blob: prolog 1, then the string's length and text.
TARGET_FRAMEWORK = re.compile(rb"\x01\x00.\.NETFramework,Version=v(\d+(?:\.\d+)*)", re.S)
# The manifest Windows reads of a program (CreateProcess) or of an assembly
# shipped as a DLL: resource 1 of type RT_MANIFEST.
MANIFEST_ID = 1
MANIFEST_LIMIT = 1 << 20


class Module:
    """One PE file as the loader sees it. Functions are names, or ints for
    imports by ordinal."""

    def __init__(self, path, info):
        self.path = path
        self.name = os.path.basename(path)
        self.info = info             # headers.PeInfo
        self.machine = info.machine
        self.imports = []            # [(DLL as written, [function, ...])]
        self.delayed = []            # the same, for delay-loaded DLLs
        self.names = set()           # exported names
        self.ordinals = set()        # exported ordinals
        self.forwards = {}           # exported name or ordinal -> (DLL, function)
        self.runtime = None          # .NET: the metadata's version string, e.g. "v4.0.30319"
        self.target = None           # .NET: the target framework, e.g. "4.5"
        self.clr = False
        self.manifest = None         # the text of its manifest resource 1, bytes, or None

    def exports(self, function):
        return function in (self.ordinals if isinstance(function, int) else self.names)


def read(path):
    """The Module at path; raises headers.NotAProgram when it is no Windows
    program, a truncated one, or one whose import table is damaged."""
    info = headers.read(path)   # its plain messages for what is no program at all
    try:
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            pe = pefile.PE(data=data, fast_load=True)
            pe.parse_data_directories(directories=IMPORT)
            damage = [w for w in pe.get_warnings() if any(word in w.lower() for word in DAMAGE)]
            if damage:
                raise headers.NotAProgram(DAMAGED % damage[0])
            module = Module(path, info)
            module.imports = _imports(getattr(pe, "DIRECTORY_ENTRY_IMPORT", ()))
            # The loader reads none of these when it loads the program: a
            # damaged one here costs at most what it would say.
            pe.parse_data_directories(directories=OTHERS)
            try:
                module.delayed = _imports(getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", ()))
            except headers.NotAProgram:
                module.delayed = []
            _exports(pe, module)
            _clr(pe, module)
            _manifest(pe, module)
            return module
    except OSError as error:
        raise headers.NotAProgram("cannot be read: %s" % (error.strerror or error)) from None
    except (pefile.PEFormatError, struct.error, IndexError, ValueError, UnicodeError, AttributeError) as error:
        raise headers.NotAProgram("a malformed Windows program (%s)" % headers.reason(error)) from None


def _imports(entries):
    imports = []
    for entry in entries:
        if entry.dll in (None, b"*invalid*") or not entry.dll:
            raise headers.NotAProgram(DAMAGED % "a DLL without a valid name")
        functions = []
        for symbol in entry.imports:
            if symbol.import_by_ordinal:
                functions.append(symbol.ordinal)
            elif symbol.name:
                functions.append(symbol.name.decode("ascii", "replace"))
            else:
                raise headers.NotAProgram(DAMAGED % ("a function of %s without a name"
                                                    % entry.dll.decode("ascii", "replace")))
        imports.append((entry.dll.decode("ascii", "replace"), functions))
    return imports


def _exports(pe, module):
    directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    for symbol in directory.symbols if directory else ():
        keys = [symbol.ordinal]
        if symbol.name:
            keys.append(symbol.name.decode("ascii", "replace"))
        module.ordinals.add(symbol.ordinal)
        module.names.update(keys[1:])
        if symbol.forwarder:
            dll, _, function = symbol.forwarder.decode("ascii", "replace").rpartition(".")
            target = int(function[1:]) if function.startswith("#") and function[1:].isdigit() else function
            for key in keys:
                module.forwards[key] = (dll + ".dll", target)


def _clr(pe, module):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if len(directory) <= headers.CLR_HEADER or not directory[headers.CLR_HEADER].VirtualAddress:
        return
    module.clr = True
    clr = directory[headers.CLR_HEADER].VirtualAddress
    try:
        rva, size = struct.unpack("<II", pe.get_data(clr + CLR_METADATA_OFFSET, 8))
        if not rva:
            return
        metadata = pe.get_data(rva, min(size, 1 << 24))
    except pefile.PEFormatError:
        return
    if len(metadata) >= 16 and struct.unpack_from("<I", metadata)[0] == METADATA_SIGNATURE:
        (length,) = struct.unpack_from("<I", metadata, 12)
        module.runtime = metadata[16:16 + min(length, 255)].split(b"\0")[0].decode("ascii", "replace")
    found = TARGET_FRAMEWORK.search(metadata)
    if found:
        module.target = found.group(1).decode("ascii")


def _manifest(pe, module):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in resources.entries if resources else ():
        if kind.id != headers.RT_MANIFEST or not hasattr(kind, "directory"):
            continue
        for name in kind.directory.entries:
            if name.id != MANIFEST_ID:
                continue
            for language in getattr(getattr(name, "directory", None), "entries", ()):
                data = getattr(language, "data", None)
                if data:
                    module.manifest = pe.get_data(data.struct.OffsetToData, min(data.struct.Size, MANIFEST_LIMIT))
                    return
