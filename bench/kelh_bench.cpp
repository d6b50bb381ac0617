// kelh_bench - header evaluation over generated messages and rule bases
//
// Generated header blocks (1 to 8 KB, median about 3 KB, Received chains, folded
// lines, DKIM signatures) are evaluated against generated rule bases of 100,
// 1,000 and 10,000 rules (most on a literal header name, some on every line, a
// few multi-line rules and negative weights) with threshold 0, so every rule
// line runs. The same walk (splitting, name hashes, index, locks) runs with
// three matchers: the engine's own (rulebase_evaluate, and through the matcher
// callback), glibc regexec and PCRE2-JIT. Before timing, the three are checked
// to give identical verdicts and hit lists on every message. Also measured:
// memory per rule and the time to load and compile an encrypted 10,000-rule
// file. A table of ratios (best of the repetitions, CPU time) follows the
// benchmark output; on a shared machine run with --benchmark_repetitions=3
// --benchmark_enable_random_interleaving=true, so no matcher always runs first.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <regex.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef HDRW_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

#include "encryption.h"
#include "kelh_engine.h"
#include "load_rules.h"
#include "tlvpr_mem.h"
#include "tlvpr_tmpfile.h"

namespace {

constexpr uint32_t kMaxHeaderLength = 768;
constexpr uint32_t kMaxBacktracks = 25000;
constexpr char kKey[] = "8C6E3A1F0B2D4E6F8091A2B3C4D5E6F7";
constexpr int kMessages = 400;

// ---------------------------------------------------------------- generators

const char *const kSpamWords[] = {
    "viagra", "casino", "lottery", "winner", "prize", "cheap", "discount", "pills",
    "loan", "mortgage", "refinance", "bitcoin", "crypto", "invest", "profit", "bonus",
    "offer", "free", "urgent", "exclusive", "limited", "deal", "replica", "watches",
    "pharmacy", "meds", "weight", "diet", "dating", "singles", "inheritance", "beneficiary",
    "million", "dollars", "transfer", "claim", "congratulations", "selected", "guaranteed", "income",
    "unsubscribe", "click", "verify", "account", "suspended", "password", "invoice", "payment",
    "refund", "shipping", "delivery", "parcel", "tracking", "gift", "card", "voucher",
};
const char *const kHamWords[] = {
    "meeting", "agenda", "project", "review", "report", "quarterly", "update", "schedule",
    "minutes", "notes", "draft", "proposal", "budget", "team", "lunch", "tomorrow",
    "release", "build", "patch", "kernel", "conference", "travel", "family", "photos",
    "weekend", "question", "thanks", "hello", "regards", "status", "ticket", "backup",
};
const char *const kTlds[] = {"com", "net", "org", "de", "ru", "cn", "biz", "info", "co.uk", "io"};
const char *const kMailers[] = {"Microsoft Outlook 16.0", "Apple Mail (2.3654)",
                                "Mozilla Thunderbird 115.3", "PHPMailer 6.8.1",
                                "The Bat! (v9.4.5) Professional", "Roundcube Webmail/1.6.5",
                                "MailChimp Mailer", "sendmail 8.17.1"};

template <class T, size_t N>
const T &pick(std::mt19937 &random, const T (&list)[N]) {
  return list[random() % N];
}

std::string word(std::mt19937 &random, int spam_percent) {
  return static_cast<int>(random() % 100) < spam_percent ? pick(random, kSpamWords)
                                                          : pick(random, kHamWords);
}

std::string host(std::mt19937 &random) {
  static const char *const parts[] = {"mail", "mx", "smtp", "relay", "out", "mta", "edge", "in"};
  std::string name = pick(random, parts);
  name += std::to_string(random() % 40);
  name += ".";
  name += random() % 3 == 0 ? pick(random, kSpamWords) : pick(random, kHamWords);
  name += "-";
  name += pick(random, kHamWords);
  name += ".";
  name += pick(random, kTlds);
  return name;
}

std::string ip(std::mt19937 &random) {
  char text[32];
  if (random() % 4 == 0) {
    snprintf(text, sizeof text, "192.168.%u.%u", static_cast<unsigned>(random() % 256),
             static_cast<unsigned>(random() % 256));
  } else {
    snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(1 + random() % 223),
             static_cast<unsigned>(random() % 256), static_cast<unsigned>(random() % 256),
             static_cast<unsigned>(1 + random() % 254));
  }
  return text;
}

