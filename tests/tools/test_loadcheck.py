"""The load check against programs that mingw-w64 links at test time to
import named functions from named DLLs (import libraries made by dlltool
from .def files), one per kind of cause; and a plain C program, which must
stay silent on every row."""
import functools
import os
import shutil
import struct

import pytest

import samples
from kitlib import checks, model
from kitlib.checks import loading
from linked import dotnet, lay, program, saved, uses_helper

W98, WME, W2K, WXP, V86, V64 = model.INSTALLERS
# Common Controls 6 and the Visual C++ 2008 runtime.
MANIFEST = (
    '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><dependency><dependentAssembly>'
    '<assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0" '
    'processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/></dependentAssembly></dependency>'
    '<dependency><dependentAssembly><assemblyIdentity type="win32" name="Microsoft.VC90.CRT" '
    'version="9.0.21022.8" processorArchitecture="x86" publicKeyToken="1fc8b3b9a1e18e3b"/></dependentAssembly>'
    '</dependency></assembly>')


def damaged_imports():
    """The plain program with its import directory pointing past the image."""
    with open(program(), "rb") as f:
        data = bytearray(f.read())
    struct.pack_into("<I", data, samples.pe_offset(data) + 24 + 104, 0x7FFFFF00)
    return saved(bytes(data))


UNLISTED_NOTE = ("{}: not checked function by function, for want of export lists; checked against Windows XP's, "
                 "less what XP added")
NT6 = "Windows Vista, 7, 8, 8.1 and 10 1507"
ALL_NT6 = "Windows Vista, 7, 8, 8.1, 10 and 11"
VC140 = ("{} will not load it: VCRUNTIME140.dll not found: the Visual C++ 2015 or later runtime, which is not part "
         "of Windows; ship it next to the installer, have it installed first, or link the installer statically")




def exe(*imports, **options):
    """program(imports, **options), built when the row's test runs."""
    return functools.partial(program, list(imports), **options)


def findings(folder, row, installer, beside=None):
    """What the load check names releases for, of installer laid in folder
    under the row's name with what lies beside it (linked.lay)."""
    path = lay(folder, row.split("\\")[-1], installer, beside or {})
    # The notes of the machine type in the 64-bit row name no release.
    return [(cause.severity, cause.message) for cause in loading.causes(path, row) if cause.releases]


