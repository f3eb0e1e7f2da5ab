#!/bin/sh
# Runs every fuzzer under the given build directory for a fixed time each.
# Seeds come from fuzz/corpus/NAME when present; findings land in build/fuzz/findings.
set -eu
dir=${1:-build/fuzz/fuzz}
seconds=${2:-30}
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p build/fuzz/findings
found=0
for f in $(find "$dir" -type f -perm -u+x -name '*_fuzz' 2>/dev/null | sort); do
    found=1
    name=$(basename "$f")
    work="build/fuzz/corpus/$name"
    mkdir -p "$work"
    seeds="$top/fuzz/corpus/$name"
    [ -d "$seeds" ] || seeds=""
    echo "== $name ($seconds s)"
    "$f" -max_total_time="$seconds" -artifact_prefix=build/fuzz/findings/"$name"- "$work" $seeds
done
[ "$found" -eq 1 ] || echo "no fuzzers built under $dir"
