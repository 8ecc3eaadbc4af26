"""The load check against real programs nobody here wrote (corpus.sh fetches
them: Debian's NSIS and setuptools, Inno Setup 6.3.1 and 7-Zip from npm,
Debian 12's Wine) and against programs mingw-w64 links for one loader rule
each: what each Windows of each row does with it, as Windows does it.

A source out of reach fails the test; CORPUS_OFFLINE=1 skips it instead."""
import os
import struct
import subprocess

import pytest

import samples
from kitlib import model
from kitlib.checks import loading
from linked import ASSEMBLY, DEPENDENCY, dotnet, lay, program, saved, uses_helper

HERE = os.path.dirname(os.path.abspath(__file__))
ROWS = model.ROWS

ABSENT = '<assemblyIdentity type="win32" name="Corpus.Absent" version="1.0.0.0" processorArchitecture="x86"/>'
CONFIG_V4 = ('<?xml version="1.0"?>\n<configuration><startup><supportedRuntime version="v4.0" '
             'sku=".NETFramework,Version=v4.0"/></startup></configuration>\n')
SUBSYSTEM = "-Wl,--subsystem,windows:%s"
OS_6_1 = ["-Wl,--major-os-version,6", "-Wl,--minor-os-version,1"]


def small_headers():
    """A program of 3.5 KB whose headers' size says 4 KB, as UPX writes it."""
    def make(work):
        with open(os.path.join(work, "main.c"), "w") as f:
            f.write("__declspec(dllimport) void __stdcall ExitProcess(unsigned);\n"
                    "void __stdcall start(void) { ExitProcess(0); }\n")
        samples._run([samples.COMPILERS["i686"], "-Os", "-s", "-nostdlib", "-mwindows", "-Wl,-e,_start@0",
                      "main.c", "-o", "small.exe", "-lkernel32"], work)
    data = bytearray(samples.read(os.path.join(samples._cached("small", 1, make), "small.exe")))
    struct.pack_into("<I", data, samples.pe_offset(data) + 24 + 60, 0x1000)
    assert len(data) < 0x1000, len(data)
    return saved(bytes(data))


def wine(*names):
    return lambda corpus: {name: corpus["wine32-" + name] for name in names}


# name -> (the program, {what lies beside it, by its path there: a file, or
# bytes}); "{name}" in a path stands for the row's file name.
CASES = {
    "ss6.1-os6.1": lambda: program(link=[SUBSYSTEM % "6.1"] + OS_6_1),
    "ss1.0": lambda: program(link=[SUBSYSTEM % "1.0"]),
    "ss3.0": lambda: program(link=[SUBSYSTEM % "3.0"]),
    "ss3.10": lambda: program(link=[SUBSYSTEM % "3.10"]),
    "ss10.0": lambda: program(link=[SUBSYSTEM % "10.0"]),
    "ss6.2-x64": lambda: program(arch="x86_64", link=[SUBSYSTEM % "6.2"]),
    "os6.1-ss4.0": lambda: program(link=[SUBSYSTEM % "4.0"] + OS_6_1),
    "kernel32-beside": lambda: (program(["KERNEL32.dll!GetTickCount"]), wine("kernel32.dll")),
    "tickcount64-system-copies": lambda: (program(["KERNEL32.dll!GetTickCount64"]),
                                          wine("kernel32.dll", "kernelbase.dll", "ntdll.dll")),
    "assembly-good": uses_helper,
    "assembly-no-file-entry": lambda: uses_helper(files=""),
    "assembly-other-version": lambda: uses_helper(version="2.0.0.0"),
    "assembly-flat": lambda: uses_helper(folder=""),
    "assembly-absent": lambda: program(manifest=ASSEMBLY % (DEPENDENCY % ABSENT)),
    "htmlhelp": lambda: program(["hhctrl.ocx!HtmlHelpW"]),
    "riched32": lambda: program(["riched32.dll!DllGetVersion"]),
    "dotnet2-config-v4": lambda: (dotnet("v2.0.50727"), {"{name}.config": CONFIG_V4.encode()}),
    "dotnet2": lambda: dotnet("v2.0.50727"),
    "xp-additions": lambda: program(["KERNEL32.dll!InitializeSListHead", "KERNEL32.dll!AddVectoredExceptionHandler"]),
    "xp-sp3": lambda: program(["KERNEL32.dll!GetLogicalProcessorInformation"]),
    "small-headers": small_headers,
    "cut-in-a-section": lambda: saved(samples.read(program(["KERNEL32.dll!GetTickCount"]))[:5000]),
}
# What lies beside a real program, as its makers ship it.
BESIDE = {"inno-ISCC.exe": lambda corpus: {"ISCmplr.dll": corpus["inno-ISCmplr.dll"]}}

