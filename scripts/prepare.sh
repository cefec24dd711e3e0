#!/bin/sh
# Installs what the build needs (as root, with apt-get), then configures and builds the
# mingw preset. Sourced by demo.sh and test.sh.
set -eu

TWOPC_PACKAGES="cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libwine-dev doctest-dev"

missing=""
for package in $TWOPC_PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing:$missing"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
    else
        echo "Missing packages:$missing" >&2
        echo "Run this script as root once, or: sudo apt-get install --no-install-recommends$missing" >&2
        exit 1
    fi
fi

cd "$(dirname "$0")/.."
cmake --preset mingw >/dev/null
cmake --build --preset mingw
