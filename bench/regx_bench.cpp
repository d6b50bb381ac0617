// regx_exec against the C library's regexec and PCRE2's JIT on header rules:
// mostly ^Name: anchored patterns with .*, literals, brackets, alternations
// and counted repetitions, tried on header lines of that name as the rule
// engine does, plus unanchored rules tried on every line. Every engine runs
// the same pattern/line pairs and must give the same match results (checked
// before timing). After the run the ratios are printed: throughput of regx
// over the C library and over PCRE2-JIT (above 1 means regx is faster).
#include <benchmark/benchmark.h>
#include <regex.h>

#include <time.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "regx.h"

#ifdef HDRW_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace {

struct Rule {
  const char *pattern;
  const char *names;  // header names it is tried on, '|'-separated; null: every line
};

const Rule kRules[] = {
    {"^Subject:.*viagra", "Subject"},
    {"^Subject:.*(free|cheap|discount) (pills|meds|watches)", "Subject"},
    {"^Subject: [A-Z0-9 !]{20,}$", "Subject"},
    {"^Subject:.*\\$[0-9]+", "Subject"},
    {"^Subject: (Re|Fwd): .*(invoice|payment)", "Subject"},
    {"^From:.*@(yahoo|hotmail|outlook)\\.(com|fr)", "From"},
    {"^From: \"[^\"]*\" <[a-z0-9._-]+@[a-z0-9.-]+>$", "From"},
    {"^To:.*undisclosed-recipients", "To"},
    {"^To:.*,.*,.*,", "To"},
    {"^Received: from [a-z0-9.-]+ \\(", "Received"},
    {"^Received: from .*\\[(10|192\\.168)\\.", "Received"},
    {"^Message-ID: <[0-9A-F]{8,}@", "Message-ID"},
    {"^Message-ID: <[a-z0-9]+\\.[0-9]+@localhost>", "Message-ID"},
    {"^X-Mailer: (Microsoft Outlook|The Bat|PHPMailer)", "X-Mailer"},
    {"^Content-Type: text/html", "Content-Type"},
    {"^Content-Type: multipart/(mixed|alternative); *boundary=", "Content-Type"},
    {"^Date: [A-Z][a-z]{2}, [0-9]{1,2} [A-Z][a-z]{2} 20[0-9]{2} ", "Date"},
    {"^X-Priority: [12]", "X-Priority"},
    {"^Return-Path: <>", "Return-Path"},
    {"^Reply-To:.*@.*\\.(ru|cn|biz)>?$", "Reply-To"},
    {"money back guarantee", nullptr},
    {"[0-9]{3}-[0-9]{3}-[0-9]{4}", nullptr},
    {"click (here|below)", nullptr},
    {"=\\?(utf-8|koi8-r)\\?[BbQq]\\?", nullptr},
};

const char *const kLines[] = {
    "Subject: Re: quarterly planning meeting moved to Thursday",
    "Subject: Buy cheap pills online - discount meds shipped worldwide, no prescription viagra",
    "Subject: YOU HAVE WON 1000000 DOLLARS NOW",
    "Subject: Fwd: invoice 2024-117 for your records, payment due within thirty days as agreed",
    "Subject: =?utf-8?B?W1NQQU1dIFlvdXIgYWNjb3VudCBoYXMgYmVlbiBzdXNwZW5kZWQ=?=",
    "Subject: Only $19 for a limited time: replica watches, free shipping, money back guarantee",
    "From: \"Anna Schmidt\" <anna.schmidt@example.org>",
    "From: Lottery Board <winner.notice@yahoo.com>",
    "From: \"Customer Service\" <service@outlook.fr>",
    "To: undisclosed-recipients:;",
    "To: alice@example.com, bob@example.com, carol@example.net, dave@example.org, eve@example.com",
    "To: Team <team@example.com>",
    "Received: from mail-ed1-f41.google.com (mail-ed1-f41.google.com [209.85.208.41]) by mx.example.org "
    "(Postfix) with ESMTPS id 4F2A81C0042 for <anna@example.org>; Tue, 8 Dec 2026 02:14:07 +0100 (CET)",
    "Received: from unknown (HELO pc-192-168-1-20) ([192.168.1.20]) by relay.example.net with SMTP; "
    "8 Dec 2026 01:13:55 -0000",
    "Received: by 2002:a05:6a10:c7c6:b0:3b1:a95c:2f9e with SMTP id e6csp123456pxq; Mon, 7 Dec 2026 "
    "17:14:07 -0800 (PST)",
    "Message-ID: <CAF3u54bA1d8k2Jf0Xz9Q@mail.gmail.com>",
    "Message-ID: <5A3F09C2B7E14D@mx.bulk-sender.biz>",
    "Message-ID: <a1b2c3d4.1733620447@localhost>",
    "X-Mailer: Microsoft Outlook 16.0",
    "X-Mailer: PHPMailer 6.8.0 (https://github.com/PHPMailer/PHPMailer)",
    "Content-Type: multipart/alternative; boundary=\"000000000000b2c3d405f1e2a3b4\"",
    "Content-Type: text/html; charset=\"iso-8859-1\"",
    "Date: Tue, 8 Dec 2026 02:14:07 +0100",
    "X-Priority: 1 (Highest)",
    "Return-Path: <bounce-1234-5678@news.example.com>",
    "Reply-To: \"Prize Office\" <claims@prize-office.ru>",
    "MIME-Version: 1.0",
    "X-Spam-Status: No, score=-0.1 required=5.0 tests=DKIM_SIGNED,DKIM_VALID autolearn=ham",
    "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org; s=20230601; t=1733620447; "
    "bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; h=To:From:Subject:Date:Message-ID",
    "List-Unsubscribe: <mailto:unsubscribe@news.example.com>, <https://news.example.com/u?id=555-123-4567>",
    "X-Originating-IP: [10.0.0.17] call 800-555-0199 or click here",
};

