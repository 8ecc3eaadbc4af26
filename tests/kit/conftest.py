"""pytest's set-up for the kit's tests: the shipping tests' helpers on the
path, and a run in which every test was skipped ends with exit code 77,
which CTest reports as skipped (tests/ship/shared.py)."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
sys.path.insert(0, os.path.join(ROOT, "tests", "ship"))
from shared import pytest_runtest_logreport, pytest_sessionfinish  # noqa: E402, F401
