#!/bin/sh
# Installs the Debian packages needed to build, test, benchmark, fuzz and demo the project.
# Idempotent: prints nothing and changes nothing when every package is present.
set -eu

PACKAGES="cmake ninja-build make pkg-config g++ clang libclang-rt-14-dev
libxml2-dev libcurl4-openssl-dev libssl-dev libgmime-3.0-dev libsqlite3-dev
libicu-dev zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev
libcpp-httplib-dev libkrb5-dev unicode-cldr-core openssl ca-certificates
zip unzip python3 ccache clang-format gcovr mblaze"

missing=""
for p in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done

[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
