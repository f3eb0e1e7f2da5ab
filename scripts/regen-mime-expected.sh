#!/usr/bin/env bash
# Rewrites the expected results of the MIME corpus (tests/data/mime/*.expected) from the current
# parser, for review with `git diff tests/data/mime`.
# Usage: scripts/regen-mime-expected.sh [BUILD_DIR]   (default build/test)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/test}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON >/dev/null
fi
cmake --build "$build" --target mime_tests -j2
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
chmod 700 "$home"
mkdir -m 700 "$home/home" "$home/run"
OSTREL_REGEN_MIME_EXPECTED=1 OSTREL_TEST_DATA="$root/tests/data" OSTREL_HOME="$home/home" \
    XDG_RUNTIME_DIR="$home/run" "$build/tests/Platform/Mime/mime_tests" \
    --gtest_filter='MimeCorpus.EveryMessageParsesToItsExpectedResult'
git -C "$root" status --short -- tests/data/mime
