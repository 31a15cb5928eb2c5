#!/usr/bin/env bash
# Builds Qt (qtbase: Core, Gui, Widgets, Test) for 64-bit Windows with Debian's
# mingw-w64 from Debian's qt6-base source package, and packs it as
# qt6-mingw-<version>.tar.xz with its SHA256SUMS, the form the mingw preset
# unpacks (or point QUELLMARK_QT_MINGW at the installed prefix).
# Not run by the test command: it takes about a quarter of an hour on 2 cores.
# Needs deb-src entries in the apt sources.
# Usage: scripts/qt-mingw/build.sh [WORK_FOLDER]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
work=${1:-$repo/build/qt-mingw-work}
mkdir -p "$work"
cd "$work"

"$repo/scripts/deps.sh" windows
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    dpkg-dev xz-utils patch

[ -d src ] || {
    apt-get source --download-only qt6-base
    dpkg-source -x qt6-base_*.dsc src
    patch -d src -p1 <"$here/qwindowsintegration-no-direct2d.patch"
}
version=$(dpkg-parsechangelog -l src/debian/changelog -S Version | sed 's/+.*//')
prefix="$work/qt6-mingw"

# The host tools (moc, rcc, uic) come from Debian's qt6-base-dev-tools of the same version.
cmake -S src -B build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF \
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_opengl_dynamic=OFF \
    -DFEATURE_opengl_desktop=OFF -DFEATURE_vulkan=OFF -DFEATURE_xml=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_direct2d=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF \
    -DFEATURE_zstd=OFF -DFEATURE_glib=OFF -DFEATURE_icu=OFF -DFEATURE_testlib_selfcover=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_doubleconversion=OFF
cmake --build build -j "$(nproc)"
cmake --install build

# The compiler's runtime beside Qt's own DLLs, so the folder runs as it is.
for dll in libgcc_s_seh-1.dll libstdc++-6.dll; do
    cp "$(x86_64-w64-mingw32-g++-posix -print-file-name=$dll)" "$prefix/bin/"
done
cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$prefix/bin/"

archive="qt6-mingw-$version.tar.xz"
tar -C "$work" -cJf "$archive" qt6-mingw
sha256sum "$archive" >SHA256SUMS
echo "Built $work/$archive; use it with -DQUELLMARK_QT_MINGW_ARCHIVE=$work/$archive"
