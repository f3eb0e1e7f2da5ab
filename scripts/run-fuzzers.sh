#!/bin/sh
# Runs every fuzzer under the given build directory for a fixed time each, all of them even when
# one finds a fault, then fails naming each that did. A time of 0 runs each fuzzer once over its
# seeds only (the same inputs every time, as CI needs). An input that takes over a minute counts
# as a fault (a hang).
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
    if [ "$seconds" -eq 0 ]; then
        echo "== $name (its seeds)"
        set -- -runs=0 $seeds
    else
        echo "== $name ($seconds s)"
        set -- -max_total_time="$seconds" "$work" $seeds
    fi
    if ! "$f" -timeout=60 -print_final_stats=0 -artifact_prefix=build/fuzz/findings/"$name"- "$@" \
        2>build/fuzz/"$name".log; then
        tail -n 40 build/fuzz/"$name".log
        failed="$failed $name"
    else
        grep -aE '^Done|INITED' build/fuzz/"$name".log | tail -n 1 || true
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
