#!/usr/bin/env python3
"""Branding tests: the configure step's refusals and warning, the branded
program read back as Explorer would, and the unbranded program left bare.

Usage: branding_test.py (configure|branded|unbranded) --cmake CMAKE --work DIR
"""
import argparse
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import interpreter  # noqa: E402

interpreter.require("pefile")
import pefile  # noqa: E402

import icons  # noqa: E402
from checking import Checker, run  # noqa: E402

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

# The build a distribution maker asks for: non-ASCII in every script the
# resource compiler has to carry through, and the quote and backslash it
# treats specially.
BRANDED = {
    "LAUNCHER_VERSION": "2.010.0.65535",
    "LAUNCHER_PRODUCT": "ドライバー集 \"Ω\" 2026",
    "LAUNCHER_COMPANY": "Société Exemple\\Labs",
    "LAUNCHER_DESCRIPTION": "セットアップ",
    "LAUNCHER_COPYRIGHT": "© 2026 Société Exemple",
}
EXPECTED_STRINGS = {
    "FileVersion": "2.10.0.65535",
    "ProductVersion": "2.10.0.65535",
    "ProductName": "ドライバー集 \"Ω\" 2026",
    "CompanyName": "Société Exemple\\Labs",
    "FileDescription": "セットアップ",
    "LegalCopyright": "© 2026 Société Exemple",
}
EXPECTED_FIXED_VERSION = (0x0002000A, 0x0000FFFF)


def configure(cmake, build, definitions):
    shutil.rmtree(build, ignore_errors=True)
    command = [cmake, "--preset", "windows", "-B", build] + [f"-D{k}={v}" for k, v in definitions.items()]
    return run(command, cwd=ROOT)


def our_lines(output):
    """The lines the branding writes: each starts with the variable's name."""
    return [line.strip() for line in output.splitlines() if line.strip().startswith("LAUNCHER_")]


def test_configure(cmake, work):
    os.makedirs(work, exist_ok=True)
    files = {
        "bitmaps.ico": icons.ico(icons.BITMAPS),
        "png-only.ico": icons.ico(icons.PNG_ONLY),
        "png-and-bitmap.ico": icons.ico(icons.PNG_ONLY + icons.BITMAPS),
        "text.ico": b"Not an icon, although its name says so.\n",
        "bitmap.ico": b"BM" + bytes(60),
        "cut.ico": icons.ico(icons.BITMAPS)[:-10],
        "empty-directory.ico": b"\0\0\1\0\0\0" + bytes(40),
        "unreadable.ico": icons.ico(icons.BITMAPS),
    }
    for name, data in files.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    os.chmod(os.path.join(work, "unreadable.ico"), 0)
    path = lambda name: os.path.join(work, name)  # noqa: E731
    not_ico = lambda name, why: f"LAUNCHER_ICON: {path(name)} is not an .ico file ({why})"  # noqa: E731
    not_version = lambda v: (f'LAUNCHER_VERSION: "{v}" is not a version: four numbers of at most 65535, '  # noqa: E731
                             "as in 1.2.0.15")
    png_warning = (f"LAUNCHER_ICON: every image in {path('png-only.ico')} is PNG-compressed; Windows XP and "
                   "older will show no icon (add a bitmap image, 32 or 48 pixels)")

    # definitions -> configure fails?, the one line it prints (None: none at all)
    rows = [
        ({"LAUNCHER_ICON": path("missing.ico")}, True, f"LAUNCHER_ICON: {path('missing.ico')} does not exist"),
        ({"LAUNCHER_ICON": work}, True, f"LAUNCHER_ICON: {work} is a folder, not an .ico file"),
        ({"LAUNCHER_ICON": path("text.ico")}, True, not_ico("text.ico", "no icon directory at its start")),
        ({"LAUNCHER_ICON": path("bitmap.ico")}, True, not_ico("bitmap.ico", "no icon directory at its start")),
        ({"LAUNCHER_ICON": path("empty-directory.ico")}, True,
         not_ico("empty-directory.ico", "no icon directory at its start")),
        ({"LAUNCHER_ICON": path("cut.ico")}, True, not_ico("cut.ico", "image 1 lies outside the file")),
        ({"LAUNCHER_VERSION": "1.2.3"}, True, not_version("1.2.3")),
        ({"LAUNCHER_VERSION": "1.2.3.4.5"}, True, not_version("1.2.3.4.5")),
        ({"LAUNCHER_VERSION": "1.2.3.65536"}, True, not_version("1.2.3.65536")),
        ({"LAUNCHER_VERSION": "1.2.3.99999999999999999999"}, True, not_version("1.2.3.99999999999999999999")),
        ({"LAUNCHER_VERSION": "1.-2.3.4"}, True, not_version("1.-2.3.4")),
        ({"LAUNCHER_VERSION": "v1.2.3.4"}, True, not_version("v1.2.3.4")),
        # A refused version fails the step even when everything else is fine.
        ({"LAUNCHER_ICON": path("bitmaps.ico"), "LAUNCHER_VERSION": "1.2"}, True, not_version("1.2")),
        ({"LAUNCHER_PRODUCT": "two\nlines"}, True, "LAUNCHER_PRODUCT: holds a line break or a tab"),
        ({"LAUNCHER_ICON": path("png-only.ico")}, False, png_warning),
        ({"LAUNCHER_ICON": path("png-and-bitmap.ico")}, False, None),
        ({"LAUNCHER_VERSION": "0.0.0.0", "LAUNCHER_ICON": path("bitmaps.ico")}, False, None),
        ({"LAUNCHER_VERSION": "65535.00065535.0.1"}, False, None),
    ]
    # Root reads every file, whatever its mode.
    if os.geteuid() != 0:
        rows.append(({"LAUNCHER_ICON": path("unreadable.ico")}, True,
                     f"LAUNCHER_ICON: {path('unreadable.ico')} cannot be read"))

    check = Checker()
    build = os.path.join(work, "build")
    for definitions, fails, line in rows:
        row = ", ".join(f"{k}={v!r}" for k, v in definitions.items())
        result = configure(cmake, build, definitions)
        check.expect(row, "configure failed", result.returncode != 0, fails)
        check.expect(row, "lines naming a LAUNCHER_ variable", our_lines(result.stderr), [line] if line else [])
        if fails:
            # Nothing to build from: no build system was written.
            leftovers = [name for name in ("Makefile", "build.ninja", "launcher.rc", "launcher.exe")
                         if os.path.exists(os.path.join(build, name))]
            check.expect(row, "files left in the build folder", leftovers, [])
        elif result.returncode != 0:
            print(result.stderr)
    print(f"{len(rows)} configure cases, {check.failures} failures")
    return check.failures == 0


