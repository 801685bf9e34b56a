#!/bin/sh
# The Wine rig of the Windows test run: one prefix, initialised once, and one
# persistent Wine server for the whole run (the SERIALCOMM registry key lives
# only as long as the server does).
#   wine-rig.sh start|stop    with WINEPREFIX set
set -eu
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG="${WINEDEBUG:--all}"
log="$WINEPREFIX.log"
case "${1:-}" in
start)
    mkdir -p "$WINEPREFIX"
    # Wine's background services inherit the descriptors of the Wine process
    # that starts them: give them files, never the test runner's pipes.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >"$log" 2>&1 </dev/null || { cat "$log"; exit 1; }
    fi
    wineserver -p >>"$log" 2>&1 </dev/null &
    # The server is up once a client can talk to it.
    wine cmd /c exit >>"$log" 2>&1 </dev/null
    mkdir -p "$WINEPREFIX/dosdevices"
    echo "wine rig ready: $WINEPREFIX"
    ;;
stop)
    wineserver -k >>"$log" 2>&1 </dev/null || true
    echo "wine rig stopped"
    ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
