"""Reads the facts the tools need from a Windows program's PE headers, with
pefile, without running it.

    info = headers.read(path)    # raises NotAProgram with a clear message
    info.machine                 # "i386", "x64", "arm64", or a description
"""
import mmap
import os
import stat
import struct

import pefile

MACHINES = {
    0x014C: "i386",
    0x8664: "x64",
    0xAA64: "arm64",
    0x01C0: "arm",
    0x01C4: "arm (Thumb-2)",
    0x0200: "ia64",
}
SUBSYSTEMS = {
    1: "native",
    2: "gui",
    3: "console",
    9: "Windows CE",
    10: "EFI application",
}
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
IMAGE_FILE_DLL = 0x2000
DOS_HEADER_SIZE = 64
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
CLR_HEADER = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR"]
CLR_FLAGS_OFFSET = 16
CLR_IL_ONLY, CLR_32BIT_REQUIRED, CLR_32BIT_PREFERRED = 0x1, 0x2, 0x20000
WANTED_DIRECTORIES = [pefile.DIRECTORY_ENTRY[name] for name in (
    "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE")]


class NotAProgram(Exception):
    """The file is no Windows program, or a damaged one; str() says which."""


class PeInfo:
    """What one Windows program says about itself in its headers."""

    def __init__(self, path, size, pe):
        header = pe.OPTIONAL_HEADER
        self.path = path
        self.size = size
        self.machine = MACHINES.get(pe.FILE_HEADER.Machine, "machine type 0x%04X" % pe.FILE_HEADER.Machine)
        self.pe32_plus = header.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
        self.is_dll = bool(pe.FILE_HEADER.Characteristics & IMAGE_FILE_DLL)
        self.subsystem = SUBSYSTEMS.get(header.Subsystem, "subsystem %d" % header.Subsystem)
        self.subsystem_version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
        self.os_version = (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)
        self.sections = {}
        for section in pe.sections:
            name = section.Name.rstrip(b"\0").decode("ascii", "replace")
            self.sections[name] = self.sections.get(name, 0) + section.SizeOfRawData
        self.imports = {}
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", ()):
            functions = self.imports.setdefault(entry.dll.decode("ascii", "replace").upper(), set())
            for function in entry.imports:
                functions.add(function.name.decode("ascii", "replace") if function.name
                              else "#%d" % function.ordinal)
        resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
        self.resource_types = [entry.id if entry.id is not None else str(entry.name)
                               for entry in (resources.entries if resources else ())]
        self.has_manifest = RT_MANIFEST in self.resource_types
        security = header.DATA_DIRECTORY[SECURITY] if len(header.DATA_DIRECTORY) > SECURITY else None
        # The security directory holds a file offset, not an address: the
        # Authenticode signature sits after the image, outside every section.
        self.signature_size = security.Size if security and security.VirtualAddress else 0
        self.signed = self.signature_size > 0
        # A .NET program of pure IL marked i386 runs as a 64-bit process on a
        # 64-bit Windows unless it asks for 32 bits.
        clr = header.DATA_DIRECTORY[CLR_HEADER] if len(header.DATA_DIRECTORY) > CLR_HEADER else None
        flags = pe.get_dword_at_rva(clr.VirtualAddress + CLR_FLAGS_OFFSET) if clr and clr.VirtualAddress else None
        self.any_cpu = bool(flags is not None and flags & CLR_IL_ONLY and not self.pe32_plus
                            and not flags & (CLR_32BIT_REQUIRED | CLR_32BIT_PREFERRED))
        self.version_strings = {}
        for info in getattr(pe, "FileInfo", ()):
            for entry in info:
                for table in getattr(entry, "StringTable", ()):
                    for key, value in table.entries.items():
                        self.version_strings[_text(key)] = _text(value)

    def __repr__(self):
        return "<PeInfo %s %s %s %d.%d>" % (self.path, self.machine, self.subsystem, *self.subsystem_version)


def _text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


