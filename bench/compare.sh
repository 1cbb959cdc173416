#!/usr/bin/env bash
# Before/after figures of the engine and of start-up: builds <git-rev> (a git worktree under
# /tmp, Release, ccache) beside this tree's build-bench/, then runs engine_vs_libmodbus,
# engine_profile and startup.py for both, interleaved (before, after, before, after ...),
# and prints the medians per link kind of each side. The load is printed throughout: the
# two sides share every moment of it.
#
#   bash bench/compare.sh <git-rev> [rounds, default 3]
#
# BENCH_JOBS (default 2) sets the builds' parallel jobs.
set -euo pipefail

rev="${1:?usage: bash bench/compare.sh <git-rev> [rounds]}"
rounds="${2:-3}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sha="$(git -C "$root" rev-parse --short "$rev")"
old="/tmp/veldix-compare-$sha"
jobs="${BENCH_JOBS:-2}"

build() {  # source dir, build dir; the compiler's output only when the build fails
  local log="$2/compare-build.log"
  mkdir -p "$2"
  if ! { cmake -S "$1" -B "$2" -DVELDIX_BENCH=ON -DCMAKE_BUILD_TYPE=Release -DVELDIX_TESTS=OFF \
           -DCMAKE_CXX_COMPILER_LAUNCHER=ccache &&
         cmake --build "$2" -j"$jobs" --target engine_vs_libmodbus minimal_qt veldixmid \
           veldixmid-sim; } >"$log" 2>&1; then
    tail -40 "$log" >&2
    exit 1
  fi
}

[ -d "$old" ] || git -C "$root" worktree add --detach "$old" "$sha" >/dev/null
build "$old" "$old/build-bench"
build "$root" "$root/build-bench"
cmake --build "$root/build-bench" -j"$jobs" --target engine_profile >/dev/null 2>&1

load() { uptime | sed 's/.*load average/load average/'; }
export QT_QPA_PLATFORM=offscreen
out="$(mktemp -d)"
echo "before: $sha; after: working tree of $(git -C "$root" rev-parse --short HEAD); $rounds rounds"
for r in $(seq "$rounds"); do
  for side in before after; do
    dir="$old"; [ "$side" = after ] && dir="$root"
    echo "round $r $side, $(load)"
    "$dir/build-bench/bench/engine_vs_libmodbus" 2>/dev/null >>"$out/engine.$side" || true
    /usr/bin/python3 "$root/bench/startup.py" --runs 10 --platform offscreen \
      --floor "$dir/build-bench/bench/minimal_qt" "$dir/build-bench/bin/veldixmid" \
      >>"$out/startup.$side" || true
    if command -v xvfb-run >/dev/null; then
      xvfb-run -a /usr/bin/python3 "$root/bench/startup.py" --runs 10 --platform xcb \
        --floor "$dir/build-bench/bench/minimal_qt" "$dir/build-bench/bin/veldixmid" \
        >>"$out/xvfb.$side" || true
    fi
  done
done
"$root/build-bench/bench/engine_profile" 2>/dev/null || true

# Median of the numbers a sed expression picks out of each line of a file.
med() {
  sed -n "$2" "$1" | sort -g | awk '{v[NR]=$1} END {if (NR) printf "%.3f", (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2); else printf "-"}'
}
# One floor for both sides (what the engine must wait now: the closing pause, Modbus TCP's
# pause after the write, RTU over TCP's first poll), whatever floor each side's bench printed.
for kf in "serial RTU (pty):150" "Modbus TCP:300" "RTU over TCP:160"; do
  kind="${kf%:*}"; floor="${kf##*:}"
  k="$kind"  # parentheses are literal in a basic regular expression
  for side in before after; do
    f="$out/engine.$side"
    e="$(med "$f" "s/.* $k engine \([0-9.]*\) ms.*/\1/p")"
    printf '%-16s %-6s engine %s ms, above floor %s ms %s, libmodbus %s ms\n' "$kind" "$side" "$e" \
      "$(awk -v e="$e" -v f="$floor" 'BEGIN {if (e == "-") print "-"; else printf "%.3f", e - f}')" \
      "(floor $floor ms)" "$(med "$f" "s/.* $k engine [^;]*, libmodbus \([0-9.]*\) ms.*/\1/p")"
  done
done
for what in startup xvfb; do
  for side in before after; do
    f="$out/$what.$side"
    [ -s "$f" ] || continue
    printf '%-8s %-6s start-up ratio %sx, processor time ratio %sx, RSS ratio %sx (medians of %s rounds)\n' \
      "$what" "$side" "$(med "$f" 's/.*ratio time \([0-9.]*\)x.*/\1/p')" \
      "$(med "$f" 's/.*processor time [0-9.]* ms vs [0-9.]* ms, \([0-9.]*\)x.*/\1/p')" \
      "$(med "$f" 's/.*RSS \([0-9.]*\)x.*/\1/p')" "$rounds"
  done
done
echo "$(load)"
rm -rf "$out"
