"""The checks that run nothing: the distribution (kit), its files as the
disc carries them (files), the load check (loading), and the built launcher
itself (launcher_build)."""
from kitlib.checks.kit import check, refusals
from kitlib.checks.launcher_build import problems as launcher_problems
