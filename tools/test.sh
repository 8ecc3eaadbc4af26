#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both programs, then the
# unit tests, the check of the Windows program, the static analysis and the
# Wine tests (in a VM where this kernel runs no i386 programs), and last the
# fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/dev/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host -LE '^e2e'
# The Wine tests. Where this kernel runs no 32-bit programs they run in a VM
# without hardware help (tools/dev/with-wine.sh), about an hour for all of them
# on two cores: there a handful that covers each kind of run, unless
# LAUNCHER_ALL_WINE_TESTS=1 asks for all.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1 || [ "${LAUNCHER_ALL_WINE_TESTS:-}" = 1 ]; then
    tools/dev/with-wine.sh ctest --preset host -L '^e2e'
else
    echo "test.sh: the Wine tests in a VM, a few of them (LAUNCHER_ALL_WINE_TESTS=1 for all)"
    tools/dev/with-wine.sh ctest --preset host \
        -R '^e2e\.(release\.winxp|release\.vista_amd64|missing\.vista_x86|plant\.vista_x86|cd32\.root_quoted)$'
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
