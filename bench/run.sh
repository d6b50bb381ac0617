#!/usr/bin/env bash
# bench/run.sh - builds every benchmark in Release (allocation-failure injection
# off) in its own build tree, runs them, and prints ONE markdown table of the
# figures with their ratios against the peer measured in the same run, headed by
# the machine (CPU model, cores, load average: the machine may be shared).
#
# Programs: every bench/*_bench.cpp (Google Benchmark; results read from their
# JSON output, medians of REPS repetitions) and bench/scan_bench.sh (hdrweights
# scan, messages per second). Peers: glibc regexec and PCRE2-JIT for the regex
# engine; for the evaluation engine also RE2::Set and Hyperscan (installed
# here with apt-get when missing) and a memchr lower bound; openssl enc -d
# for decryption, plain stdio
# for a log record, the C library's snprintf for the formatter. A ratio above 1
# means ours is faster. A figure whose benchmark is missing or failed is named
# as missing in the table.
#
# The evaluation benchmark's real workload (SpamAssassin's header rules made by
# "hdrweights rules import spamassassin", over the public corpus's header
# blocks) comes through scripts/fetch_corpora.sh, fetched once into its cache
# ($HDRW_CACHE, else .cache/ at the top of the tree). A second real workload,
# the import with --unscored (the sub-rules and the rules without a score at
# weight 0, the rule set a site runs after "rules fit"), is measured by a second
# run of the evaluation benchmark on the real workload alone.
#
# Usage: bench/run.sh [--table]   (--table: print the table of the last run again)
# Environment: BUILD (build tree, default build-bench), REPS (repetitions,
# default 3), SCAN_COUNT (messages for scan_bench.sh, default 10000).
# The raw outputs stay in $BUILD/bench-results/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
reps=${REPS:-3}
scan_count=${SCAN_COUNT:-10000}
results=$build/bench-results

# The peers the evaluation benchmark measures besides PCRE2 (which setup.sh
# installs): RE2 and Hyperscan, for the benchmarks only, never the library.
install_peers() {
  local missing=()
  for p in libre2-dev libhyperscan-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "bench: installing ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    DEBIAN_FRONTEND=noninteractive $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
  fi
}

measure() {
"$root/scripts/setup.sh"
install_peers
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHDRW_BENCH=ON \
  -DHDRW_FAULT_INJECTION=OFF -DHDRW_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
rm -rf "$results" && mkdir -p "$results"
cut -d' ' -f1-3 /proc/loadavg >"$results/load.txt"
echo "$reps" >"$results/reps.txt"

# The real workload of kelh_bench: SpamAssassin's header rules as the import
# command makes them, over the header blocks of the public corpus (both fetched
# once into the cache by scripts/fetch_corpora.sh).
unscored=""
if cache=$("$root/scripts/fetch_corpora.sh") &&
  "$build/bin/hdrweights" rules import spamassassin -o "$results/sa-rules.txt" \
    "$cache/spamassassin" >"$results/sa-import.txt" 2>&1; then
  export KELH_BENCH_RULES=$results/sa-rules.txt KELH_BENCH_CORPUS=$cache/corpus
  if "$build/bin/hdrweights" rules import spamassassin --unscored \
    -o "$results/sa-rules-unscored.txt" "$cache/spamassassin" >>"$results/sa-import.txt" 2>&1; then
    unscored=$results/sa-rules-unscored.txt
  fi
else
  echo "bench: no real workload (fetch or import failed); kelh_bench runs the generated one" >&2
fi

for src in "$root"/bench/*_bench.cpp; do
  [ -e "$src" ] || continue
  name=$(basename "$src" .cpp)
  bin=$build/bin/$name
  if [ ! -x "$bin" ]; then
    echo "bench: $name was not built" >&2
    continue
  fi
  echo "bench: running $name" >&2
  if ! "$bin" --benchmark_repetitions="$reps" --benchmark_out="$results/$name.json" \
      --benchmark_out_format=json >"$results/$name.txt" 2>&1; then
    echo "bench: $name failed; see $results/$name.txt" >&2
    rm -f "$results/$name.json"
  fi
done

# The second real workload: the same benchmark on the --unscored import.
if [ -n "$unscored" ] && [ -x "$build/bin/kelh_bench" ]; then
  echo "bench: running kelh_bench on the --unscored import" >&2
  KELH_BENCH_RULES=$unscored KELH_BENCH_SIZES=100 "$build/bin/kelh_bench" \
    --benchmark_filter='evaluate/.*/real' --benchmark_repetitions="$reps" \
    --benchmark_out="$results/kelh_bench_unscored.json" --benchmark_out_format=json \
    >"$results/kelh_bench_unscored.txt" 2>&1 || {
    echo "bench: kelh_bench on the --unscored import failed; see $results/kelh_bench_unscored.txt" >&2
    rm -f "$results/kelh_bench_unscored.json"
  }
