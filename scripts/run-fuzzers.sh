#!/bin/sh
# Runs every fuzzer under the given build directory for a fixed time each, all of them even when
# one finds a fault, then fails naming each that did.
# Seeds come from fuzz/corpus/NAME when present; findings land in build/fuzz/findings.
set -u
dir=${1:-build/fuzz/fuzz}
seconds=${2:-30}
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p build/fuzz/findings
found=0
failed=""
for f in $(find "$dir" -type f -perm -u+x -name '*_fuzz' 2>/dev/null | sort); do
    found=1
    name=$(basename "$f")
    work="build/fuzz/corpus/$name"
    mkdir -p "$work"
    seeds="$top/fuzz/corpus/$name"
    [ -d "$seeds" ] || seeds=""
    echo "== $name ($seconds s)"
    # shellcheck disable=SC2086
    if ! "$f" -max_total_time="$seconds" -print_final_stats=0 \
        -artifact_prefix=build/fuzz/findings/"$name"- "$work" $seeds 2>build/fuzz/"$name".log; then
        tail -n 40 build/fuzz/"$name".log
        failed="$failed $name"
    else
        grep '^Done' build/fuzz/"$name".log || true
    fi
done
if [ "$found" -eq 0 ]; then
    echo "no fuzzers built under $dir"
    exit 1
fi
if [ -n "$failed" ]; then
    echo "fuzzers that found a fault:$failed (inputs in build/fuzz/findings)"
    exit 1
fi
echo "every fuzzer ran clean"
