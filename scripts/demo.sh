#!/bin/sh
# Builds the server, registers it in the build's private Wine prefix as an installer
# would, and shows it at work through opcq, the console OPC client: the server's status,
# the item IDs of the local computer, ten seconds of live values with a write halfway, and
# two opcq processes sharing one plant through the local server host.
set -eu
. "$(dirname "$0")/prepare.sh"

build=build/mingw
dll="Z:$(pwd)/$build/bin/twopc.dll"
opcq="$build/bin/opcq.exe"
echo "Registering $dll"
"$build/wine-run.sh" regsvr32 /s "$dll"

# printf, not echo: some shells' echo would eat the backslashes of the item IDs.
show() {
    printf '\n$ opcq'
    printf ' %s' "$@"
    printf '\n'
}

show status
"$build/wine-run.sh" "$opcq" status

show browse --flat '\\.'
"$build/wine-run.sh" "$opcq" browse --flat '\\.'

set -- watch '\\.\proc1\Waveform.cosine' '\\.\proc1\Waveform.ramp' '\\.\proc1\Label' \
    --seconds 10 --write '\\.\proc1\Label=running@5'
show "$@"
if [ -t 1 ]; then
    # On a terminal opcq gets a console and redraws its trend every second; wine-run.sh
    # would hold all output back until the program ends. The prefix is booted and its
    # wineserver running by now, so nothing is left behind on the terminal.
    WINEPREFIX="$(pwd)/$build/wineprefix" WINEARCH=win64 WINEDEBUG="${WINEDEBUG:-fixme-all,-winediag,-systray}" \
        WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d" \
        "$(command -v wine64 || echo /usr/lib/wine/wine64)" "$opcq" "$@"
else
    "$build/wine-run.sh" "$opcq" "$@"
fi

# Clients in other processes share one server and one plant through the local server
# host: a watch in one opcq process sees the value that a second opcq process writes.
# Wine's COM reports releases that reach an already released stub as errors when these
# clients and the host let go; they are harmless and kept out of the demo.
WINEDEBUG="${WINEDEBUG:-fixme-all,-winediag,-systray,err-ole}"
export WINEDEBUG
echo
echo "Registering the local server host and the proxy/stub (opt-in)"
"$build/wine-run.sh" "$build/bin/twopcsrv.exe" /RegServer
"$build/wine-run.sh" regsvr32 /s "Z:$(pwd)/$build/bin/twopcps.dll"
set -- --context local watch '\\.\proc2\Pump.speed' --rate 100 --seconds 10
show "$@"
printf '  (in the background; its output follows when it ends)\n'
"$build/wine-run.sh" "$opcq" "$@" &
watcher=$!
sleep 5
set -- --context local write '\\.\proc2\Pump.speed=1234.5'
show "$@"
"$build/wine-run.sh" "$opcq" "$@"
wait "$watcher"
