#!/usr/bin/env bash
# Screenshots of the tool in English against the simulated meter, for the documentation:
# the main panel and each meter screen at a scale factor of 2 on 1920x1080, and the main
# panel at 1024x768, scale 1. Usage: bash scripts/screenshots.sh [OUT_DIR] (default
# docs/img). Needs a build (build/bin) and the end-to-end test's packages (scripts/deps.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${VELDIX_BIN:-$root/build/bin}
shot() {  # size scale names...: one run of the tool, one picture per window named
  local size=$1 scale=$2; shift 2
  VELDIX_SHOT_INNER=1 QT_SCALE_FACTOR=$scale timeout 120 dbus-run-session -- \
    xvfb-run -a -s "-screen 0 ${size}x24" bash "$0" --inner "$out" "$bin" "$@"
}
if [ "${1:-}" != --inner ]; then
  out=$(cd "${1:-$root/docs/img}" && pwd)
  shot 1920x1080 2 energy:energy-english-scale2 \
    device:device-english-scale2 display:display-english-scale2
  shot 1024x768 1 main:main-english-1024x768
  exit 0
fi
shift
out=$1 bin=$2; shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"; kill $(jobs -p) 2>/dev/null' EXIT
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
"$bin/veldixmid-sim" --serial > "$work/sim.out" 2>&1 &
for _ in $(seq 100); do grep -q '^serial: ' "$work/sim.out" && break; sleep 0.1; done
export VELDIXMID_REGISTRY=$work/registry VELDIXMID_COM1=$(sed -n 's/^serial: //p' "$work/sim.out")
printf '; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\nLanguage=sz:2\n; end\n' > "$VELDIXMID_REGISTRY"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
unset QT_QPA_PLATFORM
"$bin/veldixmid" > "$work/tool.log" 2>&1 &
PYTHONPATH=$root/tests/app/e2e /usr/bin/python3 - "$bin/language.ini" "$out" "$@" <<'PY'
import subprocess, sys, time
import pyatspi
from drive_atspi import find, tool, wait_for
from english_atspi import english_texts, press

texts = english_texts(sys.argv[1])
out = sys.argv[2]
# What to show: the main panel's button, the catalogue text of the title, the exit button.
windows = {"main": (None, None, None), "energy": ("6:3", 80, "2:42"),
           "device": ("6:4", 110, "3:32"), "display": ("6:5", 140, "1:2")}
app = wait_for("the tool", tool)
main = wait_for("the main panel", lambda: find(app, lambda n: n.name == "VELDIX-MID v1.0"))
press(main, "6:12")  # connect
wait_for("the connection", lambda: find(main, lambda n: n.description == "6:2")
         .getState().contains(pyatspi.STATE_ENABLED))
for item in sys.argv[3:]:
    what, name = item.split(":")
    button, title, leave = windows[what]
    title = texts[title] if title else "VELDIX-MID v1.0"
    if button:
        press(main, button)
    window = wait_for(title, lambda: find(app, lambda n: n.name == title
                                          and n.getRoleName() == "frame"))
    time.sleep(2)  # a poll or two: values, not zeros, in the picture
    xid = subprocess.run(["xdotool", "search", "--name", "^" + title + "$"], capture_output=True,
                         text=True).stdout.split()[0]
    subprocess.run(["import", "-window", xid, f"{out}/{name}.png"], check=True)
    print(f"{out}/{name}.png")
    if button:
        press(window, leave)
        wait_for("the screen to close", lambda: find(app, lambda n: n.name == title
                                                     and n.getRoleName() == "frame") is None)
press(main, "6:13")
PY
