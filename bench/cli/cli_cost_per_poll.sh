#!/bin/sh
# What one poll costs quellmark-cli and a plain libmodbus loop on the same simulator (115200
# baud, slaves 1-10, Register Count 2, fixed length, Poll Interval 0): CPU time and context
# switches per poll (perf stat), and the system calls of each quellmark-cli thread per poll
# (perf trace). Unlike polls per second these figures barely move with the load of the machine.
# Needs perf and the right to trace (root). With BEFORE_BUILD that build is measured as well.
# Usage: bench/cli/cli_cost_per_poll.sh [BUILD_DIR] [SECONDS] [BEFORE_BUILD]
set -eu
build=${1:-build/default}
seconds=${2:-4}
before=${3:-}
work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT INT TERM

"$build/tools/TransmitterSim/quellmark-sim" --slaves 1-10 --baud 115200 --link "$work/tty" \
    >/dev/null 2>&1 &
sim=$!
while [ ! -e "$work/tty" ]; do sleep 0.1; done
printf '[Communication]\nComm Port=%s\n' "$work/tty" >"$work/Config.ini"

# Runs quellmark-cli in place of the calling (background) shell, so that its pid is $!.
cli() {
    exec "$1/app/quellmark-cli" --config "$work/Config.ini" --baud 115200 --from 1 --to 10 \
        --register-count 2 --frame-break length --interval 0 --timeout 500 \
        --duration "$seconds" --json
}

# CPU ms and context switches from perf stat's report in $work/stat, divided by $1 polls.
per_poll() {
    awk -v polls="$1" '/task-clock/ { gsub(",", "", $1); cpu = $1 }
        /context-switches/ { gsub(",", "", $1); cs = $1 }
        END { printf "%.1f us CPU and %.1f context switches per poll", cpu * 1000 / polls, cs / polls }' \
        "$work/stat"
}

for dir in $before $build; do
    perf stat -e task-clock,context-switches -o "$work/stat" "$dir/app/quellmark-cli" \
        --config "$work/Config.ini" --baud 115200 --from 1 --to 10 --register-count 2 \
        --frame-break length --interval 0 --timeout 500 --duration "$seconds" --json \
        >"$work/cli.json" 2>/dev/null
    polls=$(sed -n 's/.*"polls": \([0-9]*\),.*/\1/p' "$work/cli.json")
    echo "quellmark-cli ($dir): $polls polls, $(per_poll "$polls")"
    sleep 1

    cli "$dir" >"$work/traced.json" 2>/dev/null &
    pid=$!
    sleep 1
    perf trace -s -p "$pid" -o "$work/trace" -- sleep 2 >/dev/null 2>&1 || true
    wait "$pid" || true
    # System calls per poll of each thread, named by what it does; polls counted by the
    # writer's writes.
    awk '/^ .*\([0-9]+\), [0-9]+ events/ { thread = $2 }
         $1 ~ /^(futex|ppoll|read|write|ioctl)$/ { calls[thread] = calls[thread] " " $1 "=" $2; n[thread, $1] = $2 }
         END { for (t in calls) if (n[t, "write"] > polls) polls = n[t, "write"];
               for (t in calls) {
                   name = n[t, "ppoll"] > polls / 2 ? "reader" : n[t, "ioctl"] > polls / 2 ? "poll thread" : n[t, "write"] > polls / 2 ? "writer" : "event loop";
                   printf "  %-12s", name; k = split(calls[t], c, " ");
                   for (i = 1; i <= k; i++) { split(c[i], kv, "="); printf " %s %.1f", kv[1], kv[2] / polls }
                   printf " per poll\n" } }' "$work/trace"
    sleep 1
done

perf stat -e task-clock,context-switches -o "$work/stat" \
    "$build/bench/cli/modbus_poll_loop" "$work/tty" 115200 1 10 2 "$seconds" >"$work/lib.out"
polls=$(sed -n 's/.*polls=\([0-9]*\).*/\1/p' "$work/lib.out")
echo "libmodbus loop: $polls polls, $(per_poll "$polls")"
