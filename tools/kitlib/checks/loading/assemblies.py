"""The side-by-side assemblies a program's manifest asks for, resolved as
Windows XP and later resolve them for a program started from its folder
(95 to 2000 read no manifest). A shared assembly Windows carries is there;
any other is looked for beside the program as NAME.dll (its manifest
resource 1), NAME.manifest, NAME\\NAME.dll, NAME\\NAME.manifest, and the
first one found must carry exactly the identity asked for; its <file>
entries are the DLLs it sends to its own folder. A private assembly that
does not resolve stops the program before it loads anything: "the
side-by-side configuration is incorrect". A shared one may be installed."""
import collections
import dataclasses
import os
import re
import stat
import xml.etree.ElementTree as ElementTree

from kitlib.checks.loading.causes import REFUSES
from kitlib.checks.loading.runtimes import VISUAL_CPP_YEARS
from kitlib.model.findings import ERROR, WARNING
from kitlib.model.loader import WINDOWS_ASSEMBLIES
from kitlib.pe import headers, imports as peimports

Identity = collections.namedtuple("Identity", "name version arch token type")
# The processorArchitecture of a program's machine type.
ARCHITECTURES = {"i386": "x86", "x64": "amd64", "arm64": "arm64"}
COMMON_CONTROLS = "microsoft.windows.common-controls"
# The side-by-side assemblies of the Visual C++ 2005 and 2008 runtimes.
RUNTIME_ASSEMBLY = re.compile(r"microsoft\.vc(80|90)\.\w+$")
LIMIT = 1 << 20
INCORRECT = "{releases} will not start it: its side-by-side configuration is incorrect: "


@dataclasses.dataclass
class Resolution:
    redirects: dict = dataclasses.field(default_factory=dict)   # DLL in lower case -> path
    causes: list = dataclasses.field(default_factory=list)      # [(severity, template, item)]
    comctl6: bool = False       # it asks for Common Controls 6


def resolve(module, xp, is_system):
    """The Resolution of the program peimports.Module on Windows XP (xp) or
    on a later Windows; is_system(dll) tells a DLL of Windows' own."""
    resolution = Resolution()
    parsed = parse(program_manifest(module, xp))
    folder = os.path.dirname(module.path)
    for wanted in parsed[1] if parsed else ():
        key = wanted.name.lower()
        if key == COMMON_CONTROLS and wanted.version.startswith("6."):
            resolution.comctl6 = True
        if wanted.token and wanted.version.startswith(WINDOWS_ASSEMBLIES.get(key, ("\0",))):
            continue
        found = _probe(wanted, folder)
        why = _mismatch(wanted, found, ARCHITECTURES.get(module.machine, "")) if found else None
        if found and not why:
            resolution.redirects.update({name.lower(): os.path.join(found.folder, name) for name in found.files})
            resolution.causes += _unnamed(module, found, folder, is_system)
        elif wanted.token:
            resolution.causes.append(_not_installed(wanted, why))
        elif why:
            resolution.causes.append((ERROR, INCORRECT + why, wanted.name))
        else:
            resolution.causes.append((ERROR, INCORRECT + "its manifest asks for the assembly {items} %s, which is "
                                      "neither next to it (%s.manifest) nor in a folder %s"
                                      % (wanted.version, wanted.name, wanted.name), wanted.name))
    return resolution


def program_manifest(module, xp):
    """The manifest Windows reads for the program: on XP a NAME.manifest
    beside it wins over its own; later, its own wins."""
    external = _read(module.path + ".manifest")
    if xp:
        return external if external is not None else module.manifest
    return module.manifest if module.manifest is not None else external


def parse(text):
    """(its Identity or None, [the Identity of each dependency], [file
    names]) of a manifest, or None where it is none or unreadable."""
    if not text:
        return None
    try:
        # Resource compilers pad it with zeros, which Windows ignores.
        if text[:2] in (b"\xff\xfe", b"\xfe\xff"):
            root = ElementTree.fromstring(text.decode("utf-16").rstrip("\0 \t\r\n"))
        else:
            root = ElementTree.fromstring(text.rstrip(b"\0 \t\r\n"))
    except (ElementTree.ParseError, ValueError, UnicodeError):
        return None
    identity, dependencies, files = None, [], []
    for child in root:
        tag = _local(child.tag)
        if tag == "assemblyIdentity":
            identity = _identity(child)
        elif tag == "file" and child.get("name"):
            files.append(os.path.basename(child.get("name").replace("\\", "/")))
        elif tag == "dependency" and child.get("optional", "no").lower() != "yes":
            # An optional one that is not found stops nothing.
            dependencies += [_identity(element) for assembly in child if _local(assembly.tag) == "dependentAssembly"
                             for element in assembly if _local(element.tag) == "assemblyIdentity"]
    return identity, dependencies, files


