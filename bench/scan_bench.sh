#!/usr/bin/env bash
# Throughput of "hdrweights scan" with the example configuration and rules:
# generates COUNT messages (default 10000) from the example messages into a
# temporary directory, scans them with --jobs 1 and --jobs 2 (best of RUNS runs,
# default 3) and prints messages per second. Then the share of the work spent
# outside the rule evaluation: in time, comparing scans with an empty rule base
# (over the files, and over the same messages in one mbox, which takes the
# opening of 10,000 files out); and, with valgrind, the share of instructions
# outside rulebase_evaluate in a smaller scan (PROFILE_COUNT messages, default
# 1000), over the whole process and over the per-message work alone.
#
# Usage: bench/scan_bench.sh [COUNT]; BUILD=dir picks the build tree (default
# build-bench, configured as Release).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000}
runs=${RUNS:-3}
profile_count=${PROFILE_COUNT:-1000}
build=${BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHDRW_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target hdrweights_cli hdrweights_module >/dev/null
cli=$build/bin/hdrweights
config=$root/examples/server.xml

work=$(mktemp -d "${TMPDIR:-/tmp}/hdrw-scan-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# generate DIR N - N messages cycling through the example messages, each with
# its own Message-ID, spread over directories of 1000
generate() {
  local dir=$1 n=$2
  mkdir -p "$dir"
  awk -v dir="$dir" -v n="$n" '
    FNR == 1 { t++ }
    { text[t] = text[t] $0 "\n" }
    END {
      for (i = 0; i < n; i++) {
        sub_dir = sprintf("%s/%02d", dir, int(i / 1000))
        if (i % 1000 == 0) system("mkdir -p " sub_dir)
        m = text[i % t + 1]
        sub(/Message-ID: </, "Message-ID: <" i ".", m)
        f = sprintf("%s/%05d.eml", sub_dir, i)
        printf "%s", m > f
        close(f)
      }
    }' "$root"/examples/messages/*.eml
}

# rate ARGS... - best messages per second of $runs scans
rate() {
  local best=0 r
  for _ in $(seq "$runs"); do
    r=$("$cli" scan --config "$config" "$@" 2>&1 >/dev/null |
        sed -n 's/.*, \([0-9.]*\) messages per second$/\1/p')
    best=$(awk -v a="$best" -v b="$r" 'BEGIN { print (b > a ? b : a) }')
  done
  echo "$best"
}

generate "$work/msgs" "$count"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "messages: $count (from $(ls "$root"/examples/messages/*.eml | wc -l) examples), rules: examples/kelv"
j1=$(rate --jobs 1 "$work/msgs")
j2=$(rate --jobs 2 "$work/msgs")
echo "scan --jobs 1: $j1 messages per second"
echo "scan --jobs 2: $j2 messages per second ($(awk -v a="$j1" -v b="$j2" 'BEGIN { printf "%.2f", b / a }')x of --jobs 1)"

# Time outside the rule evaluation: the same scans with an empty rule base
# (only the version line) against the example rules. The empty rule base
# still splits every header block, so this over-states the share a little.
mkdir -p "$work/empty"
printf '# version 04/18/2001/002\n' |
  "$cli" rules encrypt --cert "$root/examples/client-cert.pem" -o "$work/empty/kelv"
for f in "$work"/msgs/*/*.eml; do
  printf 'From bench@example.org Mon Nov 16 09:00:00 2026\n'
  cat "$f"
  printf '\n'
done > "$work/all.mbox"
# cpu ARGS... - least CPU seconds (user + system) of $runs scans; CPU time
# rather than elapsed time, so that other load on the machine counts less
cpu() {
  local best=999999 t
  for _ in $(seq "$runs"); do
    t=$( { TIMEFORMAT='%3U %3S'; time "$cli" scan --config "$config" "$@" >/dev/null 2>&1; } 2>&1 |
        awk '{ print $1 + $2 }')
    best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (b < a ? b : a) }')
  done
  echo "$best"
}
share() {
  local full empty
  full=$(cpu --jobs 1 "$1")
  empty=$(cpu --jobs 1 --load-point "$work/empty" "$1")
  awk -v f="$full" -v e="$empty" -v what="$2" 'BEGIN {
    printf "%s: %.3f s CPU, %.3f s with no rules: %.1f%% of the time outside the rule evaluation\n",
      what, f, e, 100 * e / f }'
}
share "$work/msgs" "$count message files, --jobs 1"
share "$work/all.mbox" "the same in one mbox, --jobs 1"

if command -v valgrind >/dev/null && command -v callgrind_annotate >/dev/null; then
  # Two profiles: no messages (start-up, rule loading, shutdown) and
  # profile_count messages; their difference is the per-message work.
  generate "$work/prof" "$profile_count"
  mkdir -p "$work/none"
  profile() {
    valgrind --tool=callgrind --callgrind-out-file="$work/cg.$1" \
      "$cli" scan --config "$config" --jobs 1 "$2" >/dev/null 2>&1 || true
    callgrind_annotate --inclusive=yes "$work/cg.$1" 2>/dev/null |
      awk -v sym="$3" '
        /PROGRAM TOTALS/ { gsub(/,/, "", $1); total = $1 }
        index($0, sym) { gsub(/,/, "", $1); if ($1 + 0 > inner) inner = $1 + 0 }
        END { printf "%d %d\n", total, inner }'
  }
  read -r t_all e_all < <(profile all "$work/prof" rulebase_evaluate)
  read -r t_none _ < <(profile none "$work/none" rulebase_evaluate)
  awk -v t="$t_all" -v e="$e_all" -v t0="$t_none" -v n="$profile_count" 'BEGIN {
    printf "callgrind, %d messages, --jobs 1: %.1f%% of all instructions outside rulebase_evaluate\n",
      n, 100 * (t - e) / t
    per = t - t0
    printf "per-message work only (start-up and rule loading taken out): %.1f%% outside rulebase_evaluate\n",
      100 * (per - e) / per
  }'
fi
