#!/bin/sh
# Rewrites the expected readings (*.lists.ref) of the lists files here from the current code, for
# review with git diff. Usage: tests/data/junk-mail/regenerate.sh [build dir]
set -eu
top=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$top/build/test}
OSTREL_REGENERATE=1 OSTREL_TEST_DATA="$top/tests/data" \
    "$build/tests/Platform/Host/host_junkmail_tests" --gtest_filter='JunkMailFileTest.EveryListsFileReadsAsExpected'
