#!/bin/sh
# Builds the server, registers it in the build's private Wine prefix as an installer
# would, and asks it for its status through CoCreateInstance of its ProgID.
set -eu
. "$(dirname "$0")/prepare.sh"

build=build/mingw
dll="Z:$(pwd)/$build/bin/twopc.dll"
echo "Registering $dll"
"$build/wine-run.sh" regsvr32 /s "$dll"
"$build/wine-run.sh" "$build/bin/twopc-cli.exe" status
