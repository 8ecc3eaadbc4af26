"""Makes a CD image of a distribution: ISO 9660 with Joliet names (which
Windows 95 and later read, case and long names kept), and an autorun.inf at
its root that starts the launcher when the disc goes in. The distribution
is checked first; its errors stop the image from being made. The image is
written whole or not at all."""
import os
import subprocess
import sys

from kitlib import checks, errors
from kitlib.model import findings as checked
from kitlib.model.kit import SAMPLE_MARKER, NoLauncher, find_launcher
from kitlib.model.names import AUTORUN_SAFE_NAME, JOLIET_NAME_MAX, inside, label_refusal
from kitlib.outputs import replaceable, staging
from kitlib.pe import headers

RT_GROUP_ICON = 14


class MediaError(errors.Failure):
    pass


def check_request(kit, image, label, program, autorun, staged=False):
    """The launcher's name in kit, or MediaError saying why no image can be
    made; staged: image is a file made to be written, not the user's."""
    if not os.path.isdir(kit):
        raise MediaError(f"{kit} is not a folder")
    why = label_refusal(label)
    if why:
        raise MediaError(f"the label {why}")
    if inside(image, kit):
        raise MediaError(f"the image {image} would be inside the distribution it is made of: "
                         "write it somewhere else")
    if os.path.isdir(image):
        raise MediaError(f"{image} is a folder: name the image file, e.g. {os.path.join(image, label + '.iso')}")
    if not os.path.isdir(os.path.dirname(os.path.abspath(image))):
        raise MediaError(f"the folder of {image} does not exist")
    why = None if staged else replaceable.image(image)
    if why:
        raise MediaError(f"{image} {why}")

    try:
        name = find_launcher(kit, program)
    except NoLauncher as error:
        raise MediaError(f"{kit} has no launcher at its top: {error}") from None
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
        return RT_GROUP_ICON in headers.read(path).resource_types
    except headers.NotAProgram:
        return False


def write_image(kit, image, label, autorun):
    """Runs xorriso into a scratch folder beside the image, and puts the
    image in place only once xorriso has finished without complaint."""
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
                   "-not_leaf", SAMPLE_MARKER, "-map", os.path.abspath(kit), "/"]
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
        staging.put(partial, image)


def make_media(kit, image, label, program=None, autorun=True, out=sys.stdout, within=None, staged=False):
    """Checks kit and writes its image; within is where its links may lead
    (default: inside kit); staged as for check_request."""
    name = check_request(kit, image, label, program, autorun, staged)
    findings = checks.check(kit, name, within)
    print(checked.format_text(findings), file=out)
    faults = checked.errors_in(findings)
    if faults:
        raise MediaError(f"the distribution check found {len(faults)} error(s): fix them first; no image was written")
    inf = autorun_inf(name, has_icon(os.path.join(kit, name)), label) if autorun else None
    write_image(kit, image, label, inf)
    return name
