"""The load check against programs that mingw-w64 links at test time to
import named functions from named DLLs (import libraries made by dlltool
from .def files), one per kind of cause; and a plain C program, which must
stay silent on every row."""
import functools
import os
import shutil
import struct
import subprocess

import pytest

import samples
from kitlib import checks, model
from kitlib.checks import loading

W98, WME, W2K, WXP, V86, V64 = model.INSTALLERS
# The tools next to the compiler CMake found: i686-w64-mingw32-gcc -> ...-dlltool.
PREFIX = {arch: compiler[:-len("gcc")] for arch, compiler in samples.COMPILERS.items()}
# Common Controls 6 and the Visual C++ 2008 runtime.
MANIFEST = (
    '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><dependency><dependentAssembly>'
    '<assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0" '
    'processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/></dependentAssembly></dependency>'
    '<dependency><dependentAssembly><assemblyIdentity type="win32" name="Microsoft.VC90.CRT" '
    'version="9.0.21022.8" processorArchitecture="x86" publicKeyToken="1fc8b3b9a1e18e3b"/></dependentAssembly>'
    '</dependency></assembly>')


def program(imports=(), arch="i686", exports=(), dll=False, manifest=None, delayed=False):
    """A GUI program (or DLL) that calls each of imports, "DLL!function" or
    "DLL!#ordinal" (delay-loaded if asked), and exports the named functions."""
    def make(work):
        tables, calls = {}, []
        for item in imports:
            name, _, function = item.partition("!")
            symbol = "by_ordinal_%s" % function[1:] if function.startswith("#") else function
            tables.setdefault(name, []).append("%s @%s NONAME" % (symbol, function[1:])
                                               if function.startswith("#") else symbol)
            calls.append(symbol)
        command = [PREFIX[arch] + "gcc", "-Os", "-w", "main.c", "-o", "out.exe"]
        for i, (name, lines) in enumerate(tables.items()):
            with open(os.path.join(work, "%d.def" % i), "w") as f:
                f.write("LIBRARY %s\nEXPORTS\n%s\n" % (name, "\n".join(lines)))
            samples._run([PREFIX[arch] + "dlltool", "-d", "%d.def" % i, "-y" if delayed else "-l", "%d.a" % i],
                         work)
            command.append("%d.a" % i)
        source = "".join("__declspec(dllimport) void %s(void);\n" % symbol for symbol in calls)
        source += "".join("__declspec(dllexport) int %s(void) { return 1; }\n" % name for name in exports)
        source += "%s { %s return 0; }\n" % ("__declspec(dllexport) int run(void)" if dll else "int main(void)",
                                             " ".join("%s();" % symbol for symbol in calls))
        with open(os.path.join(work, "main.c"), "w") as f:
            f.write(source)
        if manifest:
            with open(os.path.join(work, "m.manifest"), "w") as f:
                f.write(manifest)
            with open(os.path.join(work, "m.rc"), "w") as f:
                f.write('1 24 "m.manifest"\n')
            samples._run([PREFIX[arch] + "windres", "m.rc", "-O", "coff", "-o", "m.res"], work)
            command.append("m.res")
        samples._run(command + (["-shared"] if dll else ["-mwindows"]) + ([] if delayed else ["-s"]), work)
        if delayed:
            _mark_delay_table(os.path.join(work, "out.exe"), arch)

    inputs = (imports, arch, exports, dll, manifest, delayed)
    return os.path.join(samples._cached("loadcheck", inputs, make), "out.exe")


def _mark_delay_table(path, arch):
    """GNU ld links dlltool's delay-load descriptor but leaves the header's
    delay import directory empty; point it at the descriptor."""
    import pefile
    symbols = subprocess.run([PREFIX[arch] + "nm", path], capture_output=True, text=True, check=True).stdout
    address = next(int(line.split()[0], 16) for line in symbols.splitlines()
                   if "__DELAY_IMPORT_DESCRIPTOR_" in line)
    pe = pefile.PE(path)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[13]
    directory.VirtualAddress, directory.Size = address - pe.OPTIONAL_HEADER.ImageBase, 32
    data = pe.write()
    pe.close()
    with open(path, "wb") as f:
        f.write(data)


