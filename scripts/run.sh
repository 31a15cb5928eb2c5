#!/usr/bin/env bash
# Builds Quellmark and the transmitter simulator, then opens the window on a
# simulated line of twelve transmitters (ten with integer values, one with floats, one at
# other line settings), so no hardware is needed: press "开始运行".
# The demo keeps its own copy of the program and its own Config.ini in
# build/demo, so the Config.ini beside the real program is never touched.
# The program for real hardware is build/default/app/Quellmark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake --preset default -DQUELLMARK_BUILD_TESTS=OFF -DQUELLMARK_BUILD_BENCH=OFF >/dev/null
cmake --build --preset default -j "$(nproc)" --target Quellmark quellmark-sim

demo="$PWD/build/demo"
port="$demo/ttyQM0"
mkdir -p "$demo"
# A copy, not a link: the program looks for Config.ini beside its own file.
cp -f build/default/app/Quellmark "$demo/Quellmark"

# A few bad frames now and then, so the error list has something to show. Slave 11
# is a transmitter that reports floats, low word first (数据格式 float32:cdab). The
# slaves answer only at 115200 baud 8N1, as real ones are set, except slave 12, which is
# set to 9600 baud 8E1: the scan (扫描…) finds it.
build/default/tools/TransmitterSim/quellmark-sim --slaves 1-12 --link "$port" \
    --baud 115200 --line 9600:E:1@12 \
    --value-format float32:cdab@11 --bad-crc 0.003 --no-reply 0.003 --seed "$RANDOM" \
    >"$demo/simulator.log" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -e "$port" ] && break
    sleep 0.1
done
[ -e "$port" ] || { echo "the simulator did not start; see $demo/simulator.log" >&2; exit 1; }

if [ -f "$demo/Config.ini" ]; then
    sed -i "s|^Comm Port=.*|Comm Port=$port|" "$demo/Config.ini"
else
    cat >"$demo/Config.ini" <<INI
[Communication]
Comm Port=$port
Baud Rate=115200
Poll Interval=10
Poll Timeout=200
Poll From=1
Poll To=10
FrameBreakMode=1
ReadInterval=20
[Modbus]
Register Begin=0
Register Count=4
INI
fi

"$demo/Quellmark" "$@"
