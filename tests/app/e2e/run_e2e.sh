#!/usr/bin/env bash
# End-to-end: starts the real tool under Xvfb with the accessibility bus, drives it with
# drive_atspi.py, and checks that it ends with exit code 0.
# Usage: run_e2e.sh BIN_DIR [english]: in English, english_atspi.py drives it instead, with
# the simulated meter.
set -u
bin=$1
language=1 driver=drive_atspi.py
if [ "${2:-}" = english ]; then language=2 driver=english_atspi.py; fi
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${VELDIX_E2E_INNER:-}" ]; then
  export VELDIX_E2E_INNER=1
  exec timeout 120 dbus-run-session -- xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"; kill $(jobs -p) 2>/dev/null' EXIT
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
# On a single busy core the tool's first connection to the fresh Xvfb was sometimes refused
# (about one run in three). Connect once first, bounded, so that a server that never comes up
# is reported as such.
/usr/bin/python3 - <<'PY' || { echo "the X server on $DISPLAY never accepted a client"; exit 1; }
import time
from Xlib import display, error
for _ in range(100):
    try:
        display.Display().close()
        raise SystemExit(0)
    except (error.DisplayError, ConnectionError, OSError):
        time.sleep(0.1)
raise SystemExit(1)
PY
export VELDIXMID_REGISTRY=$work/registry
printf '; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\nLanguage=sz:%s\n; end\n' "$language" > "$VELDIXMID_REGISTRY"
unset QT_QPA_PLATFORM
if [ $language = 2 ]; then
  # The simulated meter for the screens; port 1 points at it once the driver links it.
  "$bin/veldixmid-sim" --serial > "$work/sim.out" 2>&1 &
  for _ in $(seq 100); do grep -q '^serial: ' "$work/sim.out" && break; sleep 0.1; done
  VELDIX_E2E_METER=$(sed -n 's/^serial: //p' "$work/sim.out")
  [ -n "$VELDIX_E2E_METER" ] || { echo "the simulated meter did not start"; cat "$work/sim.out"; exit 1; }
  export VELDIX_E2E_METER VELDIXMID_COM1=$work/meter
fi
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
"$bin/veldixmid" > "$work/tool.log" 2>&1 &
tool=$!
/usr/bin/python3 "$here/$driver" "$bin/language.ini"
driver=$?
# The quit button ends the tool; give it a bounded time to do so.
for _ in $(seq 100); do kill -0 $tool 2>/dev/null || break; sleep 0.1; done
if kill -0 $tool 2>/dev/null; then
  echo "the tool did not end after quit"; kill $tool; exit 1
fi
wait $tool
rc=$?
echo "driver exit $driver, tool exit $rc"
if [ $driver -ne 0 ] || [ $rc -ne 0 ]; then
  echo "--- the tool's output:"; cat "$work/tool.log"; exit 1
fi