fi

# Peak memory of one decryption of a 10 MiB rule file, each in a fresh process.
if [ -x "$build/bin/decrypt_bench" ] && [ -x /usr/bin/time ]; then
  echo "bench: decryption peak memory" >&2
  data=$results/decrypt-data
  mkdir -p "$data"
  if "$build/bin/decrypt_bench" --make "$data" 10; then
    "$build/bin/decrypt_bench" --rss "$data/kelv_10" >"$results/decrypt_rss.txt" || true
    /usr/bin/time -f "openssl_peak_rss_kib %M" -a -o "$results/decrypt_rss.txt" \
      openssl enc -d -des-ede-cbc -nopad -K 8f4a0c2b19d3e7665a1b2c3d4e5f6071 \
      -iv 0000000000000000 -in "$data/cipher_10" -out /dev/null || true
  fi
  rm -rf "$data"
fi

if [ -x "$root/bench/scan_bench.sh" ] || [ -e "$root/bench/scan_bench.sh" ]; then
  echo "bench: running scan_bench.sh ($scan_count messages)" >&2
  BUILD=$build bash "$root/bench/scan_bench.sh" "$scan_count" >"$results/scan_bench.txt" 2>&1 ||
    echo "bench: scan_bench.sh failed; see $results/scan_bench.txt" >&2
fi

}

if [ "${1:-}" != "--table" ]; then
  measure
elif [ ! -d "$results" ]; then
  echo "bench: no results in $results yet; run bench/run.sh first" >&2
  exit 1
fi
load=$(cat "$results/load.txt" 2>/dev/null || echo unknown)
reps=$(cat "$results/reps.txt" 2>/dev/null || echo "$reps")
model=$(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -1)
cpus=$(nproc)

python3 - "$results" "$model" "$cpus" "$load" "$reps" <<'EOF'
import json, os, re, sys

results, model, cpus, load, reps = sys.argv[1:6]


