#!/usr/bin/env bash
# Builds hdrweights from a clean clone and runs every test suite: a test build
# has the suites, the allocation-failure seam they arm and -Werror.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHDRW_TESTS=ON \
  -DHDRW_FAULT_INJECTION=ON -DHDRW_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)"
