"""`kit brand`: the launcher built with a distribution's icon and version
information, without knowing CMake. The windows preset is configured into a
private build folder below build/ with the branding variables of
cmake/branding.cmake, which stays the one place that judges them: its
refusals come back here as one line naming the option."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import paths
import outputs
import staging

ROOT = paths.ROOT
# option -> the cache variable of cmake/branding.cmake
VARIABLES = {
    "icon": "LAUNCHER_ICON",
    "version": "LAUNCHER_VERSION",
    "product": "LAUNCHER_PRODUCT",
    "company": "LAUNCHER_COMPANY",
    "description": "LAUNCHER_DESCRIPTION",
    "copyright": "LAUNCHER_COPYRIGHT",
}
OPTION_OF = {variable: "--" + option for option, variable in VARIABLES.items()}
TEXTS = ("product", "company", "description", "copyright")
# The version resource's blocks carry a 16-bit length: the texts, stored in
# UTF-16, with room left for the rest of the block (some hundred bytes).
TEXT_UNITS_MAX = 32000


class BrandError(Exception):
    pass


def branding_lines(output):
    """branding.cmake's own lines in CMake's output: each starts with the
    variable's name, as '--option: ...'."""
    lines = []
    for line in output.splitlines():
        line = line.strip()
        variable = line.split(":", 1)[0]
        if variable in OPTION_OF:
            lines.append(OPTION_OF[variable] + line[len(variable):])
    return lines


def _run(command, log):
    """Runs command from the source folder, its output into log; returns the
    exit code and the output."""
    with open(log, "w+", encoding="utf-8", errors="replace") as out:
        result = subprocess.run(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        out.seek(0)
        return result.returncode, out.read()


def brand(output, cmake="cmake", warn=None, **branding):
    """Builds the launcher with branding (the keys of VARIABLES; None or ""
    leaves one out) and writes it to output, whole or not at all. Returns
    the size written; BrandError says in one line why nothing was."""
    unknown = set(branding) - set(VARIABLES)
    assert not unknown, unknown
    if os.path.isdir(output):
        raise BrandError(f"{output} is a folder: name the program file, e.g. {os.path.join(output, 'setup.exe')}")
    folder = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(folder):
        raise BrandError(f"the folder of {output} does not exist")
    too_long = texts_too_long(branding)
    if too_long:
        raise BrandError(too_long)
    if not shutil.which(cmake):
        raise BrandError("cmake is missing; tools/dev/setup.sh build installs it")
    definitions = []
    for option, variable in VARIABLES.items():
        value = branding.get(option)
        if value is None or value == "":
            continue
        if option == "icon":
            # branding.cmake reads a relative path against the source folder;
            # the user meant the current one.
            value = os.path.abspath(value)
        definitions.append(f"-D{variable}={value}")
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    build = tempfile.mkdtemp(prefix="brand-", dir=os.path.join(ROOT, "build"))
    try:
        log = os.path.join(build, "kit-brand.log")
        code, text = _run([cmake, "--preset", "windows", "-B", build, *definitions], log)
        ours = branding_lines(text)
        if code != 0:
            if ours:
                raise BrandError(ours[0])
            sys.stderr.write(text)
            raise BrandError(f"the configure step failed (exit code {code}); see above")
        for line in ours:
            (warn or (lambda text: print(f"warning: {text}", file=sys.stderr)))(line)
        code, text = _run([cmake, "--build", build, "--target", "launcher"], log)
        if code != 0:
            sys.stderr.write(text)
            raise BrandError(f"the build failed (exit code {code}); see above")
        built = os.path.join(build, "launcher.exe")
        with staging.beside(output, prefix=".kit-brand.", mode=0o755) as partial:
            shutil.copyfile(built, partial)
        return os.path.getsize(output)
    finally:
        shutil.rmtree(build, ignore_errors=True)


def texts_too_long(branding):
    """Why the texts do not fit the version resource, naming the longest
    option, or None."""
    units = {option: len((branding.get(option) or "").encode("utf-16-le")) // 2 for option in TEXTS}
    total = sum(units.values())
    if total <= TEXT_UNITS_MAX:
        return None
    longest = max(units, key=units.get)
    given = ", ".join(f"--{option}" for option in TEXTS if units[option])
    return (f"--{longest}: too long: the texts ({given}) hold {total} UTF-16 characters in all; the "
            f"version resource holds at most {TEXT_UNITS_MAX} (its length is 16 bits)")


def describe(branding):
    """What a branding amounts to, in a few words."""
    parts = []
    if branding.get("version"):
        parts.append(f"version {branding['version']}")
    if branding.get("icon"):
        parts.append(f"icon {os.path.basename(branding['icon'])}")
    strings = [option for option in ("product", "company", "description", "copyright") if branding.get(option)]
    if strings:
        parts.append(f"{len(strings)} string(s)")
    return ", ".join(parts) or "unbranded"


def main(argv, prog="kit brand"):
    parser = argparse.ArgumentParser(
        prog=prog, description="Builds the launcher with an icon and version information (the Properties "
        "Explorer shows, the name Task Manager shows) and writes it to FILE. Every option is optional; with "
        "none, the program is the plain build. Needs the mingw-w64 toolchain (tools/build.sh installs it).")
    parser.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the program to write, e.g. dist/setup.exe (replaced whole, or left as it was)")
    parser.add_argument("--icon", metavar="ICO", help="an .ico file; give a 32- or 48-pixel bitmap image for "
                        "Windows XP and older")
    parser.add_argument("--version", metavar="a.b.c.d", help="File and Product version: four numbers of at "
                        "most 65535")
    parser.add_argument("--product", help="Product name")
    parser.add_argument("--company", help="Company")
    parser.add_argument("--description", help="File description, the name Task Manager shows")
    parser.add_argument("--copyright", help="Copyright")
    parser.add_argument("--cmake", default="cmake", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    branding = {option: getattr(args, option) for option in VARIABLES}
    why = outputs.launcher(args.output)
    if why:
        print(f"{prog}: -o: {args.output} {why}", file=sys.stderr)
        return 1
    try:
        size = brand(args.output, cmake=args.cmake, warn=lambda text: print(f"{prog}: warning: {text}"),
                     **branding)
    except BrandError as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 1
    print(f"{args.output}: {describe(branding)}; {size} bytes")
    return 0
