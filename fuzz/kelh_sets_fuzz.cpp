// Fuzz target for the evaluation's sets: an arbitrary rule base and header
// block, evaluated by rulebase_evaluate (pairs answered from the sets' scans
// where the push bound allows) and by the plain walk (kelh_evaluate_with with
// match_header_line on every pair). The result, verdict, hit list and every
// log line must be the same, on a cold rule base, again on the states the
// first run built, and with a state budget that runs out.
//
// Input: byte 0 the threshold (signed), byte 1 the header length limit (low
// two bits) and the state budget (next two bits), bytes 2 and 3 the backtrack
// limit (little endian), then the patterns, one per line (a leading '+' makes
// a line of a multi-line rule that another line follows, a leading '.' its
// last line), up to the first NUL; the header block follows it.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "kelh_engine.h"
#include "kelh_sets.h"
#include "load_rules.h"
#include "tlvpr_hooks.h"
#include "tlvpr_mem.h"
#include "tvr_log_settings.h"

namespace {

const uint32_t kelh_sets_fuzz_header_limits[] = {0, 16, 80, 768};
const size_t kelh_sets_fuzz_caps[] = {0, 2048, 65536, (size_t)1 << 24};

std::vector<std::string> *kelh_sets_fuzz_log;  // the log lines of the running evaluation

// kelh_sets_fuzz_collect - the system-log reporter: keeps each line without
// its time stamp, process and thread
void kelh_sets_fuzz_collect(int type, int, uint32_t, const char *text) {
  const char *tail = strstr(text, "): ");
  kelh_sets_fuzz_log->push_back(std::to_string(type) + (tail != nullptr ? tail : text));
}

// kelh_sets_fuzz_check - a broken promise stops the fuzzer here
void kelh_sets_fuzz_check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

int kelh_sets_fuzz_plain(void *, RuleLine *line, uint32_t, char *text, uint32_t length,
                         uint32_t max_backtracks) {
  return match_header_line(&line->pattern, text, length, max_backtracks);
}

struct Outcome {
  uint32_t rc = 0;
  int verdict = 0;
  std::vector<int32_t> hits;
  std::vector<std::string> log;
  bool operator==(const Outcome &o) const {
    return rc == o.rc && verdict == o.verdict && hits == o.hits && log == o.log;
  }
};

Outcome kelh_sets_fuzz_run(const RuleBase *rb, const std::string &block, int32_t threshold,
                           uint32_t max_header, uint32_t max_backtracks, bool plain) {
  std::vector<char> buffer(block.begin(), block.end());
  buffer.push_back('\0');
  Outcome out;
  kelh_sets_fuzz_log = &out.log;
  RuleHit *hits = nullptr;
  const uint32_t length = static_cast<uint32_t>(block.size());
  out.rc = plain ? kelh_evaluate_with(buffer.data(), length, &hits, rb, threshold, max_header,
                                      max_backtracks, &out.verdict, kelh_sets_fuzz_plain, nullptr)
                 : rulebase_evaluate(buffer.data(), length, &hits, rb, threshold, max_header,
                                     max_backtracks, &out.verdict);
  kelh_sets_fuzz_log = nullptr;
  for (const RuleHit *hit = hits; hit != nullptr; hit = hit->next) {
    out.hits.push_back(hit->rule_id);
    out.hits.push_back(hit->weight);
  }
  kelh_free_hits(hits);
  return out;
}

// kelh_sets_fuzz_rules - the rule text of the patterns, one per line
std::string kelh_sets_fuzz_rules(const char *at, size_t size) {
  std::string text = "# version 04/18/2001/002\n";
  int id = 1;
  size_t from = 0;
  while (from < size && id <= 24) {
    const char *nl = static_cast<const char *>(memchr(at + from, '\n', size - from));
    const size_t end = nl != nullptr ? static_cast<size_t>(nl - at) : size;
    std::string pattern(at + from, end - from < 200 ? end - from : 200);
    from = end + 1;
    const char *type = "001&-";
    if (!pattern.empty() && (pattern[0] == '+' || pattern[0] == '.')) {
      type = pattern[0] == '+' ? "005&+" : "005&.";
      pattern.erase(0, 1);
    }
    if (pattern.empty()) {
      continue;
    }
    char head[32];
    snprintf(head, sizeof head, "%010d%03d%s", id, (id * 7) % 40, type);
    text += head + pattern + "\n";
    if (type[4] != '+') {
      ++id;  // a "&+" line shares its ID with the line after it
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tvr_log_configure("syslog", "7", "0", "DAY", "0");
  tlvpr_hooks.report_event = kelh_sets_fuzz_collect;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4 || size > 12288) {
    return 0;
  }
  const int32_t threshold = static_cast<int8_t>(data[0]);
  const uint32_t max_header = kelh_sets_fuzz_header_limits[data[1] & 3];
  const size_t cap = kelh_sets_fuzz_caps[(data[1] >> 2) & 3];
  const uint32_t max_backtracks = static_cast<uint32_t>(data[2] | data[3] << 8);
  const char *rest = reinterpret_cast<const char *>(data + 4);
  const size_t left = size - 4;
  const char *nul = static_cast<const char *>(memchr(rest, 0, left));
  if (nul == nullptr) {
    return 0;
  }
  std::string text = kelh_sets_fuzz_rules(rest, static_cast<size_t>(nul - rest));
  const std::string block(nul + 1, left - static_cast<size_t>(nul - rest) - 1);

  std::vector<std::string> load_log;
  kelh_sets_fuzz_log = &load_log;  // what loading logs is not compared
  FILE *stream = fmemopen(text.data(), text.size(), "r");
  RuleBase *rb = nullptr;
  const uint32_t loaded = stream != nullptr ? rulebase_parse(stream, &rb, 0) : 1;
  if (stream != nullptr) {
    fclose(stream);
  }
  kelh_sets_fuzz_log = nullptr;
  if (loaded != 0) {
    return 0;
  }
  kelh_sets_fuzz_check(rulebase_make_sets(rb, cap) == 0);
  const Outcome want = kelh_sets_fuzz_run(rb, block, threshold, max_header, max_backtracks, true);
  for (int pass = 0; pass < 2; ++pass) {  // cold states, then the states built
    const Outcome got = kelh_sets_fuzz_run(rb, block, threshold, max_header, max_backtracks, false);
    kelh_sets_fuzz_check(got == want);
  }
  rulebase_free(rb);
  return 0;
}
