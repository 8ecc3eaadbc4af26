#!/usr/bin/env bash
# The long fuzz run: builds the fuzz targets, runs each in turn on one core
# for a number of executions, growing a corpus of its own under
# build/fuzz/long/, then minimizes that corpus and sums up.
# Usage: tools/dev/fuzz-long.sh [executions per target, default 10000000] [target...]
set -euo pipefail
cd "$(dirname "$0")/../.."

runs=${1:-10000000}
[ $# -gt 0 ] && shift
wanted=("$@")

tools/dev/setup.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

out=build/fuzz/long
mkdir -p "$out"
printf '%-10s %12s %8s %8s %8s %10s %8s\n' target executions exec/s seconds corpus minimized crashes
status=0
while read -r target binary max_len seeds; do
    if [ ${#wanted[@]} -gt 0 ] && [[ " ${wanted[*]} " != *" $target "* ]]; then
        continue
    fi
    dir=$out/$target
    mkdir -p "$dir/corpus" "$dir/artifacts"
    rm -rf "$dir/min" && mkdir -p "$dir/min"
    start=$SECONDS
    # A finding stops the target; the others still run.
    if ! nice -n 10 "$binary" -runs="$runs" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$dir/artifacts/" "$dir/corpus" "$seeds" >"$dir/run.log" 2>&1; then
        status=1
        echo "$target: finding, see $dir/run.log and $dir/artifacts/" >&2
    fi
    seconds=$((SECONDS - start))
    "$binary" -merge=1 -max_len="$max_len" "$dir/min" "$dir/corpus" "$seeds" >"$dir/merge.log" 2>&1
    stat() { sed -n "s/^stat::$1: *//p" "$dir/run.log" | tail -1; }
    printf '%-10s %12s %8s %8s %8s %10s %8s\n' "$target" "$(stat number_of_executed_units)" \
        "$(stat average_exec_per_sec)" "$seconds" "$(ls "$dir/corpus" | wc -l)" \
        "$(ls "$dir/min" | wc -l)" "$(ls "$dir/artifacts" | wc -l)"
done <build/fuzz/tests/fuzz/targets.txt
exit $status
