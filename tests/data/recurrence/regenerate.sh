#!/bin/sh
# Rewrites the expected field dumps (*.fields.ref) from the current reader, for review with
# `git diff tests/data/recurrence`. Usage: regenerate.sh [build-dir] (default build/test).
set -eu
top=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$top/build/test}
cmake --build "$build" --target store_calendar_tests -j2
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
OSTREL_HOME="$home" XDG_RUNTIME_DIR="$home" OSTREL_TEST_DATA="$top/tests/data" OSTREL_REGENERATE=1 \
    "$build/tests/Ostrel/Store/Calendar/store_calendar_tests" --gtest_filter='RecurrenceBlob.GoldenVectors'
git -C "$top" diff --stat -- tests/data/recurrence
