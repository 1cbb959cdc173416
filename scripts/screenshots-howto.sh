#!/usr/bin/env bash
# Takes the README's technician screenshots (docs/img/traffic-log.png,
# measurements-recording.png, device-readback.png): the tool in English under Xvfb against
# veldixmid-sim on its serial line, driven with xdotool, each window grabbed with ImageMagick.
#   bash scripts/screenshots-howto.sh [BUILD_DIR]   (xdotool, imagemagick: scripts/deps.sh --extra)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="${1:-$root/build}/bin"
out="$root/docs/img"
if [ -z "${VELDIX_SHOTS_INNER:-}" ]; then
  export VELDIX_SHOTS_INNER=1
  exec xvfb-run -a -s "-screen 0 1920x1080x24" "$0" "$@"
fi
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
unset QT_QPA_PLATFORM

# The display screen's read fails with exception 04: the log then shows one.
"$bin/veldixmid-sim" --serial --exception-at 4128 > "$work/sim.out" 2> "$work/sim.err" &
for _ in $(seq 100); do grep -q '^serial: ' "$work/sim.out" && break; sleep 0.1; done
pty=$(sed -n 's/^serial: //p' "$work/sim.out" | head -1)
export VELDIXMID_COM1=$pty VELDIXMID_REGISTRY=$work/registry
printf '; veldixmid registry store 1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\nLanguage=sz:2\n; end\n' > "$VELDIXMID_REGISTRY"
"$bin/veldixmid" > "$work/tool.log" 2>&1 &

window() { xdotool search --sync --onlyvisible --name "^$1\$" | head -1; }
# No window manager runs: focus is given, not asked for.
click() { xdotool windowfocus --sync "$1" mousemove --window "$1" "$2" "$3" click 1; sleep "${4:-1}"; }
# The main panel's menu bar lies above the panel's area; control positions are the .uir's.
bar=26

main=$(window 'VELDIX-MID v1.0')
xdotool windowfocus --sync "$main" key Return; sleep 2          # Enter: connect
xdotool key alt+v; sleep 0.5; xdotool key Return; sleep 1        # View > Link traffic
log=$(window 'Link traffic')
xdotool windowmove "$log" 1020 0
main=$(window 'VELDIX-MID v1.0')
click "$main" 85 $((205 + bar)) 3                                 # Measurements
meas=$(window 'Instantaneous measurements')
click "$meas" 455 542 1                                           # Record
xdotool type --delay 20 "$work/readings.csv"; xdotool key Return; sleep 4
import -window "$meas" "$out/measurements-recording.png"
click "$meas" 690 542 1                                           # Exit
main=$(window 'VELDIX-MID v1.0')
click "$main" 375 $((205 + bar)) 3                                # Device configuration
dev=$(window 'Device configuration')
click "$dev" 95 392 1                                             # PC time
click "$dev" 405 392 4                                            # Send to meter
xdotool key Return; sleep 1                                       # the popup after the send
import -window "$dev" "$out/device-readback.png"
click "$dev" 545 392 1                                            # Exit
main=$(window 'VELDIX-MID v1.0')
click "$main" 520 $((205 + bar)) 3                                # Display configuration
disp=$(window 'Display configuration')
xdotool key Return; sleep 1                                       # a popup, if any
click "$disp" 1060 467 2                                          # Exit: the log is uncovered
import -window "$log" "$out/traffic-log.png"
echo "screenshots in $out"
