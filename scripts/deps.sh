#!/usr/bin/env bash
# Installs, with apt-get, everything the tool, the simulator and the test suite need on
# Debian 12. Idempotent: packages already present are left alone.
set -euo pipefail

want=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev mbpoll python3-pymodbus python3-serial python3-serial-asyncio
  xvfb x11vnc iproute2 xauth at-spi2-core python3-pyatspi python3-gi python3-xlib dbus dbus-x11
  fonts-dejavu-core clang-format
)
if [ "${1:-}" = "--extra" ]; then
  # fuzzing, sanitizer runtime and the reference INI parser for the benchmarks;
  # the Windows build and its run under Wine (scripts/windows/: build-qt.sh installs the
  # same list itself); xdotool and imagemagick also take the README's screenshots
  want+=(clang libclang-rt-14-dev libinih-dev
         g++-mingw-w64-x86-64-posix mingw-w64-tools ninja-build dpkg-dev googletest
         wine wine64 xdotool x11-apps imagemagick zip unzip)
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
