#!/bin/sh
# Rewrites the .ref file beside every .uid file from what the code produces now; review the diff.
# Usage: regenerate.sh <path of the ostrel_store_tests binary>
set -e
dir=$(cd "$(dirname "$0")" && pwd)
OSTREL_TEST_DATA=$(cd "$dir/../../.." && pwd)/data OSTREL_REGENERATE=1 "$1" --gtest_filter='OutlookUidTest.GoldenCases'
