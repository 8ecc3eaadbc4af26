"""The settings file of `kit ship`: which launcher to brand, how to sign it,
the image and the report, in TOML. Every fault is one line naming the file,
the section and the key, so that a typo cannot silently skip a step (a
misspelt password_file would otherwise sign with no password, and fail for
a reason nobody sees)."""
import dataclasses
import os
import re
import tomllib

from kitlib import errors, paths
from kitlib.model.kit import NoLauncher, find_launcher
from kitlib.model.names import inside, label_refusal, launcher_name_refusal
from kitlib.outputs import replaceable


class SettingsError(errors.Failure):
    pass


# section -> key -> (kind, required). A missing section skips its step.
STRING, PATH, BOOL = "string", "path", "bool"
SCHEMA = {
    "launcher": {
        "name": (STRING, False),
        "icon": (PATH, False),
        "version": (STRING, False),
        "product": (STRING, False),
        "company": (STRING, False),
        "description": (STRING, False),
        "copyright": (STRING, False),
    },
    "sign": {
        "cert": (PATH, True),
        "key": (PATH, True),
        "password_file": (PATH, False),
        "timestamp": (STRING, False),
        "also_sha1": (BOOL, False),
        "ca": (PATH, False),
    },
    "image": {
        "output": (PATH, True),
        "label": (STRING, True),
        "autorun": (BOOL, False),
    },
    "report": {
        "output": (PATH, True),
    },
}
# Files that are read, never written: they must exist before anything starts.
INPUTS = {"launcher": ("icon",), "sign": ("cert", "key", "password_file", "ca")}
# The sign step's files, which must never travel on the disc.
SECRETS = ("cert", "key", "password_file")
# Keys people write for a secret that belongs in a file of its own.
PASSWORD_HINT = re.compile(r"pass(word)?$|passphrase$", re.I)

_AT = re.compile(r"\s*\(at line (\d+), column (\d+)\)$")


class Settings:
    """The sections that were given, each a dict of its keys, paths made
    absolute against the settings file's folder."""

    def __init__(self, path, sections):
        self.path = path
        self.sections = sections

    def get(self, section):
        return self.sections.get(section)

    def files(self, section, keys):
        values = self.sections.get(section) or {}
        return [(key, values[key]) for key in keys if key in values]


