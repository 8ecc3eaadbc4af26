"""Checks a distribution without running anything: the launcher at its top
and, for every installer path the launcher may start, that the file is there
under that exact name and is a Windows program that the row's releases and
processors can load.

Usage: tools/kit check KIT [--program NAME] [--json]
       (exit 1 when anything is an error, else 0)
"""
import difflib
import errno
import os
import stat

import check_pe
import kit_files
import loadcheck
import peinfo
from windows import ANY_MINOR, LINKED_FOR, ROWS

ERROR, WARNING, INFO = "error", "warning", "info"
SEVERITIES = (ERROR, WARNING, INFO)

# Windows Vista and later guess that a program without a manifest whose name
# holds one of these is an installer, and ask for elevation before it starts.
ELEVATING_WORDS = ("setup", "install", "update")

# Names closer than this (difflib's ratio, case ignored) look alike enough to
# be a misspelling: win98 / win98SE, Vistax64 / Vista64.
SIMILAR = 0.8


class Finding:
    def __init__(self, path, severity, message):
        assert severity in SEVERITIES
        self.path = path
        self.severity = severity
        self.message = message

    def as_dict(self):
        return {"path": self.path, "severity": self.severity, "message": self.message}

    def __repr__(self):
        return "Finding(%r, %r, %r)" % (self.path, self.severity, self.message)


def check(kit, program=None, within=None):
    """Every finding about the distribution in the folder kit, the launcher's
    first, then the installers' in the launcher's order, then the links and
    names the disc would carry; links may lead anywhere in within (a view
    of a kit made of links to it), else only inside kit."""
    if not os.path.isdir(kit):
        return [Finding(".", ERROR, "%s is not a folder" % kit)]
    findings = []
    findings += check_launcher(kit, program)
    for row in ROWS:
        findings += check_installer(kit, row)
    findings += [Finding(path, ERROR, message) for path, message in kit_files.links(kit, within)]
    on_paths = {"\\".join(row.path.split("\\")[:depth]).lower()
                for row in ROWS for depth in range(1, len(row.path.split("\\")) + 1)}
    findings += [Finding(path, WARNING, message) for path, message in kit_files.names(kit, on_paths)]
    return findings


# -- the launcher -----------------------------------------------------------

def find_launcher(kit, program=None):
    """The launcher's name in kit, or a Finding saying why there is none."""
    if program:
        if "/" in program or "\\" in program:
            # The launcher looks for Autoinst next to itself.
            return Finding(program.replace("/", "\\"), ERROR, "the launcher must sit at the top of the "
                           "distribution, next to Autoinst: give its file name alone")
        return program
    programs = sorted(name for name in os.listdir(kit)
                      if name.lower().endswith(".exe") and os.path.isfile(os.path.join(kit, name)))
    if len(programs) == 1:
        return programs[0]
    if not programs:
        return Finding(".", ERROR, "no launcher: no .exe at the top of the distribution")
    return Finding(".", ERROR, "several programs at the top (%s): name the launcher with --program"
                   % ", ".join(programs))


def check_launcher(kit, program=None):
    name = find_launcher(kit, program)
    if isinstance(name, Finding):
        return [name]
    path = os.path.join(kit, name)
    if not os.path.lexists(path):
        return [Finding(name, ERROR, "missing: the launcher is not in the distribution")]
    try:
        info = peinfo.read(path)
    except peinfo.NotAProgram as error:
        return [Finding(name, ERROR, "the launcher is %s" % error)]
    findings = []
    unnamed = unnamed_paths(path)
    if unnamed:
        findings.append(Finding(name, ERROR, "not this launcher's build: it does not name %s"
                                % ("the installer paths" if len(unnamed) == len(ROWS)
                                   else ", ".join(unnamed))))
    else:
        differences = check_pe.problems(info)
        if differences:
            findings.append(Finding(name, WARNING, "not this launcher's build (an older or changed one): "
                                    + "; ".join(differences)))
    words = [word for word in ELEVATING_WORDS if word in name.lower()]
    if words:
        findings.append(Finding(name, INFO, "the name holds \"%s\": Windows Vista and later ask for "
                                "elevation before the launcher starts, and the installer inherits it"
                                % words[0]))
    if not info.signed:
        findings.append(Finding(name, INFO, "not signed: Windows shows it as from an unknown publisher"))
    return findings


