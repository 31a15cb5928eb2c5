#!/usr/bin/env bash
# Installs the Debian packages Quellmark needs, only those still missing.
# Usage: scripts/deps.sh run|test|fuzz
set -euo pipefail

common=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
        fonts-wqy-microhei)
case "${1:-test}" in
run) pkgs=("${common[@]}") ;;
test) pkgs=("${common[@]}" libgtest-dev libgmock-dev libmodbus-dev) ;;
fuzz) pkgs=(clang-14 libclang-rt-14-dev cmake ninja-build) ;;
shot) pkgs=("${common[@]}" xvfb xdotool imagemagick) ;;
*) echo "usage: $0 run|test|fuzz|shot" >&2; exit 2 ;;
esac

missing=()
for p in "${pkgs[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
