#!/usr/bin/env bash
# Start-up of the Windows build under Wine on Xvfb: seconds from launching veldixmid.exe to
# its main panel's window being shown (the language already stored, so the main panel is
# the first), median of N runs (default 10), beside the Linux executable on the same
# display. The Wine server is kept up across runs (wineserver -p), as on a desktop where
# Wine is already running. Needs build-win/ from scripts/windows/build.sh and the prefix
# scripts/windows/test.sh leaves in build-win/wineprefix.
#   bash bench/windows_startup.sh [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${VELDIX_WIN_BUILD:-$root/build-win}
runs=${1:-10}
export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exe=$(ls "$out"/veldixmid-*-windows-x64/veldixmid.exe)
[ -d "$WINEPREFIX" ] || { echo "run scripts/windows/test.sh first" >&2; exit 1; }

exec 7<> <(:)
Xvfb -displayfd 7 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
read -r -t 10 display <&7
export DISPLAY=":$display"
trap 'timeout 20 wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
wineserver -p
timeout 60 wine cmd /c exit >/dev/null 2>&1 || true  # the server's own start-up, once

# Seconds until a window titled $1 is shown, polling every 20 ms; the program is then ended.
time_to_window() {
  local title=$1
  shift
  local t0 pid
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 3000); do
    if xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1; then
      echo "$(date +%s.%N) - $t0" | bc
      kill "$pid" 2>/dev/null || true
      timeout 20 wine taskkill /f /im veldixmid.exe >/dev/null 2>&1 || true
      wait "$pid" 2>/dev/null || true
      return
    fi
    sleep 0.02
  done
  echo "no window '$title' within 60 s" >&2
  exit 1
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

win=$(for _ in $(seq "$runs"); do
  time_to_window "VELDIX-MID v1.0" wine "$exe"
done | median)
echo "veldixmid.exe under $(wine --version), start-up to the main panel: median $win s of $runs runs"
linux="$root/build/bin/veldixmid"
if [ -x "$linux" ]; then
  store=$(mktemp)
  printf '; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\nLanguage=sz:1\n' >"$store"
  lin=$(for _ in $(seq "$runs"); do
    VELDIXMID_REGISTRY=$store QT_QPA_PLATFORM=xcb time_to_window "VELDIX-MID v1.0" "$linux"
  done | median)
  rm -f "$store"
  echo "Linux build (build/bin/veldixmid), same display: median $lin s of $runs runs"
fi
