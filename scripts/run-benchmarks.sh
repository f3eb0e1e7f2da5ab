#!/bin/sh
# Runs every benchmark binary found under the given build directory, all of them even when one
# misses its goal, then fails naming each that missed.
set -u
dir=${1:-build/release/bench}
found=0
missed=""
for b in $(find "$dir" -type f -perm -u+x -name '*_bench' 2>/dev/null | sort); do
    found=1
    echo "== $(basename "$b")"
    if ! "$b" --benchmark_counters_tabular=true; then
        missed="$missed $(basename "$b")"
    fi
done
if [ "$found" -eq 0 ]; then
    echo "no benchmarks built under $dir"
    exit 1
fi
if [ -n "$missed" ]; then
    echo "benchmarks that missed their goal:$missed"
    exit 1
fi
echo "every benchmark met its goal"
