"""The seven steps of `kit ship`, each a plain function of the pipeline's
context (shipping.Context) that returns its line's text or raises Stop:
check, brand, sign, check again, image, preview, report. Every output is
staged beside its target; shipping.py puts them in place at the end.

The key's password is never read here: osslsigncode gets the name of the file
that holds it, so it appears in no output, no log and no command line."""
import contextlib
import io
import json
import os
import subprocess

from kitlib import checks, errors, preview as previewing, progress, wine
from kitlib.model import findings as checked
from kitlib.model.kit import is_launcher
from kitlib.report import write_report
from kitlib.report.data import as_data
from kitlib.report.rows import tables_of
from kitlib.shipping import brand as branding_module, image as make_media, sign as signing


class Stop(errors.Failure):
    """A step failed: the line's text, and the lines that explain it."""


def verdict_of(findings):
    """The step's line for a check: ok, or a stop that lists the errors."""
    faults = checked.errors_in(findings)
    if faults:
        raise Stop(counts(findings), [f"{f.path}: {f.message}" for f in faults])
    return f"ok, {counts(findings)}"


def counts(findings):
    found = checked.severity_counts(findings)
    faults, warnings, infos = found[checked.ERROR], found[checked.WARNING], found[checked.INFO]
    return f"{faults} error{'s' * (faults != 1)}, {warnings} warning{'s' * (warnings != 1)}, {infos} info"


def check_before(context):
    findings = checks.check(context.kit, context.name)
    if context.settings.get("launcher") is not None:
        # The launcher there now is the one the brand step replaces.
        findings = [f for f in findings if f.path != context.name]
        others = [other for other in sorted(os.listdir(context.kit))
                  if other != context.name and other.lower().endswith(".exe")
                  and os.path.isfile(os.path.join(context.kit, other)) and is_launcher(os.path.join(context.kit, other))]
        if len(others) == 1 and not os.path.lexists(os.path.join(context.kit, context.name)):
            # The launcher as `new` left it: the settings name it anew.
            context.replaces = others[0]
        else:
            findings += [checked.Finding(other, checked.ERROR, "another build of the launcher: the disc "
                         f"would carry two; remove it, or brand it with [launcher] name = \"{other}\"")
                         for other in others]
    return verdict_of(findings)


def brand(context):
    launcher = context.settings.get("launcher")
    if launcher is None:
        return f"skipped: no [launcher]; the kit's {context.name} as it is"
    target = os.path.join(context.kit, context.name)
    context.launcher = context.staging.file(target)
    context.outputs.append(target)
    if context.replaces:
        context.staging.remove(os.path.join(context.kit, context.replaces))
    branding = {key: launcher.get(key) for key in branding_module.VARIABLES}
    warnings = []
    try:
        size = branding_module.brand(context.launcher, warn=warnings.append, **branding)
    except branding_module.BrandError as error:
        # Its refusals name the command-line option; here the key is meant.
        text = str(error)
        for option in branding_module.VARIABLES:
            if text.startswith(f"--{option}:"):
                text = f"[launcher] {option}:" + text[len(option) + 3:]
        raise Stop(text) from None
    for warning in warnings:
        context.detail(f"warning: {warning}")
    replaces = f", replaces {context.replaces}" if context.replaces else ""
    return f"{context.name}{replaces}: {branding_module.describe(branding)}; {size} bytes"


def sign(context):
    options = context.settings.get("sign")
    if options is None:
        return f"skipped: no [sign]; {context.name} stays unsigned"
    if context.launcher is None:
        target = os.path.join(context.kit, context.name)
        context.launcher = context.staging.file(target, copy_of=target)
        context.outputs.append(target)
    said = lambda text: text.replace(context.launcher, context.name).strip()  # noqa: E731
    try:
        return said(signing.sign(context.launcher, **options))
    except signing.SignError as error:
        raise Stop(said(str(error))) from None


def check_after(context):
    context.mirror = os.path.join(context.scratch, "kit")
    _mirror(context.kit, context.mirror, set(context.staging.paths()) | set(context.staging.removed()))
    if context.launcher:
        entry = os.path.join(context.mirror, context.name)
        if os.path.lexists(entry):
            os.unlink(entry)
        os.symlink(os.path.abspath(context.launcher), entry)
    context.final_findings = checks.check(context.mirror, context.name, within=context.kit)
    return verdict_of(context.final_findings)


