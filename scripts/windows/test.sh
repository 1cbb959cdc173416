#!/usr/bin/env bash
# Runs the Windows build (scripts/windows/build.sh) under Wine, on a fresh Wine prefix and
# an Xvfb display of its own:
#  - the unit tests built for Windows (frames and CRC, INI reader, meter decoding);
#  - test_wine: the registry store on Wine's registry, the engine over Wine COM ports
#    mapped to the native simulator's ptys and over Winsock to its TCP ports;
#  - end to end, the packaged zip: veldixmid.exe asks the language, stores it in Wine's
#    registry, connects over COM and over TCP and keeps polling the measurements; a screenshot
#    of each measurements screen is left in build-win/.
# Every Wine step is bounded by a time-out; the Wine server is stopped at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
qt=${VELDIX_QT_MINGW:-/opt/veldixmid/qt6-mingw}
out=${VELDIX_WIN_BUILD:-$root/build-win}
win="$out/win"
sim="$out/host/bin/veldixmid-sim"
zip=$(ls "$out"/veldixmid-*-windows-x64.zip 2>/dev/null | head -n1)
if [ ! -x "$sim" ] || [ -z "$zip" ] || [ ! -f "$win/tests/test_wine.exe" ]; then
  echo "test.sh: run scripts/windows/build.sh first" >&2
  exit 1
fi

