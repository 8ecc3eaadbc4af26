"""The load check: whether each Windows of a row loads its installer, read
from what the installer imports (walk), the runtimes it needs (runtimes) and
the export lists of real Windows builds (exports, data/)."""
from kitlib.checks.loading.exports import DataError
from kitlib.checks.loading.walk import findings, will_not_load
