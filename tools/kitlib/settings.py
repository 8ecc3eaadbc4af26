"""The settings file of `kit ship`: which launcher to brand, how to sign it,
the image and the report, in TOML. Every fault is one line naming the file,
the section and the key, so that a typo cannot silently skip a step (a
misspelt password_file would otherwise sign with no password, and fail for
a reason nobody sees)."""
import os
import re
import tomllib


class SettingsError(Exception):
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
# The branding options, in the order brand.py and CMake take them.
BRANDING = ("icon", "version", "product", "company", "description", "copyright")
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
