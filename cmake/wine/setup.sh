#!/usr/bin/env bash
# Prepares the wine side of a cross-build's tests, once, under a lock:
#   setup.sh DIR PYTHON prefix  a wine prefix in DIR/prefix
#   setup.sh DIR PYTHON start   the prefix and the COM-port pair relay
#   setup.sh DIR PYTHON stop    stops the relay
set -euo pipefail
dir=$1
python=$2
# Descriptors inherited from the caller (a build tool's output pipe among them)
# would live on in the wine server and the relay, which outlast this script: the
# build tool would then wait for them to close, for as long as those run.
for fd in /proc/$$/fd/*; do
    fd=${fd##*/}
    if [ "$fd" -gt 2 ]; then
        { eval "exec $fd>&-"; } 2>/dev/null || true
    fi
done
mkdir -p "$dir/control"
exec 9>"$dir/.lock"
flock 9

export WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
pidfile="$dir/control/relay.pid"

if [ "${3:-}" = stop ]; then
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        kill "$(cat "$pidfile")" || true
    fi
    rm -f "$pidfile"
    # The wine server ends by itself a minute after its last program.
    exit 0
fi

if [ ! -f "$WINEPREFIX/.quellmark-ready" ]; then
    rm -rf "$WINEPREFIX"
    echo "Creating a wine prefix in $WINEPREFIX" >&2
    wineboot -i </dev/null >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
    touch "$WINEPREFIX/.quellmark-ready"
fi
# One wine server for the whole run, gone a minute after its last program: each
# program then starts in a fraction of a second instead of several.
wineserver -p60 </dev/null >/dev/null 2>&1 9>&- || true

[ "${3:-start}" = prefix ] && exit 0

if ! { [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; }; then
    rm -f "$dir/control/ready"
    setsid "$python" "$(dirname "$0")/com_pairs.py" "$WINEPREFIX/dosdevices" "$dir/control" \
        11 3 </dev/null >"$dir/control/relay.log" 2>&1 9>&- &
    echo $! >"$pidfile"
    for _ in $(seq 100); do
        [ -f "$dir/control/ready" ] && break
        sleep 0.05
    done
fi