CONFIG = '<?xml version="1.0"?>\n<configuration><startup>%s</startup></configuration>\n'
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
     [("warning", ALL_NT6 + " will start it only where the Visual C++ 2008 runtime is installed: its manifest "
                        "asks for the Microsoft.VC90.CRT assembly, which is not shipped next to it")]),
    ("a delay-loaded import", WXP, exe("KERNEL32.dll!GetTickCount64", delayed=True), None,
     [("info", "Windows XP lacks KERNEL32.dll!GetTickCount64, which it loads only when called: it "
               "starts, and fails there only if it makes that call")]),
    (".NET 4.5 on XP", WXP, functools.partial(dotnet, "v4.0.30319", "4.5"), None,
     [("error", "Windows XP will not run it: it is a .NET program for the .NET Framework 4.5, which "
                "does not run there")]),
    (".NET 2.0 on Vista to 11", V86, functools.partial(dotnet, "v2.0.50727"), None,
     [("warning", "Windows 8, 8.1, 10 and 11 will run it only once the .NET Framework 3.5 is turned on "
                  "(an optional feature there, off by default)")]),
    (".NET 2.0 whose .config allows only 4", V86, functools.partial(dotnet, "v2.0.50727"),
     {"{name}.config": (CONFIG % '<supportedRuntime version="v4.0"/>').encode()},
     [("warning", "Windows Vista and 7 will run it only once the user has installed the .NET Framework 4, which "
                  "that Windows does not have")]),
    (".NET 2.0 whose .config allows 2 and 4", V86, functools.partial(dotnet, "v2.0.50727"),
     {"{name}.config": (CONFIG % '<supportedRuntime version="v2.0.50727"/><supportedRuntime version="v4.0"/>')
      .encode()}, []),
    ("Windows' own DLLs beside it", WXP, exe("KERNEL32.dll!GetTickCount64"),
     {"kernel32.dll": exe(dll=True, exports=["GetTickCount64"]), "ntdll.dll": b"not a program"},
     [("error", "Windows XP will not load it: KERNEL32.dll!GetTickCount64")]),
    ("what XP and its service packs added, on 2000", W2K,
     exe("KERNEL32.dll!AddVectoredExceptionHandler", "KERNEL32.dll!SetDllDirectoryW", "KERNEL32.dll!LoadLibraryA"),
     None,
     [("error", "Windows 2000 will not load it: KERNEL32.dll!AddVectoredExceptionHandler (Windows XP added it)"),
      ("error", "Windows 2000 will not load it: KERNEL32.dll!SetDllDirectoryW (Windows XP Service Pack 1 added "
                "it)"),
      ("info", UNLISTED_NOTE.format("Windows 2000"))]),
    ("a DLL XP brought, on 2000", W2K, exe("UxTheme.dll!IsThemeActive"), None,
     [("error", "Windows 2000 will not load it: UxTheme.dll not found: part of Windows from XP on; ship it next "
                "to the installer"),
      ("info", UNLISTED_NOTE.format("Windows 2000"))]),
    ("a Windows 7 SP1 function", V86, exe("KERNEL32.dll!InitializeContext"), None,
     [("error", "Windows Vista will not load it: KERNEL32.dll!InitializeContext"),
      ("warning", "Windows 7 will load it only with Service Pack 1: KERNEL32.dll!InitializeContext")]),
    ("HTML Help on 95 and 98", W98, exe("hhctrl.ocx!HtmlHelpW"), None,
     [("warning", "Windows 95 will load it only where HTML Help (Internet Explorer 4 or later, or hhupd.exe) is "
                  "installed: hhctrl.ocx"),
      ("info", UNLISTED_NOTE.format("Windows 95 and 98"))]),
    ("a delay-loaded import of XP SP3", WXP, exe("KERNEL32.dll!GetLogicalProcessorInformation", delayed=True),
     None, []),
    ("a private assembly of another version", WXP, lambda: uses_helper(version="2.0.0.0")[0],
     lambda: uses_helper(version="2.0.0.0")[1],
     [("error", "Windows XP will not start it: its side-by-side configuration is incorrect: "
                "Corpus.Helper\\Corpus.Helper.manifest says version 2.0.0.0, the installer's manifest asks for "
                "1.0.0.0")]),
    ("a private assembly that does not name its DLL", V86, lambda: uses_helper(files="")[0],
     lambda: uses_helper(files="")[1],
     [("error", ALL_NT6 + " will not load it: helper.dll not found: it lies in the folder of the assembly "
                          "Corpus.Helper, whose manifest does not name it (<file name=\"helper.dll\"/>)")]),
]


@pytest.mark.parametrize("what, row, installer, beside, expected", CAUSES, ids=[row[0] for row in CAUSES])
def test_each_kind_of_cause(tmp_path, what, row, installer, beside, expected):
    beside = beside() if callable(beside) else beside
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
    releases = [{"win2k"}, {"winxp"}, {"vista", "win7", "win8", "win81", "win10"}, {"vista", "win7"}]
    assert checks.refusals(kit) == tuple(model.Refusal(path, frozenset(keys), message)
                                         for (path, message), keys in zip(expected, releases))
    shutil.copyfile(program(dll=True, exports=["__CxxFrameHandler3"]),
                    os.path.join(kit, *V86.split("\\")[:-1], "vcruntime140.dll"))
    assert [(f.path, f.message) for f in checks.check(kit) if f.severity == "error"] == \
        expected[:2] + expected[3:], "with vcruntime140.dll next to the x86 installer"