def unnamed_paths(path, piece=1 << 20):
    """The installer paths that the program at path does not name. Every
    build of the launcher names all six as plain strings; another program
    does not. Read in pieces: an installer may be gigabytes."""
    missing = {row.path.encode("ascii") + b"\0": row.path for row in ROWS}
    overlap = max(map(len, missing)) - 1
    with open(path, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        tail = b""
        while missing:
            data = f.read(piece)
            if not data:
                break
            data = tail + data
            for text in [text for text in missing if text in data]:
                del missing[text]
            tail = data[-overlap:]
    return [row.path for row in ROWS if row.path in missing.values()]


# -- the installers ---------------------------------------------------------

def check_installer(kit, row):
    found, how, clashes = locate(kit, row.path)
    findings = [Finding(row.path, WARNING, "%s and %s both exist: they differ only in case, and on "
                        "Windows only one of them survives" % pair) for pair in clashes]
    if found is None:
        return findings + [Finding(row.path, ERROR, "missing: %s (needed on %s)" % (row.path, row.releases))]
    if how == "similar":
        return findings + [Finding(row.path, ERROR, "missing: %s (needed on %s); found %s instead"
                                   % (row.path, row.releases, found))]
    if how == "case":
        findings.append(Finding(row.path, WARNING, "the name differs in case: found %s; Windows finds it "
                                "on a CD or an NTFS disk, not on a case-sensitive share" % found))
    path = os.path.join(kit, *found.split("\\"))
    try:
        info = peinfo.read(path)
    except peinfo.NotAProgram as error:
        return findings + [Finding(row.path, ERROR, str(error))]
    if not unnamed_paths(path):
        # Started there, it would look for Autoinst inside the installer's
        # own folder and find nothing.
        return findings + [Finding(row.path, ERROR, "a copy of the launcher, not an installer")]
    return findings + check_program(row, info) + [Finding(row.path, *f) for f in loadcheck.findings(path, row.path)]


def check_program(row, info):
    findings = []

    def say(severity, message):
        findings.append(Finding(row.path, severity, message))

    if info.is_dll:
        say(ERROR, "a DLL, not a program: Windows cannot start it")
    if info.machine not in row.machines and not info.any_cpu:
        if row.machines == ("i386",):
            say(ERROR, "%s program in a 32-bit row: %s cannot run it (expected i386)"
                % (info.machine, row.releases))
        elif info.machine == "i386":
            say(WARNING, "i386 program in the 64-bit row: it runs, but it is not what the folder "
                "%s says (expected x64)" % row.folder)
        elif info.machine == "arm64":
            say(WARNING, "arm64 program in the 64-bit row: only ARM64 Windows runs it, x64 Windows "
                "refuses it (expected x64)")
        else:
            say(ERROR, "%s program: %s cannot run it (expected x64)" % (info.machine, row.releases))
    if info.machine == "x64" and not info.any_cpu and row.machines == ("x64",):
        # The launcher sends Windows on ARM to this row too (it is not x86);
        # Windows 11 on ARM emulates x64 programs, Windows 10 on ARM does not.
        say(INFO, "x64 program: Windows 10 on ARM will not start it (Windows 11 on ARM does)")
    if info.subsystem == "console":
        say(WARNING, "a console program: Windows opens a console window for it")
    elif info.subsystem != "gui":
        say(ERROR, "%s program, not a Windows GUI or console one: Windows cannot start it"
            % info.subsystem)
    if info.subsystem_version > row.max_subsystem:
        version = "%d.%d" % info.subsystem_version
        linked = LINKED_FOR.get(info.subsystem_version)
        allowed = ("%d.x" % row.max_subsystem[0] if row.max_subsystem[1] == ANY_MINOR
                   else "%d.%d" % row.max_subsystem)
        refuse = "refuse" if " and " in row.oldest else "refuses"
        say(ERROR, "subsystem version %s%s: %s %s to load it (row %s serves %s; expected at most %s)"
            % (version, " (%s)" % linked if linked else "", row.oldest, refuse, row.folder, row.releases,
               allowed))
    if not info.signed:
        say(INFO, "not signed: Windows shows it as from an unknown publisher")
    return findings


def locate(kit, path):
    """Finds path under kit as Windows would, and as a misspelling would.
    Returns (found path, how, clashes): how is "exact", "case" (the names
    differ only in case) or "similar" (a folder or name that looks like the
    expected one); found is None when nothing fits; clashes lists the pairs
    of names on the way that differ only in case."""
    here = kit
    found = []
    how = "exact"
    clashes = []
    parts = path.split("\\")
    for depth, part in enumerate(parts):
        try:
            names = os.listdir(here)
        except OSError:
            return None, None, clashes
        name, kind = _match(part, names, _siblings(parts[:depth]))
        if name is None:
            return None, None, clashes
        prefix = "\\".join(found + [""])
        clashes += [(prefix + name, prefix + other) for other in sorted(names)
                    if other != name and other.lower() == name.lower()]
        if kind == "similar":
            how = "similar"
        elif kind == "case" and how == "exact":
            how = "case"
        found.append(name)
        here = os.path.join(here, name)
        if depth < len(parts) - 1 and not os.path.isdir(here):
            return None, None, clashes
    return "\\".join(found), how, clashes


def _match(part, names, siblings):
    if part in names:
        return part, "exact"
    same = sorted(name for name in names if name.lower() == part.lower())
    if same:
        return same[0], "case"
    # A folder that another row expects is that row's, not a misspelling.
    taken = {sibling.lower() for sibling in siblings}
    candidates = [name for name in names if name.lower() not in taken]
    close = [name for name in candidates if _normal(name) == _normal(part)]
    if not close:
        close = difflib.get_close_matches(part.lower(), [name.lower() for name in candidates], 1, SIMILAR)
        close = [name for name in candidates if name.lower() in close]
    return (sorted(close)[0], "similar") if close else (None, None)


def _normal(name):
    return "".join(c for c in name.lower() if c.isalnum())


def _siblings(parent_parts):
    """The names the table expects next to each other below parent_parts."""
    depth = len(parent_parts)
    return {row.path.split("\\")[depth] for row in ROWS
            if row.path.split("\\")[:depth] == parent_parts and len(row.path.split("\\")) > depth}


# -- output -----------------------------------------------------------------

def format_text(findings):
    """The findings as a table, one line per finding."""
    if not findings:
        return "No findings: the distribution looks right."
    width = max(len("Path"), *(len(finding.path) for finding in findings))
    lines = ["%-8s %-*s %s" % ("Severity", width, "Path", "Finding"),
             "%-8s %-*s %s" % ("-" * 8, width, "-" * width, "-" * 7)]
    lines += ["%-8s %-*s %s" % (finding.severity, width, finding.path, finding.message)
              for finding in findings]
    lines.append("%d error(s), %d warning(s), %d info" % tuple(severity_counts(findings).values()))
    return "\n".join(lines)


def severity_counts(findings):
    """How many findings there are of each severity, in SEVERITIES' order."""
    return {severity: sum(f.severity == severity for f in findings) for severity in SEVERITIES}
