"""Small Windows programs for the tools' tests, built at test time with
mingw-w64 so that every header field comes from a real linker, and kits laid
out from them.

CMake passes the compilers it found; the programs are built once per test
process into a temporary folder.
"""
import atexit
import os
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

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
    if key in _built:
        return _built[key]
    name = "_".join(str(part) for part in key if part).replace(".", "_")
    work = os.path.join(_folder, name)
    os.makedirs(work)
    with open(os.path.join(work, "sample.c"), "w") as f:
        f.write(SOURCES[kind])
    compiler = COMPILERS[arch]
    output = os.path.join(work, "sample.dll" if kind == "dll" else "sample.exe")
    command = [compiler, "-Os", "-s", "sample.c", "-o", output]
    if kind == "dll":
        command += ["-shared"]
    command += ["-Wl,--subsystem,%s:%s" % ("console" if kind == "console" else "windows", version)]
    if resources:
        with open(os.path.join(work, "sample.ico"), "wb") as f:
            f.write(_icon())
        with open(os.path.join(work, "sample.manifest"), "w") as f:
            f.write(MANIFEST)
        with open(os.path.join(work, "sample.rc"), "w", encoding="utf-8") as f:
            f.write(VERSION_RC if resources == "version" else MANIFEST_RC)
        windres = compiler[:-len("gcc")] + "windres"
        _run([windres, "-c", "65001", "sample.rc", "-O", "coff", "-o", "sample.res"], work)
        command.append("sample.res")
    _run(command, work)
    if signed:
        output = sign(output)
    _built[key] = output
    return output


def sign(path):
    """A copy of path with an Authenticode signature from a throw-away key."""
    key = os.path.join(_folder, "key.pem")
    cert = os.path.join(_folder, "cert.pem")
    if not os.path.exists(cert):
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=tools test",
              "-days", "2", "-keyout", key, "-out", cert], _folder)
    signed = path[:-4] + "-signed" + path[-4:]
    _run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", path, "-out", signed], _folder)
    return signed


def patched(path, offset_of, value, fmt):
    """A copy of path with one header field rewritten; offset_of(data) says
    where. For the machine types no installed compiler produces."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    struct.pack_into(fmt, data, offset_of(data), value)
    copy = os.path.join(tempfile.mkdtemp(dir=_folder), os.path.basename(path))
    with open(copy, "wb") as f:
        f.write(data)
    return copy


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