@dataclasses.dataclass(frozen=True)
class _Found:
    path: str           # the manifest, or the DLL holding it
    folder: str         # the assembly's folder
    identity: Identity
    files: tuple


def _probe(wanted, folder):
    """The first manifest Windows finds for wanted beside the program, or None."""
    here = _entries(folder)
    name = wanted.name.lower()
    inside = _entries(here[name]) if name in here and os.path.isdir(here[name]) else {}
    for entries, where in ((here, folder), (inside, here.get(name))):
        text, path = None, entries.get(name + ".dll")
        if path and os.path.isfile(path):
            try:
                text = peimports.read(path).manifest
            except headers.NotAProgram:
                text = None
        if text is None:
            path = entries.get(name + ".manifest")
            text = _read(path) if path else None
        if text is not None:
            parsed = parse(text)
            identity, _, files = parsed if parsed else (None, [], [])
            return _Found(os.path.relpath(path, folder).replace(os.sep, "\\"), where, identity, tuple(files))
    return None


def _unnamed(module, found, folder, is_system):
    """What the program imports that only its assembly's folder holds, and
    that the assembly's manifest does not name: Windows looks for no other
    file there, and finds it nowhere else."""
    if found.folder == folder:
        return []
    named = {name.lower() for name in found.files}
    here, inside = _entries(folder), _entries(found.folder)
    out = []
    for written, _ in module.imports:
        dll = written.lower() if "." in written else written.lower() + ".dll"
        if dll in inside and dll not in named and dll not in here and not is_system(dll):
            out.append((ERROR, REFUSES + "{items} not found: it lies in the folder of the assembly %s, whose "
                        "manifest does not name it (<file name=\"%s\"/>)" % (found.identity.name, written), written))
    return out


def _mismatch(wanted, found, arch):
    """Why the manifest found is not the assembly wanted, or None."""
    if found.identity is None:
        return "%s holds no readable assembly identity" % found.path
    have = found.identity
    wanted_arch = arch if wanted.arch in ("", "*") else wanted.arch.lower()
    for field, asked, there in (("name", wanted.name.lower(), have.name.lower()),
                                ("version", _numbers(wanted.version), _numbers(have.version)),
                                ("processorArchitecture", wanted_arch, have.arch.lower() or wanted_arch),
                                ("type", wanted.type.lower() or "win32", have.type.lower() or "win32"),
                                ("publicKeyToken", wanted.token, have.token if wanted.token else "")):
        if asked != there:
            shown = {"name": (wanted.name, have.name), "version": (wanted.version, have.version)}
            asked, there = shown.get(field, (asked, there))
            return "%s says %s %s, the installer's manifest asks for %s" % (found.path, field, there or "(none)",
                                                                            asked)
    return None


def _not_installed(wanted, why):
    runtime = RUNTIME_ASSEMBLY.match(wanted.name.lower())
    if runtime:
        head = ("{releases} will start it only where the Visual C++ %s runtime is installed: its manifest asks "
                "for the {items} assembly, " % VISUAL_CPP_YEARS[runtime.group(1)])
    else:
        head = "{releases} will start it only where the {items} assembly is installed: its manifest asks for it, "
    shipped = "and the copy next to it is another (%s)" % why if why else "which is not shipped next to it"
    return WARNING, head + shipped, wanted.name


def _identity(element):
    get = element.get
    return Identity(get("name", ""), get("version", ""), get("processorArchitecture", ""),
                    get("publicKeyToken", "").lower(), get("type", ""))


def _numbers(version):
    parts = version.split(".")
    return tuple(int(part) for part in parts) if all(part.isdigit() for part in parts) else version


def _local(tag):
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


def _entries(folder):
    try:
        with os.scandir(folder) as entries:
            return {entry.name.lower(): entry.path for entry in entries}
    except OSError:
        return {}


def _read(path):
    """The start of a regular file (a FIFO is never opened), or None."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        with open(path, "rb") as f:
            return f.read(LIMIT)
    except OSError:
        return None
