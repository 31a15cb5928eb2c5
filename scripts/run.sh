#!/usr/bin/env bash
# Builds Quellmark and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake --preset default -DQUELLMARK_BUILD_TESTS=OFF -DQUELLMARK_BUILD_BENCH=OFF >/dev/null
cmake --build --preset default -j "$(nproc)" --target Quellmark
exec build/default/app/Quellmark "$@"
