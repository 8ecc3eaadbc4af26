#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both programs, then the
# unit tests, the check of the Windows program, the static analysis and the
# Wine tests (in a VM where this kernel runs no i386 programs; then again on
# Debian trixie's and sid's Wines), tools/build.sh on a bare Debian 12, and
# last the fuzz targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/dev/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host -LE '^e2e'
# That run built build/branded (ship.branded_build). The Wine tests below
# only read it and leave its set-up out (-FS): the roots see it through an
# overlay while they run, and a build relinking it underneath would pull
# files from under them.
# The Wine tests, also on Debian's newer Wines: each in a root of its own made
# with debootstrap (tools/dev/debian-root.sh, about a minute each on a fresh
# clone), trixie's with its i386 half and sid's amd64-only one through WoW64.
# They run the programs built above, and what they write stays in the root
# (an overlay on build/host), so both run beside the host's Wine tests, which
# mostly wait on Wine; their output follows the host's. Beside them, the first
# command as a newcomer types it: tools/build.sh in a fresh clone of what is
# committed, on a fresh copy of a bare bookworm (minbase and git), installing
# all it needs from Debian's archive. A root that cannot be made is skipped.
ROOT_RELEASES=(trixie sid bookworm)
root_what() {
    case $1 in
        bookworm) echo "the first command on a bare Debian bookworm" ;;
        *) echo "the Wine tests on Debian $1's Wine" ;;
    esac
}
root_run() {
    local release=$1 child="" status=0
    # Reached by test.sh's end (its EXIT trap): the root's run ends too.
    trap '[ -z "$child" ] || kill "$child" 2>/dev/null; exit 143' TERM
    tools/dev/debian-root.sh "$release" true >"build/roots/$release-make.log" 2>&1 &
    child=$!
    wait "$child" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "test.sh: skipped $(root_what "$release"): $(tail -n 1 "build/roots/$release-make.log")"
        return 0
    fi
    cat "build/roots/$release-make.log"
    echo "test.sh: $(root_what "$release")"
    if [ "$release" = bookworm ]; then
        bare_run
        return
    fi
    DEBIAN_ROOT_QUIET=1 tools/dev/debian-root.sh "$release" \
        ctest --test-dir build/host -L '^e2e' -FS branded_program --output-on-failure &
    child=$!
    wait "$child"
}
# Passes when tools/build.sh exits 0 having printed both tables.
bare_run() {
    local log=build/roots/bookworm-build.log start=$SECONDS status=0
    tools/dev/debian-root.sh bookworm tools/build.sh >"$log" 2>&1 &
    child=$!
    wait "$child" || status=$?
    cat "$log"
    local tables=0 bits
    for bits in 32 64; do
        ! grep -q "^$bits-bit Windows (" "$log" || tables=$((tables + 1))
    done
    if [ "$status" -eq 0 ] && [ "$tables" -eq 2 ]; then
        echo "test.sh: tools/build.sh passed on a bare Debian bookworm in $((SECONDS - start)) s"
        return 0
    fi
    echo "test.sh: tools/build.sh failed on a bare Debian bookworm: exit $status, $tables of its 2 tables printed"
    return 1
}
declare -A root_pids=()
trap 'for pid in "${root_pids[@]}"; do kill "$pid" 2>/dev/null || true; done' EXIT
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    mkdir -p build/roots
    for release in "${ROOT_RELEASES[@]}"; do
        root_run "$release" >"build/roots/$release-tests.log" 2>&1 </dev/null &
        root_pids[$release]=$!
    done
else
    echo "test.sh: skipped the Wine tests on Debian trixie's and sid's Wines: this kernel runs no i386 programs"
    echo "test.sh: skipped the first command on a bare Debian bookworm: this kernel runs no i386 programs"
fi
# Where this kernel runs no 32-bit programs the host's run in a VM without
# hardware help (tools/dev/with-wine.sh), about an hour for all of them on two
# cores: there a handful that covers each kind of run, unless
# LAUNCHER_ALL_WINE_TESTS=1 asks for all.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1 || [ "${LAUNCHER_ALL_WINE_TESTS:-}" = 1 ]; then
    tools/dev/with-wine.sh ctest --preset host -L '^e2e' -FS branded_program
else
    echo "test.sh: the Wine tests in a VM, a few of them (LAUNCHER_ALL_WINE_TESTS=1 for all)"
    tools/dev/with-wine.sh ctest --preset host \
        -R '^e2e\.(release\.winxp|release\.vista_amd64|missing\.vista_x86|plant\.vista_x86|cd32\.root_quoted|unicode\.cjk_win10_x86)$'
fi
root_failures=()
for release in "${ROOT_RELEASES[@]}"; do
    [ -n "${root_pids[$release]:-}" ] || continue
    status=0
    wait "${root_pids[$release]}" || status=$?
    unset "root_pids[$release]"
    cat "build/roots/$release-tests.log"
    [ "$status" -eq 0 ] || root_failures+=("$release")
done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
if [ ${#root_failures[@]} -gt 0 ]; then
    echo "test.sh: failed in the Debian roots: ${root_failures[*]} (see above)"
    exit 1
fi
