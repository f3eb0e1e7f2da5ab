#!/bin/sh
# Runs every benchmark binary found under the given build directory.
set -eu
dir=${1:-build/release/bench}
found=0
for b in $(find "$dir" -type f -perm -u+x -name '*_bench' 2>/dev/null | sort); do
    found=1
    echo "== $(basename "$b")"
    "$b" --benchmark_counters_tabular=true
done
[ "$found" -eq 1 ] || echo "no benchmarks built under $dir"
