#!/usr/bin/env bash
# tools/dev/vm/run-in-vm.sh end to end: what the guest sees, what reaches the
# host, and what comes back. Two boots (about half a minute each), so one
# guest script answers every question of the table.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$root/build/vm-test
outside=/var/tmp/vm-test-$$   # outside the project: the guest's writes there must stay in the guest
rm -rf "$work" && mkdir -p "$work" && cd "$root" || exit 1

answers=$(DISPLAY=:42 tools/dev/vm/run-in-vm.sh --scratch build/vm-test/scratch bash -c '
    echo "args=$(printf "%s|" "$@")"
    echo "folder=$PWD"
    /lib/ld-linux.so.2 --version >/dev/null 2>&1; echo "i386=$?"
    echo shared >build/vm-test/shared; echo "shared=$?"
    echo outside >"$0"; echo "outside=$?"
    touch build/vm-test/scratch/file; echo "scratch=$?"
    echo "display=${DISPLAY-unset}"
' "$outside" 'a b' "it's" '$HOME' '' 2>&1)
status=$?
answer() { sed -n "s/^$1=//p" <<<"$answers"; }
host_file() { if [ -e "$1" ]; then cat "$1"; else echo absent; fi; }

failed=0
# row | actual | expected
check() {
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: got '$2', expected '$3'"
        failed=1
    fi
}
check "exit code of a command that succeeds" "$status" 0
check "arguments arrive as given" "$(answer args)" "a b|it's|\$HOME||"
check "runs in the caller's folder" "$(answer folder)" "$root"
check "guest runs i386 programs" "$(answer i386)" 0
check "project is writable in the guest" "$(answer shared)" 0
check "project writes reach the host" "$(host_file "$work/shared")" shared
check "the host root is writable in the guest" "$(answer outside)" 0
check "writes outside the project stay in the guest" "$(host_file "$outside")" absent
check "scratch folder is writable" "$(answer scratch)" 0
check "scratch files stay in the guest" "$(host_file "$work/scratch/file")" absent
check "the host's display is not passed on" "$(answer display)" unset

DISPLAY=:0 tools/dev/vm/run-in-vm.sh sh -c 'exit 7' >/dev/null 2>&1
check "exit code of a command that fails" "$?" 7

[ $failed -eq 0 ] || { echo "the guest answered:"; echo "$answers"; }
rm -f "$outside"
exit $failed