def read(path):
    """Reads the PE facts of the file at path; raises NotAProgram when it is a
    folder, not a Windows program, or a truncated or malformed one."""
    if os.path.isdir(path):
        raise NotAProgram("a folder, not a program")
    kind = _odd_kind(path)
    if kind:
        # Opening a FIFO waits for a writer, a device may never end: not read.
        raise NotAProgram(f"{kind}, not a file: nothing was read from it")
    try:
        with open(path, "rb") as f:
            if os.fstat(f.fileno()).st_size == 0:
                raise NotAProgram("an empty file, not a program")
            # Mapped, not read: an installer may be gigabytes of payload
            # behind a few kilobytes of headers.
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
                return _parse(path, data)
    except OSError as error:
        raise NotAProgram("cannot be read: %s" % (error.strerror or error)) from None


def _odd_kind(path):
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None   # said when it is opened
    for test, kind in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a device"),
                       (stat.S_ISBLK, "a device")):
        if test(mode):
            return kind
    return None


def _parse(path, data):
    _check_outline(data)
    try:
        pe = pefile.PE(data=data, fast_load=True)
        pe.parse_data_directories(directories=WANTED_DIRECTORIES)
        _check_complete(pe, len(data))
        return PeInfo(path, len(data), pe)
    except pefile.PEFormatError as error:
        raise NotAProgram("not a valid Windows program (%s)" % reason(error)) from None
    except (struct.error, IndexError, ValueError, UnicodeError) as error:
        # pefile trusts offsets and sizes read from the file; damaged ones
        # surface as these rather than as its own error.
        raise NotAProgram("a malformed Windows program (%s)" % reason(error)) from None


def _check_outline(data):
    """The checks that give a plainer message than pefile would."""
    if data[:2] != b"MZ":
        raise NotAProgram("not a Windows program (it does not start with the MZ signature)")
    if len(data) < DOS_HEADER_SIZE:
        raise NotAProgram("truncated: %d bytes, shorter than the %d-byte MS-DOS header"
                          % (len(data), DOS_HEADER_SIZE))
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    signature = data[pe_offset:pe_offset + 4]
    if len(signature) < 4:
        raise NotAProgram("truncated: %d bytes, ends before its PE header at offset %d"
                          % (len(data), pe_offset))
    if signature != b"PE\0\0":
        kind = signature[:2]
        if kind in (b"NE", b"LE", b"LX"):
            raise NotAProgram("a 16-bit Windows or OS/2 program (%s), not a Win32 one" % kind.decode())
        raise NotAProgram("an MS-DOS program, not a Windows one (no PE signature)")
    if len(data) < pe_offset + 24:
        raise NotAProgram("truncated: %d bytes, ends inside its PE file header" % len(data))
    sections, _, _, _, optional_size = struct.unpack_from("<HIIIH", data, pe_offset + 6)
    # What the loader reads of the headers: up to the section table's end.
    # SizeOfHeaders is that size rounded up to the file alignment, and the
    # loader maps the header page as it maps any page past a file's end,
    # padded with zeros: a file may end before it (as UPX's output does).
    headers = pe_offset + 24 + optional_size + 40 * sections
    if len(data) < headers:
        raise NotAProgram("truncated: %d bytes, ends inside its %d bytes of headers" % (len(data), headers))


def _check_complete(pe, size):
    """A file cut short still parses when the cut falls inside a section; the
    section table and the signature's place say how long it must be."""
    needed = max((section.PointerToRawData + section.SizeOfRawData for section in pe.sections
                  if section.SizeOfRawData), default=0)
    header = pe.OPTIONAL_HEADER
    if len(header.DATA_DIRECTORY) > SECURITY and header.DATA_DIRECTORY[SECURITY].VirtualAddress:
        security = header.DATA_DIRECTORY[SECURITY]
        needed = max(needed, security.VirtualAddress + security.Size)
    if size < needed:
        raise NotAProgram("truncated: %d bytes, its headers describe %d" % (size, needed))
    if not pe.sections:
        raise NotAProgram("a malformed Windows program (no sections)")


def reason(error):
    text = str(error).strip().strip("'\"")
    return text[:1].lower() + text[1:] if text else type(error).__name__
