"""`kit brand`: the launcher built with a distribution's icon and version
information, without knowing CMake. The windows preset is configured into a
private build folder below build/ with the branding variables of
cmake/branding.cmake, which stays the one place that judges them: its
refusals come back here as one line naming the option."""
import os
import shutil
import subprocess
import sys
import tempfile

from kitlib import errors, paths
from kitlib.outputs import staging

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


class BrandError(errors.Failure):
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
    os.makedirs(paths.BUILD, exist_ok=True)
    build = tempfile.mkdtemp(prefix="brand-", dir=paths.BUILD)
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