struct Pair {
  size_t rule;
  size_t line;
};

// rule_applies - the rule engine tries a ^Name: rule only on lines of that name
bool rule_applies(const Rule &rule, const char *line) {
  if (rule.names == nullptr) {
    return true;
  }
  std::string names = rule.names;
  size_t from = 0;
  while (from <= names.size()) {
    size_t bar = names.find('|', from);
    std::string name =
        names.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
    if (strncmp(line, name.c_str(), name.size()) == 0 && line[name.size()] == ':') {
      return true;
    }
    if (bar == std::string::npos) {
      break;
    }
    from = bar + 1;
  }
  return false;
}

struct Engines {
  std::vector<RegxPattern> regx;
  std::vector<regex_t> libc;
#ifdef HDRW_HAVE_PCRE2
  std::vector<pcre2_code *> pcre;
  pcre2_match_data *md = nullptr;
#endif
  std::vector<Pair> all, anchored, unanchored;
  size_t bytes_all = 0, bytes_anchored = 0, bytes_unanchored = 0;
};

Engines &engines() {
  static Engines e;
  return e;
}

int run_regx(const Pair &p) {
  return regx_exec(&engines().regx[p.rule], kLines[p.line], 25000, nullptr, 0) == REGX_OK;
}
int run_libc(const Pair &p) {
  return regexec(&engines().libc[p.rule], kLines[p.line], 0, nullptr, 0) == 0;
}
#ifdef HDRW_HAVE_PCRE2
int run_pcre(const Pair &p) {
  const char *line = kLines[p.line];
  return pcre2_jit_match(engines().pcre[p.rule], (PCRE2_SPTR)line, strlen(line), 0, 0, engines().md,
                         nullptr) >= 0;
}
#endif

bool setup() {
  Engines &e = engines();
  size_t nrules = sizeof kRules / sizeof kRules[0];
  size_t nlines = sizeof kLines / sizeof kLines[0];
  e.regx.resize(nrules);
  e.libc.resize(nrules);
  for (size_t r = 0; r < nrules; r++) {
    e.regx[r] = RegxPattern{};
    if (regx_compile(&e.regx[r], kRules[r].pattern, REGX_EXTENDED) != REGX_OK ||
        regcomp(&e.libc[r], kRules[r].pattern, REG_EXTENDED | REG_NOSUB) != 0) {
      fprintf(stderr, "cannot compile %s\n", kRules[r].pattern);
      return false;
    }
#ifdef HDRW_HAVE_PCRE2
    int err;
    PCRE2_SIZE off;
    pcre2_code *code =
        pcre2_compile((PCRE2_SPTR)kRules[r].pattern, PCRE2_ZERO_TERMINATED, 0, &err, &off, nullptr);
    if (code == nullptr || pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) != 0) {
      fprintf(stderr, "pcre2 cannot compile %s\n", kRules[r].pattern);
      return false;
    }
    e.pcre.push_back(code);
#endif
  }
#ifdef HDRW_HAVE_PCRE2
  e.md = pcre2_match_data_create(16, nullptr);
