"""Will an installer load on every Windows its row serves? Walks what it
imports as Windows' loader would for a program started from its own folder
(the DLLs next to it, then that Windows' own, API sets from Windows 7 on),
against the export lists of real Windows builds (exports.py), and says which
Windows would refuse it and why.

    walk.findings(path, row_path)       # [Finding] for the check
    walk.will_not_load(kit, row_path)   # {release: reason}, for the preview
"""
import collections
import dataclasses
import os

from kitlib.checks.loading import exports as exportdata, runtimes
from kitlib.checks.loading.runtimes import REFUSES
from kitlib.model.findings import ERROR, INFO, WARNING, Finding
from kitlib.model.kit import installer_file
from kitlib.model.loader import (COMCTL6_ONLY, EXPORT_LISTS, NO_API_SETS, SCHEMA, SCHEMA_FLOOR, UNLISTED, UPDATES,
                                 XP_ADDITIONS)
from kitlib.model.windows import ROWS
from kitlib.pe import headers, imports as peimports

COMMON_CONTROLS = "microsoft.windows.common-controls"
DEPTH = 64


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


@dataclasses.dataclass(frozen=True)
class Cause:
    """One reason found over a row's releases, and the releases it holds for."""
    severity: str
    message: str
    releases: tuple


def findings(path, row_path):
    """[Finding] about loading the installer at path on each Windows of the
    row; nothing where the row cannot run its processor."""
    return [Finding(row_path, cause.severity, cause.message) for cause in _results(path, row_path)]


def will_not_load(kit, row_path):
    """{release key: reason} for each Windows of the row that will not load
    the row's installer in the folder kit (the keys are the preview's
    release names); {} when the installer is missing or loads everywhere."""
    path = installer_file(kit, row_path)
    if path is None:
        return {}
    reasons = {}
    for cause in _results(path, row_path):
        for release in cause.releases if cause.severity == ERROR else ():
            reasons.setdefault(release.key, []).append(cause.message)
    return {key: "; ".join(messages) for key, messages in reasons.items()}


def _results(path, row_path):
    """[Cause], errors first."""
    try:
        module = peimports.read(path)
        releases = _releases(module, row_path)
        if releases is None:
            return []
        walk = _Walk(module, releases)
    except headers.NotAProgram as error:
        return [Cause(ERROR, "%s: Windows will not load it" % error, ROW_RELEASES.get(row_path, ()))]
    except exportdata.DataError as error:
        return [Cause(WARNING, "not checked for loading on each Windows: %s" % error, ())]
    for release in releases:
        walk.run(release)
    for severity, template, group, item in runtimes.dotnet(module, releases):
        walk.add(severity, template, item, group)
    if releases[0].key in UNLISTED:
        walk.add(INFO, "{releases}: not checked function by function, for want of export lists; checked "
                 "against Windows XP's, less what XP added", "", releases)
    return walk.results()


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
    """The causes found over a row's releases, grouped into one finding per
    cause naming every release that shares it."""

    def __init__(self, installer, releases):
        self.installer = installer
        self.order = {release: i for i, release in enumerate(releases)}
        self.data = exportdata.load()
        self.causes = collections.OrderedDict()  # (severity, template, item) -> [release]
        self.folder = os.path.dirname(installer.path)
        self.modules = {installer.path: installer}
        version = installer.assemblies.get(COMMON_CONTROLS, ("", ""))[1]
        self.comctl6 = version.startswith("6.")
        self.shipped = _files(self.folder)
        self.private, assemblies = runtimes.private_assemblies(installer, self.folder)
        for severity, template, item in runtimes.assembly_warnings(installer, self.shipped, assemblies):
            self.add(severity, template, item, [r for r in releases if r.key not in UNLISTED])

    def add(self, severity, template, item, releases):
        if releases:
            self.causes.setdefault((severity, template, item), []).extend(releases)

    def run(self, release):
        self.release, self.stack, self.seen = release, [], set()
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
        lacking = (kind in ("bad", "missing") or kind == "shipped" and function is not None
                   and not found.exports(function))
        if delayed:
            if lacking or kind == "system" and function is not None and self.lacks(dll, function, found):
                self.add(INFO, "{releases} lack{s} {items}, which it loads only when called: it starts, "
                         "and fails there only if it makes that call", item, [self.release])
        elif kind == "bad":
            self.add(ERROR, REFUSES + "%s next to it is %s" % (written, found), "", [self.release])
        elif kind == "missing":
            severity, text = runtimes.missing_dll(dll, self.release)
            self.add(severity, text.replace("{items}", "{items}" + by), written, [self.release])
        elif lacking:
            self.add(ERROR, REFUSES + "{items}" + by, item, [self.release])
        elif kind == "shipped" and found.path in self.stack[1:]:
            self.add(INFO, "%s and %s next to it import each other" % (via, found.name), "", [self.release])
        elif kind == "shipped" and found.path not in self.seen and len(self.stack) < DEPTH:
            self.visit(found, found.name)
        elif kind == "system" and function is not None:
            problem = self.lacks(dll, function, found)
            if problem:
                self.add(problem[0], problem[1].replace("{items}", "{items}" + by), item, [self.release])

    def lacks(self, dll, function, exports):
        """(severity, template) when this Windows' dll lacks function, or None."""
        key = self.release.key
        update = UPDATES.get((dll, function), {}).get(key)
        if update:
            return WARNING, "{releases} will load it only with %s: {items}" % update
        if not exports.has(function):
            return ERROR, REFUSES + "{items}"
        if key in UNLISTED and function in XP_ADDITIONS.get(dll, ()):
            return ERROR, REFUSES + "{items} (Windows XP added it)"
        if dll == "comctl32.dll" and function in COMCTL6_ONLY and not self.comctl6 and key not in UNLISTED:
            return ERROR, (REFUSES + "{items}: only Common Controls version 6 has it, and the installer's "
                           "manifest does not ask for that version")
        return None

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
        name = self.private.get(dll) if release.key not in UNLISTED else None
        name = name or self.shipped.get(dll)
        if name:
            return self.module(name)
        exports = None if is_set else data.exports(release.arch, release.build, dll)
        return ("system", exports) if exports else ("missing", None)

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

    def grouped(self):
        """{(severity, template, releases): [items]}, releases in row order."""
        groups = collections.OrderedDict()
        for (severity, template, item), releases in self.causes.items():
            group = tuple(sorted(set(releases), key=self.order.get))
            groups.setdefault((severity, template, group), []).append(item)
        return groups

    def results(self):
        rank = {ERROR: 0, WARNING: 1, INFO: 2}
        out = [Cause(severity, _message(template, group, items), group)
               for (severity, template, group), items in self.grouped().items()]
        return sorted(out, key=lambda cause: rank[cause.severity])


def _message(template, releases, items):
    names = [releases[0].name] + [r.name.replace("Windows ", "", 1) for r in releases[1:]]
    listed = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]
    items = [item for item in items if item]
    shown = ", ".join(items[:8]) + (" and %d more" % (len(items) - 8) if len(items) > 8 else "")
    return template.replace("{releases}", listed).replace("{s}", "" if len(names) > 1 else "s") \
        .replace("{items}", shown)


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
