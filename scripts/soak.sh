#!/usr/bin/env bash
# Fault soak of the transaction engine against the simulated meter. Not part of the test
# suite: the full run takes about half an hour.
#
#   scripts/soak.sh [--tcp-count N] [--serial-count N] [--seed S] [--scale X] [--limit SECONDS]
#
# Two legs, each against a fresh simulator, with faults at about 1 % of the exchanges:
#
# - Modbus TCP over loopback, 100 000 exchanges (--tcp-count). The simulator's own corruption
#   cannot be seen on this link (it inverts a data byte and there is no CRC), so two faults the
#   engine must see are used instead, each on about 0.5 % of the exchanges:
#     --exception-at 4099: the driver replaces 0.5 % of its requests, drawn from the seed,
#       by a read of register 4099; each must give -3 with exception code 4, and the
#       simulator's exception-at count must equal the driver's.
#     --drop-after 200: the simulator closes the connection after every 200th answer; the
#       next exchange must give -5 (or -1 if the write already fails), the driver reconnects,
#       and the simulator's drop-after count must equal the closes the driver saw.
# - Serial RTU over a pty, 10 000 exchanges (--serial-count), with --corrupt-crc 0.01: the
#   engine must give -2 exactly as often as the simulator says it spoilt a CRC.
#
# Every other result must be absent: no unexpected code, no wrong data (a read of the display
# mask must give back what was last written), no time-out, no exchange beyond its bound (the
# longest is reported), and the driver's peak RSS at the end must equal the one after its
# warm-up (1 MB of slack).
#
# Soak-only timing: the driver supplies the engine's Delay and scales every pause by --scale
# (VELDIX_SOAK_DELAY_SCALE, default here 0.05): the closing pause becomes 7.5 ms and the TCP
# answer wait 1000 polls of 0.5 ms. This changes how long the engine waits, not what it does;
# at full scale the TCP leg alone would take over 8 hours.
#
# Builds in build-soak/ (the simulator) and build-soak/driver/ (bench/soak); logs and the
# report go to build-soak/soak-<time>/. Exit status 0 when every figure matches.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-soak
tcp_count=100000
serial_count=10000
seed=1
scale=0.05
limit=14400
while [ $# -gt 0 ]; do
  case "$1" in
    --tcp-count) tcp_count=$2; shift 2 ;;
    --serial-count) serial_count=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --scale) scale=$2; shift 2 ;;
    --limit) limit=$2; shift 2 ;;
    -h|--help) sed -n '2,33p' "$0"; exit 0 ;;
    *) echo "soak.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

# ---- build
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target veldixmid-sim >/dev/null
if [ ! -f "$build/driver/CMakeCache.txt" ]; then
  cmake -S "$root/bench/soak" -B "$build/driver" >/dev/null
fi
cmake --build "$build/driver" -j2 >/dev/null
sim=$build/bin/veldixmid-sim
driver=$build/driver/veldix_soak

out=$build/soak-$(date +%Y%m%d-%H%M%S)
mkdir -p "$out"
echo "soak: logs in $out"

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then kill -TERM "$sim_pid" 2>/dev/null || true; fi
  exec 7>&- 2>/dev/null || true
}
trap cleanup EXIT

# start_sim NAME ARGS...: starts the simulator, its standard input a FIFO this script holds
# open (so it ends with us whatever happens), and waits for its endpoint line.
start_sim() {
  local name=$1; shift
  rm -f "$out/$name.stdin"
  mkfifo "$out/$name.stdin"
  "$sim" "$@" --exit-on-stdin-eof <"$out/$name.stdin" >"$out/$name.out" 2>"$out/$name.err" &
  sim_pid=$!
  exec 7>"$out/$name.stdin"
  echo "$sim $* --exit-on-stdin-eof" >"$out/$name.cmd"
  for _ in $(seq 100); do
    grep -q -E '^(tcp|serial): ' "$out/$name.out" 2>/dev/null && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "soak: the simulator did not start; see $out/$name.err" >&2
  exit 1
}

# stop_sim: SIGTERM to our simulator, then its exit summary is complete.
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$sim_pid" 2>/dev/null && kill -KILL "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  exec 7>&-
}

# field KEY FILE: the value of KEY=value on the last line holding it.
field() { grep -a -o -E "(^| )$1=[^ ]*" "$2" | tail -1 | sed 's/.*=//'; }

failures=()
expect() {  # expect WHAT GOT WANT
  if [ "$2" != "$3" ]; then failures+=("$1: got $2, want $3"); fi
}

run_driver() {  # run_driver NAME ARGS...
  local name=$1; shift
  echo "VELDIX_SOAK_DELAY_SCALE=$scale $driver $*" >"$out/$name.cmd"
  local status=0
  VELDIX_SOAK_DELAY_SCALE=$scale timeout --signal=TERM "$limit" "$driver" "$@" >"$out/$name.log" 2>&1 || status=$?
  [ $status -eq 0 ] || failures+=("$name: driver exit status $status (124: over the $limit s limit)")
  tail -1 "$out/$name.log"
}

