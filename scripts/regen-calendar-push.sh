#!/bin/sh
# Rewrites the expected results of the calendar push tests (tests/data/calendar-push) from the
# current code; review the diff before committing. Usage: scripts/regen-calendar-push.sh [build dir]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build/test"}
cmake --build "$build" --target convert_calendar_tests -j2
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
chmod 700 "$home"
OSTREL_HOME="$home/home" XDG_RUNTIME_DIR="$home/run" OSTREL_TEST_DATA="$root/tests/data" \
    OSTREL_REGEN_CALENDAR_PUSH=1 \
    "$build/tests/Ostrel/Convert/Calendar/convert_calendar_tests" --gtest_filter='RoundTripPush*:PushBuilt*'
git -C "$root" diff --stat -- tests/data/calendar-push
