#!/usr/bin/env bash
# Builds the benchmarks (Release, -DVELDIX_BENCH=ON) in build-bench/ and runs every one of
# them, each printing one line. The machine's load is printed before and after: figures taken
# on a busy machine are worth little, so compare runs taken at a similar load.
#
#   bash bench/run_all.sh [--no-build] [--build-dir DIR]
#
# BENCH_JOBS (default 2) sets the build's parallel jobs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
do_build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) do_build=0 ;;
    --build-dir) build="$(realpath -m "$2")"; shift ;;
    *) echo "usage: bash bench/run_all.sh [--no-build] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$do_build" = 1 ]; then
  cmake -S "$root" -B "$build" -DVELDIX_BENCH=ON -DCMAKE_BUILD_TYPE=Release \
    -DVELDIX_TESTS=OFF >/dev/null
  cmake --build "$build" -j"${BENCH_JOBS:-2}" >/dev/null
fi

bench="$build/bench"
export QT_QPA_PLATFORM=offscreen
echo "load before: $(uptime | sed 's/.*load average/load average/')"

# Engine exchange per link kind against the tests' scripted meter (three lines, one per
# link kind, joined here into one).
echo "engine vs timing floor, scripted meter: $("$bench/engine_floor" 30 2>/dev/null |
  sed 's/  */ /g' | paste -sd ';' | sed 's/;/; /g')"
"$bench/engine_vs_libmodbus" 2>/dev/null
# Where each exchange's time goes, step by step (bench/README.md explains the columns).
"$bench/engine_profile" 2>/dev/null
# Time to fail on a link the server closed. The gateway runs (link_faults gateway rtu|mbap
# 1000) take several minutes each and are run by hand.
"$bench/link_faults" closed 20 2>/dev/null
"$bench/crc_frames"
"$bench/traffic_log"
if [ -x "$bench/ini_vs_inih" ]; then
  "$bench/ini_vs_inih"
else
  echo "INI reader vs inih: skipped (not built: install libinih-dev, scripts/deps.sh --extra)"
fi
/usr/bin/python3 "$root/bench/startup.py" --runs 20 --platform offscreen \
  --floor "$bench/minimal_qt" --same "$bench/same_panel_qt" \
  --same "$bench/same_panel_qt_serial" "$build/bin/veldixmid"
if command -v xvfb-run >/dev/null; then
  xvfb-run -a /usr/bin/python3 "$root/bench/startup.py" --runs 20 --platform xcb \
    --floor "$bench/minimal_qt" --same "$bench/same_panel_qt" \
    --same "$bench/same_panel_qt_serial" "$build/bin/veldixmid"
else
  echo "start-up under Xvfb: skipped (no xvfb-run)"
fi

# Processor time while the measurements screen polls (target: under 1 % of a core).
"$bench/poll_cpu" 30 2>/dev/null
if command -v xvfb-run >/dev/null; then
  QT_QPA_PLATFORM=xcb xvfb-run -a "$bench/poll_cpu" 30 2>/dev/null
fi

echo "load after: $(uptime | sed 's/.*load average/load average/')"
