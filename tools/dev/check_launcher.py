#!/usr/bin/env python3
"""Checks the built launcher (build/windows/launcher.exe): a 32-bit GUI PE
that loads from Windows 95 to 11, imports only what it calls, carries no
manifest and fits in 5.5 KB. The development scripts' and the tests' way to
the check that kitlib/checks/launcher_build.py makes.

Usage: tools/dev/check_launcher.py [--version-info] path/to/launcher.exe"""
import os
import sys

# A developer's front door, beside tools/kit: the toolkit's package is below tools/.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
from kitlib import interpreter  # noqa: E402

interpreter.require("pefile")
from kitlib.checks import launcher_build  # noqa: E402

if __name__ == "__main__":
    sys.exit(launcher_build.main())