def load_runs(name):
    """Median (or single) runs of one benchmark program, by run name."""
    path = os.path.join(results, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        key = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                runs[key] = b
        elif key not in runs or runs[key].get("run_type") != "aggregate":
            runs.setdefault(key, b)
    return runs


NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def ns(run):
    return run["cpu_time"] * NS[run.get("time_unit", "ns")]


rows = []  # (area, measurement, ours, peer name, peer figure, ratio)


def missing(area, what, why):
    rows.append((area, what, "missing: " + why, "", "", ""))


def fig(value, unit):
    return ("%.0f %s" if value >= 100 else "%.1f %s") % (value, unit)


def rate_row(area, what, runs, ours, peer_name, peer, field, unit, scale):
    a = runs.get(ours)
    b = runs.get(peer) if peer else None
    if a is None or field not in a:
        missing(area, what, ours + " not in the results")
        return
    ours_v = a[field] / scale
    if b is None or field not in b:
        rows.append((area, what, fig(ours_v, unit), peer_name, "missing" if peer else "", ""))
        return
    peer_v = b[field] / scale
    rows.append((area, what, fig(ours_v, unit), peer_name, fig(peer_v, unit),
                 "%.2f" % (ours_v / peer_v)))


def time_row(area, what, runs, ours, peer_name, peer):
    a = runs.get(ours)
    b = runs.get(peer) if peer else None
    if a is None:
        missing(area, what, ours + " not in the results")
        return
    if b is None:
        rows.append((area, what, "%.1f ns" % ns(a), peer_name, "missing" if peer else "", ""))
        return
    rows.append((area, what, "%.1f ns" % ns(a), peer_name, "%.1f ns" % ns(b),
                 "%.2f" % (ns(b) / ns(a))))


# Regex engine: pattern/line pairs per second (bench/regx_bench.cpp).
runs = load_runs("regx_bench")
area = "regex engine (regx_exec)"
if runs is None:
    missing(area, "header rule pairs", "bench/regx_bench.cpp not run")
else:
    sets = [("0", "all header rule pairs"), ("1", "anchored ^Name: rules"),
            ("2", "unanchored rules")]
    for arg, what in sets:
        rate_row(area, what, runs, "BM_Regx/" + arg, "glibc regexec", "BM_Libc/" + arg,
                 "items_per_second", "M pairs/s", 1e6)
        rate_row(area, what, runs, "BM_Regx/" + arg, "PCRE2-JIT", "BM_Pcre2Jit/" + arg,
                 "items_per_second", "M pairs/s", 1e6)

# Evaluation engine: messages per second on the real workload and at
# 100/340/1,000/10,000 generated rules (kelh_bench).
runs = load_runs("kelh_bench")
area = "evaluation (rulebase_evaluate)"
if runs is None:
    missing(area, "messages per second", "bench/kelh_bench.cpp not run")
else:
    peers = [("pcre2_jit", "same walk, PCRE2-JIT"), ("re2_set", "same walk, RE2::Set per name"),
             ("hyperscan", "same walk, Hyperscan per name"),
             ("memchr", "same walk, memchr lower bound"), ("glibc", "same walk, glibc regexec")]
    for n in ("real", "100", "340", "1000", "10000"):
        what = ("SpamAssassin header rules (imported), public corpus, threshold 0" if n == "real"
                else "%s rules, threshold 0" % format(int(n), ","))
        for peer, title in peers:
            rate_row(area, what, runs, "evaluate/ours/" + n, title, "evaluate/%s/%s" % (peer, n),
                     "items_per_second", "msg/s", 1)
        # The second real workload (bench/run.sh's second run), beside the first.
        unscored = load_runs("kelh_bench_unscored") if n == "real" else None
        for peer, title in peers if unscored is not None else []:
            rate_row(area, "SpamAssassin header rules with sub-rules (imported --unscored), "
                     "public corpus, threshold 0", unscored, "evaluate/ours/real", title,
                     "evaluate/%s/real" % peer, "items_per_second", "msg/s", 1)
    load_run = next((r for k, r in runs.items() if k.startswith("load_encrypted/10000")), None)
    if load_run is not None:
        rows.append((area, "load + compile encrypted 10,000-rule file",
                     "%.1f ms" % (load_run["real_time"] * NS[load_run.get("time_unit", "ns")] / 1e6),
                     "", "", ""))

# The command: hdrweights scan (bench/scan_bench.sh).
area = "hdrweights scan"
path = os.path.join(results, "scan_bench.txt")
text = open(path).read() if os.path.exists(path) else ""
j1 = re.search(r"scan --jobs 1: ([0-9.]+) messages per second", text)
j2 = re.search(r"scan --jobs 2: ([0-9.]+) messages per second", text)
count = re.search(r"messages: (\d+)", text)
if j1 is None:
    missing(area, "messages per second", "bench/scan_bench.sh not run or failed")
else:
    what = "--jobs 1" + (", %s messages" % count.group(1) if count else "")
    rows.append((area, what, "%.0f msg/s" % float(j1.group(1)), "", "", ""))
    if j2 is not None:
        rows.append((area, "--jobs 2", "%.0f msg/s" % float(j2.group(1)), "--jobs 1",
                     "%.0f msg/s" % float(j1.group(1)),
                     "%.2f" % (float(j2.group(1)) / float(j1.group(1)))))

# Decryption: plain-text MB/s against the openssl command (decrypt_bench).
runs = load_runs("decrypt_bench")
area = "decryption (tlvDecrypt)"
if runs is None:
    missing(area, "MB/s", "bench/decrypt_bench.cpp not run")
else:
    rate_row(area, "10 MiB rule file, Base64 + 3DES (type 2)", runs,
             "BM_TlvDecryptRuleFile/10/real_time", "openssl enc -d (raw ciphertext)",
             "BM_OpensslDecipher/10/real_time", "bytes_per_second", "MB/s", 1e6)
    rate_row(area, "10 MiB rule file, Base64 + 3DES (type 2)", runs,
             "BM_TlvDecryptRuleFile/10/real_time", "base64 -d | openssl enc -d",
             "BM_OpensslPipeline/10/real_time", "bytes_per_second", "MB/s", 1e6)
    rate_row(area, "10 MiB raw container, 3DES (type 3)", runs,
             "BM_TlvDecryptContainer/10/real_time", "openssl enc -d (raw ciphertext)",
             "BM_OpensslDecipher/10/real_time", "bytes_per_second", "MB/s", 1e6)
    path = os.path.join(results, "decrypt_rss.txt")
    rss = open(path).read() if os.path.exists(path) else ""
    ours = re.search(r"^peak_rss_kib (\d+)", rss, re.M)
    peer = re.search(r"^openssl_peak_rss_kib (\d+)", rss, re.M)
    if ours:
        rows.append((area, "peak RSS, one 10 MiB rule file", "%s KiB" % ours.group(1),
                     "openssl enc -d" if peer else "", "%s KiB" % peer.group(1) if peer else "",
                     "%.2f" % (int(peer.group(1)) / int(ours.group(1))) if peer else ""))

# Logging: cost of one record (tvr_log_bench).
runs = load_runs("tvr_log_bench")
area = "log record (tvr_log)"
if runs is None:
    missing(area, "ns per record", "bench/tvr_log_bench.cpp not run")
else:
    time_row(area, "record to a log file", runs, "BM_FileRecord/0",
             "snprintf + fwrite + fflush", "BM_PeerStdioRecord")
    time_row(area, "record to a log file, daily rolling", runs, "BM_FileRecord/1",
             "snprintf + fwrite + fflush", "BM_PeerStdioRecord")
    time_row(area, "record dropped by the threshold", runs, "BM_DroppedRecord", "", None)
    time_row(area, "debug trace dropped by the threshold", runs, "BM_DroppedTrace", "", None)
    time_row(area, "record to the system log (reporter hooked)", runs, "BM_EventRecord", "", None)

# Formatter: tlvpr_snprintf against the C library (tlvpr_format_bench).
runs = load_runs("tlvpr_format_bench")
area = "formatter (tlvpr_snprintf)"
if runs is None:
    missing(area, "ns per call", "bench/tlvpr_format_bench.cpp not run")
else:
    cases = []
    for key in runs:
        m = re.match(r"BM_Format<(\w+)<tlvpr_snprintf>\s*>$", key)
        if m:
            cases.append((m.group(1), key, key.replace("tlvpr_snprintf", "libc_snprintf")))
    for case, ours, peer in cases:
        time_row(area, case.replace("_", " "), runs, ours, "C library snprintf", peer)

print("Machine: %s, %s cores (load average %s at the start); Release build, medians of %s "
      "repetitions." % (model or "unknown CPU", cpus, load, reps))
print()
print("| Area | Measurement | Ours | Peer | Peer figure | Ratio (ours / peer) |")
print("|---|---|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(c.replace("|", "\\|") for c in r) + " |")
print()
print("Ratio: speed of ours over the peer's in the same run (above 1: ours is faster; for "
      "memory, the peer's peak over ours).")
EOF
