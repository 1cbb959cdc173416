#!/usr/bin/env bash
# Non-blank lines of the tests (tests/: *.cpp *.h *.py) against the production code (app/ link/
# meter/ lang/ platform/ panels/ sim/: *.cpp *.h *.h.in), and their ratio. Run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {  # non-blank lines of the files find lists under the given folders
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.h.in' -o -name '*.py' \) -print0 |
    xargs -0 -r cat | grep -c '[^[:space:]]' || true
}

code=$(count app link meter lang platform panels sim)
tests=$(count tests)
printf 'tests %d, code %d, ratio %s\n' "$tests" "$code" "$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f", t / c }')"
for d in app link meter lang platform panels sim; do
  printf '  %-9s code %5d  tests %5d\n' "$d/" "$(count "$d")" "$( [[ -d tests/$d ]] && count "tests/$d" || echo 0)"
done
