#!/bin/sh
# How long quellmark-cli's scan takes on simulated lines, whose slaves answer only at their
# own line settings (printed, not a test):
#   1. an empty line: addresses 1-247 at 9600 baud, no parity (target: at most 15 s);
#   2. three slaves at three settings (2400 8E1, 19200 8N1, 115200 8E1), scanned for at
#      8 rates and 2 parities: every one found, and the time it took.
# The default wait of each probe: the request's and the reply's frames at the rate tried
# and a turnaround allowance of 30 ms.
# Usage: bench/cli/cli_scan_bench.sh [BUILD_DIR]
set -eu
build=${1:-build/default}
work=$(mktemp -d)
sim=
trap 'if [ -n "$sim" ]; then kill "$sim" 2>/dev/null; fi; wait 2>/dev/null; rm -rf "$work"' \
    EXIT INT TERM

# Starts the simulator with the given options on a link in $work; Config.ini points there.
start_sim() {
    "$build/tools/TransmitterSim/quellmark-sim" --link "$work/tty" "$@" >/dev/null 2>&1 &
    sim=$!
    while [ ! -e "$work/tty" ]; do sleep 0.1; done
    printf '[Communication]\nComm Port=%s\n' "$work/tty" >"$work/Config.ini"
}

stop_sim() {
    kill "$sim"
    wait "$sim" 2>/dev/null || true
    sim=
    while [ -e "$work/tty" ]; do sleep 0.1; done
}

# Runs one scan with the given options; prints its time, probes and what it found.
scan() {
    status=0
    "$build/app/quellmark-cli" --config "$work/Config.ini" --scan --json "$@" >"$work/scan.json" ||
        status=$?
    elapsed=$(sed -n 's/.*"elapsed_s": \([0-9.]*\),.*/\1/p' "$work/scan.json")
    probes=$(sed -n 's/.*"probes": \([0-9]*\),.*/\1/p' "$work/scan.json")
    echo "  $probes probes in $elapsed s (exit $status)"
    grep -o '{"id": [0-9]*, "baud": [0-9]*, "parity": "[NEO]"' "$work/scan.json" |
        sed 's/[{}"]//g; s/^/  found /' || echo "  found nothing"
}

echo "Empty line, addresses 1-247 at 9600 8N1 (target: at most 15 s):"
start_sim --slaves 250
scan --from 1 --to 247 --scan-bauds 9600 --scan-parities N
stop_sim

echo "Slaves 10 (2400 8E1), 11 (19200 8N1), 12 (115200 8E1); addresses 1-247, 8 rates, N and E:"
start_sim --slaves 10-12 --freeze --line 2400:E:1@10 --line 19200:N:1@11 --line 115200:E:1@12
scan --from 1 --to 247 --scan-bauds 1200,2400,4800,9600,19200,38400,57600,115200 \
    --scan-parities N,E
stop_sim
