#!/bin/sh
# Rewrites the calendar conversion corpus (tests/data/calendar-convert): fetches every seeded item
# of the simulator as the server replies with it, converts it into a store item and writes both the
# reply (NN-name.xml) and the item's text view (NN-name.store.ref). Review the diff before
# committing. Usage: scripts/regen-calendar-goldens.sh [build-dir]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/test}
cmake --build "$build" --target convert_calendar_tests -j2
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/run"
OSTREL_HOME="$home" XDG_RUNTIME_DIR="$home/run" OSTREL_TEST_DATA="$root/tests/data" \
OSTREL_REGEN_CALENDAR_GOLDENS=1 \
    "$build/tests/Ostrel/Convert/Calendar/convert_calendar_tests" --gtest_filter='CalendarGolden.RegenerateFromTheSimulator'
git -C "$root" status --short tests/data/calendar-convert