def dotnet(runtime, target=None):
    """The plain program with a .NET runtime header whose metadata names
    runtime and, as a custom attribute's blob would, the target framework."""
    import pefile
    pe = pefile.PE(program())
    data = next(section for section in pe.sections if section.Name.rstrip(b"\0") == b".data")
    data.Misc_VirtualSize = data.SizeOfRawData
    version = runtime.encode() + b"\0" * (4 - len(runtime) % 4)
    metadata = b"BSJB" + struct.pack("<HHII", 1, 1, 0, len(version)) + version
    if target:
        text = b".NETFramework,Version=v" + target.encode()
        metadata += b"\x01\x00" + bytes([len(text)]) + text
    at = 64
    header = struct.pack("<IHHIII", 72, 2, 5, data.VirtualAddress + at + 72, len(metadata), 1)
    pe.set_bytes_at_offset(data.PointerToRawData + at, header.ljust(72, b"\0") + metadata)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[14].VirtualAddress = data.VirtualAddress + at
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[14].Size = 72
    contents = pe.write()
    return _saved(contents)


def damaged_imports():
    """The plain program with its import directory pointing past the image."""
    with open(program(), "rb") as f:
        data = bytearray(f.read())
    struct.pack_into("<I", data, samples.pe_offset(data) + 24 + 104, 0x7FFFFF00)
    return _saved(bytes(data))


def _saved(contents):
    def make(work):
        with open(os.path.join(work, "out.exe"), "wb") as f:
            f.write(contents)
    return os.path.join(samples._cached("loadcheck-patched", contents, make), "out.exe")


UNLISTED_NOTE = ("{}: not checked function by function, for want of export lists; checked against Windows XP's, "
                 "less what XP added")
NT6 = "Windows Vista, 7, 8, 8.1 and 10 1507"
VC140 = ("{} will not load it: VCRUNTIME140.dll not found: the Visual C++ 2015 or later runtime, which is not part "
         "of Windows; ship it next to the installer, have it installed first, or link the installer statically")




def exe(*imports, **options):
    """program(imports, **options), built when the row's test runs."""
    return functools.partial(program, list(imports), **options)


def findings(folder, row, installer, beside=None):
    """The load check of installer copied into folder under the row's name,
    with the files beside it: a builder, bytes, or None for a FIFO."""
    path = os.path.join(folder, row.split("\\")[-1])
    shutil.copyfile(installer, path)
    for name, source in (beside or {}).items():
        if source is None:
            os.mkfifo(os.path.join(folder, name))
        elif isinstance(source, bytes):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(source)
        else:
            shutil.copyfile(source(), os.path.join(folder, name))
    return [(finding.severity, finding.message) for finding in loading.findings(path, row)]


NOT_LISTED = {W98: "Windows 95 and 98", WME: "Windows Me", W2K: "Windows 2000"}


@pytest.mark.parametrize("row, arch", [(W98, "i686"), (WME, "i686"), (W2K, "i686"), (WXP, "i686"), (V86, "i686"),
                                       (V64, "x86_64"), (V64, "i686")])
def test_plain_programs_are_silent_on_every_row(tmp_path, row, arch):
    expected = [("info", UNLISTED_NOTE.format(NOT_LISTED[row]))] if row in NOT_LISTED else []
    assert findings(tmp_path, row, program(arch=arch)) == expected


