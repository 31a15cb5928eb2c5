#!/usr/bin/env bash
# Installs the Debian packages Quellmark needs, only those still missing.
# Usage: scripts/deps.sh run|test|fuzz|shot|windows
set -euo pipefail

common=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
        fonts-wqy-microhei qt6-translations-l10n)
case "${1:-test}" in
run) pkgs=("${common[@]}") ;;
test) pkgs=("${common[@]}" libgtest-dev libgmock-dev libmodbus-dev) ;;
fuzz) pkgs=(clang-14 libclang-rt-14-dev cmake ninja-build) ;;
shot) pkgs=("${common[@]}" xvfb xdotool imagemagick) ;;
# The Windows leg: cross compilers (posix threads), wine, GoogleTest sources, Qt's host
# tools for the window, python3 for the COM-port pair relay, xz for the Qt archive.
windows) pkgs=(cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
               mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine wine64 googletest
               qt6-base-dev-tools python3 xz-utils fonts-wqy-microhei xvfb xauth
               qt6-translations-l10n) ;;
*) echo "usage: $0 run|test|fuzz|shot|windows" >&2; exit 2 ;;
esac

missing=()
for p in "${pkgs[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
echo "Installing: ${missing[*]}"
# Another install running at the same moment holds dpkg's lock: wait for it.
lock=(-o DPkg::Lock::Timeout=600)
"${sudo[@]}" apt-get "${lock[@]}" update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${lock[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}"
