#!/usr/bin/env bash
# Runs the frame fuzzer for a bounded time (seconds, default 60). Not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh fuzz
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_modbus_reply
corpus=build/fuzz/corpus
mkdir -p "$corpus"
build/fuzz/protocol/fuzz_modbus_reply -max_total_time="$seconds" -max_len=64 "$corpus"
