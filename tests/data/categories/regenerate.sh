#!/bin/sh
# Rewrites the expected dumps (*.xml.ref) of the category lists here from the current code, for
# review with git diff. Usage: tests/data/categories/regenerate.sh [build dir]
set -eu
top=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$top/build/test}
OSTREL_REGENERATE=1 OSTREL_TEST_DATA="$top/tests/data" OSTREL_LOG=0 \
    "$build/tests/Ostrel/Store/Categories/store_categories_tests" --gtest_filter='CategoryListGoldenTest.*'
