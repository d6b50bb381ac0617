#!/bin/sh
# decrypt_bench.sh - decryption speed of a 10 MiB rule file next to the openssl
# command (same data, same run), and peak memory of one decryption of a 1 MiB
# and a 10 MiB rule file, each in a fresh process.
# Usage: bench/decrypt_bench.sh [build directory, default build-bench]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHDRW_BENCH=ON -DHDRW_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target decrypt_bench >/dev/null
bench=$build/bin/decrypt_bench
[ -x "$bench" ] || bench=$build/bench/decrypt_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== speed (plain-text MB/s; ratio = ours / openssl in this run)"
"$bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_format=csv 2>/dev/null | awk -F, '
  /_median/ { name=$1; gsub(/"/, "", name); sub(/_median/, "", name); mbs[name]=$6/1e6;
              printf "%-40s %8.1f MB/s\n", name, $6/1e6 }
  END {
    o=mbs["BM_OpensslDecipher/10/real_time"]; p=mbs["BM_OpensslPipeline/10/real_time"];
    r=mbs["BM_TlvDecryptRuleFile/10/real_time"]; c=mbs["BM_TlvDecryptContainer/10/real_time"];
    if (o > 0) printf "ratio container / openssl enc -d       %.2f\n", c/o;
    if (o > 0) printf "ratio rule file / openssl enc -d       %.2f\n", r/o;
    if (p > 0) printf "ratio rule file / base64|openssl       %.2f\n", r/p;
  }'

echo "== peak RSS of one decryption (fresh process each)"
for mib in 1 10; do
  "$bench" --make "$work" "$mib"
  printf "tlvDecrypt %2d MiB rule file: " "$mib"
  "$bench" --rss "$work/kelv_$mib"
  printf "openssl enc -d %2d MiB:       peak_rss_kib " "$mib"
  /usr/bin/time -f %M openssl enc -d -des-ede-cbc -nopad -K 8f4a0c2b19d3e7665a1b2c3d4e5f6071 \
    -iv 0000000000000000 -in "$work/cipher_$mib" -out /dev/null 2>&1
done
