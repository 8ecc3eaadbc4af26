"""Small Windows programs for the tools' tests, built at test time with
mingw-w64 so that every header field comes from a real linker, and kits laid
out from them.

CMake passes the compilers it found, and a folder that keeps the programs
from one run to the next.
"""
import atexit
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from kitlib import interpreter

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Before any folder is made: this may start the test again under another
# Python, and the folder would be left behind.
interpreter.require("pefile")

COMPILERS = {
    "i686": os.environ.get("MINGW_I686_GCC", "i686-w64-mingw32-gcc"),
    "x86_64": os.environ.get("MINGW_X86_64_GCC", "x86_64-w64-mingw32-gcc"),
}
LAUNCHER_EXE = os.environ.get("LAUNCHER_EXE", os.path.join(ROOT, "build", "windows", "launcher.exe"))

SOURCES = {
    "gui": '#include <windows.h>\n'
           'int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s)\n'
           '{ (void)i; (void)p; (void)c; (void)s; return MessageBoxA(NULL, "sample", "sample", MB_OK); }\n',
    "console": 'int main(void) { return 0; }\n',
    "dll": '__declspec(dllexport) int sample(void) { return 1; }\n',
}

# Branding as a distribution maker would add it: an icon and version strings
# in any script.
VERSION_STRINGS = {
    "CompanyName": "Example Corp",
    "ProductName": "\u65e5\u672c\u8a9e\u306e\u30a4\u30f3\u30b9\u30c8\u30fc\u30e9",  # Japanese
    "FileVersion": "1.2.3.4",
}
VERSION_RC = (
    '#pragma code_page(65001)\n'
    '1 ICON "sample.ico"\n'
    '1 VERSIONINFO\nFILEVERSION 1,2,3,4\nBEGIN\n'
    ' BLOCK "StringFileInfo"\n BEGIN\n  BLOCK "041104B0"\n  BEGIN\n'
    + "".join('   VALUE "%s", "%s\\0"\n' % item for item in VERSION_STRINGS.items()) +
    '  END\n END\n'
    ' BLOCK "VarFileInfo"\n BEGIN\n  VALUE "Translation", 0x411, 1200\n END\nEND\n')
MANIFEST_RC = '1 24 "sample.manifest"\n'
MANIFEST = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>\n')

# CTest gives a folder in the build tree, so that a second run reuses what
# the first one built; alone, a test builds into a temporary folder.
_folder = os.environ.get("SAMPLES_DIR")
if _folder:
    os.makedirs(_folder, exist_ok=True)
else:
    _folder = tempfile.mkdtemp(prefix="tools-samples-")
    atexit.register(shutil.rmtree, _folder, True)
_built = {}


def _icon():
    """A 1x1 32-bit icon: the smallest a resource compiler accepts."""
    image = struct.pack("<IiiHHIIiiII", 40, 1, 2, 1, 32, 0, 0, 0, 0, 0, 0) + b"\0" * 4 + b"\0" * 4
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 1, 1, 0, 0, 1, 32, len(image), 22) + image


def _run(command, cwd):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode:
        raise RuntimeError("%s failed:\n%s%s" % (" ".join(command), result.stdout, result.stderr))


def build(arch="i686", kind="gui", version="4.0", resources=None, signed=False):
    """The path of a program built with these properties: arch i686 or
    x86_64, kind gui, console or dll, the subsystem version, resources None,
    "version" (icon and version strings) or "manifest"."""
    key = (arch, kind, version, resources, signed)
    if key not in _built:
        name = "sample.dll" if kind == "dll" else "sample.exe"
        compiler = COMPILERS[arch]
        command = [compiler, "-Os", "-s", "sample.c", "-o", name,
                   "-Wl,--subsystem,%s:%s" % ("console" if kind == "console" else "windows", version)]
        if kind == "dll":
            command.append("-shared")
        rc = {None: "", "version": VERSION_RC, "manifest": MANIFEST_RC}[resources]

        def make(work):
            with open(os.path.join(work, "sample.c"), "w") as f:
                f.write(SOURCES[kind])
            if rc:
                with open(os.path.join(work, "sample.ico"), "wb") as f:
                    f.write(_icon())
                with open(os.path.join(work, "sample.manifest"), "w") as f:
                    f.write(MANIFEST)
                with open(os.path.join(work, "sample.rc"), "w", encoding="utf-8") as f:
                    f.write(rc)
                windres = compiler[:-len("gcc")] + "windres"
                _run([windres, "-c", "65001", "sample.rc", "-O", "coff", "-o", "sample.res"], work)
                _run(command + ["sample.res"], work)
            else:
                _run(command, work)

        output = os.path.join(_cached("_".join(str(p) for p in key[:4] if p).replace(".", "_"),
                                      (command, SOURCES[kind], rc, MANIFEST), make), name)
        _built[key] = sign(output) if signed else output
    return _built[key]


