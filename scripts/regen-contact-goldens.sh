#!/usr/bin/env bash
# Rewrites the vCard goldens of the contact data set (tests/data/contacts-convert/*.vcf.ref) from
# the current converters, for review with `git diff tests/data/contacts-convert`.
# Usage: scripts/regen-contact-goldens.sh [BUILD_DIR]   (default build/test)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/test}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON >/dev/null
fi
cmake --build "$build" --target contact_convert_tests -j2
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
chmod 700 "$home"
mkdir -m 700 "$home/home" "$home/run"
OSTREL_REGEN_CONTACT_GOLDENS=1 OSTREL_TEST_DATA="$root/tests/data" OSTREL_HOME="$home/home" \
    XDG_RUNTIME_DIR="$home/run" "$build/tests/Ostrel/Convert/Contact/contact_convert_tests" \
    --gtest_filter='ContactCorpus.EveryContactRoundTripsAndMatchesItsVCardGolden'
git -C "$root" status --short -- tests/data/contacts-convert
