"""Makes a CD image of a distribution: ISO 9660 with Joliet names (which
Windows 95 and later read, case and long names kept), and an autorun.inf at
its root that starts the launcher when the disc goes in.

Usage: tools/kit image KIT IMAGE.iso --label NAME [--program NAME] [--no-autorun]

The distribution is checked first (tools/kitlib/check_kit.py); its errors stop the
image from being made. The image is written whole or not at all.
"""
import os
import re
import subprocess
import sys

import errors

import check_kit
import outputs
import peinfo
import staging
from make_kit import MARKER

RT_GROUP_ICON = 14
# The volume label Windows shows is the Joliet one, which holds 16
# characters; the ISO 9660 one holds only these.
LABEL = re.compile(r"[A-Z0-9_]{1,16}")
# Longer Joliet names are cut short, and the launcher would miss the file.
JOLIET_NAME_MAX = 64
# AutoRun reads open= and icon= as a command line and a file name, in the
# system code page: a plain name is the one that works on every Windows.
AUTORUN_SAFE_NAME = re.compile(r"[A-Za-z0-9_.\-]+")


class MediaError(errors.Failure):
    pass


def inside(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


def check_request(kit, image, label, program, autorun, staged=False):
    """The launcher's name in kit, or MediaError saying why no image can be
    made; staged: image is a file made to be written, not the user's."""
    if not os.path.isdir(kit):
        raise MediaError(f"{kit} is not a folder")
    if not LABEL.fullmatch(label):
        raise MediaError(f"the label {label!r} cannot be a disc's name: 1 to 16 characters A-Z, 0-9 and _ "
                         "(ISO 9660 holds no others, and Windows shows only 16)")
    if inside(image, kit):
        raise MediaError(f"the image {image} would be inside the distribution it is made of: "
                         "write it somewhere else")
    if os.path.isdir(image):
        raise MediaError(f"{image} is a folder: name the image file, e.g. {os.path.join(image, label + '.iso')}")
    if not os.path.isdir(os.path.dirname(os.path.abspath(image))):
        raise MediaError(f"the folder of {image} does not exist")
    why = None if staged else outputs.image(image)
    if why:
        raise MediaError(f"{image} {why}")

    name = check_kit.find_launcher(kit, program)
    if isinstance(name, check_kit.Finding):
        raise MediaError(f"{kit} has no launcher at its top: {name.message}")
    if os.sep in name or "/" in name or "\\" in name or not os.path.isfile(os.path.join(kit, name)):
        raise MediaError(f"{kit} has no launcher named {name} at its top")
    if autorun:
        if not AUTORUN_SAFE_NAME.fullmatch(name):
            raise MediaError(f"AutoRun cannot start {name!r} reliably on every Windows: rename it "
                             "(letters, digits, '_', '-' and '.', e.g. setup.exe), or use --no-autorun")
        existing = [entry for entry in os.listdir(kit) if entry.lower() == "autorun.inf"]
        if existing:
            raise MediaError(f"{kit} already has an {existing[0]}: remove it, or keep it with --no-autorun")
    for folder, folders, files in os.walk(kit):
        for entry in folders + files:
            if len(entry) > JOLIET_NAME_MAX:
                raise MediaError(f"{os.path.join(folder, entry)}: Joliet holds names of at most "
                                 f"{JOLIET_NAME_MAX} characters; Windows would see it cut short")
    return name


def autorun_inf(program, has_icon, label):
    lines = ["[autorun]", f"open={program}"]
    if has_icon:
        lines.append(f"icon={program}")
    lines.append(f"label={label}")
    # Windows 95 reads it as an .ini file in the system code page.
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def has_icon(path):
    try:
        return RT_GROUP_ICON in peinfo.read(path).resource_types
    except peinfo.NotAProgram:
        return False


def write_image(kit, image, label, autorun):
    """Runs xorriso into a temporary file beside the image, and puts it in
    place only once xorriso has finished without complaint."""
    with staging.scratch_beside(image, prefix=".make_media.") as scratch:
        partial = os.path.join(scratch, "image.iso")
        command = ["xorriso", "-no_rc",
                   # A SORRY (a name cut short, a file that could not be read)
                   # is a broken disc, not a warning.
                   "-abort_on", "SORRY", "-return_with", "SORRY", "32",
                   "-outdev", "stdio:" + partial, "-volid", label, "-joliet", "on",
                   # Joliet holds no links: a linked installer would vanish
                   # from what Windows sees, so the disc gets the file itself.
                   "-follow", "link",
                   "-not_leaf", MARKER, "-map", os.path.abspath(kit), "/"]
        if autorun is not None:
            inf = os.path.join(scratch, "autorun.inf")
            with open(inf, "wb") as f:
                f.write(autorun)
            command += ["-map", inf, "/autorun.inf"]
        command += ["-commit"]
        log = os.path.join(scratch, "xorriso.log")
        with open(log, "w") as out:
            result = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        if result.returncode != 0:
            with open(log) as f:
                sys.stderr.write(f.read())
            raise MediaError(f"xorriso failed (exit code {result.returncode}); no image was written")
        os.replace(partial, image)


def make_media(kit, image, label, program=None, autorun=True, out=sys.stdout, within=None, staged=False):
    """Checks kit and writes its image; within is where its links may lead
    (default: inside kit); staged as for check_request."""
    name = check_request(kit, image, label, program, autorun, staged)
    findings = check_kit.check(kit, name, within)
    print(check_kit.format_text(findings), file=out)
    errors = sum(finding.severity == check_kit.ERROR for finding in findings)
    if errors:
        raise MediaError(f"the distribution check found {errors} error(s): fix them first; no image was written")
    inf = autorun_inf(name, has_icon(os.path.join(kit, name)), label) if autorun else None
    write_image(kit, image, label, inf)
    return name