def image(context):
    settings = context.settings.get("image")
    if settings is None:
        return "skipped: no [image]"
    context.image_path = context.staging.file(settings["output"])
    context.outputs.append(settings["output"])
    autorun = settings.get("autorun", True)
    log = io.StringIO()
    try:
        with contextlib.redirect_stderr(log):
            make_media.make_media(context.mirror, context.image_path, settings["label"], context.name, autorun,
                                  out=log, within=context.kit, staged=True)
    except make_media.MediaError as error:
        details = [line for line in log.getvalue().splitlines() if line.strip()][-5:]
        raise Stop(str(error).replace(context.image_path, settings["output"]), details) from None
    size = os.path.getsize(context.image_path)
    return (f"{os.path.basename(settings['output'])}: {settings['label']}, "
            f"{'autorun.inf' if autorun else 'no autorun.inf'}, {size / 1e6:.1f} MB")


def preview(context):
    if not context.run_preview:
        return "skipped: --no-preview"
    if context.image_path is None:
        return "skipped: no image to preview"
    disc = os.path.join(context.scratch, "cd")
    result = subprocess.run(["xorriso", "-no_rc", "-osirrox", "on", "-indev", context.image_path,
                             "-extract", "/", disc], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, errors="replace")
    if result.returncode != 0:
        raise Stop(f"xorriso could not extract the image (exit code {result.returncode})",
                   result.stderr.strip().splitlines()[-3:])
    shots = os.path.join(context.scratch, "shots")
    request = previewing.Request(matrix=True, cd=True, own_display=True, screenshots=shots)
    line = progress.Line("ship: preview")
    try:
        found = previewing.run(disc, context.name, request, line)
    except wine.WineUnavailable as error:
        return f"skipped: {error}"
    except wine.WineError as error:
        raise Stop(str(error)) from None
    finally:
        line.clear()
    # It ran on the image's contents in a scratch folder: its texts name the kit.
    names = {disc: context.kit}
    context.preview_text = _renamed(previewing.text(found), names)
    context.preview_data = as_data(tables_of(found))
    folder = report_folder(context)
    if folder is not None:
        write_report(folder, found)
    problems = previewing.problems(found)
    if problems:
        raise Stop(f"{len(problems)} run{'s' * (len(problems) != 1)} not judged", problems[-5:])
    faults = sum(verdict == "fault" for verdict in previewing.verdicts(found))
    tables = len(found.tables)
    return f"ok, {tables} table{'s' * (tables != 1)}, {faults} fault{'s' * (faults != 1)}" + (
        "" if folder is not None else " (in preview.txt)")


def report_folder(context):
    settings = context.settings.get("report")
    if settings is None:
        return None
    if context.report_path is None:
        context.report_path = context.staging.folder(settings["output"])
        context.outputs.append(settings["output"])
    return context.report_path


def report(context):
    folder = report_folder(context)
    if folder is None:
        return "skipped: no [report]"
    output = context.settings.get("report")["output"]
    os.makedirs(folder, exist_ok=True)
    written = []

    def write(name, text):
        try:
            with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
                f.write(text)
        except OSError as error:
            # A full disk fails the write, which names no file.
            raise OSError(error.errno, error.strerror, os.path.join(output, name)) from None
        written.append(name)

    write("ship.txt", "\n".join([f"kit ship {context.kit} --config {context.config}", ""] + context.lines) + "\n")
    write("check.txt", checked.format_text(context.final_findings) + "\n")
    write("check.json", json.dumps([f.as_dict() for f in context.final_findings], indent=2,
                                   ensure_ascii=False) + "\n")
    if context.preview_text is not None:
        write("preview.txt", context.preview_text)
        write("preview.json", json.dumps(context.preview_data, indent=2, ensure_ascii=False) + "\n")
    others = sorted(set(os.listdir(folder)) - set(written))
    return f"{os.path.basename(os.path.normpath(output))}: " + ", ".join(written + others)


def _renamed(text, names):
    """text with each path of names, absolute or relative, put as its name."""
    for path, name in names.items():
        # The longer first: from a folder whose only common ancestor with
        # path is /, the relative form holds the absolute one.
        for form in sorted({os.path.abspath(path), os.path.relpath(path)}, key=len, reverse=True):
            text = text.replace(form, name.rstrip(os.sep) or name)
    return text


def _mirror(kit, mirror, leave_out):
    """The kit as folders of links to its files, without the staged files
    in it: the view the second check and the image are made of."""
    leave_out = {os.path.abspath(path) for path in leave_out}
    for parent, folders, files in os.walk(kit):
        here = os.path.join(mirror, os.path.relpath(parent, kit))
        os.makedirs(here, exist_ok=True)
        for name in list(folders):
            source = os.path.join(parent, name)
            if os.path.islink(source):
                os.symlink(os.path.abspath(source), os.path.join(here, name))
                folders.remove(name)
        for name in files:
            source = os.path.join(parent, name)
            if os.path.abspath(source) not in leave_out:
                os.symlink(os.path.abspath(source), os.path.join(here, name))
