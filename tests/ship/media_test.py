#!/usr/bin/env python3
"""CD image tests: tools/kit image on sample kits, the image read back as
Windows reads it (the Joliet names), and the refusals, which leave neither an
image nor a changed kit behind.

Usage: media_test.py --work DIR --program LAUNCHER.exe --branded BRANDED.exe
"""
import argparse
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KIT = os.path.join(ROOT, "tools", "kit")
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import make_kit  # noqa: E402
import windows  # noqa: E402
from checking import Checker, expect_refused, run, snapshot  # noqa: E402

INSTALLER_PATHS = ["/" + path.replace("\\", "/") for path in windows.INSTALLERS]


def joliet_files(image):
    """Every file of the image under the name Windows sees: the Joliet tree,
    Rock Ridge (which only Unix reads) left out."""
    result = run(["xorriso", "-no_rc", "-read_fs", "norock", "-indev", image, "-find", "/", "-type", "f",
                  "-exec", "lsdl"])
    return sorted(re.findall(r"'(/.*)'$", result.stdout, re.M))


def volume_id(image):
    result = run(["xorriso", "-no_rc", "-indev", image, "-pvd_info"])
    found = re.search(r"^Volume Id\s*: (.*)$", result.stdout, re.M)
    return found.group(1) if found else None


def extracted(image, path, work):
    target = os.path.join(work, "extracted")
    if os.path.exists(target):
        os.chmod(target, 0o600)
        os.remove(target)
    result = run(["xorriso", "-no_rc", "-osirrox", "on", "-indev", image, "-extract", path, target])
    if result.returncode != 0 or not os.path.exists(target):
        return None
    with open(target, "rb") as f:
        return f.read()


def kit(work, name, launcher, top_name="launcher.exe", omit=(), extra=(), linked=(), outside=False):
    """A sample kit; the files in linked are links to copies in its payload
    folder (outside it, with outside)."""
    folder = os.path.join(work, name)
    shutil.rmtree(folder, ignore_errors=True)
    make_kit.make_kit(folder, omit=omit, launcher=launcher)
    store = os.path.join(work, name + "-payload") if outside else os.path.join(folder, "payload")
    os.makedirs(store, exist_ok=True)
    for path in linked:
        inside = os.path.join(folder, *path.split("\\"))
        copy = os.path.join(store, os.path.basename(inside))
        os.replace(inside, copy)
        os.symlink(copy, inside)
    if top_name != "launcher.exe":
        os.rename(os.path.join(folder, "launcher.exe"), os.path.join(folder, top_name))
    for path, data in extra:
        full = os.path.join(folder, path)
        if data is None:
            os.remove(full)
        else:
            with open(full, "wb") as f:
                f.write(data)
    return folder


def images(check, work, program, branded):
    autorun = lambda *lines: ("\r\n".join(("[autorun]",) + lines) + "\r\n").encode()  # noqa: E731
    # kit, image options, files expected at the top besides the installers, autorun.inf
    rows = [
        (kit(work, "plain", program), ["--label", "SAMPLE_KIT"], ["/launcher.exe"],
         autorun("open=launcher.exe", "label=SAMPLE_KIT")),
        # A launcher with an icon lends it to the drive in Explorer.
        (kit(work, "branded", branded, "setup.exe"), ["--label", "DRIVERS_2026"], ["/setup.exe"],
         autorun("open=setup.exe", "icon=setup.exe", "label=DRIVERS_2026")),
        (kit(work, "two-programs", program, extra=[("Readme.exe", b"MZ")]),
         ["--label", "A", "--program", "launcher.exe"], ["/Readme.exe", "/launcher.exe"],
         autorun("open=launcher.exe", "label=A")),
        # Joliet holds no links: the disc must carry the file itself.
        (kit(work, "linked", program, linked=windows.INSTALLERS), ["--label", "LINKED"],
         ["/launcher.exe"] + ["/payload/" + path.split("\\")[-1] for path in windows.INSTALLERS],
         autorun("open=launcher.exe", "label=LINKED")),
        (kit(work, "no-autorun", branded, "Setup.exe", extra=[("AUTORUN.INF", b"[autorun]\r\nopen=x.exe\r\n")]),
         ["--label", "MINE", "--no-autorun"], ["/AUTORUN.INF", "/Setup.exe"], None),
    ]
    for folder, options, top, inf in rows:
        row = f"{os.path.basename(folder)} {' '.join(options)}"
        image = os.path.join(work, os.path.basename(folder) + ".iso")
        before = snapshot(folder)
        result = run([sys.executable, KIT, "image", folder, image] + options)
        check.expect(row, "exit code", result.returncode, 0)
        if result.returncode != 0:
            print(result.stdout + result.stderr)
            continue
        expected = sorted(INSTALLER_PATHS + top + (["/autorun.inf"] if inf else []))
        check.expect(row, "files on the disc (Joliet names)", joliet_files(image), expected)
        check.expect(row, "volume label", volume_id(image), options[options.index("--label") + 1])
        if inf:
            check.expect(row, "autorun.inf", extracted(image, "/autorun.inf", work), inf)
        for path in (top[-1], INSTALLER_PATHS[-1]):
            with open(os.path.join(folder, path.lstrip("/")), "rb") as f:
                check.expect(row, f"{path} on the disc is the kit's, byte for byte",
                             extracted(image, path, work) == f.read(), True)
        check.expect(row, "kit unchanged", snapshot(folder) == before, True)
        check.expect(row, "nothing left beside the image", sorted(n for n in os.listdir(work) if n.startswith(".")),
                     [])
    return len(rows)


