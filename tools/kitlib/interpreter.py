"""Runs the tools on a Python that has the Debian packages they need.

Debian's python3-* packages (pefile among them) serve Debian's own
/usr/bin/python3; the python3 first on a user's PATH may be another one.
"""
import importlib
import os
import sys

DEBIAN_PYTHON = "/usr/bin/python3"
# Set on the second start, so that a missing package can never loop.
_RESTARTED = "LAUNCHER_TOOLS_RESTARTED"


def require(*modules):
    """Imports the modules, or starts the running script again under Debian's
    Python when this interpreter lacks them; exits with one clear line when
    neither has them."""
    missing = _missing(modules)
    if not missing:
        return
    here = os.path.realpath(sys.executable or "")
    if (here != os.path.realpath(DEBIAN_PYTHON) and os.access(DEBIAN_PYTHON, os.X_OK)
            and not os.environ.get(_RESTARTED) and sys.argv and os.path.isfile(sys.argv[0])):
        os.environ[_RESTARTED] = "1"
        sys.stdout.flush()
        sys.stderr.flush()
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON, *sys.argv])
    packages = " ".join("python3-" + name for name in missing)
    sys.exit(f"{os.path.basename(sys.argv[0] or 'python3')}: the Python module(s) {', '.join(missing)} "
             f"are missing; tools/dev/setup.sh build installs them (Debian: {packages})")


def _missing(modules):
    missing = []
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    return missing