# ---- Modbus TCP leg
if [ "$tcp_count" -gt 0 ]; then
  start_sim sim-tcp --tcp 0 --exception-at 4099 --drop-after 200 --seed "$seed"
  port=$(sed -n 's/^tcp: .*:\([0-9]*\)$/\1/p' "$out/sim-tcp.out")
  echo "soak: Modbus TCP leg, $tcp_count exchanges on port $port"
  run_driver tcp --link tcp --tcp-port "$port" --count "$tcp_count" --fault-rate 0.005 \
    --fault-register 4099 --drop-after 200 --seed "$seed"
  stop_sim
  cat "$out/sim-tcp.err"
  r=$out/tcp.log; s=$out/sim-tcp.err
  expect "tcp exchanges" "$(field exchanges "$r")" "$tcp_count"
  expect "tcp -3 vs simulator exception-at" "$(field exceptions "$r")" "$(field exception-at "$s")"
  expect "simulator exceptions vs exception-at" "$(field exceptions "$s")" "$(field exception-at "$s")"
  expect "tcp closes seen vs simulator drop-after" "$(field closed-by-meter "$r")" "$(field drop-after "$s")"
  expect "simulator requests vs exchanges not lost to a closed connection" "$(field requests "$s")" \
    "$(( $(field exchanges "$r") - $(field closed "$r") ))"
  for k in unexpected-exceptions bad no-answer timeouts other wrong-data indicator-faults hangs; do
    expect "tcp $k" "$(field "$k" "$r")" 0
  done
  expect "simulator bad frames (tcp)" "$(field bad-frames "$s")" 0
  hs=$(field hwm-start-kb "$r"); he=$(field hwm-end-kb "$r")
  [ $((he - hs)) -le 1024 ] || failures+=("tcp peak RSS grew from $hs kB to $he kB")
fi

# ---- serial RTU leg
if [ "$serial_count" -gt 0 ]; then
  start_sim sim-serial --serial --baud 115200 --corrupt-crc 0.01 --seed "$seed"
  dev=$(sed -n 's/^serial: //p' "$out/sim-serial.out")
  echo "soak: serial RTU leg, $serial_count exchanges on $dev"
  VELDIXMID_COM5=$dev run_driver serial --link serial --serial-port 5 --count "$serial_count" --seed "$seed"
  stop_sim
  cat "$out/sim-serial.err"
  r=$out/serial.log; s=$out/sim-serial.err
  expect "serial exchanges" "$(field exchanges "$r")" "$serial_count"
  expect "serial -2 vs simulator corrupt-crc" "$(field bad "$r")" "$(field corrupt-crc "$s")"
  expect "simulator requests vs serial exchanges" "$(field requests "$s")" "$serial_count"
  for k in exceptions unexpected-exceptions closed no-answer timeouts other wrong-data indicator-faults hangs; do
    expect "serial $k" "$(field "$k" "$r")" 0
  done
  expect "simulator bad frames (serial)" "$(field bad-frames "$s")" 0
  hs=$(field hwm-start-kb "$r"); he=$(field hwm-end-kb "$r")
  [ $((he - hs)) -le 1024 ] || failures+=("serial peak RSS grew from $hs kB to $he kB")
fi

# ---- report
{
  echo "== soak report (seed $seed, delay scale $scale)"
  for leg in tcp serial; do
    r=$out/$leg.log
    [ -f "$r" ] || continue
    echo "$leg: exchanges $(field exchanges "$r"), ok $(field ok "$r"), -3 $(field exceptions "$r")" \
      "of $(field fault-requests "$r") fault requests, -2 $(field bad "$r"), closes $(field closed-by-meter "$r")" \
      "(reconnects $(field reconnects "$r")), other errors $(( $(field no-answer "$r") + $(field timeouts "$r") + $(field other "$r") + $(field unexpected-exceptions "$r") ))," \
      "wrong data $(field wrong-data "$r"), hangs $(field hangs "$r"), longest $(field longest-s "$r") s" \
      "(bound $(field bound-s "$r") s), peak RSS $(field hwm-start-kb "$r") kB after warm-up," \
      "$(field hwm-end-kb "$r") kB at the end, $(field elapsed-s "$r") s"
    grep -h 'faults:' "$out/sim-$leg.err" | sed "s/^/$leg simulator: /"
  done
  if [ ${#failures[@]} -eq 0 ]; then
    echo "soak: PASS, every error matches an injected fault"
  else
    echo "soak: FAIL"
    printf '  %s\n' "${failures[@]}"
  fi
} | tee "$out/report.txt"
[ ${#failures[@]} -eq 0 ]
