"""Will an installer load on every Windows its row serves? Reads its headers
(program.py) and its manifest's assemblies (assemblies.py), then walks what
it imports as Windows' loader would for a program started from its own
folder: API sets from Windows 7 on, the assemblies' DLLs, the DLLs that
Windows always takes from itself (known DLLs), the DLLs next to it, then
that Windows' own, against the export lists of real Windows builds
(exports.py); and says which Windows would refuse it and why.

    walk.causes(path, row_path)     # [Cause]: the check's findings, the preview's refusals
"""
import dataclasses
import functools
import os

from kitlib.checks.loading import assemblies, exports as exportdata, lacking, program, runtimes
from kitlib.checks.loading.causes import REFUSES, Cause, Gathered
from kitlib.model.findings import ERROR, INFO, WARNING
from kitlib.model.loader import (EXPORT_LISTS, KNOWN_DLLS, NO_API_SETS, SCHEMA, SCHEMA_FLOOR, SYSTEM_FILES,
                                 UNLISTED, XP_ADDED_DLLS, has_system_file)
from kitlib.model.windows import NAMES, ROWS
from kitlib.pe import headers, imports as peimports

DEPTH = 64
ANY_ORDINAL = ((1, 0xFFFF),)


@dataclasses.dataclass(frozen=True)
class ListedRelease:
    """A release of a row as the load check walks it: the preview's name
    for it, its name in messages, the lists' processor and build."""
    key: str
    name: str
    arch: str
    build: str


# Per installer path: the releases the launcher sends there that an export
# list stands for, in the row's order.
ROW_RELEASES = {row.path: tuple(ListedRelease(key, EXPORT_LISTS[key][1], "x64" if "x64" in row.machines else "x86",
                                              EXPORT_LISTS[key][0])
                                for key in row.served if key in EXPORT_LISTS)
                for row in ROWS}
LIST_NAMES = {key: name for key, (_, name) in EXPORT_LISTS.items()}


def causes(path, row_path):
    """[Cause] of the installer at path in the row whose launcher's path is
    row_path: its headers', its assemblies', then the walk's, errors first
    in each."""
    row = next(row for row in ROWS if row.path == row_path)
    try:
        module = peimports.read(path)
    except headers.NotAProgram as error:
        return [Cause(ERROR, str(error), row.served)]
    found, refused = program.causes(module.info, row)
    releases = _releases(module, row_path)
    if releases is None:
        return found
    named = Gathered(row.served, NAMES)
    resolutions = _assemblies(module, row, refused, named)
    for severity, template, release in runtimes.dotnet(module, [key for key in row.served if key not in refused]):
        named.add(severity, template, "", [release])
    found += named.causes()
    walked = tuple(release for release in releases if release.key not in refused)
    if not walked:
        return found
    try:
        walk = _Walk(module, walked, resolutions, _in_assemblies(module, walked))
    except exportdata.DataError as error:
        return found + [Cause(WARNING, "not checked for loading on each Windows: %s" % error)]
    for release in walked:
        walk.run(release)
    if walked[0].key in UNLISTED:
        walk.add(INFO, "{releases}: not checked function by function, for want of export lists; checked "
                 "against Windows XP's, less what XP added", "", [r for r in walked if r.key in UNLISTED])
    return found + walk.gathered.causes()


def _assemblies(module, row, refused, gathered):
    """{release: assemblies.Resolution} for the row's releases that read
    manifests, their causes added to gathered; those whose manifest does
    not resolve join refused."""
    resolutions, by_flavour = {}, {}
    for key in row.served:
        if key in UNLISTED or key in refused:
            continue
        xp = key == "winxp"
        if xp not in by_flavour:
            by_flavour[xp] = assemblies.resolve(module, xp, functools.partial(_is_system, module))
        resolutions[key] = by_flavour[xp]
        for severity, template, item in resolutions[key].causes:
            gathered.add(severity, template, item, [key])
            if severity == ERROR:
                refused.add(key)
    return resolutions


def _in_assemblies(module, releases):
    """The DLLs an assembly of the manifest holds, where 95 to 2000, which
    read no manifest, look for them."""
    if releases[0].key not in UNLISTED:
        return frozenset()
    return frozenset(assemblies.resolve(module, False, functools.partial(_is_system, module)).redirects)


def _is_system(module, dll):
    """Whether dll is a DLL of Windows' own for the module's processor, in
    any build the lists hold."""
    try:
        data = exportdata.load()
    except exportdata.DataError:
        return False     # said once the walk reads the lists
    arch = "x64" if module.machine == "x64" else "x86"
    return any(data.exports(arch, build, dll) for build in data.builds[arch])


def _releases(module, row_path):
    releases = ROW_RELEASES.get(row_path)
    if not releases:
        return None
    arch = releases[0].arch
    machine = {"x86": "i386", "x64": "x64"}[arch]
    if module.machine == machine:
        return releases
    if arch == "x64" and module.machine == "i386":
        # On 64-bit Windows a 32-bit program gets the 32-bit DLLs.
        return tuple(dataclasses.replace(r, arch="x86") for r in releases)
    return None


