#!/usr/bin/env bash
# Takes the README's screenshot: the demo under a virtual display, Start pressed,
# a few seconds of polling. Usage: scripts/screenshot.sh [out.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/demo.png}")
scripts/deps.sh shot
mkdir -p "$(dirname "$out")"
xvfb-run -a -s "-screen 0 1000x620x24" bash -c '
    scripts/run.sh >/tmp/quellmark-demo.log 2>&1 &
    for _ in $(seq 600); do
        win=$(xdotool search --name "Quellmark V" 2>/dev/null | head -n1) && [ -n "$win" ] && break
        sleep 0.2
    done
    xdotool windowmove "$win" 0 0
    sleep 1
    # The Start button sits at 736,10 (75 x 23) inside the top panel.
    xdotool mousemove --window "$win" 773 21 click 1
    sleep 6
    import -window "$win" "$1"
    xdotool windowclose "$win" 2>/dev/null || xdotool key --window "$win" alt+F4
    wait
' _ "$out"
echo "wrote $out"
