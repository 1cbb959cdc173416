#!/usr/bin/env bash
# Builds Qt's base module (Core, Gui, Widgets and the Windows platform plugin) for 64-bit
# Windows with mingw-w64, from Debian's own qt6-base source package, into a cache prefix
# that scripts/windows/build.sh reuses. Run once as root on Debian 12; later runs skip.
#
#   VELDIX_QT_MINGW   install prefix   (default /opt/veldixmid/qt6-mingw)
#   VELDIX_QT_WORK    source and build (default /var/tmp/veldixmid-qt6-mingw)
#   VELDIX_QT_JOBS    parallel jobs    (default: number of cores)
#
# The host Qt (same version, 6.4.2) provides moc, rcc and uic; the build takes about
# 35-45 minutes on two cores.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
prefix=${VELDIX_QT_MINGW:-/opt/veldixmid/qt6-mingw}
work=${VELDIX_QT_WORK:-/var/tmp/veldixmid-qt6-mingw}
jobs=${VELDIX_QT_JOBS:-$(nproc)}
stamp="$prefix/.veldixmid-qt-complete"

if [ -f "$stamp" ]; then
  echo "build-qt: Qt for mingw already in $prefix ($(cat "$stamp")), skipping"
  exit 0
fi

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive

# Cross compiler, build tools, the host Qt whose tools the cross build runs, and what
# scripts/windows/test.sh needs to run the result (Wine, Xvfb, GoogleTest sources).
want=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools ninja-build cmake dpkg-dev
  qt6-base-dev qt6-base-dev-tools
  wine wine64 xvfb xauth xdotool x11-apps imagemagick zip unzip googletest
)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# apt-get source needs a deb-src entry for bookworm.
srclist=/etc/apt/sources.list.d/veldixmid-deb-src.sources
need_update=0
if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "build-qt: adding a deb-src entry for bookworm ($srclist)"
  $sudo_cmd tee "$srclist" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  $sudo_cmd apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-qt: installing ${missing[*]}"
  $sudo_cmd apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

mkdir -p "$work"
cd "$work"
src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
if [ -z "$src" ] || [ ! -f "$src/CMakeLists.txt" ]; then
  echo "build-qt: fetching qt6-base sources into $work"
  apt-get source -qq qt6-base
  src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
fi
echo "build-qt: sources $src"

start=$(date +%s)
bld="$work/build"
# sql, network, dbus, printing, concurrent, testlib and xml are not used by the tool;
# tabletevent needs wintab.h, which the packaged sources lack. OpenGL stays on (it
# becomes "dynamic"): without it the 6.4.2 Windows platform plugin does not build.
cmake -S "$src" -B "$bld" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE=Release \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_testlib=OFF \
  -DFEATURE_xml=OFF -DFEATURE_tabletevent=OFF
cmake --build "$bld" --parallel "$jobs"
$sudo_cmd cmake --install "$bld"
end=$(date +%s)
echo "qt6-base $(basename "$src"), built in $((end - start)) s on $(date -u +%F)" |
  $sudo_cmd tee "$stamp" >/dev/null
echo "build-qt: done in $((end - start)) s, installed into $prefix"
