#!/usr/bin/env python3
"""Makes a CD image of a distribution: ISO 9660 with Joliet names (which
Windows 95 and later read, case and long names kept), and an autorun.inf at
its root that starts the launcher when the disc goes in.

Usage: tools/kit image KIT IMAGE.iso --label NAME [--program NAME] [--no-autorun]

The distribution is checked first (tools/kitlib/check_kit.py); its errors stop the
image from being made. The image is written whole or not at all.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import interpreter  # noqa: E402

interpreter.require("pefile")
import check_kit  # noqa: E402
import outputs  # noqa: E402
import peinfo  # noqa: E402
import staging  # noqa: E402
from make_kit import MARKER  # noqa: E402

RT_GROUP_ICON = 14
# The volume label Windows shows is the Joliet one, which holds 16
# characters; the ISO 9660 one holds only these.
LABEL = re.compile(r"[A-Z0-9_]{1,16}")
# Longer Joliet names are cut short, and the launcher would miss the file.
JOLIET_NAME_MAX = 64
# AutoRun reads open= and icon= as a command line and a file name, in the
# system code page: a plain name is the one that works on every Windows.
AUTORUN_SAFE_NAME = re.compile(r"[A-Za-z0-9_.\-]+")


class MediaError(Exception):
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


def main(argv=None, prog=None):
    parser = argparse.ArgumentParser(prog=prog, description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("kit", help="the distribution's folder, the launcher at its top")
    parser.add_argument("image", help="the image file to write, e.g. build/MYDISC.iso")
    parser.add_argument("--label", required=True, help="the disc's name: up to 16 characters A-Z, 0-9, _")
    parser.add_argument("--program", help="the launcher's file name (default: the one .exe at the top)")
    parser.add_argument("--no-autorun", action="store_true", help="write no autorun.inf")
    args = parser.parse_args(argv)
    if not LABEL.fullmatch(args.label):
        parser.error(f"--label {args.label!r} cannot be a disc's name: 1 to 16 characters A-Z, 0-9 and _ "
                     "(ISO 9660 holds no others, and Windows shows only 16)")
    if not os.path.isdir(args.kit):
        parser.error(f"{args.kit} is not a folder")
    try:
        name = make_media(args.kit, args.image, args.label, args.program, not args.no_autorun)
    except MediaError as error:
        print(f"{prog or 'make_media.py'}: {error}", file=sys.stderr)
        return 1
    print(f"{args.image}: label {args.label}, {name} at the top"
          f"{'' if args.no_autorun else ', started by autorun.inf'}; {os.path.getsize(args.image)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