def strings_of(pe):
    found = {}
    for info in getattr(pe, "FileInfo", ()):
        for entry in info:
            for table in getattr(entry, "StringTable", ()):
                found.update({k.decode("utf-8"): v.decode("utf-8") for k, v in table.entries.items()})
    return found


def resource_types(pe):
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return sorted(entry.id for entry in directory.entries) if directory else []


def test_branded(cmake, work):
    os.makedirs(work, exist_ok=True)
    icon = os.path.join(work, "brand.ico")
    with open(icon, "wb") as f:
        f.write(icons.ico(icons.BITMAPS))
    build = os.path.join(ROOT, "build", "branded")
    result = configure(cmake, build, dict(BRANDED, LAUNCHER_ICON=icon))
    if result.returncode == 0:
        result = run([cmake, "--build", build, "--target", "launcher"])
    if result.returncode != 0:
        print(result.stdout + result.stderr)
        print("FAIL: the branded build did not build")
        return False

    program = os.path.join(build, "launcher.exe")
    pe = pefile.PE(program)
    check = Checker()
    check.expect(program, "resource types", resource_types(pe), [RT_ICON, RT_GROUP_ICON, RT_VERSION])
    strings = strings_of(pe)
    for key in sorted(set(strings) | set(EXPECTED_STRINGS)):
        check.expect(program, f"version string {key}", strings.get(key), EXPECTED_STRINGS.get(key))
    fixed = pe.VS_FIXEDFILEINFO[0]
    check.expect(program, "fixed file version", (fixed.FileVersionMS, fixed.FileVersionLS), EXPECTED_FIXED_VERSION)
    check.expect(program, "fixed product version", (fixed.ProductVersionMS, fixed.ProductVersionLS),
                 EXPECTED_FIXED_VERSION)
    # Both icon sizes made it into the group Explorer picks from.
    with open(icon, "rb") as f:
        count = int.from_bytes(f.read()[4:6], "little")
    icon_type = next(e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == RT_ICON)
    check.expect(program, "icon images", len(icon_type.directory.entries), count)
    print(f"{program}: {os.path.getsize(program)} bytes, {len(strings)} version strings, "
          f"{check.failures} failures")
    return check.failures == 0


def test_unbranded(program):
    pe = pefile.PE(program)
    check = Checker()
    check.expect(program, "resource types", resource_types(pe), [])
    check.expect(program, "sections", sorted(s.Name.rstrip(b"\0").decode() for s in pe.sections
                                            if s.Name.startswith(b".rsrc")), [])
    return check.failures == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("test", choices=("configure", "branded", "unbranded"))
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "ship-work"))
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "windows", "launcher.exe"))
    args = parser.parse_args()
    if args.test == "configure":
        ok = test_configure(args.cmake, os.path.join(args.work, "configure"))
    elif args.test == "branded":
        ok = test_branded(args.cmake, os.path.join(args.work, "branded"))
    else:
        ok = test_unbranded(args.program)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
