#!/usr/bin/env bash
# Runs, from the project's top, a command that starts 32-bit programs under
# Wine: right here where this kernel runs i386 programs, else in a VM whose
# kernel does (tools/dev/vm), with the Wine prefixes in the VM's memory and every
# wait of the Wine machinery scaled to the emulation's pace.
# Usage: tools/dev/with-wine.sh COMMAND [ARGUMENT...]
set -euo pipefail
cd "$(dirname "$0")/../.."

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    exec "$@"
fi
echo "with-wine.sh: this kernel runs no i386 programs, so Wine's 32-bit side runs in a VM (tools/dev/vm)," \
     "several times slower" >&2
tools/dev/setup.sh vm
export PREVIEW_SLOWDOWN=${PREVIEW_SLOWDOWN:-3}
VM_MEMORY=${VM_MEMORY:-6144} exec tools/dev/vm/run-in-vm.sh --scratch build/wine --scratch build/wine64 --scratch build/wine64cd "$@"
