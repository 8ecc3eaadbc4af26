#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both programs, then the
# unit tests, the check of the Windows program, the static analysis and the
# Wine tests (in a VM where this kernel runs no i386 programs; then again on
# Debian trixie's and sid's Wines), and last the fuzz targets for a bounded time each.
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
# The same Wine tests on Debian's newer Wines, each in a root of its own made
# with debootstrap (tools/dev/debian-root.sh, about a minute each on a fresh
# clone): trixie's with its i386 half, sid's amd64-only one through WoW64.
# They run the programs built above; the root has no Windows compiler, so the
# branded build is the host's (-FS). A root that cannot be made is skipped.
root_failures=()
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    for release in trixie sid; do
        if ! said=$(tools/dev/debian-root.sh "$release" true 2>&1); then
            echo "test.sh: skipped the Wine tests on Debian $release's Wine: ${said##*$'\n'}"
            continue
        fi
        [ -z "$said" ] || echo "$said"
        echo "test.sh: the Wine tests on Debian $release's Wine"
        DEBIAN_ROOT_QUIET=1 tools/dev/debian-root.sh "$release" \
            ctest --test-dir build/host -L '^e2e' -FS branded_program || root_failures+=("$release")
    done
else
    echo "test.sh: skipped the Wine tests on Debian trixie's and sid's Wines: this kernel runs no i386 programs"
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
if [ ${#root_failures[@]} -gt 0 ]; then
    echo "test.sh: Wine tests failed on Debian ${root_failures[*]}'s Wine (see above)"
    exit 1
fi
