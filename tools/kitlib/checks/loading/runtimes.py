"""What the load check says about runtimes that Windows does not carry, or
carries only from some release on: the Visual C++ runtimes, the Universal C
Runtime, the side-by-side assemblies a manifest asks for, and .NET.
Templates hold {releases} and {items}, which the walk fills in.
"""
import os
import re

from kitlib.model.findings import ERROR, WARNING
from kitlib.model.loader import NO_API_SETS

REFUSES = "{releases} will not load it: "

# msvcr70 and later, msvcp70 and later, vcruntime, concrt, mfc70 and later
# (msvcrt, msvcp60 and mfc42 are Windows' own).
VISUAL_CPP = re.compile(r"(?:(?:msvc[rp]|mfc)(70|71|80|90|100|110|120|140)(?:u|d|ud)?(?:_\w+)?"
                        r"|vcruntime(140)(?:_1)?d?|concrt(140)d?)\.dll$")
VISUAL_CPP_YEARS = {"70": ".NET 2002", "71": ".NET 2003", "80": "2005", "90": "2008", "100": "2010",
                    "110": "2012", "120": "2013", "140": "2015 or later"}
UCRT_UPDATE = ("win7", "win8", "win81", "vista")
# The side-by-side assemblies of the Visual C++ 2005 and 2008 runtimes.
RUNTIME_ASSEMBLY = re.compile(r"microsoft\.vc(80|90)\.\w+$")

# .NET: what each Windows has built in (None: nothing; "v2": 2.0 to 3.5;
# a version: 4.x up to it), the Windows where 3.5 is an optional feature,
# and the newest framework each Windows can run at all (None: any).
DOTNET_BUILT_IN = {"vista": "v2", "win7": "v2", "win8": (4, 5), "win81": (4, 5, 1), "win10": (4, 99)}
DOTNET_FEATURE = ("win8", "win81", "win10")
DOTNET_NEWEST = {"win95": (0,), "win98": (2, 99), "winme": (2, 99), "win2k": (2, 99), "winxp": (4, 0, 99),
                 "vista": (4, 6, 99)}


def missing_dll(dll, release):
    """(severity, template) for a DLL found neither next to the installer
    nor in that Windows."""
    visual = VISUAL_CPP.match(dll)
    if visual:
        year = VISUAL_CPP_YEARS[next(group for group in visual.groups() if group)]
        return ERROR, (REFUSES + "{items} not found: the Visual C++ %s runtime, which is not part of Windows; "
                       "ship it next to the installer, have it installed first, or link the installer statically"
                       % year)
    if dll == "ucrtbase.dll" or dll.startswith("api-ms-win-crt-"):
        if release.key in UCRT_UPDATE:
            return WARNING, ("{releases} will load it only where the Universal C Runtime is installed (update "
                             "KB2999226, on Vista from SP2 on, or the Visual C++ 2015 or later runtime): "
                             "{items}; or ship it next to the installer")
        return ERROR, (REFUSES + "{items} not found: the Universal C Runtime, part of Windows from Windows 10 "
                       "on; ship it next to the installer or link the installer statically")
    if dll.startswith(("api-ms-win-", "ext-ms-")):
        if release.key in NO_API_SETS:
            return ERROR, REFUSES + "{items} not found: an API set, and API sets exist only from Windows 7 on"
        return ERROR, REFUSES + "{items} not found: that Windows has no such API set"
    return ERROR, (REFUSES + "{items} not found: neither next to it nor part of that Windows; ship it next "
                   "to the installer")


def private_assemblies(program, folder):
    """({DLL in lower case: path}, {assembly name}) of the private assemblies
    the program's manifest asks for and the kit ships in a folder of their
    own name next to it."""
    dlls, names = {}, set()
    try:
        entries = [entry for entry in os.scandir(folder) if entry.name.lower() in program.assemblies
                   and entry.is_dir()]
    except OSError:
        return dlls, names
    for entry in entries:
        try:
            inside = {item.name.lower(): item.path for item in os.scandir(entry.path) if item.is_file()}
        except OSError:
            continue
        if entry.name.lower() + ".manifest" in inside:
            names.add(entry.name.lower())
            dlls.update({name: path for name, path in inside.items() if name.endswith(".dll")})
    return dlls, names


def assembly_warnings(program, shipped, assemblies):
    """[(severity, template, item)] for the Visual C++ 2005 and 2008 runtime
    assemblies the manifest asks for and the kit does not ship, beside the
    program or in a folder of their own."""
    warnings = []
    for name in sorted(program.assemblies):
        runtime = RUNTIME_ASSEMBLY.match(name)
        if runtime and name + ".manifest" not in shipped and name not in assemblies:
            warnings.append((WARNING, "{releases} will start it only where the Visual C++ %s runtime is "
                             "installed: its manifest asks for the {items} assembly, which is not shipped "
                             "next to it" % VISUAL_CPP_YEARS[runtime.group(1)], program.assemblies[name][0]))
    return warnings


def dotnet(program, releases):
    """[(severity, template, releases, item)] for a .NET program, from the
    runtime its metadata names and its target framework."""
    if not program.clr or not program.runtime or not program.runtime.startswith("v"):
        return []
    four = program.runtime.startswith("v4")
    target = _version(program.target) if program.target else ((4, 0) if four else (2, 0))
    need = ".NET Framework " + (program.target or ("4" if four else "2.0 to 3.5"))
    out = []
    for release in releases:
        newest = DOTNET_NEWEST.get(release.key)
        built_in = DOTNET_BUILT_IN.get(release.key)
        if newest is not None and target > newest:
            out.append((ERROR, "{releases} will not run it: it is a .NET program for the %s, which does not "
                        "run there" % need, release))
        elif not four and release.key in DOTNET_FEATURE:
            out.append((WARNING, "{releases} will run it only once the .NET Framework 3.5 is turned on (an "
                        "optional feature there, off by default)", release))
        elif built_in is None or (four and (built_in == "v2" or target > built_in)):
            out.append((WARNING, "{releases} will run it only once the user has installed the %s, which "
                        "that Windows does not have" % need, release))
    return [(severity, template, [release], "") for severity, template, release in out]


def _version(text):
    return tuple(int(part) for part in text.split(".") if part.isdigit())
