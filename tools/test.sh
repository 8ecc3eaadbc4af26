#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both programs, then the
# unit tests, the check of the Windows program, the static analysis and the
# Wine tests (in a VM where this kernel runs no i386 programs), and last the
# fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host -LE '^e2e'
# The Wine tests, where Wine can run 32-bit programs (see tools/with-wine.sh).
tools/with-wine.sh ctest --preset host -L '^e2e'
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