std::string hex(std::mt19937 &random, int count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (int n = 0; n < count; ++n) {
    text += digits[random() % 16];
  }
  return text;
}

std::string base64(std::mt19937 &random, int count) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (int n = 0; n < count; ++n) {
    text += alphabet[random() % 64];
  }
  return text;
}

std::string address(std::mt19937 &random) {
  return std::string(pick(random, kHamWords)) + "." + pick(random, kHamWords) + "@" +
         pick(random, kHamWords) + "." + pick(random, kTlds);
}

std::string received(std::mt19937 &random, int minute) {
  const std::string from = host(random);
  char text[512];
  snprintf(text, sizeof text,
           "Received: from %s (%s [%s])\r\n\tby %s (Postfix) with ESMTPS id %s\r\n\tfor <%s>; "
           "Tue, 8 Dec 2026 02:%02d:%02u +0000\r\n",
           from.c_str(), from.c_str(), ip(random).c_str(), host(random).c_str(),
           hex(random, 10).c_str(), address(random).c_str(), minute % 60,
           static_cast<unsigned>(random() % 60));
  return text;
}

// One header block of about target bytes (CR LF line ends, folded lines).
std::string header_block(std::mt19937 &random, size_t target) {
  const int spam = static_cast<int>(random() % 3) * 30;  // 0, 30 or 60 percent spam words
  std::string tail;
  tail += "From: \"" + word(random, spam) + " " + word(random, spam) + "\" <" + address(random) +
          ">\r\n";
  tail += "To: " + address(random) + ", " + address(random) + "\r\n";
  if (random() % 2 == 0) {
    tail += "Cc: " + address(random) + ",\r\n " + address(random) + "\r\n";
  }
  tail += "Subject: " + word(random, spam) + " " + word(random, spam) + " " + word(random, spam) +
          (random() % 4 == 0 ? " $" + std::to_string(random() % 900 + 100) + ",000" : "") + "\r\n";
  tail += "Date: Tue, 8 Dec 2026 02:41:07 +0000\r\n";
  tail += "Message-ID: <" + hex(random, 16) + "." + word(random, spam) + "@" + host(random) +
          ">\r\n";
  tail += "MIME-Version: 1.0\r\n";
  tail += std::string("Content-Type: ") +
          (random() % 2 == 0 ? "multipart/alternative;\r\n\tboundary=\"----=_Part_" +
                                   hex(random, 12) + "\""
                             : "text/plain; charset=\"utf-8\"") +
          "\r\n";
  tail += std::string("X-Mailer: ") + pick(random, kMailers) + "\r\n";
  if (random() % 2 == 0) {
    tail += "List-Unsubscribe: <mailto:unsubscribe@" + host(random) + ">,\r\n <https://" +
            host(random) + "/unsubscribe?id=" + hex(random, 20) + ">\r\n";
  }
  std::string head = "Return-Path: <" + address(random) + ">\r\n";
  head += "Delivered-To: " + address(random) + "\r\n";
  std::string middle;
  if (random() % 3 != 0) {
    middle += "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=" + host(random) +
              ";\r\n\ts=selector1; t=1765161667;\r\n\th=from:to:subject:date:message-id;\r\n\tbh=" +
              base64(random, 44) + ";\r\n\tb=";
    for (int n = 0; n < 5; ++n) {
      middle += base64(random, 70) + "\r\n\t ";
    }
    middle += base64(random, 20) + "\r\n";
  }
  middle += "Authentication-Results: " + host(random) + ";\r\n\tdkim=pass header.d=" +
            host(random) + ";\r\n\tspf=pass smtp.mailfrom=" + address(random) + "\r\n";
  std::string chain;
  int minute = static_cast<int>(random() % 60);
  while (head.size() + chain.size() + middle.size() + tail.size() < target) {
    chain += received(random, minute++);
  }
  return head + chain + middle + tail + "\r\n";
}

