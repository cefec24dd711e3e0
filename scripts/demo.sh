#!/bin/sh
# Builds the server, registers it in the build's private Wine prefix as an installer
# would, and shows it at work through opcq, the console OPC client: the server's status,
# the item IDs of the local computer, ten seconds of live values with a write halfway, and
# two opcq processes sharing one plant through the local server host.
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

# Clients in other processes share one server and one plant through the local server
# host: a watch in one opcq process sees the value that a second opcq process writes.
echo
echo "Registering the local server host and the proxy/stub (opt-in)"
"$build/wine-run.sh" "$build/bin/twopcsrv.exe" /RegServer
"$build/wine-run.sh" regsvr32 /s "Z:$(pwd)/$build/bin/twopcps.dll"
opcq --context local watch '\\.\proc2\Pump.speed' --rate 100 --seconds 10 &
watcher=$!
sleep 5
opcq --context local write '\\.\proc2\Pump.speed=1234.5'
wait "$watcher"
