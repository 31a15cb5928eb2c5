#!/usr/bin/env bash
# Installs the portable folder into a folder with a Chinese name and starts
# Quellmark.exe there under wine, with nothing on the DLL search path but the
# folder itself: the program must start and write its default Config.ini beside
# itself. Usage: first-start.sh BUILD_DIR WINE
set -euo pipefail
build=$1
wine=$2
folder="$build/wine/first-start/便携 文件夹"
rm -rf "$build/wine/first-start"
cmake --install "$build" --prefix "$folder" >/dev/null
export WINEPREFIX="$build/wine/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH
cd /
"$wine" "$folder/Quellmark.exe" -platform offscreen >"$build/wine/first-start/output.txt" 2>&1 &
pid=$!
for _ in $(seq 300); do
    [ -s "$folder/Config.ini" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
sleep 0.5
running=yes
kill -0 "$pid" 2>/dev/null || running=no
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
if [ "$running" != yes ]; then
    echo "Quellmark.exe ended by itself:"; cat "$build/wine/first-start/output.txt"; exit 1
fi
if ! head -1 "$folder/Config.ini" | grep -q '^\[Communication\]'; then
    echo "no default Config.ini beside Quellmark.exe"; ls -la "$folder"; exit 1
fi
echo "Quellmark.exe started in '$folder' and wrote:"; cat "$folder/Config.ini"
