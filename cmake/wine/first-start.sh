#!/usr/bin/env bash
# Installs the portable folder into a folder with a Chinese name and starts
# Quellmark.exe there under wine on a virtual screen, with nothing on the DLL
# search path but the folder itself: the program must come up and write its
# default Config.ini beside itself. Usage: first-start.sh BUILD_DIR WINE
set -euo pipefail
build=$1
wine=$2
work="$build/wine/first-start"
folder="$work/便携 文件夹"
rm -rf "$work"
cmake --install "$build" --prefix "$folder" >/dev/null
export WINEPREFIX="$build/wine/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH
cd /
# The windows platform needs a 24-bit screen under Xvfb.
xvfb-run -a -s "-screen 0 1280x1024x24" \
    bash -c 'echo $$ >"$1/pid"; exec "$2" "$3"' _ "$work" "$wine" "$folder/Quellmark.exe" \
    >"$work/output.txt" 2>&1 </dev/null &
runner=$!
for _ in $(seq 600); do
    [ -s "$folder/Config.ini" ] && break
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.1
done
sleep 1
running=yes
kill -0 "$runner" 2>/dev/null || running=no
[ -f "$work/pid" ] && kill "$(cat "$work/pid")" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
if [ "$running" != yes ]; then
    echo "Quellmark.exe ended by itself:"; cat "$work/output.txt"; exit 1
fi
if ! head -1 "$folder/Config.ini" | grep -q '^\[Communication\]'; then
    echo "no default Config.ini beside Quellmark.exe"; ls -la "$folder"; exit 1
fi
echo "Quellmark.exe started in '$folder' and wrote:"; cat "$folder/Config.ini"