std::vector<std::string> generate_messages(int count) {
  std::mt19937 random(4711);
  std::lognormal_distribution<double> size(std::log(3000.0), 0.45);
  std::vector<std::string> blocks;
  while (static_cast<int>(blocks.size()) < count) {
    const size_t target = static_cast<size_t>(size(random));
    std::string block = header_block(random, target);
    if (block.size() >= 1024 && block.size() <= 8192) {
      blocks.push_back(block);
    }
  }
  return blocks;
}

// Rule lines of count rules in format version 2. Patterns keep to what POSIX
// extended syntax and PCRE2 read alike.
std::string generate_rules(int count) {
  std::mt19937 random(1998u + static_cast<unsigned>(count));
  std::string text = "# version 04/18/2001/002\n";
  char line[400];
  for (int id = 1; id <= count; ++id) {
    int weight = static_cast<int>(random() % 60) + 1;
    if (random() % 30 == 0) {
      weight = -static_cast<int>(random() % 50) - 1;
    }
    const std::string w1 = pick(random, kSpamWords);
    const std::string w2 = pick(random, kSpamWords);
    const std::string w3 = random() % 2 == 0 ? pick(random, kSpamWords) : pick(random, kHamWords);
    const std::string tld = pick(random, kTlds);
    const unsigned kind = random() % 100;
    std::string pattern;
    if (kind < 5) {  // multi-line rule: two lines, the weight on the "&." line
      snprintf(line, sizeof line, "%010d%03d005&+^From:.*(%s|%s)\n", id, 0, w1.c_str(), w2.c_str());
      text += line;
      snprintf(line, sizeof line, "%010d%03d005&.^Subject:.*%s\n", id, weight < 0 ? 10 : weight,
               w3.c_str());
      text += line;
      continue;
    }
    if (kind < 17) {  // every header line
      switch (random() % 4) {
        case 0: pattern = "(" + w1 + "|" + w2 + ") " + w3; break;
        case 1: pattern = w1 + "[0-9]{2,}"; break;
        case 2: pattern = "[$][0-9]+,[0-9]{3}.*" + w1; break;
        default: pattern = "https?://[a-z0-9.-]*" + w1 + "[a-z0-9.-]*/"; break;
      }
    } else {
      switch (random() % 14) {
        case 0: pattern = "^Subject:.*(" + w1 + "|" + w2 + "|" + w3 + ")"; break;
        case 1: pattern = "^Subject:.*" + w1 + ".*" + w2; break;
        case 2: pattern = "^Subject: *[A-Z!]{8,}"; break;
        case 3: pattern = "^From:.*@[a-z0-9.-]*" + w3 + "[.](" + tld + "|biz|info)>?$"; break;
        case 4: pattern = "^From: \"?(" + w1 + "|" + w2 + ")"; break;
        case 5: pattern = "^Received: from [a-z0-9.-]*" + w1 + "[a-z0-9.-]* [(]"; break;
        case 6:
          pattern = "^Received:.*[[](192[.]168|10)[.][0-9]+[.][0-9]+[]].*" + w3;
          break;
        case 7: pattern = "^Message-ID: <[0-9A-F]{16}[.]" + w1 + "@"; break;
        case 8: pattern = "^X-Mailer: .*(PHPMailer|Bat!) .*" + std::to_string(random() % 10); break;
        case 9: pattern = "^Content-Type: text/(html|plain); charset=\"?(koi8-r|big5|" + w1 + ")"; break;
        case 10: pattern = "^To:.*(undisclosed|" + w1 + ")"; break;
        case 11: pattern = "^Return-Path: <[a-z.]*" + w3 + "[a-z.]*@"; break;
        case 12: pattern = "^List-Unsubscribe:.*" + w3 + "-[a-z]+[.]" + tld; break;
        default: pattern = "^Date: .* [+-]0[0-9]00 [(]" + w1 + "[)]"; break;
      }
    }
    snprintf(line, sizeof line, "%010d%03d001&-%s\n", id, weight, pattern.c_str());
    if (weight < 0) {
      snprintf(line, sizeof line, "%010d-%02d001&-%s\n", id, -weight, pattern.c_str());
    }
    text += line;
  }
  return text;
}

