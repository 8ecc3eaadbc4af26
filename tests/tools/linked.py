"""Programs that mingw-w64 links at test time to import named functions from
named DLLs (import libraries made by dlltool from .def files), delay-loaded
or not, with a manifest or a .NET runtime header: what the load check's
tests lay beside and in a kit's rows."""
import os
import shutil
import struct
import subprocess

import samples

# The tools next to the compiler CMake found: i686-w64-mingw32-gcc -> ...-dlltool.
PREFIX = {arch: compiler[:-len("gcc")] for arch, compiler in samples.COMPILERS.items()}
def program(imports=(), arch="i686", exports=(), dll=False, manifest=None, delayed=False, link=()):
    """A GUI program (or DLL) that calls each of imports, "DLL!function" or
    "DLL!#ordinal" (delay-loaded if asked), and exports the named functions;
    link: more options for the linker."""
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
        samples._run(command + (["-shared"] if dll else ["-mwindows"]) + ([] if delayed else ["-s"]) + list(link),
                     work)
        if delayed:
            _mark_delay_table(os.path.join(work, "out.exe"), arch)

    inputs = (imports, arch, exports, dll, manifest, delayed) + ((tuple(link),) if link else ())
    return os.path.join(samples._cached("loadcheck", inputs, make), "out.exe")


# A private assembly of the kit's own, and the manifests that name it.
HELPER = '<assemblyIdentity type="win32" name="Corpus.Helper" version="%s" processorArchitecture="x86"/>'
ASSEMBLY = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<assembly xmlns="urn:schemas-microsoft-com:'
            'asm.v1" manifestVersion="1.0">%s</assembly>\n')
DEPENDENCY = "<dependency><dependentAssembly>%s</dependentAssembly></dependency>"


def uses_helper(version="1.0.0.0", files='<file name="helper.dll"/>', folder="Corpus.Helper\\"):
    """(a program whose manifest asks for the private assembly Corpus.Helper
    1.0.0.0 and that imports helper.dll from it, {what lies beside it}: the
    assembly of that version, in a folder of its name or flat)."""
    return (program(["helper.dll!helper_run"], manifest=ASSEMBLY % (DEPENDENCY % HELPER % "1.0.0.0")),
            {folder + "helper.dll": program(dll=True, exports=["helper_run"]),
             folder + "Corpus.Helper.manifest": (ASSEMBLY % (HELPER % version + files)).encode()})


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
    return saved(pe.write())


def saved(contents):
    """The path of a program holding contents."""
    def make(work):
        with open(os.path.join(work, "out.exe"), "wb") as f:
            f.write(contents)
    return os.path.join(samples._cached("loadcheck-patched", contents, make), "out.exe")


def lay(folder, name, installer, beside):
    """installer copied into folder as name, with what lies beside it ({its
    path there: a file, bytes, a builder of a file, or None for a FIFO};
    "{name}" in a path stands for name); the installer's path."""
    path = os.path.join(folder, name)
    shutil.copyfile(installer, path)
    for relative, source in beside.items():
        target = os.path.join(folder, *relative.replace("{name}", name).split("\\"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if source is None:
            os.mkfifo(target)
        elif isinstance(source, bytes):
            with open(target, "wb") as f:
                f.write(source)
        else:
            shutil.copyfile(source() if callable(source) else source, target)
    return path
