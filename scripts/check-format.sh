#!/usr/bin/env bash
# Fails when a C++ source of the tree differs from what clang-format makes of it under the
# tree's .clang-format; prints the files that differ. With --fix, rewrites them instead.
#
#   scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
fmt="${CLANG_FORMAT:-clang-format}"
if ! command -v "$fmt" >/dev/null; then
  echo "check-format: $fmt not found (scripts/deps.sh installs it)" >&2
  exit 1
fi
mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h' '*.h.in' '*.c')
if [ "${1:-}" = "--fix" ]; then
  "$fmt" -i -- "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  "$fmt" --dry-run --Werror -- "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  printf 'not formatted (scripts/check-format.sh --fix rewrites them):\n' >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"