// ---------------------------------------------------------------- rule sets

struct RuleSet {
  int rules = 0;
  RuleBase *base = nullptr;
  uint32_t lines = 0;
  std::vector<const char *> patterns;  // per rule line, owned by texts
  std::vector<std::string> texts;
  std::vector<regex_t> posix;
#ifdef HDRW_HAVE_PCRE2
  std::vector<pcre2_code *> pcre;
  pcre2_match_data *match_data = nullptr;
#endif
  size_t regx_bytes = 0;
  size_t posix_bytes = 0;
  size_t pcre_bytes = 0;
  double calls_per_message = 0;  // matcher calls of one evaluation, on average
};

size_t heap_in_use() { return mallinfo2().uordblks; }

RuleBase *parse_plain(const std::string &text) {
  std::string copy = text;
  FILE *stream = fmemopen(copy.data(), copy.size(), "r");
  RuleBase *rb = nullptr;
  if (stream == nullptr || rulebase_parse(stream, &rb, 1) != 0) {
    fprintf(stderr, "kelh_bench: generated rules do not load\n");
    exit(1);
  }
  fclose(stream);
  return rb;
}

void build_rule_set(RuleSet *set, int rules) {
  set->rules = rules;
  const std::string text = generate_rules(rules);
  size_t before = heap_in_use();
  set->base = parse_plain(text);
  set->regx_bytes = heap_in_use() - before;
  for (const RuleLine *line = set->base->first; line != nullptr; line = line->next) {
    ++set->lines;
  }
  size_t pos = text.find('\n') + 1;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    set->texts.push_back(text.substr(pos + 18, end - pos - 18));
    pos = end + 1;
  }
  before = heap_in_use();
  set->posix.resize(set->texts.size());
  for (size_t n = 0; n < set->texts.size(); ++n) {
    if (regcomp(&set->posix[n], set->texts[n].c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
      fprintf(stderr, "kelh_bench: regcomp refuses %s\n", set->texts[n].c_str());
      exit(1);
    }
  }
  set->posix_bytes = heap_in_use() - before;
#ifdef HDRW_HAVE_PCRE2
  before = heap_in_use();
  for (const std::string &pattern : set->texts) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()),
                                     PCRE2_ZERO_TERMINATED, 0, &error, &offset, nullptr);
    if (code == nullptr || pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) != 0) {
      fprintf(stderr, "kelh_bench: PCRE2 refuses %s\n", pattern.c_str());
      exit(1);
    }
    set->pcre.push_back(code);
  }
  set->pcre_bytes = heap_in_use() - before;
  set->match_data = pcre2_match_data_create(1, nullptr);
#endif
}

// ---------------------------------------------------------------- matchers

int match_regx(void *, RuleLine *line, uint32_t, char *text, uint32_t length,
               uint32_t max_backtracks) {
  return match_header_line(&line->pattern, text, length, max_backtracks);
}

int match_posix(void *context, RuleLine *, uint32_t index, char *text, uint32_t length,
                uint32_t) {
  RuleSet *set = static_cast<RuleSet *>(context);
  const char saved = text[length];
  text[length] = '\0';
  const int rc = regexec(&set->posix[index], text, 0, nullptr, 0);
  text[length] = saved;
  return rc == 0 ? REGX_OK : REGX_NOMATCH;
}

