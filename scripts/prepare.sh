#!/bin/sh
# Installs what the build needs, then configures and builds the mingw preset. Sourced by
# demo.sh and test.sh. Only the package step needs root rights: it runs apt-get directly
# as root, else through sudo where it exists, else through su (root's password). The
# build belongs to the owner of the checkout: run as root, the rest goes on as that user.
set -eu

TWOPC_PACKAGES="cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libwine-dev doctest-dev python3"

missing=""
for package in $TWOPC_PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
if [ -n "$missing" ]; then
    install="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$missing"
    if [ "$(id -u)" -eq 0 ]; then
        as_root="sh -c"
    elif command -v sudo >/dev/null 2>&1; then
        as_root="sudo sh -c"
    elif [ -t 0 ]; then
        echo "No sudo here: su asks for root's password."
        as_root="su root -c"
    else
        echo "Missing packages. As root: $install" >&2
        exit 1
    fi
    echo "Installing:$missing"
    echo "(all of them, on a fresh Debian 12: about 220 MB to download and 1 GB on disk)"
    $as_root "$install"
fi

cd "$(dirname "$0")/.."
owner=$(stat -c %u .)
if [ "$(id -u)" -eq 0 ] && [ "$owner" -ne 0 ] && account=$(getent passwd "$owner"); then
    echo "Building as ${account%%:*}, who owns this checkout."
    exec runuser -u "${account%%:*}" -- env HOME="$(echo "$account" | cut -d: -f6)" \
        "$(pwd)/scripts/$(basename "$0")" "$@"
fi
foreign=$(find build -maxdepth 3 ! -user "$(id -u)" -print -quit 2>/dev/null || true)
if [ -n "$foreign" ]; then
    stranger=$(stat -c %U "$foreign")
    [ "$stranger" = root ] || stranger="$stranger or root"
    echo "$foreign belongs to $(stat -c %U "$foreign"), not to you ($(id -un)): have it removed as $stranger (rm -rf build), then run this again." >&2
    exit 1
fi
cmake --preset mingw >/dev/null
cmake --build --preset mingw
