#!/bin/sh
# scripts/run-benchmarks.sh runs every benchmark even when an early one misses its goal, then fails
# naming each that missed; it succeeds only when all met theirs.
set -u
script=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
bench() {  # name, exit status
    printf '#!/bin/sh\necho "ran %s"\nexit %s\n' "$1" "$2" >"$dir/$1"
    chmod +x "$dir/$1"
}
fail() {
    echo "FAIL: $1"
    exit 1
}

bench a_bench 1
bench b_bench 0
bench c_bench 1
out=$(sh "$script" "$dir") && fail "a missed goal was reported as success"
for name in a_bench b_bench c_bench; do
    echo "$out" | grep -q "^ran $name\$" || fail "$name did not run"
done
echo "$out" | tail -n 1 | grep -q "^benchmarks that missed their goal: a_bench c_bench\$" || fail "the misses are not listed: $out"

bench a_bench 0
bench c_bench 0
sh "$script" "$dir" >/dev/null || fail "every goal met, yet the run failed"
rm -f "$dir"/*
sh "$script" "$dir" >/dev/null && fail "no benchmark at all was reported as success"
echo "1 passed, 0 failed"