// The engine's matcher, counting the calls of the walk.
uint64_t g_calls = 0;

int match_counted(void *, RuleLine *line, uint32_t, char *text, uint32_t length,
                  uint32_t max_backtracks) {
  ++g_calls;
  return match_header_line(&line->pattern, text, length, max_backtracks);
}

#ifdef HDRW_HAVE_PCRE2
int match_pcre(void *context, RuleLine *, uint32_t index, char *text, uint32_t length,
               uint32_t) {
  RuleSet *set = static_cast<RuleSet *>(context);
  const int rc = pcre2_jit_match(set->pcre[index], reinterpret_cast<PCRE2_SPTR>(text), length, 0,
                                 0, set->match_data, nullptr);
  return rc >= 0 ? REGX_OK : REGX_NOMATCH;
}
#endif

enum Matcher { REGX_DIRECT, REGX_CALLBACK, GLIBC, PCRE2_JIT, REGX_COUNTED };
const char *const kMatcherNames[] = {"regx", "regx_callback", "glibc", "pcre2_jit", "counted"};

struct Outcome {
  uint32_t rc = 0;
  int verdict = 0;
  std::vector<int32_t> hits;
  bool operator==(const Outcome &o) const {
    return rc == o.rc && verdict == o.verdict && hits == o.hits;
  }
};

// One evaluation of one message with one matcher; buffer is the scratch copy.
Outcome run_one(RuleSet *set, Matcher matcher, const std::string &block, std::vector<char> *buffer,
                bool keep_hits) {
  buffer->assign(block.begin(), block.end());
  RuleHit *hits = nullptr;
  Outcome out;
  const uint32_t length = static_cast<uint32_t>(buffer->size());
  switch (matcher) {
    case REGX_DIRECT:
      out.rc = rulebase_evaluate(buffer->data(), length, &hits, set->base, 0, kMaxHeaderLength,
                                 kMaxBacktracks, &out.verdict);
      break;
    case REGX_CALLBACK:
      out.rc = kelh_evaluate_with(buffer->data(), length, &hits, set->base, 0, kMaxHeaderLength,
                                  kMaxBacktracks, &out.verdict, match_regx, set);
      break;
    case REGX_COUNTED:
      out.rc = kelh_evaluate_with(buffer->data(), length, &hits, set->base, 0, kMaxHeaderLength,
                                  kMaxBacktracks, &out.verdict, match_counted, set);
      break;
    case GLIBC:
      out.rc = kelh_evaluate_with(buffer->data(), length, &hits, set->base, 0, kMaxHeaderLength,
                                  kMaxBacktracks, &out.verdict, match_posix, set);
      break;
    case PCRE2_JIT:
#ifdef HDRW_HAVE_PCRE2
      out.rc = kelh_evaluate_with(buffer->data(), length, &hits, set->base, 0, kMaxHeaderLength,
                                  kMaxBacktracks, &out.verdict, match_pcre, set);
#endif
      break;
  }
  while (hits != nullptr) {
    if (keep_hits) {
      out.hits.push_back(hits->rule_id);
      out.hits.push_back(hits->weight);
    }
    RuleHit *next = hits->next;
    tlvpr_free(hits);
    hits = next;
  }
  return out;
}

std::vector<std::string> g_messages;
std::map<int, RuleSet> g_sets;
std::map<std::string, double> g_ns;  // benchmark name -> CPU ns per iteration