PREVIOUS_IMAGE = bytes(0x8001) + b"CD001 the previous image"


def refusals(check, work, program):
    good = kit(work, "good", program)
    spaced = kit(work, "spaced", program, "my setup.exe")
    no_launcher = kit(work, "no-launcher", program, extra=[("launcher.exe", None)])
    two = kit(work, "two", program, extra=[("Readme.exe", b"MZ")])
    missing = kit(work, "missing-installer", program, omit=("Autoinst\\win2k\\inst2k.exe",))
    own_autorun = kit(work, "own-autorun", program, extra=[("Autorun.inf", b"[autorun]\r\n")])
    long_name = "Read me first, before you install anything from this disc, please.txt"
    too_long = kit(work, "too-long", program, extra=[(long_name, b"69 characters: more than Joliet holds")])
    linked_out = kit(work, "linked-out", program, linked=windows.INSTALLERS[:1], outside=True)
    image = os.path.join(work, "refused.iso")
    bad_label = "--label {!r} cannot be a disc's name"
    # kit, image, label, extra options, what the message says
    rows = [
        (no_launcher, image, "X", [], "has no launcher at its top: no launcher: no .exe at the top"),
        (two, image, "X", [], "several programs at the top (Readme.exe, launcher.exe)"),
        (good, image, "X", ["--program", "setup.exe"], "has no launcher named setup.exe at its top"),
        (good, image, "X", ["--program", "Autoinst\\winxp\\instxp.exe"], "has no launcher"),
        (good, image, "sample", [], bad_label.format("sample")),
        (good, image, "MY DISC", [], bad_label.format("MY DISC")),
        (good, image, "SEVENTEEN_LETTERS", [], bad_label.format("SEVENTEEN_LETTERS")),
        (good, image, "", [], bad_label.format("")),
        (good, image, "DISQUE_É", [], bad_label.format("DISQUE_É")),
        (good, os.path.join(good, "out.iso"), "X", [], "would be inside the distribution"),
        (good, os.path.join(good, "Autoinst", "out.iso"), "X", [], "would be inside the distribution"),
        (good, os.path.join(good, "launcher.exe"), "X", [], "would be inside the distribution"),
        (good, os.path.join(work, "good", "..", "good", "x.iso"), "X", [], "would be inside the distribution"),
        (good, work, "X", [], "is a folder"),
        (spaced, image, "X", [], "AutoRun cannot start 'my setup.exe'"),
        (own_autorun, image, "X", [], "already has an Autorun.inf"),
        (missing, image, "X", [], "the distribution check found 1 error(s)"),
        (linked_out, image, "X", [], "the distribution check found 1 error(s)"),
        (too_long, image, "X", [], f"{long_name}: Joliet holds names of at most 64 characters"),
    ]
    for folder, target, label, options, message in rows:
        row = f"{os.path.basename(folder)} -> {os.path.relpath(target, work)} --label {label!r} {' '.join(options)}"
        # An image already there (its first bytes as an ISO's) must survive
        # a refused run untouched.
        with open(image, "wb") as f:
            f.write(PREVIOUS_IMAGE)
        existed = os.path.exists(target)
        before = snapshot(folder)
        result = run([sys.executable, KIT, "image", folder, target, "--label", label] + options)
        expect_refused(check, row, result, message, folder, before, 2 if message.startswith("--label") else 1)
        with open(image, "rb") as f:
            check.expect(row, "previous image", f.read() == PREVIOUS_IMAGE, True)
        check.expect(row, "image written", os.path.exists(target), existed)
    return len(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--branded", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    check = Checker()
    cases = images(check, args.work, args.program, args.branded)
    cases += refusals(check, args.work, args.program)
    print(f"{cases} image cases, {check.failures} failures")
    sys.exit(1 if check.failures else 0)


if __name__ == "__main__":
    main()
