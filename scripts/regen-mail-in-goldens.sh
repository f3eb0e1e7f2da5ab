#!/usr/bin/env bash
# Rewrites the golden dumps of the incoming-mail corpus (tests/data/mail-in/*.props.ref): what the
# conversion of each server message writes on top of the host converter's result. Review the
# result with `git diff tests/data/mail-in`.
# Usage: scripts/regen-mail-in-goldens.sh [BUILD_DIR]   (default build/test)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/test}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON >/dev/null
fi
cmake --build "$build" --target ostrel_convert_mail_in_tests -j2
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
chmod 700 "$home"
mkdir -m 700 "$home/home" "$home/run"
OSTREL_REGEN_MAIL_IN_GOLDENS=1 OSTREL_TEST_DATA="$root/tests/data" OSTREL_HOME="$home/home" \
    XDG_RUNTIME_DIR="$home/run" "$build/tests/Ostrel/Convert/Mail/In/ostrel_convert_mail_in_tests" \
    --gtest_filter='MailInCorpus.EveryCorpusMessageMatchesItsGolden'
git -C "$root" status --short -- tests/data/mail-in
