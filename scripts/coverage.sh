#!/usr/bin/env bash
# Line and branch coverage of the library code (tlvpr/, common/, regex/,
# module/, host/) reached by the whole test suite.
#
# Usage: scripts/coverage.sh [BUILD_DIR]        (default: build-coverage)
#
# Builds an instrumented Debug tree of its own, clears earlier counts, runs
# every suite with ctest, then prints a line table per file and the totals of
# lines, functions and branches. An annotated HTML report lands in
# BUILD_DIR/coverage/index.html. Tests, tools, benchmarks and fuzz targets are
# built or run as usual but left out of the figures.
#
# Environment: JOBS - parallel build and test jobs (default: nproc);
# COVERAGE_MIN_LINES - fail (status 2) when line coverage is below this percentage.
# Exit status: that of ctest when a suite fails (the figures are still printed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-coverage}
jobs=${JOBS:-$(nproc)}

"$root/scripts/setup.sh"

# HDRW_COVERAGE instruments the static libraries; the global flags also reach
# the module's own sources and the shared data library, which are not built
# as such libraries. Counters are updated atomically: the stress suites run
# the same code on many threads, and plain counters lose increments and wrap
# to negative counts that gcov cannot report. Debug (-O0) keeps lines and
# branches as written.
flags="--coverage -fprofile-update=atomic"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DHDRW_COVERAGE=ON \
  -DHDRW_TESTS=ON -DHDRW_FAULT_INJECTION=ON \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j"$jobs"

find "$build" -name '*.gcda' -delete
status=0
(cd "$build" && ctest --output-on-failure -j"$jobs") || status=$?

# Branches on lines without source code (compiler-made paths such as the
# destructor calls of a closing brace) and exception paths are not counted:
# the library builds without exceptions.
cd "$root"
mkdir -p "$build/coverage"
options=(--root "$root" --object-directory "$build"
         --filter 'tlvpr/' --filter 'common/' --filter 'regex/' --filter 'module/' --filter 'host/'
         --exclude-unreachable-branches --exclude-throw-branches)
if [ -n "${COVERAGE_MIN_LINES:-}" ]; then
  options+=(--fail-under-line "$COVERAGE_MIN_LINES")
fi
gcov_status=0
gcovr "${options[@]}" --txt --print-summary \
  --html-details "$build/coverage/index.html" || gcov_status=$?
echo "coverage: annotated report in $build/coverage/index.html"

if [ "$status" -ne 0 ]; then
  exit "$status"
fi
exit "$gcov_status"