class _Walk:
    """What the installer's imports lack on each release walked."""

    def __init__(self, installer, releases, resolutions, in_assemblies):
        self.installer = installer
        self.resolutions = resolutions
        self.in_assemblies = in_assemblies
        self.data = exportdata.load()
        self.gathered = Gathered([release.key for release in releases], LIST_NAMES)
        self.folder = os.path.dirname(installer.path)
        self.modules = {installer.path: installer}
        self.shipped = _files(self.folder)

    def add(self, severity, template, item, releases):
        self.gathered.add(severity, template, item, [release.key for release in releases])

    def run(self, release):
        self.release, self.stack, self.seen = release, [], set()
        resolution = self.resolutions.get(release.key)
        self.redirects = resolution.redirects if resolution else {}
        self.comctl6 = bool(resolution and resolution.comctl6)
        self.visit(self.installer, "")

    def visit(self, module, via):
        self.stack.append(module.path)
        self.seen.add(module.path)
        for dll, functions in module.imports:
            for function in functions or [None]:
                self.need(dll, function, via, False)
        if module is self.installer:
            for dll, functions in module.delayed:
                for function in functions or [None]:
                    self.need(dll, function, via, True)
        self.stack.pop()

    def need(self, written, function, via, delayed):
        """One imported function (None: the DLL alone) of written, imported
        by the module named in via ("" for the installer itself)."""
        dll = written.lower() if "." in written else written.lower() + ".dll"
        if dll == "mscoree.dll":
            return       # the .NET runtime, which an update brings: runtimes.dotnet says where it runs
        kind, found = self.resolve(dll)
        by = ", imported by %s next to it" % via if via else ""
        item = written if function is None else "%s!%s" % (written, self.name(dll, function))
        if kind == "shipped" and function in found.forwards:
            if len(self.stack) < DEPTH:
                self.stack.append(found.path)
                self.need(*found.forwards[function], found.name, delayed)
                self.stack.pop()
            return
        lacking_here = (kind in ("bad", "missing") or kind == "shipped" and function is not None
                        and not found.exports(function))
        problem = self.lacks(dll, function, found) if kind == "system" and function is not None else None
        if delayed:
            # Only what fails the load itself: a service pack it needs fails no call.
            if lacking_here or problem and problem[0] == ERROR:
                self.add(INFO, "{releases} lack{s} {items}, which it loads only when called: it starts, "
                         "and fails there only if it makes that call", item, [self.release])
        elif kind == "bad":
            self.add(ERROR, REFUSES + "%s next to it is %s" % (written, found), "", [self.release])
        elif kind == "missing" and dll in self.in_assemblies and self.release.key in UNLISTED:
            self.add(ERROR, REFUSES + "{items} not found: it lies in the folder of an assembly the manifest asks "
                     "for, and {releases} read{s} no manifest; ship it next to the installer too", written,
                     [self.release])
        elif kind == "missing":
            severity, text = runtimes.missing_dll(dll, self.release)
            self.add(severity, text.replace("{items}", "{items}" + by), written, [self.release])
        elif lacking_here:
            self.add(ERROR, REFUSES + "{items}" + by, item, [self.release])
        elif kind == "shipped" and found.path in self.stack[1:]:
            self.add(INFO, "%s and %s next to it import each other" % (via, found.name), "", [self.release])
        elif kind == "shipped" and found.path not in self.seen and len(self.stack) < DEPTH:
            self.visit(found, found.name)
        elif problem:
            self.add(problem[0], problem[1].replace("{items}", "{items}" + by), item, [self.release])

    def lacks(self, dll, function, exports):
        return lacking.lacks(self.release.key, dll, function, exports, self.data, self.comctl6)

    def resolve(self, dll):
        """(kind, what): ("shipped", Module), ("bad", why), ("system",
        Exports), ("trusted", None) or ("missing", None)."""
        release, data = self.release, self.data
        is_set = dll.startswith(("api-ms-win-", "ext-ms-"))
        if is_set and release.key not in NO_API_SETS:
            if release.key == SCHEMA:
                if data.exports(release.arch, SCHEMA_FLOOR, dll):
                    return "trusted", None
                hosts = data.apiset_hosts(release.arch)
                host = hosts.get(dll) or hosts.get(_set_prefix(dll, hosts))
                exports = data.exports(release.arch, release.build, host) if host else None
                if host:
                    return ("system", exports) if exports else ("trusted", None)
            exports = data.exports(release.arch, release.build, dll)
            if exports:
                return "system", exports
        if dll in self.redirects:
            return self.module(self.redirects[dll]) if os.path.isfile(self.redirects[dll]) else ("missing", None)
        exports = None if is_set else data.exports(release.arch, release.build, dll)
        if release.key in UNLISTED and dll in XP_ADDED_DLLS:
            exports = None
        if exports and dll in KNOWN_DLLS[release.key]:
            return "system", exports
        if dll in self.shipped:
            return self.module(self.shipped[dll])
        if exports:
            return "system", exports
        system_file = SYSTEM_FILES.get(dll)
        if system_file and has_system_file(release.key, system_file):
            return ("system", exportdata.Exports(system_file.exports, ANY_ORDINAL)) if system_file.exports \
                else ("trusted", None)
        return "missing", None

    def module(self, path):
        if path not in self.modules:
            try:
                module = peimports.read(path)
                if module.machine != self.installer.machine:
                    module = "a DLL for %s, and the installer is for %s" % (module.machine,
                                                                           self.installer.machine)
            except headers.NotAProgram as error:
                module = str(error)
            self.modules[path] = module
        module = self.modules[path]
        return ("bad", module) if isinstance(module, str) else ("shipped", module)

    def name(self, dll, function):
        if isinstance(function, int):
            known = self.data.ordinal_name(self.release.arch, dll, function)
            return "#%d%s" % (function, " (%s)" % known if known else "")
        return function


def _set_prefix(dll, hosts):
    """Windows 10 matches an API set by its name less the last number."""
    stem = dll[:-len(".dll")].rpartition("-")[0] + "-"
    return next((name for name in hosts if name.startswith(stem)), None)


def _files(folder):
    """{name in lower case: path} of the regular files in folder (a FIFO or
    a device under a DLL's name is never opened)."""
    try:
        with os.scandir(folder) as entries:
            return {entry.name.lower(): entry.path for entry in entries if entry.is_file()}
    except OSError:
        return {}
