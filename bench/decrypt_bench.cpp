// decrypt_bench - decryption speed of stored rule files, next to the openssl
// command on the same data, and peak memory of one decryption.
//
// Benchmarks (MB/s as bytes_per_second of plain text):
//   BM_TlvDecryptRuleFile/N   tlvDecrypt type 2 of an N MiB rule file (Base64
//                             text of the container) into a tlv_tmpfile stream
//   BM_TlvDecryptContainer/N  tlvDecrypt type 3 of the raw container
//   BM_OpensslDecipher/N      openssl enc -d -des-ede-cbc -nopad of the raw
//                             ciphertext (the same bytes, without the header)
//   BM_OpensslPipeline/N      base64 -d | tail -c +5 | openssl enc -d: the whole
//                             rule-file path with standard tools
// Other modes (used by decrypt_bench.sh):
//   decrypt_bench --make DIR MIB   writes DIR/plain_MIB, kelv_MIB, cipher_MIB
//   decrypt_bench --rss FILE       decrypts the rule file once and prints
//                                  "peak_rss_kib <n>" from getrusage
// Files are made with tlvEncrypt (speed is measured here, correctness is the
// test suites' business), from printable rule-like lines with a fixed seed.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "encryption.h"
#include "tlv_tmpfile.h"

namespace {

const char *const BENCH_KEY = "8F4A0C2B19D3E7665A1B2C3D4E5F6071";
const char *const BENCH_OPENSSL_KEY = "-K 8f4a0c2b19d3e7665a1b2c3d4e5f6071 -iv 0000000000000000";

std::string g_dir;  // where the benchmark's files live

std::string bench_path(const std::string &dir, const char *kind, int mib) {
  return dir + "/" + kind + "_" + std::to_string(mib);
}

// bench_make - plain text of mib MiB, its rule file and its raw ciphertext
bool bench_make(const std::string &dir, int mib) {
  std::string plain = bench_path(dir, "plain", mib);
  FILE *f = fopen(plain.c_str(), "wb");
  if (f == nullptr) return false;
  std::mt19937 rng(1234);
  size_t total = (size_t)mib << 20;
  char line[128];
  fputs("# version 04/18/2001/002\n", f);
  size_t written = 25;
  for (unsigned id = 1; written < total; id++) {
    int n = snprintf(line, sizeof line, "%010u%4u0E Subject: .*(v[i1]agra|c[a@]sino|%08x)\n", id,
                     (unsigned)(rng() % 200), (unsigned)rng());
    size_t keep = written + (size_t)n > total ? total - written : (size_t)n;
    fwrite(line, 1, keep, f);
    written += keep;
  }
  fclose(f);
  bool ok = true;
  for (int type : {TLV_ENC_DES_BASE64, TLV_ENC_DES}) {
    FILE *src = fopen(plain.c_str(), "rb");
    std::string out = bench_path(dir, type == TLV_ENC_DES ? "raw" : "kelv", mib);
    FILE *dst = fopen(out.c_str(), "wb");
    ok = ok && src != nullptr && dst != nullptr && tlvEncrypt(src, dst, BENCH_KEY, type) == 0;
    if (src) fclose(src);
    if (dst) fclose(dst);
  }
  std::string cmd =
      "tail -c +5 " + bench_path(dir, "raw", mib) + " > " + bench_path(dir, "cipher", mib);
  return ok && system(cmd.c_str()) == 0;
}

void bench_ensure(int mib) {
  if (g_dir.empty()) {
    char templ[] = "/tmp/decrypt-bench-XXXXXX";
    if (mkdtemp(templ) == nullptr) abort();
    g_dir = templ;
  }
  FILE *f = fopen(bench_path(g_dir, "kelv", mib).c_str(), "rb");
  if (f != nullptr) {
    fclose(f);
    return;
  }
  if (!bench_make(g_dir, mib)) abort();
}

// bench_decrypt_file - one tlvDecrypt of a stored file into a temporary stream
bool bench_decrypt_file(const std::string &path, int type) {
  FILE *src = fopen(path.c_str(), "rb");
  FILE *dst = nullptr;
  bool ok =
      src != nullptr && tlv_tmpfile_open(&dst) == 0 && tlvDecrypt(src, dst, BENCH_KEY, type) == 0;
  if (src) fclose(src);
  if (dst) fclose(dst);
  return ok;
}

void BM_TlvDecryptRuleFile(benchmark::State &state) {
  int mib = (int)state.range(0);
  bench_ensure(mib);
  for (auto _ : state) {
    if (!bench_decrypt_file(bench_path(g_dir, "kelv", mib), TLV_ENC_DES_BASE64)) {
      state.SkipWithError("tlvDecrypt failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * ((int64_t)mib << 20));
}

void BM_TlvDecryptContainer(benchmark::State &state) {
  int mib = (int)state.range(0);
  bench_ensure(mib);
  for (auto _ : state) {
    if (!bench_decrypt_file(bench_path(g_dir, "raw", mib), TLV_ENC_DES)) {
      state.SkipWithError("tlvDecrypt failed");
    }
  }
  state.SetBytesProcessed(state.iterations() * ((int64_t)mib << 20));
}

void bench_command(benchmark::State &state, const std::string &cmd) {
  for (auto _ : state) {
    if (system(cmd.c_str()) != 0) {
      state.SkipWithError(cmd.c_str());
    }
  }
  state.SetBytesProcessed(state.iterations() * (state.range(0) << 20));
}

void BM_OpensslDecipher(benchmark::State &state) {
  int mib = (int)state.range(0);
  bench_ensure(mib);
  bench_command(state, std::string("openssl enc -d -des-ede-cbc -nopad ") + BENCH_OPENSSL_KEY +
                           " -in " + bench_path(g_dir, "cipher", mib) + " -out /dev/null");
}

void BM_OpensslPipeline(benchmark::State &state) {
  int mib = (int)state.range(0);
  bench_ensure(mib);
  bench_command(state, "base64 -d -i " + bench_path(g_dir, "kelv", mib) +
                           " | tail -c +5 | openssl enc -d -des-ede-cbc -nopad " +
                           BENCH_OPENSSL_KEY + " -out /dev/null");
}

BENCHMARK(BM_TlvDecryptRuleFile)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TlvDecryptContainer)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpensslDecipher)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpensslPipeline)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "--make") == 0) {
    return bench_make(argv[2], atoi(argv[3])) ? 0 : 1;
  }
  if (argc == 3 && strcmp(argv[1], "--rss") == 0) {
    if (!bench_decrypt_file(argv[2], TLV_ENC_DES_BASE64)) return 1;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("peak_rss_kib %ld\n", usage.ru_maxrss);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!g_dir.empty()) {
    std::string cmd = "rm -rf " + g_dir;
    if (system(cmd.c_str()) != 0) return 1;
  }
  return 0;
}
