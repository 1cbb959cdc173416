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
# Without a display (no DISPLAY or WAYLAND_DISPLAY) the tool is served over VNC on port
# ${VELDIX_VNC_PORT:-5900}.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${VELDIX_BUILD_DIR:-build}
cmake -S . -B "$build" > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target veldixmid veldixmid-sim > "$build.build.log" 2>&1 || {
  tail -50 "$build.build.log"; exit 1; }
bin=$build/bin

use_sim=1
if [ "${1:-}" = "--no-sim" ]; then use_sim=0; shift; fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  port=${VELDIX_VNC_PORT:-5900}
  export QT_QPA_PLATFORM="vnc:size=1024x768:port=$port"
  echo "No display found: the tool is served over VNC."
  echo "Connect a VNC viewer to $(hostname -I 2>/dev/null | awk '{print $1}'):$port (or localhost:$port)."
  echo "Quit the tool from its window (Archivo > Salir) or with Ctrl+C here."
fi

if [ $use_sim -eq 0 ]; then
  exec "$bin/veldixmid" "$@"
fi

# The simulator's standard input is a pipe held by this script: it ends with the script,
# however the script ends.
coproc SIM { exec "$bin/veldixmid-sim" --serial --tcp "${VELDIX_SIM_TCP:-5020}" \
  --rtu-over-tcp "${VELDIX_SIM_RTU_TCP:-5021}" --exit-on-stdin-eof 2>"$build.sim.log"; }
sim_pid=$SIM_PID
trap 'kill $sim_pid 2>/dev/null || true' EXIT
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
