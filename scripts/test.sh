#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every test.
# Usage: bash scripts/test.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${VELDIX_BUILD_DIR:-build}
cmake -S . -B "$build" -DVELDIX_WERROR=ON "$@" > "$build.configure.log" 2>&1 || {
  cat "$build.configure.log"; exit 1; }
echo "building in $build/ (log: $build.build.log)"
cmake --build "$build" -j"$(nproc)" > "$build.build.log" 2>&1 || {
  grep -E -A3 'error|Error' "$build.build.log" | head -80; exit 1; }
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300
