#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both programs, then the
# unit tests, the check of the Windows program and the static analysis, and
# last the fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
