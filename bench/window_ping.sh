#!/usr/bin/env bash
# Longest unanswered window-manager ping (_NET_WM_PING, every 10 ms) while the main panel
# runs a Modbus TCP exchange with a meter that never answers (about 10 s), on Xvfb, over
# RUNS runs (default 5). Target: under 100 ms. Uses the test build's test_alive.
#
#   bash bench/window_ping.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq "${RUNS:-5}"); do
  VELDIXMID_TEST=1 "$root/tests/app/e2e/xvfb_exec.sh" "$build/tests/test_alive" |
    grep -o 'max_ms=.*'
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
