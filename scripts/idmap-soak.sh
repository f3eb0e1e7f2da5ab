#!/bin/sh
# Long crash soak of the item id mapper: the crash test (writer processes killed at random points,
# then a fresh process verifies and checks the store) again and again with new seeds until the time
# is up. A failing seed is printed; OSTREL_IDMAP_CRASH_SEED=<seed> reruns it.
# Usage: scripts/idmap-soak.sh [minutes, default 10] [build dir, default build/test]
set -eu
minutes=${1:-10}
build=${2:-build/test}
bin=$build/tests/Ostrel/IdMap/idmap_tests
[ -x "$bin" ] || { echo "idmap_tests not built under $build" >&2; exit 2; }
end=$(( $(date +%s) + minutes * 60 ))
passes=0
while [ "$(date +%s)" -lt "$end" ]; do
    seed=$(( $(od -An -N4 -tu4 /dev/urandom | tr -d ' ') % 2000000000 ))
    home=$(mktemp -d)
    run=$(mktemp -d)
    if ! OSTREL_IDMAP_CRASH_ROUNDS=40 OSTREL_IDMAP_CRASH_SEED=$seed OSTREL_HOME=$home XDG_RUNTIME_DIR=$run \
        OSTREL_LOG=0 OSTREL_TEST_DATA="$(dirname "$0")/../tests/data" \
        "$bin" --gtest_filter='CrashTest.*' >"$home/soak.log" 2>&1; then
        cat "$home/soak.log"
        echo "FAILED with seed $seed (files kept in $home)"
        exit 1
    fi
    rm -rf "$home" "$run"
    passes=$((passes + 1))
    echo "pass $passes (seed $seed, 40 rounds) ok"
done
echo "$passes passes, no failure"