#endif
  int matches = 0;
  for (size_t r = 0; r < nrules; r++) {
    for (size_t l = 0; l < nlines; l++) {
      if (!rule_applies(kRules[r], kLines[l])) {
        continue;
      }
      Pair p{r, l};
      size_t len = strlen(kLines[l]);
      e.all.push_back(p);
      e.bytes_all += len;
      if (kRules[r].names != nullptr) {
        e.anchored.push_back(p);
        e.bytes_anchored += len;
      } else {
        e.unanchored.push_back(p);
        e.bytes_unanchored += len;
      }
      int a = run_regx(p);
      int b = run_libc(p);
      int c = b;
#ifdef HDRW_HAVE_PCRE2
      c = run_pcre(p);
#endif
      matches += a;
      if (a != b || a != c) {
        fprintf(stderr, "results differ: %s on \"%s\": regx %d libc %d pcre2 %d\n",
                kRules[r].pattern, kLines[l], a, b, c);
        return false;
      }
    }
  }
  fprintf(stderr, "%zu rules, %zu lines, %zu pairs (%zu anchored, %zu unanchored), %d matches\n",
          nrules, nlines, e.all.size(), e.anchored.size(), e.unanchored.size(), matches);
  return true;
}

const std::vector<Pair> &pair_set(int which, size_t *bytes) {
  Engines &e = engines();
  switch (which) {
    case 0:
      *bytes = e.bytes_all;
      return e.all;
    case 1:
      *bytes = e.bytes_anchored;
      return e.anchored;
    default:
      *bytes = e.bytes_unanchored;
      return e.unanchored;
  }
}

void run_set(benchmark::State &state, int (*engine)(const Pair &)) {
  size_t bytes;
  const std::vector<Pair> &pairs = pair_set((int)state.range(0), &bytes);
  for (auto _ : state) {
    int hits = 0;
    for (const Pair &p : pairs) {
      hits += engine(p);
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetItemsProcessed((int64_t)(state.iterations() * pairs.size()));
  state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
}

void BM_Regx(benchmark::State &state) { run_set(state, run_regx); }
void BM_Libc(benchmark::State &state) { run_set(state, run_libc); }
BENCHMARK(BM_Regx)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_Libc)->Arg(0)->Arg(1)->Arg(2);
#ifdef HDRW_HAVE_PCRE2
void BM_Pcre2Jit(benchmark::State &state) { run_set(state, run_pcre); }
BENCHMARK(BM_Pcre2Jit)->Arg(0)->Arg(1)->Arg(2);
#endif

// Collects the time per iteration of every run for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios() const {
    const char *sets[] = {"all pairs", "anchored ^Name: rules", "unanchored rules"};
    printf("\nthroughput of regx_exec relative to (higher is better for regx):\n");
    printf("%-24s %12s %12s\n", "pairs", "libc", "pcre2-jit");
    for (int i = 0; i < 3; i++) {
      double regx = lookup("BM_Regx", i);
      double libc = lookup("BM_Libc", i);
      double pcre = lookup("BM_Pcre2Jit", i);
      printf("%-24s %11.2fx %11.2fx\n", sets[i], regx > 0 ? libc / regx : 0.0,
             regx > 0 && pcre > 0 ? pcre / regx : 0.0);
    }
  }

 private:
  double lookup(const char *bench, int set) const {
    char name[64];
    snprintf(name, sizeof name, "%s/%d", bench, set);
    auto it = times_.find(name);
    return it == times_.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> times_;
};

}  // namespace

// cpu_ns - this thread's CPU time: the machine is shared, wall time is not ours
double cpu_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

// print_per_rule - nanoseconds per pair of each rule for every engine (--per-rule)
void print_per_rule() {
  Engines &e = engines();
  printf("%-60s %6s %8s %8s %8s\n", "rule", "pairs", "regx", "libc", "pcre2");
  for (size_t r = 0; r < sizeof kRules / sizeof kRules[0]; r++) {
    std::vector<Pair> pairs;
    for (const Pair &p : e.all) {
      if (p.rule == r) {
        pairs.push_back(p);
      }
    }
    double ns[3] = {0, 0, 0};
    int (*runs[3])(const Pair &) = {run_regx, run_libc, run_libc};
#ifdef HDRW_HAVE_PCRE2
    runs[2] = run_pcre;
#endif
    for (int k = 0; k < 3; k++) {
      const int rounds = 20000;
      int hits = 0;
      double t0 = cpu_ns();
      for (int i = 0; i < rounds; i++) {
        for (const Pair &p : pairs) {
          hits += runs[k](p);
        }
      }
      double t1 = cpu_ns();
      benchmark::DoNotOptimize(hits);
      ns[k] = (t1 - t0) / rounds / (double)pairs.size();
    }
    printf("%-60.60s %6zu %8.1f %8.1f %8.1f\n", kRules[r].pattern, pairs.size(), ns[0], ns[1],
           ns[2]);
  }
}

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (!setup()) {
    return 1;
  }
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--per-rule") == 0) {
      print_per_rule();
      return 0;
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  for (RegxPattern &p : engines().regx) {
    regx_free(&p);
  }
  for (regex_t &r : engines().libc) {
    regfree(&r);
  }
  return 0;
}