HELPER = exe("KERNEL32.dll!GetTickCount64", dll=True, exports=["helper_run"])
# (what, row, installer, files next to it (None: a FIFO), expected findings; a
# message ending in "..." is a prefix)
CAUSES = [
    ("a Vista function on XP", WXP, exe("KERNEL32.dll!GetTickCount64"), None,
     [("error", "Windows XP will not load it: KERNEL32.dll!GetTickCount64")]),
    ("an XP addition on 2000", W2K, exe("KERNEL32.dll!GetNativeSystemInfo"), None,
     [("error", "Windows 2000 will not load it: KERNEL32.dll!GetNativeSystemInfo (Windows XP added it)"),
      ("info", UNLISTED_NOTE.format("Windows 2000"))]),
    ("a Windows 8 function, 64-bit", V64, exe("KERNEL32.dll!GetSystemTimePreciseAsFileTime", arch="x86_64"), None,
     [("error", "Windows Vista and 7 will not load it: KERNEL32.dll!GetSystemTimePreciseAsFileTime")]),
    ("a Visual C++ runtime not shipped", V86, exe("VCRUNTIME140.dll!__CxxFrameHandler3"), None,
     [("error", VC140.format(NT6))]),
    ("the runtime shipped next to it", V86, exe("VCRUNTIME140.dll!__CxxFrameHandler3"),
     {"vcruntime140.dll": exe(dll=True, exports=["__CxxFrameHandler3"])}, []),
    ("a shipped DLL walked", WXP, exe("helper.dll!helper_run"), {"helper.dll": HELPER},
     [("error", "Windows XP will not load it: KERNEL32.dll!GetTickCount64, imported by helper.dll next to it")]),
    ("a shipped DLL without the function", WXP, exe("helper.dll!helper_other"), {"helper.dll": HELPER},
     [("error", "Windows XP will not load it: helper.dll!helper_other")]),
    ("no program under a DLL's name", WXP, exe("helper.dll!helper_run"), {"helper.dll": b"text"},
     [("error", "Windows XP will not load it: helper.dll next to it is not a Windows program (it does "
                "not start with the MZ signature)")]),
    ("a FIFO under a DLL's name, never opened", WXP, exe("helper.dll!helper_run"), {"helper.dll": None},
     [("error", "Windows XP will not load it: helper.dll not found: neither next to it nor part of that "
                "Windows; ship it next to the installer")]),
    ("a DLL of the other bitness", WXP, exe("helper.dll!helper_run"),
     {"helper.dll": exe(arch="x86_64", dll=True, exports=["helper_run"])},
     [("error", "Windows XP will not load it: helper.dll next to it is a DLL for x64, and the installer "
                "is for i386")]),
    ("DLLs that import each other", WXP, exe("a.dll!a_run"),
     {"a.dll": exe("b.dll!b_run", dll=True, exports=["a_run"]),
      "b.dll": exe("a.dll!a_run", dll=True, exports=["b_run"])},
     [("info", "b.dll and a.dll next to it import each other")]),
    ("a damaged import table", WXP, damaged_imports, None,
     [("error", "a Windows program with a damaged import table (Error parsing the import directory...")]),
    ("an API set of Windows 8", V86, exe("api-ms-win-core-synch-l1-2-0.dll!AcquireSRWLockExclusive"), None,
     [("error", "Windows Vista will not load it: api-ms-win-core-synch-l1-2-0.dll not found: an API set, "
                "and API sets exist only from Windows 7 on"),
      ("error", "Windows 7 will not load it: api-ms-win-core-synch-l1-2-0.dll not found: that Windows "
                "has no such API set")]),
    ("the Universal C Runtime", V86, exe("api-ms-win-crt-runtime-l1-1-0.dll!_initterm"), None,
     [("warning", "Windows Vista, 7, 8 and 8.1 will load it only where the Universal C Runtime is "
                  "installed (update KB2999226, on Vista from SP2 on, or the Visual C++ 2015 or later "
                  "runtime): api-ms-win-crt-runtime-l1-1-0.dll; or ship it next to the installer")]),
    ("the Universal C Runtime on XP", WXP, exe("ucrtbase.dll!_initterm"), None,
     [("error", "Windows XP will not load it: ucrtbase.dll not found: the Universal C Runtime, part of "
                "Windows from Windows 10 on; ship it next to the installer or link the installer "
                "statically")]),
    ("imports by ordinal", WXP, exe("COMCTL32.dll!#17", "COMCTL32.dll!#345"), None,
     [("error", "Windows XP will not load it: COMCTL32.dll!#345 (TaskDialogIndirect)")]),
    ("service packs on XP", WXP, exe("KERNEL32.dll!IsWow64Process", "KERNEL32.dll!SetProcessDEPPolicy"), None,
     [("warning", "Windows XP will load it only with Service Pack 2: KERNEL32.dll!IsWow64Process"),
      ("warning", "Windows XP will load it only with Service Pack 3: KERNEL32.dll!SetProcessDEPPolicy")]),
    ("a service pack and an update", V86, exe("KERNEL32.dll!SetProcessDEPPolicy", "KERNEL32.dll!AddDllDirectory"),
     None,
     [("warning", "Windows Vista will load it only with Service Pack 1: KERNEL32.dll!SetProcessDEPPolicy"),
      ("warning", "Windows Vista and 7 will load it only with update KB2533623: KERNEL32.dll!AddDllDirectory")]),
    ("Common Controls 6 not asked for", V86, exe("COMCTL32.dll!TaskDialogIndirect"), None,
     [("error", NT6 + " will not load it: COMCTL32.dll!TaskDialogIndirect: only Common Controls version "
                      "6 has it, and the installer's manifest does not ask for that version")]),
    ("a manifest: Common Controls 6, the 2008 runtime", V86, exe("COMCTL32.dll!TaskDialogIndirect", manifest=MANIFEST),
     None,
     [("warning", NT6 + " will start it only where the Visual C++ 2008 runtime is installed: its manifest "
                        "asks for the Microsoft.VC90.CRT assembly, which is not shipped next to it")]),
    ("a delay-loaded import", WXP, exe("KERNEL32.dll!GetTickCount64", delayed=True), None,
     [("info", "Windows XP lacks KERNEL32.dll!GetTickCount64, which it loads only when called: it "
               "starts, and fails there only if it makes that call")]),
    (".NET 4.5 on XP", WXP, functools.partial(dotnet, "v4.0.30319", "4.5"), None,
     [("error", "Windows XP will not run it: it is a .NET program for the .NET Framework 4.5, which "
                "does not run there")]),
    (".NET 2.0 on Vista to 10", V86, functools.partial(dotnet, "v2.0.50727"), None,
     [("warning", "Windows 8, 8.1 and 10 1507 will run it only once the .NET Framework 3.5 is turned on "
                  "(an optional feature there, off by default)")]),
]


