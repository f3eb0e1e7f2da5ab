#!/bin/sh
# Fails when a tracked C++ file differs from what clang-format makes of it (.clang-format).
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.h' '*.cpp')
bad=$(for f in $files; do clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "$f"; done)
if [ -n "$bad" ]; then
    echo "$bad"
    echo "check-format: the files above need clang-format -i"
    exit 1
fi
echo "check-format: $(echo "$files" | wc -w) files formatted"
