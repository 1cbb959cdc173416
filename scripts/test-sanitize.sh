#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: bash scripts/test-sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."
VELDIX_BUILD_DIR=${VELDIX_BUILD_DIR:-build-asan} exec bash scripts/test.sh -DVELDIX_SANITIZE=ON