def sign(path):
    """A copy of path with an Authenticode signature from a throw-away key."""
    keys = _cached("keys", (), lambda work: _run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=tools test",
         "-days", "2", "-keyout", "key.pem", "-out", "cert.pem"], work))
    with open(path, "rb") as f:
        digest = hashlib.sha1(f.read()).hexdigest()

    def make(work):
        _run(["osslsigncode", "sign", "-certs", os.path.join(keys, "cert.pem"), "-key",
              os.path.join(keys, "key.pem"), "-in", path, "-out", os.path.basename(path)], work)

    return os.path.join(_cached("signed", digest, make), os.path.basename(path))


def _cached(name, inputs, make):
    """A folder that make(folder) filled, kept under a name that changes
    with its inputs; parallel tests may race to make it, and the first one
    to finish wins."""
    final = os.path.join(_folder, "%s-%s" % (name, hashlib.sha1(repr(inputs).encode()).hexdigest()[:12]))
    if not os.path.isdir(final):
        work = tempfile.mkdtemp(dir=_folder, prefix=".work-")
        make(work)
        try:
            os.rename(work, final)
        except OSError:
            shutil.rmtree(work, True)
    return final


def patched(path, offset_of, value, fmt):
    """A copy of path with one header field rewritten; offset_of(data) says
    where. For the machine types no installed compiler produces."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    struct.pack_into(fmt, data, offset_of(data), value)

    def make(work):
        with open(os.path.join(work, os.path.basename(path)), "wb") as f:
            f.write(data)

    return os.path.join(_cached("patched", bytes(data), make), os.path.basename(path))


def dotnet(flags):
    """A copy of the i386 GUI sample with a .NET runtime header holding
    flags, in the slack of its .data section: what the checks read of a .NET
    program, without a .NET compiler."""
    import pefile  # after peinfo has settled the interpreter
    pe = pefile.PE(build())
    data = next(section for section in pe.sections if section.Name.rstrip(b"\0") == b".data")
    at = 64
    data.Misc_VirtualSize = data.SizeOfRawData
    # cb, runtime 2.5, no metadata, flags: the fields up to the ones read.
    pe.set_bytes_at_offset(data.PointerToRawData + at, struct.pack("<IHHIII", 72, 2, 5, 0, 0, flags))
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[14]
    directory.VirtualAddress, directory.Size = data.VirtualAddress + at, 72
    contents = pe.write()

    def make(work):
        with open(os.path.join(work, "sample.exe"), "wb") as f:
            f.write(contents)

    return os.path.join(_cached("dotnet", bytes(contents), make), "sample.exe")


def pe_offset(data):
    return struct.unpack_from("<I", data, 0x3C)[0]


def machine_offset(data):
    return pe_offset(data) + 4


def subsystem_version_offset(data):
    return pe_offset(data) + 24 + 48


def lay_out(kit, files):
    """Makes a kit folder from {relative path with backslashes: source},
    where a source is a file to copy, bytes to write, or None for a folder."""
    for relative, source in files.items():
        path = os.path.join(kit, *relative.split("\\"))
        if source is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(source, bytes):
            with open(path, "wb") as f:
                f.write(source)
        else:
            shutil.copyfile(source, path)
    return kit


def tree_digest(folder):
    """Every name, kind, mode and content below folder, in one hash."""
    digest = hashlib.sha256()
    for here, folders, files in sorted(os.walk(folder)):
        folders.sort()
        for name in sorted(folders + files):
            path = os.path.join(here, name)
            status = os.lstat(path)
            digest.update(f"{os.path.relpath(path, folder)}\0{status.st_mode}\0{status.st_mtime_ns}\0".encode())
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    digest.update(f.read())
    return digest.hexdigest()


PROGRAMS = {
    "i686": lambda: build("i686", "gui"),
    "x86_64": lambda: build("x86_64", "gui"),
    "arm64": lambda: patched(build("x86_64", "gui"), machine_offset, 0xAA64, "<H"),
}


def ordinary_kit(kit, files):
    """A kit of ordinary GUI programs: {path: a name in PROGRAMS or bytes},
    the launcher as setup.exe."""
    layout = {"setup.exe": LAUNCHER_EXE}
    for path, what in files.items():
        layout[path] = what if isinstance(what, bytes) else PROGRAMS[what]()
    return lay_out(kit, layout)


def read(path):
    with open(path, "rb") as f:
        return f.read()
