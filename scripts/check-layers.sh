#!/usr/bin/env bash
# Fails when a static library needs a symbol that only a library it may not depend on defines.
# The layers point down: platform <- link, lang <- meter <- app; panels (the resource file's
# numbers and the main panel's handles) depends on nothing; the simulator stands alone.
#
#   scripts/check-layers.sh name=path/to/libname.a ...
#
# CMake's target graph cannot see this: a library may call a function whose definition lives
# in a library above it and still link, as long as every executable links both.
set -euo pipefail

declare -A allowed=(
  [panels]=""
  [platform]=""
  [link]="platform panels"
  [lang]="platform panels"
  [meter]="platform panels link lang"
  [app]="platform panels link lang meter"
  [sim]=""
)

declare -A archive
names=()
for arg in "$@"; do
  name=${arg%%=*}
  path=${arg#*=}
  [[ -v allowed[$name] ]] || { echo "check-layers: no layer named '$name'" >&2; exit 2; }
  [[ -r $path ]] || { echo "check-layers: cannot read $path" >&2; exit 2; }
  archive[$name]=$path
  names+=("$name")
done
((${#names[@]} > 0)) || { echo "usage: $0 name=lib.a ..." >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Strong definitions only: weak ones (inline functions, template instances, vtables) are
# emitted by every library that uses them and say nothing about where code belongs.
for n in "${names[@]}"; do
  nm --defined-only --extern-only "${archive[$n]}" 2>/dev/null |
    awk 'NF == 3 && $2 !~ /^[wWvVu]$/ { print $3 }' | sort -u >"$tmp/$n.def"
  nm --defined-only --extern-only "${archive[$n]}" 2>/dev/null |
    awk 'NF == 3 { print $3 }' | sort -u >"$tmp/$n.any"
  nm --undefined-only "${archive[$n]}" 2>/dev/null | awk 'NF >= 2 { print $NF }' | sort -u >"$tmp/$n.und"
done

status=0
for n in "${names[@]}"; do
  # What n may use: its own definitions and those of the layers beneath it.
  cat "$tmp/$n.any" >"$tmp/ok"
  for below in ${allowed[$n]}; do
    [[ -f $tmp/$below.any ]] && cat "$tmp/$below.any" >>"$tmp/ok"
  done
  sort -u -o "$tmp/ok" "$tmp/ok"
  comm -23 "$tmp/$n.und" "$tmp/ok" >"$tmp/needed"
  for other in "${names[@]}"; do
    [[ $other == "$n" ]] && continue
    comm -12 "$tmp/needed" "$tmp/$other.def" >"$tmp/wrong"
    while read -r symbol; do
      echo "layer fault: $n needs $(c++filt "$symbol"), defined in $other"
      status=1
    done <"$tmp/wrong"
  done
done
((status == 0)) && echo "check-layers: ${#names[@]} libraries, every symbol from a layer beneath"
exit $status
