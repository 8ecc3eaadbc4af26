#!/usr/bin/env python3
"""Checks the built Windows program: a 32-bit GUI PE that loads from Windows 95
to 11, imports only what it calls, carries no manifest and fits in 5 KB.

Usage: check_pe.py path/to/launcher.exe   (exit 0 when every property holds)
"""
import struct
import sys

MAX_SIZE = 5120
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
OPTIONAL_HEADER_PE32 = 0x10B
RT_MANIFEST = 24

# DLL -> the functions the program calls from it; nothing more, nothing less.
EXPECTED_IMPORTS = {
    "ADVAPI32.DLL": {"RegOpenKeyA", "RegQueryValueExA", "RegCloseKey"},
    "KERNEL32.DLL": {"GetCommandLineA", "GetVersionExA", "IsDBCSLeadByte", "ExitProcess",
                     "GetVersion", "GetModuleHandleA", "GetProcAddress", "GetSystemDirectoryA",
                     "LoadLibraryExA"},
    "SHELL32.DLL":  {"ShellExecuteA"},
    "USER32.DLL":   {"MessageBoxA"},
}
# Looked up at run time: Windows 95, NT 4 and XP RTM lack them, and would
# refuse to load a program that imports them.
FORBIDDEN_IMPORTS = {"SetDefaultDllDirectories", "SetDllDirectoryA"}


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size, _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        self.os_version = struct.unpack_from("<HH", data, opt + 40)
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        directories = struct.unpack_from("<I", data, opt + 92)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(directories)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rsize), raw))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x lies in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        found = {}
        rva = self.directories[1][0] if len(self.directories) > 1 else 0
        while rva:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            functions = found.setdefault(self.cstring(name).upper(), set())
            entry = self.offset(lookup or thunks)
            while True:
                value = struct.unpack_from("<I", self.data, entry)[0]
                if value == 0:
                    break
                functions.add("#%d" % (value & 0xFFFF) if value & 0x80000000 else self.cstring(value + 2))
                entry += 4
            rva += 20
        return found

    def resource_types(self):
        rva, size = self.directories[2] if len(self.directories) > 2 else (0, 0)
        if not rva or not size:
            return []
        base = self.offset(rva)
        named, ids = struct.unpack_from("<HH", self.data, base + 12)
        return [struct.unpack_from("<I", self.data, base + 16 + 8 * i)[0] for i in range(named + ids)]


def check(path):
    with open(path, "rb") as f:
        data = f.read()
    image = Image(data)
    failures = []

    def expect(what, actual, expected):
        if actual != expected:
            failures.append("%s: got %s, expected %s" % (what, actual, expected))

    expect("machine", hex(image.machine), hex(IMAGE_FILE_MACHINE_I386))
    expect("optional header", hex(image.magic), hex(OPTIONAL_HEADER_PE32))
    expect("subsystem", image.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)
    expect("subsystem version", "%d.%d" % image.subsystem_version, "4.0")
    expect("OS version", "%d.%d" % image.os_version, "4.0")
    expect("manifest resource", RT_MANIFEST in image.resource_types(), False)
    if len(data) > MAX_SIZE:
        failures.append("size: got %d bytes, expected at most %d" % (len(data), MAX_SIZE))
    imports = image.imports()
    expect("DLLs imported", sorted(imports), sorted(EXPECTED_IMPORTS))
    for dll in sorted(set(imports) | set(EXPECTED_IMPORTS)):
        expect("functions from " + dll, sorted(imports.get(dll, ())), sorted(EXPECTED_IMPORTS.get(dll, ())))
    expect("functions that must be looked up, not imported",
           sorted(FORBIDDEN_IMPORTS & set().union(*imports.values())), [])

    for failure in failures:
        print("FAIL %s: %s" % (path, failure))
    print("%s: %d bytes; imports %s" % (path, len(data), "; ".join(
        "%s: %s" % (dll, ", ".join(sorted(fns))) for dll, fns in sorted(imports.items()))))
    return not failures


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip())
        return 2
    try:
        return 0 if check(argv[1]) else 1
    except (OSError, ValueError, struct.error) as error:
        print("FAIL %s: %s (build it with: cmake --preset windows && cmake --build --preset windows)"
              % (argv[1], error))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
