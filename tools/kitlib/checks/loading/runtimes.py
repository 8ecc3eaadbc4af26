"""What the load check says about what Windows does not carry, or carries
only from some release on: a DLL found nowhere (the Visual C++ runtimes, the
Universal C Runtime, what XP brought, HTML Help), and .NET, with the
runtimes a program's .config allows. Templates hold {releases} and {items}
(causes.py).
"""
import os
import re
import stat
import xml.etree.ElementTree as ElementTree

from kitlib.checks.loading.causes import REFUSES
from kitlib.model.findings import ERROR, WARNING
from kitlib.model.loader import NO_API_SETS, SYSTEM_FILES, XP_ADDED_DLLS

# msvcr70 and later, msvcp70 and later, vcruntime, concrt, mfc70 and later
# (msvcrt, msvcp60 and mfc42 are Windows' own).
VISUAL_CPP = re.compile(r"(?:(?:msvc[rp]|mfc)(70|71|80|90|100|110|120|140)(?:u|d|ud)?(?:_\w+)?"
                        r"|vcruntime(140)(?:_1)?d?|concrt(140)d?)\.dll$")
VISUAL_CPP_YEARS = {"70": ".NET 2002", "71": ".NET 2003", "80": "2005", "90": "2008", "100": "2010",
                    "110": "2012", "120": "2013", "140": "2015 or later"}
UCRT_UPDATE = ("win7", "win8", "win81", "vista")

# .NET: what each Windows has built in (None: nothing; "v2": 2.0 to 3.5;
# a version: 4.x up to it), the Windows where 3.5 is an optional feature,
# and the newest framework each Windows can run at all (None: any).
DOTNET_BUILT_IN = {"vista": "v2", "win7": "v2", "win8": (4, 5), "win81": (4, 5, 1), "win10": (4, 99),
                   "win11": (4, 99)}
DOTNET_FEATURE = ("win8", "win81", "win10", "win11")
DOTNET_NEWEST = {"win95": (0,), "win98": (2, 99), "winme": (2, 99), "win2k": (2, 99), "winxp": (4, 0, 99),
                 "vista": (4, 6, 99)}
# Where a runtime stands on a release, best first.
BUILT_IN, FEATURE, INSTALL, NEVER = range(4)
CONFIG_LIMIT = 1 << 20


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
    system_file = SYSTEM_FILES.get(dll)
    if system_file and system_file.brought_by:
        return WARNING, "{releases} will load it only where %s is installed: {items}" % system_file.brought_by
    if dll in XP_ADDED_DLLS:
        return ERROR, REFUSES + "{items} not found: part of Windows from XP on; ship it next to the installer"
    if dll.startswith(("api-ms-win-", "ext-ms-")):
        if release.key in NO_API_SETS:
            return ERROR, REFUSES + "{items} not found: an API set, and API sets exist only from Windows 7 on"
        return ERROR, REFUSES + "{items} not found: that Windows has no such API set"
    return ERROR, (REFUSES + "{items} not found: neither next to it nor part of that Windows; ship it next "
                   "to the installer")


def dotnet(program, releases):
    """[(severity, template, release)] for a .NET program on releases
    (Wine's names): the
    runtimes its NAME.exe.config allows (supportedRuntime), else the one its
    metadata names, with its target framework; where none of them runs as
    the release is, what it takes."""
    if not program.clr or not program.runtime or not program.runtime.startswith("v"):
        return []
    target = _version(program.target) if program.target else None
    allowed = [runtime for runtime in supported_runtimes(program.path + ".config") if runtime[:2] in ("v2", "v4")]
    fours = dict.fromkeys(runtime.startswith("v4") for runtime in allowed or [program.runtime])
    wanted = [(four, (target or (4, 0)) if four else (2, 0)) for four in fours]
    out = []
    for release in releases:
        outcomes = sorted((_outcome(four, needed, release), four, needed) for four, needed in wanted)
        best = outcomes[0][0] if outcomes else None
        need = " or ".join(_need(four, needed) for outcome, four, needed in outcomes if outcome == best)
        if best == NEVER:
            out.append((ERROR, "{releases} will not run it: it is a .NET program for the .NET Framework %s, "
                        "which does not run there" % " or ".join(_need(four, needed) for four, needed in wanted),
                        release))
        elif best == FEATURE:
            out.append((WARNING, "{releases} will run it only once the .NET Framework 3.5 is turned on (an "
                        "optional feature there, off by default)", release))
        elif best == INSTALL:
            out.append((WARNING, "{releases} will run it only once the user has installed the .NET Framework %s, "
                        "which that Windows does not have" % need, release))
    return out


def supported_runtimes(config):
    """The runtimes a program's .config allows, in its order ("v4.0", ...),
    or [] where it names none or cannot be read."""
    try:
        if not stat.S_ISREG(os.stat(config).st_mode):
            return []
        with open(config, "rb") as f:
            root = ElementTree.fromstring(f.read(CONFIG_LIMIT))
    except (OSError, ElementTree.ParseError, ValueError, UnicodeError):
        return []
    return [element.get("version", "") for startup in root.iter("startup")
            for element in startup.iter("supportedRuntime")]


def _outcome(four, target, key):
    newest = DOTNET_NEWEST.get(key)
    built_in = DOTNET_BUILT_IN.get(key)
    if newest is not None and target > newest:
        return NEVER
    if not four and key in DOTNET_FEATURE:
        return FEATURE
    if built_in is None or (four and (built_in == "v2" or target > built_in)) or (not four and built_in != "v2"):
        return INSTALL
    return BUILT_IN


def _need(four, target):
    return ".".join(map(str, target)) if four and target != (4, 0) else "4" if four else "2.0 to 3.5"


def _version(text):
    return tuple(int(part) for part in text.split(".") if part.isdigit())
