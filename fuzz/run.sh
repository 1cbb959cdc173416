#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build-fuzz/) and runs each for a given time or number
# of executions, on one core, one target after the other. Prints per target the executions,
# executions per second, coverage (libFuzzer's edge and feature counts), wall time and
# anything found. Exit status 1 when a target found a crash, leak, time-out or memory blow-up.
#
#   fuzz/run.sh [-t SECONDS | -n RUNS] [-l LIMIT] [--cov] [TARGET ...]
#
#   -t SECONDS  fuzz each target this long (default 60)
#   -n RUNS     fuzz each target for this many executions instead
#   -l LIMIT    hard wall-clock limit per target in seconds (timeout); default: none with
#               -t (libFuzzer stops itself), 4 hours with -n
#   --cov       afterwards, replay seeds and working corpus through the coverage build and
#               print llvm-cov's line, region and branch coverage of the code under test
#               (-n 0 --cov: coverage of the corpus as it is, no fuzzing)
#   TARGET      engine_serial engine_tcp ini registry codec sim_requests sim_state uir ico
#               (default: all)
#
# The working corpus of each target grows in fuzz/corpus-run/<target>/ (not committed); it
# starts from the committed seeds in fuzz/corpus/<target>/. Logs and anything found go to
# build-fuzz/fuzz/logs/<target>-<time>/.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${VELDIX_FUZZ_BUILD:-$root/build-fuzz}

seconds=60
runs=""
limit=""
coverage=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t) seconds=$2; shift 2 ;;
    -n) runs=$2; shift 2 ;;
    -l) limit=$2; shift 2 ;;
    --cov) coverage=1; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(engine_serial engine_tcp ini registry codec sim_requests sim_state uir ico)

# Per target: longest input and dictionary. The INI target reaches 128 KiB, long files of
# many 2 KiB read blocks and lines far beyond the 255 bytes kept; the registry target just
# over 1 MiB, the store's size bound (libFuzzer grows inputs towards these gradually).
max_len() {
  case "$1" in
    engine_serial) echo 1024 ;;
    engine_tcp) echo 4096 ;;
    ini) echo 131072 ;;
    registry) echo 1089536 ;;
    codec) echo 256 ;;
    sim_requests) echo 2048 ;;
    sim_state) echo 4096 ;;
    uir) echo 4096 ;;
    ico) echo 8192 ;;
  esac
}
dict() {
  case "$1" in
    engine_*) echo "$here/dict/engine.dict" ;;
    *) [ -f "$here/dict/$1.dict" ] && echo "$here/dict/$1.dict" ;;
  esac
}
sources() {
  case "$1" in
    engine_*) echo "$root/link/engine.cpp $root/link/transport.cpp $root/link/frames.cpp" ;;
    ini) echo "$root/lang/ini.cpp" ;;
    registry) echo "$root/platform/registry_file.cpp" ;;
    codec) echo "$root/meter/codec.cpp" ;;
    sim_requests) echo "$root/sim/server.cpp $root/sim/meter_model.cpp" ;;
    sim_state) echo "$root/sim/state_file.cpp" ;;
    uir) echo "$root/platform/ui_loader.cpp $root/platform/safe_file_posix.cpp" ;;
  esac
}

for t in "${targets[@]}"; do
  case "$t" in
    engine_serial|engine_tcp|ini|registry|codec|sim_requests|sim_state|uir|ico) ;;
    *) echo "run.sh: unknown target $t" >&2; exit 2 ;;
  esac
done

# ---- build (only our targets, two compile jobs at most)
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DVELDIX_FUZZ=ON -DVELDIX_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
build_targets=()
for t in "${targets[@]}"; do
  build_targets+=("fuzz_$t")
  [ $coverage -eq 0 ] || build_targets+=("fuzz_${t}_cov")
done
cmake --build "$build" -j2 --target "${build_targets[@]}" >/dev/null

