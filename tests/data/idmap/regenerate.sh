#!/bin/sh
# Rewrites the expected dumps (*.idm.ref) of the mapper files here from the current code, for
# review with git diff. Usage: tests/data/idmap/regenerate.sh [build dir]
set -eu
top=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$top/build/test}
OSTREL_REGENERATE=1 OSTREL_TEST_DATA="$top/tests/data" OSTREL_LOG=0 \
    "$build/tests/Ostrel/IdMap/idmap_tests" --gtest_filter='IdMapperFileTest.*'
