#!/usr/bin/env bash
# Runs one command on a fresh Xvfb (1024x768, or VELDIX_XVFB_SCREEN such as 1920x1080x24)
# with Qt's X11 platform, once the server accepts clients. Usage: xvfb_exec.sh COMMAND ARGS...
set -u
if [ -z "${VELDIX_XVFB_INNER:-}" ]; then
  export VELDIX_XVFB_INNER=1
  exec xvfb-run -a -s "-screen 0 ${VELDIX_XVFB_SCREEN:-1024x768x24}" "$0" "$@"
fi
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
export QT_QPA_PLATFORM=xcb
exec "$@"