def load(path):
    """Reads and checks the settings file at path; SettingsError names the
    first fault in one line."""
    shown = path
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except FileNotFoundError:
        raise SettingsError(f"{shown}: no such file") from None
    except IsADirectoryError:
        raise SettingsError(f"{shown}: a folder, not a settings file") from None
    except OSError as error:
        raise SettingsError(f"{shown}: cannot be read: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise SettingsError(syntax_error(shown, str(error))) from None
    except UnicodeDecodeError:
        raise SettingsError(f"{shown}: not UTF-8 text") from None
    base = os.path.dirname(os.path.abspath(path))
    sections = {}
    for name, table in data.items():
        if name not in SCHEMA:
            if isinstance(table, dict):
                raise SettingsError(f"{shown}: unknown section [{name}] (known: "
                                    + ", ".join(f"[{known}]" for known in SCHEMA) + ")")
            raise SettingsError(f"{shown}: '{name}' stands outside any section")
        if not isinstance(table, dict):
            raise SettingsError(f"{shown}: '{name}' must be a section, [{name}]")
        sections[name] = _section(shown, base, name, table)
    return Settings(path, sections)


def syntax_error(shown, message):
    """tomllib's message as file:line: what."""
    found = _AT.search(message)
    if found:
        return f"{shown}:{found.group(1)}: {message[:found.start()]} (column {found.group(2)})"
    return f"{shown}: {message}"


def _section(shown, base, name, table):
    schema = SCHEMA[name]
    values = {}
    for key, value in table.items():
        if key not in schema:
            hint = ""
            if name == "sign" and PASSWORD_HINT.search(key):
                hint = ": name a file that holds the password with password_file"
            raise SettingsError(f"{shown}: [{name}] unknown key '{key}'{hint}")
        kind, _ = schema[key]
        if kind == BOOL:
            if not isinstance(value, bool):
                raise SettingsError(f"{shown}: [{name}] {key} must be true or false")
        elif not isinstance(value, str):
            raise SettingsError(f"{shown}: [{name}] {key} must be a string, in quotes")
        elif kind == PATH:
            if not value:
                raise SettingsError(f"{shown}: [{name}] {key} is empty")
            value = os.path.normpath(os.path.join(base, os.path.expanduser(value)))
        values[key] = value
    for key, (_, required) in schema.items():
        if required and key not in values:
            raise SettingsError(f"{shown}: [{name}] needs {key}")
    return values


# -- before a ship starts -----------------------------------------------------

@dataclasses.dataclass
class Plan:
    """What a ship will do, decided before its first step: the settings, and
    the launcher's name at the kit's top."""
    settings: Settings
    name: str


def plan(kit, config, program=None):
    """Reads the settings and refuses, in one line naming the setting and
    the path, everything that can be refused before a step starts: where the
    settings and their files lie, and what each output would replace."""
    if inside(config, kit):
        raise SettingsError(f"{config} is inside the kit {kit}: keep the settings beside the kit, not in it "
                            "(they name the signing key, and the disc would carry them)")
    settings = load(config)
    for section, keys in INPUTS.items():
        for key, path in settings.files(section, keys):
            if not os.path.isfile(path):
                raise SettingsError(f"{config}: [{section}] {key}: {path} does not exist or is not a file")
    for key, path in settings.files("sign", SECRETS):
        if inside(path, kit):
            raise SettingsError(f"{config}: [sign] {key}: {path} is inside the kit: the disc would carry it")
    for section in ("image", "report"):
        target = (settings.get(section) or {}).get("output")
        if target and inside(target, kit):
            raise SettingsError(f"{config}: [{section}] output: {target} is inside the kit: write it somewhere else")
    image, report = settings.get("image"), settings.get("report")
    why = image and label_refusal(image["label"])
    if why:
        raise SettingsError(f"{config}: [image] label {why}")
    if image and report and os.path.abspath(image["output"]) == os.path.abspath(report["output"]):
        raise SettingsError(f"{config}: [image] and [report] name the same output")
    name = _launcher_name(kit, config, settings, program)
    _refuse_replacing(kit, config, settings, name)
    return Plan(settings, name)


def _launcher_name(kit, config, settings, program):
    launcher = settings.get("launcher")
    try:
        found, missing = find_launcher(kit, program), None
    except NoLauncher as error:
        found, missing = None, error
    if launcher is not None:
        name = launcher.get("name")
        if name:
            why = launcher_name_refusal(name)
            if why:
                raise SettingsError(f"{config}: [launcher] name: {why}")
            return name
        return found or "launcher.exe"
    if missing is not None:
        raise SettingsError(f"{kit}: {missing}" + ("" if program else
                            "; or name it with [launcher] name, which brands a fresh one"))
    if not os.path.isfile(os.path.join(kit, found)):
        raise SettingsError(f"{kit} has no launcher named {found} at its top")
    return found


def _refuse_replacing(kit, config, settings, name):
    """Each output may replace only an earlier output of its kind, never the
    kit or a file the run reads."""
    own = [("the kit", kit), ("the settings file", config)]
    for section, keys in INPUTS.items():
        own += [(f"[{section}] {key}", path) for key, path in settings.files(section, keys)]
    if settings.get("launcher") is not None:
        target = os.path.join(kit, name)
        why = replaceable.launcher(target)
        if why:
            raise SettingsError(f"{config}: [launcher] name: {paths.shown(target)} {why}")
    for section, kind, folder in (("image", replaceable.image, False), ("report", replaceable.report, True)):
        target = (settings.get(section) or {}).get("output")
        why = target and (replaceable.owned(target, own, folder) or kind(target))
        if why:
            raise SettingsError(f"{config}: [{section}] output: {paths.shown(target)} {why}")
