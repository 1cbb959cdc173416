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
# ---- end to end, from the zip. Controls are found from VELDIXMID.uir (their place in the
# panel's area) and the window's size (the menu bar is what the window has above that area);
# results are read from what the tool stores (Wine's registry) and what it draws (pixels).
# The prefix has none of Wine's own fonts, like the bare Wine the tool fell back from.
unset QT_PLUGIN_PATH WINEPATH  # the packaged tool must find everything beside itself
timeout 20 wineserver -k 2>/dev/null || true  # the tool starts as on a fresh login
app="$work/app"
mkdir -p "$app"
unzip -q "$zip" -d "$app"
exe=$(ls "$app"/*/veldixmid.exe)
uir="$(dirname "$exe")/VELDIXMID.uir"

# Windows are found by a regular expression on their title (ASCII only: the title may reach
# X as compound text).
window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
wait_window() {  # title-regex seconds
  local w="" end=$((SECONDS + $2))
  while [ $SECONDS -lt $end ]; do
    w=$(window "$1")
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.2
  done
  return 1
}
windows() { { xdotool search --onlyvisible --name . 2>/dev/null || true; } |
  while read -r x; do echo "  window: $(xdotool getwindowname "$x")"; done; }
run_tool() {
  (cd "$(dirname "$exe")" && exec timeout 150 wine "$exe") >"$work/tool.log" 2>&1 &
  pids+=($!)
  disown  # ended by wineserver -k; no job notice
}
# A control's box in its window: "kind x y width height", the kind's default size where the
# file gives none, as the tool builds it.
box() {  # window resource id
  local wh
  wh=$(xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: [0-9]*x//p')
  /usr/bin/python3 - "$uir" "$2" "$3" "$wh" <<'PY'
import json, sys
sizes = {"string": (140, 24), "textmsg": (200, 20), "ring": (120, 24), "switch": (24, 24),
         "checkbox": (90, 22), "button": (90, 28), "list": (150, 60)}
panel = next(p for p in json.load(open(sys.argv[1], encoding="utf-8"))["panels"]
             if p["resource"] == int(sys.argv[2]))
c = next(c for c in panel["controls"] if c["id"] == int(sys.argv[3]))
w, h = sizes.get(c["kind"], (100, 24))
menu = int(sys.argv[4]) - panel["height"]
print(c["kind"], c["left"], menu + c["top"], c.get("width") or w, c.get("height") or h)
PY
}
click() {  # window resource id: a switch on its box, anything else in its middle
  local kind x y w h
  read -r kind x y w h < <(box "$@")
  [ "$kind" = switch ] && w=14
  xdotool mousemove --window "$1" $((x + w / 2)) $((y + h / 2)) click 1
}
enter() {  # window resource id value: types a value into a numeric or text box
  click "$1" "$2" "$3"
  xdotool windowfocus "$1" 2>/dev/null || true
  xdotool key --delay 60 ctrl+a && xdotool type --delay 60 "$4" && xdotool key Tab
}
stored() {  # key value expected: waits up to 20 s for Wine's registry to hold it
  local end=$((SECONDS + 20))
  while [ $SECONDS -lt $end ]; do
    timeout 30 wine reg query "HKLM\\SOFTWARE\\VELDIX-MID v1.0\\$1" /v "$2" 2>/dev/null |
      grep -q "REG_SZ\s*$3\s*$" && return 0
    sleep 0.5
  done
  return 1
}
# A control in a shot of its window: whether there is text inside its frame (some dark
# pixels, not a blank or an unpainted black box) and a hash of those pixels.
field() {  # shot window resource id
  local kind x y w h
  read -r kind x y w h < <(box "$2" "$3" "$4")
  convert "$1" -crop $((w - 8))x$((h - 6))+$((x + 4))+$((y + 3)) +repage -colorspace Gray \
    -threshold 50% -negate -format "%[fx:mean > 0 && mean < 0.5] %#" info:
}
values() {  # shot window: four fields' hashes, or nothing when one shows no digits
  local c ok sig all=""
  for c in 98 95 6 92; do
    read -r ok sig < <(field "$1" "$2" 5 "$c")
    [ "$ok" = 1 ] || return 0
    all+=${sig:0:8}
  done
  echo "$all"
}
# Main panel: port and TCP port, the connection switch, the settings remembered (what the
# tool stores once the link is up), then the measurements: every field shows digits and
# they change from poll to poll. The screen is kept as <shot>.png.
connect_and_measure() {  # port tcp-port shot
  local w m now
  w=$(wait_window "^VELDIX-MID v1\.0$" 90) || { echo "  no main panel"; return 1; }
  # The panel is shown before the remembered settings are put on it; its status line, written
  # by a timer, tells that the event loop runs and typing goes where it should.
  local end=$((SECONDS + 30))
  until import -window "$w" "$work/main.png" && field "$work/main.png" "$w" 6 15 | grep -q '^1 '; do
    [ $SECONDS -lt $end ] || { echo "  the main panel never wrote its status line"; return 1; }
    sleep 0.3
  done
  enter "$w" 6 6 "$1"
  enter "$w" 6 11 "$2"
  click "$w" 6 12
  stored Link Port "$1" || { echo "  the link on port $1 was not taken"; windows; return 1; }
  stored Link TcpPort "$2" || return 1
  click "$w" 6 2
  m=$(wait_window "^Medidas instant" 20) || { echo "  no measurements screen"; windows; return 1; }
  # Three different readings: the panel's first values, then two polls that changed them.
  local seen=() last="" end=$((SECONDS + 30))
  while [ $SECONDS -lt $end ] && [ ${#seen[@]} -lt 3 ]; do
    import -window "$m" "$work/shot.png"
    now=$(values "$work/shot.png" "$m")
    if [ -n "$now" ] && [ "$now" != "$last" ]; then
      seen+=("$now")
      last=$now
      cp "$work/shot.png" "$out/$3.png"
    fi
    sleep 0.3
  done
  echo "  ${#seen[@]} different readings of four fields with digits (3 wanted)"
  [ ${#seen[@]} -ge 3 ]
}

run_tool
if w=$(wait_window "^Idioma / Language$" 90); then
  pass "veldixmid.exe starts and asks the language"
  xdotool windowfocus "$w" 2>/dev/null || true
  xdotool mousemove --window "$w" 5 5 click 1 key Return  # Enter: OK on the selected first
else
  cat "$work/tool.log"
  windows
  fail "the language panel"
fi
if stored Language Language 1; then
  pass "the language choice is in Wine's registry ('wine reg query')"
else
  fail "the language choice in Wine's registry"
fi
if connect_and_measure 5 502 windows-wine-com; then
  pass "COM5 (the simulator's pty): link remembered, measurements shown and changing"
else
  fail "end to end over COM5"
fi
timeout 20 wineserver -k 2>/dev/null || true
run_tool  # the stored language: straight to the main panel
if connect_and_measure 100 "$tcp" windows-wine-tcp; then
  pass "TCP (Modbus TCP, port 100): link remembered, measurements shown and changing"
else
  fail "end to end over TCP"
fi
timeout 20 wineserver -k 2>/dev/null || true

if [ ${#failures[@]} -gt 0 ]; then
  echo "test.sh: ${#failures[@]} failed: ${failures[*]}"
  exit 1
fi
echo "test.sh: all Windows tests passed under $(wine --version)"
