"""Checks a distribution without running anything: the launcher at its top
and, for every installer path the launcher may start, that the file is there
under that exact name and is a Windows program that the row's releases and
processors can load (the load check's causes, which the preview's refusals
are made of too); then the links and names the disc would carry."""
import os

from kitlib.checks import files, loading
from kitlib.checks.launcher_build import problems as build_problems
from kitlib.model.findings import ERROR, INFO, WARNING, Finding
from kitlib.model.kit import NoLauncher, find_launcher, installer_file, locate, unnamed_paths
from kitlib.model.verdicts import Refusal
from kitlib.model.windows import ROWS
from kitlib.pe import headers

# Windows Vista and later guess that a program without a manifest whose name
# holds one of these is an installer, and ask for elevation before it starts.
ELEVATING_WORDS = ("setup", "install", "update")


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
    findings += [Finding(path, ERROR, message) for path, message in files.links(kit, within)]
    on_paths = {"\\".join(row.path.split("\\")[:depth]).lower()
                for row in ROWS for depth in range(1, len(row.path.split("\\")) + 1)}
    findings += [Finding(path, WARNING, message) for path, message in files.names(kit, on_paths)]
    return findings


# -- the launcher -----------------------------------------------------------

def check_launcher(kit, program=None):
    try:
        name = find_launcher(kit, program)
    except NoLauncher as error:
        return [Finding(error.path, ERROR, str(error))]
    path = os.path.join(kit, name)
    if not os.path.lexists(path):
        return [Finding(name, ERROR, "missing: the launcher is not in the distribution")]
    try:
        info = headers.read(path)
    except headers.NotAProgram as error:
        return [Finding(name, ERROR, "the launcher is %s" % error)]
    findings = []
    unnamed = unnamed_paths(path)
    if unnamed:
        findings.append(Finding(name, ERROR, "not this launcher's build: it does not name %s"
                                % ("the installer paths" if len(unnamed) == len(ROWS)
                                   else ", ".join(unnamed))))
    else:
        differences = build_problems(info)
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
        info = headers.read(path)
    except headers.NotAProgram as error:
        return findings + [Finding(row.path, ERROR, str(error))]
    if not unnamed_paths(path):
        # Started there, it would look for Autoinst inside the installer's
        # own folder and find nothing.
        return findings + [Finding(row.path, ERROR, "a copy of the launcher, not an installer")]
    findings += [Finding(row.path, cause.severity, cause.message) for cause in loading.causes(path, row.path)]
    if info.subsystem == "console":
        findings.append(Finding(row.path, WARNING, "a console program: Windows opens a console window for it"))
    if not info.signed:
        findings.append(Finding(row.path, INFO, "not signed: Windows shows it as from an unknown publisher"))
    return findings


def refusals(kit):
    """(model.Refusal, ...): what the check finds of the kit's installers
    that a Windows will not start, on the releases it names, with the
    check's own words; the preview turns a row that starts one there into a
    fault. A machine type is not among them: the preview lays what each kind
    of Windows starts, and the modelled Windows on ARM share the x64 row's
    release names."""
    found = []
    for row in ROWS:
        path = installer_file(kit, row.path)
        for cause in loading.causes(path, row.path) if path else ():
            if cause.severity == ERROR and cause.releases and not cause.machine:
                found.append(Refusal(row.path, frozenset(cause.releases), cause.message))
    return tuple(found)
