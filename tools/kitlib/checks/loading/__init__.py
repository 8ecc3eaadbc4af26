"""The load check: whether each Windows of a row loads its installer, read
from its headers (program), its manifest's assemblies (assemblies), what it
imports (walk, lacking), the runtimes it needs (runtimes) and the export
lists of real Windows builds (exports, data/); each finding a Cause naming
the releases it holds for (causes)."""
from kitlib.checks.loading.causes import Cause
from kitlib.checks.loading.exports import DataError
from kitlib.checks.loading.walk import causes
