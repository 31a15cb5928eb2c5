#!/bin/sh
# Polls per second of quellmark-cli and of a plain libmodbus loop, taking turns on one
# transmitter simulator paced at 115200 baud: slaves 1-10, Register Count 2, fixed-length
# framing, Poll Interval 0. With BEFORE_BUILD, that build's quellmark-cli takes its turn too
# in every round (side by side with the same simulator and the same load). Medians at the end.
# Usage: bench/cli/cli_vs_libmodbus.sh [BUILD_DIR] [SECONDS] [ROUNDS] [BEFORE_BUILD]
set -eu
build=${1:-build/default}
seconds=${2:-10}
rounds=${3:-3}
before=${4:-}
work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT INT TERM

"$build/tools/TransmitterSim/quellmark-sim" --slaves 1-10 --baud 115200 --link "$work/tty" \
    >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
while [ ! -e "$work/tty" ]; do sleep 0.1; done
printf '[Communication]\nComm Port=%s\n' "$work/tty" >"$work/Config.ini"

# Polls per second of one quellmark-cli run; its error lines go to $work/cli.err.
cli_rate() {
    "$1/app/quellmark-cli" --config "$work/Config.ini" --baud 115200 --from 1 --to 10 \
        --register-count 2 --frame-break length --interval 0 --timeout 500 \
        --duration "$seconds" --json >"$work/cli.json" 2>"$work/cli.err" || true
    # A reply to the last request of one loop must not reach the next loop.
    sleep 1
    sed -n 's/.*"elapsed_s": \([0-9.]*\), "polls": \([0-9]*\),.*/\2 \1/p' "$work/cli.json" |
        awk '{ printf "%.1f", $1 / $2 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/after" >"$work/before" >"$work/lib"
round=1
while [ "$round" -le "$rounds" ]; do
    line="round $round:"
    if [ -n "$before" ]; then
        old=$(cli_rate "$before")
        echo "$old" >>"$work/before"
        line="$line before $old polls/s,"
    fi
    cli=$(cli_rate "$build")
    errors=$(grep -c . "$work/cli.err" || true)
    echo "$cli" >>"$work/after"
    lib=$("$build/bench/cli/modbus_poll_loop" "$work/tty" 115200 1 10 2 "$seconds" |
        sed -n 's/.*polls_per_s=\([0-9.]*\).*/\1/p')
    echo "$lib" >>"$work/lib"
    sleep 1
    echo "$line quellmark-cli $cli polls/s ($errors error lines), libmodbus $lib polls/s," \
        "ratio $(awk -v a="$cli" -v b="$lib" 'BEGIN { printf "%.3f", a / b }')" \
        "(load $(cut -d' ' -f1 /proc/loadavg))"
    round=$((round + 1))
done
cli=$(median <"$work/after")
lib=$(median <"$work/lib")
line="medians:"
if [ -n "$before" ]; then
    old=$(median <"$work/before")
    line="$line before $old ($(awk -v a="$old" -v b="$lib" 'BEGIN { printf "%.3f", a / b }')),"
fi
echo "$line quellmark-cli $cli, libmodbus $lib, ratio" \
    "$(awk -v a="$cli" -v b="$lib" 'BEGIN { printf "%.3f", a / b }')"
