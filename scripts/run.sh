#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts it. Without a display (no DISPLAY or
# WAYLAND_DISPLAY) the tool is served over VNC on port ${VELDIX_VNC_PORT:-5900}.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${VELDIX_BUILD_DIR:-build}
cmake -S . -B "$build" > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target veldixmid > "$build.build.log" 2>&1 || {
  tail -50 "$build.build.log"; exit 1; }

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  port=${VELDIX_VNC_PORT:-5900}
  export QT_QPA_PLATFORM="vnc:size=1024x768:port=$port"
  echo "No display found: the tool is served over VNC."
  echo "Connect a VNC viewer to $(hostname -I 2>/dev/null | awk '{print $1}'):$port (or localhost:$port)."
  echo "Quit the tool from its window (Archivo > Salir) or with Ctrl+C here."
fi
exec "$build/bin/veldixmid" "$@"
