#!/usr/bin/env bash
# Rewrites the golden MIME texts of the outgoing mail data set (tests/data/mail-out/*.eml.ref) from
# the current writers, for review with `git diff tests/data/mail-out`.
# Usage: scripts/regen-mail-out-goldens.sh [BUILD_DIR]   (default build/test)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/test}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON >/dev/null
fi
cmake --build "$build" --target ostrel_convert_mail_out_tests -j2
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
chmod 700 "$home"
mkdir -m 700 "$home/home" "$home/run"
OSTREL_REGEN_MAIL_OUT_GOLDENS=1 OSTREL_TEST_DATA="$root/tests/data" OSTREL_HOME="$home/home" \
    XDG_RUNTIME_DIR="$home/run" "$build/tests/Ostrel/Convert/Mail/Out/ostrel_convert_mail_out_tests" \
    --gtest_filter='MailOutGolden.*'
git -C "$root" status --short -- tests/data/mail-out