# ---- run
status=0
summary=()
for t in "${targets[@]}"; do
  corpus="$here/corpus-run/$t"
  mkdir -p "$corpus"
  cp -n "$here/corpus/$t/"* "$corpus/" 2>/dev/null || true
  logs="$build/fuzz/logs/$t-$(date +%Y%m%d-%H%M%S)"
  mkdir -p "$logs"

  args=(-jobs=1 -workers=1 -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -max_len="$(max_len "$t")" -artifact_prefix="$logs/")
  d=$(dict "$t" || true)
  [ -z "$d" ] || args+=(-dict="$d")
  if [ -n "$runs" ]; then
    args+=(-runs="$runs")
    wall=${limit:-14400}
  else
    args+=(-max_total_time="$seconds")
    wall=${limit:-$((seconds + 300))}
  fi

  if [ -n "$runs" ]; then what="$runs executions"; else what="$seconds s"; fi
  echo "== $t: $what, log $logs/fuzz-0.log"
  start=$(date +%s)
  # -jobs=1 runs the fuzzer in one child process whose output goes to fuzz-0.log.
  (cd "$logs" && timeout --signal=INT --kill-after=60 "$wall" \
     "$build/fuzz/fuzz_$t" "${args[@]}" "$corpus" >"$logs/driver.log" 2>&1) || true
  took=$(( $(date +%s) - start ))

  log="$logs/fuzz-0.log"
  [ -f "$log" ] || log="$logs/driver.log"
  execs=$(grep -a 'stat::number_of_executed_units' "$log" | tail -1 | awk '{print $2}')
  rate=$(grep -a 'stat::average_exec_per_sec' "$log" | tail -1 | awk '{print $2}')
  rss=$(grep -a 'stat::peak_rss_mb' "$log" | tail -1 | awk '{print $2}')
  last=$(grep -a -E '^#[0-9]+' "$log" | grep -a 'cov:' | tail -1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.*corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
  found=$(cd "$logs" && ls crash-* leak-* timeout-* oom-* slow-unit-* 2>/dev/null || true)
  if [ -n "$found" ] || grep -a -q -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|fuzz invariant broken' "$log"; then
    result="FOUND: $(echo $found | tr '\n' ' ')(see $log)"
    status=1
  elif [ -z "$execs" ]; then
    result="no final statistics (stopped by the limit?) see $log"
    status=1
  else
    result="clean"
  fi
  line=$(printf '%-14s executions %-10s exec/s %-7s cov %-5s ft %-6s corpus %-12s rss %sMB time %ss  %s' \
    "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "${rss:-?}" "$took" "$result")
  echo "$line"
  summary+=("$line")
done

# ---- line coverage of the code under test, over seeds and working corpus
if [ $coverage -eq 1 ]; then
  for t in "${targets[@]}"; do
    prof="$build/fuzz/logs/$t.profraw"
    rm -f "$prof"
    LLVM_PROFILE_FILE="$prof" "$build/fuzz/fuzz_${t}_cov" -runs=0 -max_len="$(max_len "$t")" \
      "$here/corpus-run/$t" "$here/corpus/$t" >/dev/null 2>&1 || true
    llvm-profdata-14 merge -sparse "$prof" -o "${prof%.profraw}.profdata"
    echo "== line coverage, $t"
    # shellcheck disable=SC2046
    llvm-cov-14 report "$build/fuzz/fuzz_${t}_cov" -instr-profile="${prof%.profraw}.profdata" \
      $(sources "$t") | sed -n '1p;3,$p'
  done
  # The two engine targets split the engine between them (serial / TCP paths): together.
  if [ -f "$build/fuzz/logs/engine_serial.profdata" ] && [ -f "$build/fuzz/logs/engine_tcp.profdata" ] &&
     [[ " ${targets[*]} " == *" engine_serial "* && " ${targets[*]} " == *" engine_tcp "* ]]; then
    llvm-profdata-14 merge -sparse "$build/fuzz/logs/engine_serial.profdata" \
      "$build/fuzz/logs/engine_tcp.profdata" -o "$build/fuzz/logs/engine.profdata"
    echo "== line coverage, engine_serial and engine_tcp together"
    # shellcheck disable=SC2046
    llvm-cov-14 report "$build/fuzz/fuzz_engine_serial_cov" -object "$build/fuzz/fuzz_engine_tcp_cov" \
      -instr-profile="$build/fuzz/logs/engine.profdata" $(sources engine_serial) | sed -n '1p;3,$p'
  fi
fi

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
