#!/usr/bin/env bash
# Builds every libFuzzer target (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each for SECONDS (default 30) on a scratch copy of its seed corpus
# fuzz/corpus/<name>/ (the target's file name without _fuzz). Fails on any crash,
# leak, sanitizer report or time-out; prints the executions of every target.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
build=$root/fuzz/build
out=$root/fuzz/out
"$root/scripts/setup.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHDRW_FUZZ=ON -DHDRW_TESTS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/*_fuzz.cpp; do
    [ -e "$f" ] || continue
    targets+=("$(basename "$f" .cpp)")
  done
fi
# Only the fuzz targets: the plug-in and the command are not fuzzed, and a
# shared library does not link against clang's sanitizer runtime.
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  work=$out/$name
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/artifacts"
  seeds=$root/fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=$work/corpus
  set +e
  "$build/bin/$t" "$work/corpus" "$seeds" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1
  rc=$?
  set -e
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$' || echo "?")
  if [ $rc -ne 0 ]; then
    echo "fuzz: $t FAILED (exit $rc) after $execs executions; log: $work/log"
    tail -40 "$work/log"
    status=1
  else
    echo "fuzz: $t ok: $execs executions in ${seconds}s"
  fi
done
exit $status