@pytest.mark.parametrize("what, row, installer, beside, expected", CAUSES, ids=[row[0] for row in CAUSES])
def test_each_kind_of_cause(tmp_path, what, row, installer, beside, expected):
    found, expected = sorted(findings(tmp_path, row, installer(), beside)), sorted(expected)
    matched = len(found) == len(expected) and all(
        f[0] == e[0] and (f[1].startswith(e[1][:-3]) if e[1].endswith("...") else f[1] == e[1])
        for f, e in zip(found, expected))
    assert matched, "got %s, expected %s" % (found, expected)


def test_check_and_preview_name_each_windows_that_refuses(tmp_path, launcher):
    """The distribution whose installers were built as installers usually
    are: each row's installer imports what an older Windows of the row lacks."""
    kit = samples.lay_out(str(tmp_path), {
        "setup.exe": launcher, W98: program(), WME: program(),
        W2K: program(["KERNEL32.dll!GetNativeSystemInfo"]), WXP: program(["KERNEL32.dll!GetTickCount64"]),
        V86: program(["VCRUNTIME140.dll!__CxxFrameHandler3"]),
        V64: program(["KERNEL32.dll!GetSystemTimePreciseAsFileTime"], arch="x86_64")})
    expected = [
        (W2K, "Windows 2000 will not load it: KERNEL32.dll!GetNativeSystemInfo (Windows XP added it)"),
        (WXP, "Windows XP will not load it: KERNEL32.dll!GetTickCount64"),
        (V86, VC140.format(NT6)),
        (V64, "Windows Vista and 7 will not load it: KERNEL32.dll!GetSystemTimePreciseAsFileTime"),
    ]
    errors = [(f.path, f.message) for f in checks.check(kit) if f.severity == "error"]
    assert errors == expected
    preview = {row: loading.will_not_load(kit, row) for row in model.INSTALLERS}
    assert preview == {
        W98: {}, WME: {}, W2K: {"win2k": expected[0][1]}, WXP: {"winxp": expected[1][1]},
        V86: {key: expected[2][1] for key in ("vista", "win7", "win8", "win81", "win10")},
        V64: {"vista": expected[3][1], "win7": expected[3][1]}}
    shutil.copyfile(program(dll=True, exports=["__CxxFrameHandler3"]),
                    os.path.join(kit, *V86.split("\\")[:-1], "vcruntime140.dll"))
    assert [(f.path, f.message) for f in checks.check(kit) if f.severity == "error"] == \
        expected[:2] + expected[3:], "with vcruntime140.dll next to the x86 installer"