void BM_Evaluate(benchmark::State &state, int rules, Matcher matcher) {
  RuleSet *set = &g_sets[rules];
  std::vector<char> buffer;
  size_t next = 0;
  int64_t bytes = 0;
  int64_t spam = 0;
  for (auto _ : state) {
    const std::string &block = g_messages[next];
    next = (next + 1) % g_messages.size();
    const Outcome out = run_one(set, matcher, block, &buffer, false);
    benchmark::DoNotOptimize(out.verdict);
    bytes += static_cast<int64_t>(block.size());
    spam += out.verdict;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
  state.counters["rule_lines"] = set->lines;
  state.counters["ns_per_rule_line"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * set->lines,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["spam_share"] = static_cast<double>(spam) / static_cast<double>(state.iterations());
}

std::string g_encrypted_path;

void BM_LoadEncrypted(benchmark::State &state) {
  uint32_t rules = 0;
  for (auto _ : state) {
    FILE *stream = fopen(g_encrypted_path.c_str(), "r");
    RuleBase *rb = nullptr;
    const uint32_t rc =
        stream == nullptr ? 1 : rulebase_load(&rb, stream, kKey, TLV_ENC_DES_BASE64, 0);
    if (stream != nullptr) {
      fclose(stream);
    }
    if (rc != 0) {
      state.SkipWithError("load failed");
      break;
    }
    uint32_t patterns = 0;
    rules = 0;
    rulebase_count(rb, &rules, &patterns);
    rulebase_free(rb);
  }
  state.counters["rules"] = rules;
}

// Writes the encrypted 10,000-rule file with the container writer.
std::string write_encrypted_rules() {
  const std::string text = generate_rules(10000);
  const std::string path = std::string(tlvpr_temp_dir()) + "/kelh_bench_kelv";
  FILE *plain = tmpfile();
  FILE *stored = fopen(path.c_str(), "w+b");
  if (plain == nullptr || stored == nullptr) {
    fprintf(stderr, "kelh_bench: cannot write %s\n", path.c_str());
    exit(1);
  }
  fwrite(text.data(), 1, text.size(), plain);
  rewind(plain);
  if (tlvEncrypt(plain, stored, kKey, TLV_ENC_DES_BASE64) != 0) {
    fprintf(stderr, "kelh_bench: cannot encrypt the rules\n");
    exit(1);
  }
  fclose(plain);
  fclose(stored);
  return path;
}

bool check_identical(int rules) {
  RuleSet *set = &g_sets[rules];
  std::vector<char> buffer;
  int spam = 0;
  int mismatches = 0;
  size_t hits = 0;
  for (size_t m = 0; m < g_messages.size(); ++m) {
    const Outcome want = run_one(set, REGX_DIRECT, g_messages[m], &buffer, true);
    spam += want.verdict;
    hits += want.hits.size() / 2;
    for (Matcher other : {REGX_CALLBACK, GLIBC
#ifdef HDRW_HAVE_PCRE2
                          , PCRE2_JIT
#endif
         }) {
      if (!(run_one(set, other, g_messages[m], &buffer, true) == want)) {
        if (mismatches++ < 3) {
          fprintf(stderr, "kelh_bench: %d rules, message %zu: %s differs from regx\n", rules, m,
                  kMatcherNames[other]);
        }
      }
    }
  }
  g_calls = 0;
  for (const std::string &block : g_messages) {
    run_one(set, REGX_COUNTED, block, &buffer, false);
  }
  set->calls_per_message = static_cast<double>(g_calls) / static_cast<double>(g_messages.size());
  printf("%5d rules (%u rule lines): %d of %zu messages spam, %.1f hits per message, verdicts and "
         "hit lists %s\n",
         rules, set->lines, spam, g_messages.size(),
         static_cast<double>(hits) / static_cast<double>(g_messages.size()),
         mismatches == 0 ? "identical for every matcher" : "DIFFER");
  return mismatches == 0;
}

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        // CPU time, the best of the repetitions: the machine is shared, so wall
        // time and single runs would count other work.
        const double ns = run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
        auto [it, fresh] = g_ns.emplace(run.benchmark_name(), ns);
        if (!fresh && ns < it->second) {
          it->second = ns;
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void print_table() {
  printf("\nEvaluation (CPU time), threshold 0, maxHeaderLength %u, maxBackTracks %u\n",
         kMaxHeaderLength, kMaxBacktracks);
  printf("%7s %12s %12s %12s %14s %10s %10s %12s %10s\n", "rules", "regx msg/s", "glibc msg/s",
         "pcre2 msg/s", "regx ns/line", "x glibc", "x pcre2", "cb overhead", "calls/msg");
  for (auto &[rules, set] : g_sets) {
    auto ns = [&](Matcher m) {
      auto it = g_ns.find("evaluate/" + std::string(kMatcherNames[m]) + "/" + std::to_string(rules));
      return it == g_ns.end() ? 0.0 : it->second;
    };
    const double regx = ns(REGX_DIRECT);
    const double glibc = ns(GLIBC);
    const double pcre = ns(PCRE2_JIT);
    const double callback = ns(REGX_CALLBACK);
    if (regx <= 0) {
      continue;  // not run (benchmark filter)
    }
    printf("%7d %12.0f %12.0f %12.0f %14.2f %10.2f %10.2f %11.1f%% %10.0f\n", rules, 1e9 / regx,
           glibc > 0 ? 1e9 / glibc : 0.0, pcre > 0 ? 1e9 / pcre : 0.0, regx / set.lines,
           glibc / regx, pcre > 0 ? pcre / regx : 0.0, (callback / regx - 1) * 100,
           set.calls_per_message);
  }
  const double t100 = g_ns["evaluate/regx/100"];
  const double t1000 = g_ns["evaluate/regx/1000"];
  const double t10000 = g_ns["evaluate/regx/10000"];
  if (t100 > 0 && t1000 > 0 && t10000 > 0) {
    printf("cost growth (regx): 100 -> 1,000 rules x%.2f, 1,000 -> 10,000 rules x%.2f\n",
           t1000 / t100, t10000 / t1000);
  }
  printf("\nMemory per rule line (heap in use after compiling, divided by rule lines)\n");
  for (auto &[rules, set] : g_sets) {
    printf("%7d rules: regx %.0f B (rule base incl.), glibc %.0f B, pcre2-jit %.0f B\n", rules,
           static_cast<double>(set.regx_bytes) / set.lines,
           static_cast<double>(set.posix_bytes) / set.lines,
           static_cast<double>(set.pcre_bytes) / set.lines);
  }
  auto load = g_ns.find("load_encrypted/10000");
  if (load != g_ns.end()) {
    printf("\nLoad and compile an encrypted 10,000-rule file: %.1f ms\n", load->second / 1e6);
  }
}

}  // namespace

int main(int argc, char **argv) {
  g_messages = generate_messages(kMessages);
  std::vector<size_t> sizes;
  size_t lines = 0;
  for (const std::string &block : g_messages) {
    sizes.push_back(block.size());
    lines += static_cast<size_t>(std::count(block.begin(), block.end(), '\n'));
  }
  std::sort(sizes.begin(), sizes.end());
  printf("%zu header blocks: %zu to %zu bytes, median %zu, %.1f physical lines each\n",
         g_messages.size(), sizes.front(), sizes.back(), sizes[sizes.size() / 2],
         static_cast<double>(lines) / static_cast<double>(g_messages.size()));

  bool identical = true;
  for (int rules : {100, 1000, 10000}) {
    build_rule_set(&g_sets[rules], rules);
    identical = check_identical(rules) && identical;
  }
  g_encrypted_path = write_encrypted_rules();

  for (int rules : {100, 1000, 10000}) {
    for (Matcher m : {REGX_DIRECT, REGX_CALLBACK, GLIBC
#ifdef HDRW_HAVE_PCRE2
                      , PCRE2_JIT
#endif
         }) {
      benchmark::RegisterBenchmark(
          ("evaluate/" + std::string(kMatcherNames[m]) + "/" + std::to_string(rules)).c_str(),
          BM_Evaluate, rules, m)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::RegisterBenchmark("load_encrypted/10000", BM_LoadEncrypted)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(5);

  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_table();
  benchmark::Shutdown();
  remove(g_encrypted_path.c_str());
  return identical ? 0 : 1;
}
