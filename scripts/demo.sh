#!/bin/sh
# Builds the server, registers it in the build's private Wine prefix as an installer
# would, and shows it at work through opcq, the console OPC client: the server's status,
# the item IDs of the local computer, and ten seconds of live values with a write halfway.
set -eu
. "$(dirname "$0")/prepare.sh"

build=build/mingw
"$build/wine-run.sh" regsvr32 "Z:$(pwd)/$build/bin/twopc.dll"

# Each command shown as it can be pasted: quoted where the shell would change it. printf,
# not echo: some shells' echo would eat the backslashes of the item IDs.
opcq() {
    printf '\n$ ./scripts/opcq'
    for argument in "$@"; do
        case $argument in
            *[!A-Za-z0-9@=./_-]*) printf " '%s'" "$argument" ;;
            *) printf ' %s' "$argument" ;;
        esac
    done
    printf '\n'
    ./scripts/opcq "$@"
}

opcq status
opcq browse --flat '\\.'
opcq watch '\\.\proc1\Waveform.cosine' '\\.\proc1\Waveform.ramp' '\\.\proc1\Label' \
    --seconds 10 --write '\\.\proc1\Label=running@5'
