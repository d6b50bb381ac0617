// Rule file fuzz target: arbitrary plain text through rulebase_load (encryption
// type 0, an in-memory stream) in lenient and in strict mode. A load either
// fails and hands out nothing, or gives a rule base whose lines are all valid,
// compiled, locked, linked both ways in file order and counted consistently; a
// strict load that succeeds gives the same rules as the lenient one. Every
// loaded rule base then evaluates one fixed header block with a small
// backtracking limit, and is freed.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "kelh_engine.h"
#include "load_rules.h"
#include "tlvpr_mem.h"

namespace {

const char rules_fuzz_block[] =
    "Received: from mx.example.org (mx.example.org [192.0.2.7])\r\n"
    "\tby relay.example.net with ESMTP id 4711\r\n"
    "From: \"Bulk Sender\" <offers@bulk.example>\r\n"
    "To: undisclosed-recipients:;\r\n"
    "Subject: free money, cheap offer aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n"
    "X-Mailer: BulkMailer 2.0\r\n"
    "\r\n";

// rules_fuzz_check - a broken loader contract stops the fuzzer here
void rules_fuzz_check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// rules_fuzz_load - one load of the text; the rule base or null
RuleBase *rules_fuzz_load(const uint8_t *data, size_t size, int strict) {
  FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  if (stream == nullptr) {
    return nullptr;
  }
  RuleBase *rb = reinterpret_cast<RuleBase *>(0x1);
  uint32_t rc = rulebase_load(&rb, stream, nullptr, 0, strict);
  fclose(stream);
  rules_fuzz_check(rc == 0 ? rb != nullptr : rb == nullptr);
  return rb;
}

// rules_fuzz_lines - checks the invariants of a loaded rule base; its line count
uint32_t rules_fuzz_lines(const RuleBase *rb) {
  rules_fuzz_check(rb->format_version == 1 || rb->format_version == 2);
  uint32_t lines = 0;
  uint32_t rules = 0;
  const RuleLine *previous = nullptr;
  for (const RuleLine *line = rb->first; line != nullptr; line = line->next) {
    rules_fuzz_check(line->previous == previous);
    rules_fuzz_check(line->flags == (RULE_LINE_VALID | RULE_LINE_LOCKED));
    rules_fuzz_check(line->compile_status == 0 && line->rule_id != 0);
    rules_fuzz_check((line->rule_type == RULE_TYPE_SINGLE && line->conjunction == RULE_CONJ_MORE) ||
                     (line->rule_type == RULE_TYPE_MULTI && (line->conjunction == RULE_CONJ_MORE ||
                                                             line->conjunction == RULE_CONJ_LAST)));
    lines++;
    if (!(line->rule_type == RULE_TYPE_MULTI && line->conjunction == RULE_CONJ_MORE)) {
      rules++;
    }
    previous = line;
  }
  uint32_t counted_rules = 0;
  uint32_t counted_patterns = 0;
  rules_fuzz_check(rulebase_count(rb, &counted_rules, &counted_patterns) == 0);
  rules_fuzz_check(counted_rules == rules && counted_patterns == lines);
  return lines;
}

// rules_fuzz_evaluate - the fixed block against the rule base; frees the hits
void rules_fuzz_evaluate(const RuleBase *rb) {
  char block[sizeof rules_fuzz_block];
  memcpy(block, rules_fuzz_block, sizeof block);
  RuleHit *hits = nullptr;
  int verdict = -1;
  uint32_t rc =
      rulebase_evaluate(block, (uint32_t)(sizeof block - 1), &hits, rb, 0, 768, 2000, &verdict);
  rules_fuzz_check(rc == 0 && (verdict == 0 || verdict == 1));
  int32_t total = 0;
  while (hits != nullptr) {
    RuleHit *next = hits->next;
    total += hits->weight;
    tlvpr_free(hits);
    hits = next;
  }
  rules_fuzz_check(verdict == (total > 0 ? 1 : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 16384) {
    return 0;
  }
  RuleBase *lenient = rules_fuzz_load(data, size, 0);
  RuleBase *strict = rules_fuzz_load(data, size, 1);
  if (strict != nullptr) {
    // Nothing was bad, so the lenient load kept every line too.
    rules_fuzz_check(lenient != nullptr && rules_fuzz_lines(strict) == rules_fuzz_lines(lenient));
  }
  if (lenient != nullptr) {
    rules_fuzz_lines(lenient);
    rules_fuzz_evaluate(lenient);
  }
  rulebase_free(strict);
  rulebase_free(lenient);
  return 0;
}