export WINEPREFIX="$out/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
work=$(mktemp -d /tmp/veldix-wine.XXXXXX)
pids=()
cleanup() {
  timeout 20 wineserver -k 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

winpath() { echo "Z:${1//\//\\}"; }
failures=()
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1"; failures+=("$1"); }

# A fresh prefix: an empty registry, so the tool asks for the language.
rm -rf "$WINEPREFIX"
timeout 180 wine wineboot -i >/dev/null 2>&1

# A display of our own.
exec 7<> <(:)
Xvfb -displayfd 7 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
display=""
for _ in $(seq 100); do
  read -r -t 0.1 display <&7 || true
  [ -n "$display" ] && break
done
[ -n "$display" ] || { echo "test.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"

# The native simulator: one meter on a pty and two TCP ports (exception 4 for the display
# mask, which the tests read to see an exception answer), one silent meter on a pty.
start_sim() {  # name args...
  local name=$1
  shift
  "$sim" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q '^serial: ' "$work/$name.out" 2>/dev/null && return
    sleep 0.05
  done
  echo "test.sh: the simulator did not start: $(cat "$work/$name.err")" >&2
  exit 1
}
start_sim meter --serial --tcp 0 --rtu-over-tcp 0 --exception-at 4128
start_sim silent --serial --silent
for _ in $(seq 100); do grep -q '^rtu-over-tcp: ' "$work/meter.out" && break; sleep 0.05; done
pty=$(sed -n 's/^serial: //p' "$work/meter.out")
silent_pty=$(sed -n 's/^serial: //p' "$work/silent.out")
tcp=$(sed -n 's/^tcp: .*:\([0-9]*\)$/\1/p' "$work/meter.out")
rtu_tcp=$(sed -n 's/^rtu-over-tcp: .*:\([0-9]*\)$/\1/p' "$work/meter.out")
# Wine maps COMn to whatever $WINEPREFIX/dosdevices/comn points at.
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$silent_pty" "$WINEPREFIX/dosdevices/com6"

# What the independent peers print, recorded here for the tests that compare with them.
mkdir -p "$work/peers"
/usr/bin/python3 "$root/tests/link/peers/rtu_vectors.py" >"$work/peers/rtu_vectors.py.txt"

export WINEPATH="$(winpath "$qt/bin");$(winpath "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")");$(winpath /usr/x86_64-w64-mingw32/lib)"
export QT_PLUGIN_PATH="$(winpath "$qt/plugins")"
export VELDIX_PEER_OUTPUT="Z:$work/peers" VELDIX_WINE_COM=5 VELDIX_WINE_SILENT_COM=6
export VELDIX_WINE_TCP=$tcp VELDIX_WINE_RTU_TCP=$rtu_tcp

# ---- the tests built for Windows
for t in test_frames test_ini test_meter_codec test_wine; do
  if timeout 180 wine "$win/tests/$t.exe" >"$work/$t.log" 2>&1; then
    pass "$t ($(grep -o '[0-9]* tests\? from' "$work/$t.log" | tail -1 | cut -d' ' -f1) tests)"
    grep -h '^read 50\|^write 8' "$work/$t.log" | sed 's/^/    /' || true
  else
    cat "$work/$t.log"
    fail "$t"
  fi
done
if timeout 30 wine reg query 'HKLM\SOFTWARE\VELDIX-MID wine test' /v Language 2>/dev/null |
  grep -q 'REG_SZ\s*2'; then
  pass "registry value written by test_wine read back by 'wine reg query'"
else
  fail "wine reg query of test_wine's value"
fi
# The end-to-end run drives the packaged tool by keys and panel coordinates.
# VELDIX_WINE_E2E=0 leaves it out (CI does, until it follows the panels' new layout).
if [ "${VELDIX_WINE_E2E:-1}" = 1 ]; then
unset QT_PLUGIN_PATH WINEPATH  # the packaged tool must find everything beside itself
timeout 20 wineserver -k 2>/dev/null || true  # the tool starts as on a fresh login

# ---- end to end, from the zip
app="$work/app"
mkdir -p "$app"
unzip -q "$zip" -d "$app"
exe=$(ls "$app"/*/veldixmid.exe)

# Windows are found by a regular expression on their title (ASCII only: the title may reach
# X as compound text).
window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
wait_window() {  # title-regex seconds
  local w=""
  for _ in $(seq $(($2 * 10))); do
    w=$(window "$1")
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.1
  done
  return 1
}
keys() {  # window keys...
  local w=$1
  shift
  xdotool windowactivate --sync "$w" >/dev/null 2>&1 || xdotool windowfocus --sync "$w"
  xdotool key --delay 80 "$@"
}
run_tool() {
  (cd "$(dirname "$exe")" && exec timeout 120 wine "$exe") >"$work/tool.log" 2>&1 &
  pids+=($!)
  disown  # ended by wineserver -k; no job notice
}
# Clicks at a point of a window's client area: a control's centre from VELDIXMID.uir,
# 15 pixels lower for the menu bar of the main panel.
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }
# The measurements screen opens and keeps polling: no popup (titled like the main panel,
# which is hidden meanwhile) comes up within 4 s. Its screenshot is kept.
measuring() {  # shot-name
  wait_window "^Medidas instant" 20 >/dev/null || return 1
  sleep 4  # four polls
  import -window root "$out/$1.png"
  [ -z "$(window '^VELDIX-MID v1\.0$')" ]
}
# Main panel: port, then the TCP port, connect, open the measurements.
connect_and_measure() {  # port tcp-port shot-name
  local w
  w=$(wait_window "^VELDIX-MID v1\.0$" 60) || return 1
  sleep 1
  keys "$w" ctrl+a $(echo "$1" | sed 's/./& /g') Tab Tab Tab Tab Tab
  keys "$w" ctrl+a $(echo "$2" | sed 's/./& /g')
  click "$w" 516 122  # the connection switch
  sleep 2             # the test read
  click "$w" 85 220   # Medidas
  measuring "$3"
}

run_tool
if w=$(wait_window "^Idioma / Language$" 90); then
  pass "veldixmid.exe starts and asks the language"
  sleep 1
  keys "$w" Tab space  # OK on the first language
else
  cat "$work/tool.log"
  { xdotool search --name . 2>/dev/null || true; } | while read -r x; do xdotool getwindowname "$x"; done
  fail "the language panel"
fi
if connect_and_measure 5 502 windows-wine-com; then
  pass "COM5 (the simulator's pty): connected, measurements screen polling"
else
  fail "end to end over COM5"
fi
if timeout 30 wine reg query 'HKLM\SOFTWARE\VELDIX-MID v1.0\Language' /v Language 2>/dev/null |
  grep -q 'REG_SZ\s*1'; then
  pass "the language choice is in Wine's registry ('wine reg query')"
else
  fail "the language choice in Wine's registry"
fi
timeout 20 wineserver -k 2>/dev/null || true
run_tool  # the stored language: straight to the main panel
if connect_and_measure 100 "$tcp" windows-wine-tcp; then
  pass "TCP (Modbus TCP, port 100): connected, measurements screen polling"
else
  fail "end to end over TCP"
fi
timeout 20 wineserver -k 2>/dev/null || true
else
  echo "SKIP end to end of veldixmid.exe under Wine (VELDIX_WINE_E2E=0)"
fi

if [ ${#failures[@]} -gt 0 ]; then
  echo "test.sh: ${#failures[@]} failed: ${failures[*]}"
  exit 1
fi
echo "test.sh: all Windows tests passed under $(wine --version)"
