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
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    ctest --preset host
else
    # This kernel runs no i386 programs, so Wine's 32-bit side cannot start
    # here: the Wine tests run in a VM whose kernel does, with the prefix in
    # the VM's memory.
    echo "test.sh: no i386 programs on this kernel; the Wine tests run in a VM (tools/vm)"
    ctest --preset host -LE '^e2e'
    VM_MEMORY=${VM_MEMORY:-6144} tools/vm/run-in-vm.sh --scratch build/wine --scratch build/wine64 \
        ctest --preset host -L '^e2e'
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
