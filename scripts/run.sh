#!/usr/bin/env bash
# Installs what is missing, builds the tool and the simulated meter, starts the simulator
# and then the tool, already pointed at it: the main panel's defaults (port 1, 9600 bit/s,
# 8N1, slave 1) reach the simulator's serial line through VELDIXMID_COM1. The simulator
# also listens for Modbus TCP on 127.0.0.1:${VELDIX_SIM_TCP:-5020} and for RTU over TCP on
# 127.0.0.1:${VELDIX_SIM_RTU_TCP:-5021}. It stops when the tool exits.
#
#   bash scripts/run.sh              tool + simulated meter
#   bash scripts/run.sh --no-sim     tool alone, for a real meter
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY) the tool runs on a virtual X display
# (Xvfb) served over VNC (x11vnc) on port ${VELDIX_VNC_PORT:-5900}, listening on 127.0.0.1
# only: whoever drives the tool can write to the meter. From another machine, reach it
# through an SSH tunnel (the script prints the command). To listen on another address,
# ask for it and give a password (at least 6 characters; VNC uses the first 8):
#
#   VELDIX_VNC_LISTEN=0.0.0.0 VELDIX_VNC_PASSWORD=... bash scripts/run.sh
#   VELDIX_VNC_LISTEN=192.0.2.7 VELDIX_VNC_PASSWORD_FILE=~/.vnc/passwd bash scripts/run.sh
#
# (a password file as made by `x11vnc -storepasswd`). Without a password another address is
# refused (exit code 2). VELDIX_NO_BUILD=1 skips the package check and the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELDIX_BUILD_DIR:-build}
if [ -z "${VELDIX_NO_BUILD:-}" ]; then
  bash scripts/deps.sh
  cmake -S . -B "$build" > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
  cmake --build "$build" -j"$(nproc)" --target veldixmid veldixmid-sim > "$build.build.log" 2>&1 || {
    tail -50 "$build.build.log"; exit 1; }
fi
bin=$build/bin

use_sim=1
if [ "${1:-}" = "--no-sim" ]; then use_sim=0; shift; fi

cleanup=()
on_exit() {
  local pid
  for pid in "${cleanup[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -z "${vnc_dir:-}" ] || rm -rf "$vnc_dir"
}
trap on_exit EXIT

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  port=${VELDIX_VNC_PORT:-5900}
  listen=${VELDIX_VNC_LISTEN:-127.0.0.1}
  vnc_dir=$(mktemp -d)
  chmod 700 "$vnc_dir"
  auth=(-nopw)
  case "$listen" in
    127.*|localhost|::1) ;;
    *)
      if [ -n "${VELDIX_VNC_PASSWORD_FILE:-}" ]; then
        [ -r "$VELDIX_VNC_PASSWORD_FILE" ] || {
          echo "VELDIX_VNC_PASSWORD_FILE=$VELDIX_VNC_PASSWORD_FILE cannot be read" >&2; exit 2; }
        auth=(-rfbauth "$VELDIX_VNC_PASSWORD_FILE")
      elif [ -n "${VELDIX_VNC_PASSWORD:-}" ]; then
        [ ${#VELDIX_VNC_PASSWORD} -ge 6 ] || {
          echo "VELDIX_VNC_PASSWORD must have at least 6 characters" >&2; exit 2; }
        x11vnc -storepasswd "$VELDIX_VNC_PASSWORD" "$vnc_dir/passwd" >/dev/null 2>&1
        auth=(-rfbauth "$vnc_dir/passwd")
      else
        echo "VNC on $listen would let anyone on that network drive the tool and write to the meter:" >&2
        echo "give a password with VELDIX_VNC_PASSWORD or VELDIX_VNC_PASSWORD_FILE, or leave" >&2
        echo "VELDIX_VNC_LISTEN unset (127.0.0.1) and use an SSH tunnel." >&2
        exit 2
      fi
      ;;
  esac
  # A free X display number for the virtual screen (from a random start: parallel runs and
  # test displays pick different ones).
  d=$((100 + RANDOM % 400))
  while [ -e "/tmp/.X$d-lock" ] || [ -e "/tmp/.X11-unix/X$d" ]; do d=$((d + 1)); done
  Xvfb ":$d" -screen 0 1024x768x24 -nolisten tcp > "$vnc_dir/xvfb.log" 2>&1 &
  cleanup+=($!)
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$d" ] && break; sleep 0.1; done
  [ -e "/tmp/.X11-unix/X$d" ] || { echo "Xvfb did not start:"; cat "$vnc_dir/xvfb.log"; exit 1; }
  x11vnc -display ":$d" -rfbport "$port" -listen "$listen" -noipv6 "${auth[@]}" -forever -shared \
    -nowf -quiet -o "$vnc_dir/x11vnc.log" > /dev/null 2>&1 &
  cleanup+=($!)
  export DISPLAY=":$d" QT_QPA_PLATFORM=xcb
  echo "No display found: the tool is served over VNC on $listen:$port."
  if [ "${auth[0]}" = "-nopw" ]; then
    echo "Only this machine can connect: from another one, open an SSH tunnel first,"
    echo "  ssh -N -L $port:127.0.0.1:$port $(id -un)@$(hostname -f 2>/dev/null || hostname)"
    echo "then connect a VNC viewer there to localhost:$port."
  else
    echo "Connect a VNC viewer to $listen:$port with the password given."
  fi
  echo "Quit the tool from its window (Archivo > Salir) or with Ctrl+C here."
fi

if [ $use_sim -eq 0 ]; then
  "$bin/veldixmid" "$@"
  exit $?
fi

# The simulator's standard input is a pipe held by this script: it ends with the script,
# however the script ends.
coproc SIM { exec "$bin/veldixmid-sim" --serial --tcp "${VELDIX_SIM_TCP:-5020}" \
  --rtu-over-tcp "${VELDIX_SIM_RTU_TCP:-5021}" --exit-on-stdin-eof 2>"$build.sim.log"; }
cleanup+=("$SIM_PID")
endpoints=()
while [ ${#endpoints[@]} -lt 3 ] && IFS= read -r -t 10 line <&"${SIM[0]}"; do
  endpoints+=("$line")
done
serial=""
for e in "${endpoints[@]}"; do
  case "$e" in serial:*) serial=${e#serial: } ;; esac
done
if [ -z "$serial" ]; then
  echo "the simulated meter did not start:"; cat "$build.sim.log"; exit 1
fi
echo "Simulated meter (slave 1) ready:"
printf '  %s\n' "${endpoints[@]}"
echo "  The tool's port 1 is $serial (VELDIXMID_COM1): switch 'Conectar' on."
echo "  Modbus TCP: port 100, IP 127.0.0.1, TCP port ${VELDIX_SIM_TCP:-5020}."
echo "  RTU over TCP: port 99, IP 127.0.0.1, TCP port ${VELDIX_SIM_RTU_TCP:-5021}."
VELDIXMID_COM1=$serial "$bin/veldixmid" "$@"
