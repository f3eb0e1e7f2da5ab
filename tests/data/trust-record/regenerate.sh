#!/bin/sh
# Rewrites the expected readings (*.txt.ref) of the trust records here from the current code, for
# review with git diff. Usage: tests/data/trust-record/regenerate.sh [build dir]
set -eu
top=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$top/build/test}
OSTREL_REGENERATE=1 OSTREL_TEST_DATA="$top/tests/data" \
    "$build/tests/Ostrel/Trust/trust_tests" --gtest_filter='ProfileTrustRecordTest.*'
