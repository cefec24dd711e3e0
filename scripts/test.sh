#!/bin/sh
# Builds everything and runs the whole test suite under Wine.
set -eu
. "$(dirname "$0")/prepare.sh"

ctest --preset mingw "$@"
