"""What Windows reads of a program's headers before it loads anything: a
DLL or another subsystem is no program to start, the machine type must be
one the row's Windows start, and the subsystem version within the range each
release accepts (model/loader.py). Names every release that refuses it."""
from kitlib.checks.loading.causes import Cause, Gathered
from kitlib.model.findings import ERROR, INFO, WARNING
from kitlib.model.loader import LINKED_FOR, NEWER, NT_OLDEST_SUBSYSTEM, OLDER, SUBSYSTEM_NEWEST, UNDOCUMENTED, \
    ANY_MINOR, subsystem_refusal
from kitlib.model.windows import NAMES, ON_ARM, listed

STARTED = ("gui", "console")


def causes(info, row):
    """([Cause], the releases of the row that refuse the program for it) of
    the program whose headers.PeInfo is info, in row (windows.Row)."""
    found = _machine(info, row)
    if info.is_dll:
        found.append(Cause(ERROR, "a DLL, not a program: Windows cannot start it", row.served))
    if info.subsystem not in STARTED:
        found.append(Cause(ERROR, "%s program, not a Windows GUI or console one: Windows cannot start it"
                           % info.subsystem, row.served))
    found += _subsystem_version(info.subsystem_version, row)
    refused = {release for cause in found if cause.severity == ERROR for release in cause.releases}
    return found, refused


def _machine(info, row):
    if info.any_cpu or info.machine in row.machines:
        if info.machine == "x64" and not info.any_cpu and row.machines == ("x64",):
            # The launcher sends Windows on ARM to this row too (it is not x86);
            # Windows 11 on ARM emulates x64 programs, Windows 10 on ARM does not.
            return [Cause(INFO, "x64 program: Windows 10 on ARM will not start it (Windows 11 on ARM does)")]
        return []
    if row.machines == ("i386",):
        return [Cause(ERROR, "%s program in a 32-bit row: %s cannot run it (expected i386)"
                      % (info.machine, row.releases), row.served, machine=True)]
    if info.machine == "i386":
        return [Cause(WARNING, "i386 program in the 64-bit row: it runs, but it is not what the folder %s says "
                      "(expected x64)" % row.folder)]
    if info.machine == "arm64":
        return [Cause(ERROR, "ARM64 program in the 64-bit row: x64 Windows refuses it, %s alike; only %s on ARM "
                      "run it (expected x64)" % (listed(row.served), listed(tuple(ON_ARM))), row.served,
                      machine=True)]
    return [Cause(ERROR, "%s program: %s cannot run it (expected x64)" % (info.machine, row.releases), row.served,
                  machine=True)]


def _subsystem_version(version, row):
    by_why = {}
    for release in row.served:
        by_why.setdefault(subsystem_refusal(release, version), []).append(release)
    text = "subsystem version %d.%d" % version + (" (%s)" % LINKED_FOR[version] if version in LINKED_FOR else "")
    gathered = Gathered(row.served, NAMES)
    newer = by_why.get(NEWER)
    if newer:
        ceilings = sorted({SUBSYSTEM_NEWEST[release] for release in newer})
        expected = ("expected at most %s" % _version(ceilings[0]) if len(ceilings) == 1 else
                    "each loads at most its own version, %s to %s" % (_version(ceilings[0]), _version(ceilings[-1])))
        gathered.add(ERROR, "%s: {releases} refuse{s} to load it (row %s serves %s; %s)"
                     % (text, row.folder, row.releases, expected), "", newer)
    gathered.add(ERROR, "%s: {releases} refuse{s} to load it (Windows NT loads %s and later)"
                 % (text, _version(NT_OLDEST_SUBSYSTEM)), "", by_why.get(OLDER))
    gathered.add(WARNING, "%s: below %s, which every Windows NT refuses; what {releases} make{s} of it is not "
                 "documented" % (text, _version(NT_OLDEST_SUBSYSTEM)), "", by_why.get(UNDOCUMENTED))
    return gathered.causes()


def _version(version):
    return "%d.x" % version[0] if version[1] == ANY_MINOR else "%d.%d" % version