DEBIAN, NPM, WINE = "Debian 12 package", "npm", "Debian 12's Wine 8.0"
# program, source, then for each row the verdict of each release it serves,
# oldest first: r refuses it, w starts it only with something installed or
# turned on, l loads it; "-": not in that row. The rows: win98SE (95, 98),
# winme, win2k, winxp, Vistax86 and Vistax64 (Vista, 7, 8, 8.1, 10, 11).
CORPUS = [
    ("nsis-x86-ansi.exe", DEBIAN + " nsis", "ll l l l llllll llllll"),
    ("nsis-x86-unicode.exe", DEBIAN + " nsis", "ll l l l llllll llllll"),
    ("nsis-amd64-unicode.exe", DEBIAN + " nsis", "- - - - - llllll"),
    ("nsis-stub-zlib-x86-ansi.exe", DEBIAN + " nsis-common", "ll l l l llllll llllll"),
    ("nsis-plugin-nsDialogs.dll", DEBIAN + " nsis-common", "- - - r - -"),
    ("setuptools-cli-32.exe", DEBIAN + " python3-setuptools-whl", "rr r l l llllll llllll"),
    ("setuptools-gui-64.exe", DEBIAN + " python3-setuptools-whl", "- - - - - llllll"),
    ("setuptools-cli-arm64.exe", DEBIAN + " python3-setuptools-whl", "- - - - - rrrrrr"),
    ("inno-Setup.e32", NPM + " innosetup-compiler@6.3.1", "rr r r r rlllll rlllll"),
    ("inno-SetupLdr.e32", NPM + " innosetup-compiler@6.3.1", "rr r r r rlllll rlllll"),
    ("inno-ISCC.exe", NPM + " innosetup-compiler@6.3.1", "rr r r r rlllll rlllll"),
    ("inno-islzma32.exe", NPM + " innosetup-compiler@6.3.1", "rr r l l llllll llllll"),
    ("inno-islzma64.exe", NPM + " innosetup-compiler@6.3.1", "- - - - - llllll"),
    ("7za-ia32.exe", NPM + " 7zip-bin@5.2.0", "ll l l l llllll llllll"),
    ("7za-x64.exe", NPM + " 7zip-bin@5.2.0", "- - - - - llllll"),
    ("7za-arm64.exe", NPM + " 7zip-bin@5.2.0", "- - - - - rrrrrr"),
    ("wine32-notepad.exe", WINE, "rr r r r wwwwll wwwwll"),
    ("wine32-winecfg.exe", WINE, "rr r r r rrrrrl rrrrrl"),
    ("wine32-wineboot.exe", WINE, "rr r r r rrrrrl rrrrrl"),
    ("wine32-regedit.exe", WINE, "rr r r r rrwwll rrwwll"),
    ("wine32-hh.exe", WINE, "rr r r r wwwwll wwwwll"),
    ("wine64-notepad.exe", WINE, "- - - - - wwwwll"),
    ("ss6.1-os6.1", "mingw", "rr r r r rlllll rlllll"),
    ("ss1.0", "mingw", "ww w r r rrrrrr rrrrrr"),
    ("ss3.0", "mingw", "ww w r r rrrrrr rrrrrr"),
    ("ss3.10", "mingw", "ll l l l llllll llllll"),
    ("ss10.0", "mingw", "rr r r r rrrrll rrrrll"),
    ("ss6.2-x64", "mingw", "- - - - - rrllll"),
    ("os6.1-ss4.0", "mingw", "ll l l l llllll llllll"),
    ("kernel32-beside", "mingw", "ll l l l llllll llllll"),
    ("tickcount64-system-copies", "mingw", "rr r r r llllll llllll"),
    ("assembly-good", "mingw", "rr r r l llllll llllll"),
    ("assembly-no-file-entry", "mingw", "rr r r r rrrrrr rrrrrr"),
    ("assembly-other-version", "mingw", "rr r r r rrrrrr rrrrrr"),
    ("assembly-flat", "mingw", "ll l l l llllll llllll"),
    ("assembly-absent", "mingw", "ll l l r rrrrrr rrrrrr"),
    ("htmlhelp", "mingw", "wl l l l llllll llllll"),
    ("riched32", "mingw", "ll l l l llllll llllll"),
    ("dotnet2-config-v4", "mingw", "rr r r w wwllll wwllll"),
    ("dotnet2", "mingw", "rw w w w llwwww llwwww"),
    ("xp-additions", "mingw", "rr r r l llllll llllll"),
    ("xp-sp3", "mingw", "rr r r w llllll llllll"),
    ("small-headers", "mingw", "ll l l l llllll llllll"),
    ("cut-in-a-section", "mingw", "rr r r r rrrrrr rrrrrr"),
]


@pytest.fixture(scope="session")
def corpus():
    """{name: path} of the real programs, fetched once into the cache."""
    if os.environ.get("CORPUS_OFFLINE") == "1":
        pytest.skip("CORPUS_OFFLINE=1: the corpus of real programs is not fetched")
    cache = os.environ.get("CORPUS_DIR") or os.path.join(samples.ROOT, "build", "corpus")
    result = subprocess.run(["bash", os.path.join(HERE, "corpus.sh"), cache], capture_output=True, text=True)
    if result.returncode:
        # Once, not once per program: every row needs the corpus.
        pytest.exit((result.stderr.strip().splitlines() or ["corpus.sh failed"])[-1], returncode=1)
    return dict(line.split("\t") for line in result.stdout.splitlines())


def verdicts(causes, row):
    """The letter of each release the row serves: r, w or l."""
    def letter(release):
        severities = {cause.severity for cause in causes if release in cause.releases}
        return "r" if "error" in severities else "w" if "warning" in severities else "l"
    return "".join(letter(release) for release in row.served)


@pytest.mark.parametrize("name, source, expected", CORPUS, ids=[row[0] for row in CORPUS])
def test_corpus(tmp_path, corpus, name, source, expected):
    if name in CASES:
        made = CASES[name]()
        path, beside = made if isinstance(made, tuple) else (made, {})
        beside = beside(corpus) if callable(beside) else beside
    else:
        path, beside = corpus[name], BESIDE.get(name, lambda corpus: {})(corpus)
    wrong = []
    for row, wanted in zip(ROWS, expected.split()):
        if wanted == "-":
            continue
        folder = tmp_path / row.folder
        folder.mkdir()
        causes = loading.causes(lay(str(folder), row.path.split("\\")[-1], path, beside), row.path)
        got = verdicts(causes, row)
        wrong += ["%s (%s), row %s, %s: got %s, expected %s; %s" % (
            name, source, row.folder, release, g, w, [c.message for c in causes if release in c.releases])
            for release, g, w in zip(row.served, got, wanted) if g != w]
    assert not wrong, "\n".join(wrong)
