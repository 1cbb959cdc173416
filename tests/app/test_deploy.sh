#!/usr/bin/env bash
# How the tool is deployed: an install into a temporary prefix writes only there, with the
# bin/ link and the desktop entry pointing into it; the run command's VNC mode listens on
# 127.0.0.1 unless another address is asked for with a password, checked with ss and the
# RFB handshake.
#   test_deploy.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
tmp=$(mktemp -d)
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -- "-$p" 2>/dev/null || true; done
  # Each run is a session of its own (setsid): wait until its X server and VNC server are gone.
  for p in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 -- "-$p" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

# ---- install into a prefix with a space in it, and under DESTDIR
prefix="$tmp/my prefix"
outside_before=$(ls -la /usr/local/bin/veldixmid 2>&1)
cmake --install "$build" --prefix "$prefix" > "$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "install"; }
while IFS= read -r f; do
  case "$f" in "$prefix"/*) ;; *) fail "installed outside the prefix: $f" ;; esac
done < "$build/install_manifest.txt"
[ "$(ls -la /usr/local/bin/veldixmid 2>&1)" = "$outside_before" ] || fail "/usr/local/bin/veldixmid changed"
link="$prefix/bin/veldixmid"
[ -L "$link" ] || fail "no bin/veldixmid link"
[ "$(readlink -f "$link")" = "$(readlink -f "$prefix/lib/veldixmid/veldixmid")" ] || fail "the link points elsewhere: $(readlink "$link")"
[ -x "$link" ] || fail "the link does not reach an executable"
for f in VELDIXMID.uir language.ini trffc_a.ico veldixmid-sim; do
  [ -f "$prefix/lib/veldixmid/$f" ] || fail "$f not beside the executable"
done
exec_line=$(grep '^Exec=' "$prefix/share/applications/veldixmid.desktop")
[ "$exec_line" = "Exec=\"$prefix/lib/veldixmid/veldixmid\"" ] || fail "desktop entry: $exec_line"
DESTDIR="$tmp/stage" cmake --install "$build" --prefix /opt/veldix > "$tmp/stage.log" 2>&1 || fail "DESTDIR install"
[ -L "$tmp/stage/opt/veldix/bin/veldixmid" ] || fail "the link is not under DESTDIR"
[ -e /opt/veldix ] && fail "/opt/veldix written outside DESTDIR"
grep -q '^Exec="/opt/veldix/lib/veldixmid/veldixmid"$' "$tmp/stage/opt/veldix/share/applications/veldixmid.desktop" ||
  fail "DESTDIR desktop entry: $(grep Exec "$tmp/stage/opt/veldix/share/applications/veldixmid.desktop")"

# ---- VNC mode of the run command
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
listeners() { ss -ltnH "sport = :$1" | awk '{print $4}'; }
# Starts the run command without a display; its process group is ended by cleanup.
start_run() {
  local port=$1; shift
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM VELDIX_NO_BUILD=1 VELDIX_BUILD_DIR="$build" \
    VELDIX_VNC_PORT="$port" VELDIXMID_REGISTRY="$tmp/registry" "$@" \
    setsid bash "$src/scripts/run.sh" --no-sim > "$tmp/run-$port.log" 2>&1 &
  pids+=($!)
}
wait_listening() {
  for _ in $(seq 150); do [ -n "$(listeners "$1")" ] && return 0; sleep 0.1; done
  return 1
}
# The security types a VNC server offers after the RFB 3.8 greeting, as decimal numbers.
security_types() {
  /usr/bin/python3 - "$1" "$2" <<'EOF'
import socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5)
greeting = s.recv(12)
s.sendall(b"RFB 003.008\n")
n = s.recv(1)[0]
print(" ".join(str(b) for b in s.recv(n)))
EOF
}

port=$(free_port)
start_run "$port"
if wait_listening "$port"; then
  [ "$(listeners "$port")" = "127.0.0.1:$port" ] || fail "default VNC listens on $(listeners "$port")"
  grep -q "ssh -N -L $port:127.0.0.1:$port" "$tmp/run-$port.log" || fail "no SSH tunnel hint: $(cat "$tmp/run-$port.log")"
else
  fail "default VNC never listened: $(cat "$tmp/run-$port.log")"
fi

port=$(free_port)
start_run "$port" VELDIX_VNC_LISTEN=0.0.0.0
pid=${pids[-1]}
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
wait "$pid"
code=$?
[ $code -eq 2 ] || fail "another address without a password: exit $code"
[ -z "$(listeners "$port")" ] || fail "listening without a password: $(listeners "$port")"
grep -q "VELDIX_VNC_PASSWORD" "$tmp/run-$port.log" || fail "refusal does not say how: $(cat "$tmp/run-$port.log")"

port=$(free_port)
start_run "$port" VELDIX_VNC_LISTEN=0.0.0.0 VELDIX_VNC_PASSWORD=meter-secret
if wait_listening "$port"; then
  [ "$(listeners "$port")" = "0.0.0.0:$port" ] || fail "asked for 0.0.0.0, listens on $(listeners "$port")"
  types=$(security_types 127.0.0.1 "$port")
  [ "$types" = "2" ] || fail "with a password the server offers security types '$types', not VNC authentication alone"
else
  fail "VNC with a password never listened: $(cat "$tmp/run-$port.log")"
fi

[ $fails -eq 0 ] && echo "deploy checks passed"
exit $((fails > 0))
