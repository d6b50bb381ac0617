// Header evaluation fuzz target: arbitrary header blocks split into header
// lines and evaluated against a fixed rule base (header-name rules, rules for
// every line, multi-line rules, negative weights, patterns that spend the
// backtracking limit), loaded once from the embedded rule text. The first two
// input bytes choose the threshold (signed), maxHeaderLength and maxBackTracks;
// the rest is the block. Checked: the split lines are well-formed and lie in
// the rewritten buffer; the rewritten bytes and the lines of split_header_lines
// and of the rule walk equal those of the byte-by-byte reference
// (tests/support/unfold_reference.h); the hits are linked both ways, come in rule-base order,
// carry their rule's weight, and the verdict follows from their sum and the
// threshold.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kelh_engine.h"
#include "load_rules.h"
#include "tlvpr_mem.h"
#include "unfold_reference.h"

namespace {

const char kelh_fuzz_rules[] =
    "# version 04/18/2001/002\n"
    "# header-name rules\n"
    "0000000001050001&-^Subject:.*(free|cheap) (money|pills|offer)\n"
    "0000000002030001&-^From:.*@(bulk|spam)\\.example\n"
    "0000000003025001&-^X-Mailer: .*[Bb]ulk\n"
    "0000000004015001&-^To: undisclosed-recipients\n"
    "0000000005010001&-^Message-ID: <[0-9A-F]{8,}@\n"
    "\n"
    "# rules for every header line\n"
    "0000000010020001&-money back guarantee\n"
    "0000000011010001&-[0-9]{3}-[0-9]{3}-[0-9]{4}\n"
    "0000000012005001&-(a|aa)*b\n"
    "0000000013040001&-^(From|Reply-To):.*\\.(ru|cn|biz)>?$\n"
    "# multi-line rules: weight of the last line, counted once\n"
    "0000000100000005&+^From:.*bulk\n"
    "0000000100060005&.^Subject:.*offer\n"
    "0000000101000005&+^Received: from .*\\[10\\.\n"
    "0000000101000005&+^X-Priority: [12]\n"
    "0000000101045005&.^Content-Type: text/html\n"
    "# negative weights\n"
    "0000000200-50001&-^X-Trusted: yes\n"
    "0000000201-20001&-^Received: from [a-z.]+\\.example\\.org \n"
    "0000000202-10005&+^List-Id:\n"
    "0000000202-15005&.^List-Unsubscribe:\n"
    "# close to the backtracking limit\n"
    "0000000300070001&-^Subject: (.*)*x$\n"
    "0000000301001001&-((a*)*)*c\n";

const uint32_t kelh_fuzz_header_limits[] = {0, 16, 80, 768};
const uint32_t kelh_fuzz_backtracks[] = {50, 1000, 5000, 25000};

RuleBase *kelh_fuzz_base;                      // the fixed rule base, built at start
std::vector<const RuleLine *> kelh_fuzz_ends;  // the lines that make hits, in order
size_t kelh_fuzz_rule_lines;                   // the rule base's lines

// kelh_fuzz_check - a broken engine contract stops the fuzzer here
void kelh_fuzz_check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// kelh_fuzz_ordinary - a byte that split_header_lines keeps as it is
bool kelh_fuzz_ordinary(unsigned char c) { return (c >= 0x21 && c <= 0x7E) || c >= 0x80; }

// kelh_fuzz_same_line - a line the engine made is the reference's line
void kelh_fuzz_same_line(const hdrw_test::UnfoldedLine &want, const char *buffer, const char *text,
                         uint32_t length) {
  kelh_fuzz_check((size_t)(text - buffer) == want.offset && length == want.text.size() &&
                  memcmp(text, want.text.data(), length) == 0);
}

// kelh_fuzz_walked - the plain walk's matcher: checks that each rule line is
// given the reference lines of its name in block order; never matches
struct KelhFuzzWalk {
  const char *buffer;
  const hdrw_test::UnfoldReference *want;
  std::vector<size_t> next;  // per rule line: the reference line it is to be given next
};
int kelh_fuzz_walked(void *context, RuleLine *rule, uint32_t index, char *text, uint32_t length,
                     uint32_t) {
  KelhFuzzWalk *walk = (KelhFuzzWalk *)context;
  const std::vector<hdrw_test::UnfoldedLine> &lines = walk->want->lines;
  size_t &next = walk->next.at(index);
  while (next < lines.size() && rule->name_hash != 0 && rule->name_hash != lines[next].name_hash) {
    next++;
  }
  kelh_fuzz_check(next < lines.size());
  kelh_fuzz_same_line(lines[next++], walk->buffer, text, length);
  return 1;  // REGX_NOMATCH
}

// kelh_fuzz_split - split a copy of the block and check every line, against
// the reference and as the rule walk sees them
void kelh_fuzz_split(const uint8_t *data, size_t size) {
  const hdrw_test::UnfoldReference want =
      hdrw_test::unfold_reference(std::string((const char *)data, size));
  std::vector<char> buffer(data, data + size);
  buffer.push_back('\0');
  KelhFuzzWalk walk = {buffer.data(), &want, std::vector<size_t>(kelh_fuzz_rule_lines)};
  RuleHit *hits = nullptr;
  int verdict = -1;
  uint32_t rc = kelh_evaluate_with(buffer.data(), (uint32_t)size, &hits, kelh_fuzz_base, 0, 0, 1000,
                                   &verdict, kelh_fuzz_walked, &walk);
  kelh_fuzz_check(rc == (want.ok ? 0u : 10013u) && hits == nullptr);
  // The first rule line, a single-line one, is given every line of its name.
  for (size_t k = walk.next[0]; k < want.lines.size(); k++) {
    kelh_fuzz_check(kelh_fuzz_base->first->name_hash != 0 &&
                    want.lines[k].name_hash != kelh_fuzz_base->first->name_hash);
  }
  kelh_fuzz_check(memcmp(buffer.data(), want.buffer.data(), size) == 0);

  buffer.assign(data, data + size);
  buffer.push_back('\0');
  HeaderLine *lines = nullptr;
  rc = split_header_lines(buffer.data(), (uint32_t)size, &lines);
  kelh_fuzz_check(rc == 0 ? lines != nullptr : rc == 10013 && lines == nullptr);
  kelh_fuzz_check(memcmp(buffer.data(), want.buffer.data(), size) == 0);
  size_t number = 0;
  for (const HeaderLine *h = lines; h != nullptr; h = h->next, number++) {
    kelh_fuzz_check(number < want.lines.size());
    kelh_fuzz_same_line(want.lines[number], buffer.data(), h->text, h->length);
    kelh_fuzz_check(h->name_hash == want.lines[number].name_hash);
  }
  kelh_fuzz_check(number == want.lines.size());
  const char *expected = buffer.data();
  for (const HeaderLine *h = lines; h != nullptr; h = h->next) {
    kelh_fuzz_check(h->text == expected);
    kelh_fuzz_check(h->text + h->length < buffer.data() + size);
    kelh_fuzz_check((unsigned char)h->text[h->length] == KELH_LINE_END);
    for (uint32_t k = 0; k < h->length; k++) {
      unsigned char c = (unsigned char)h->text[k];
      kelh_fuzz_check(kelh_fuzz_ordinary(c) || (c == ' ' && (k == 0 || h->text[k - 1] != ' ')));
      // Only the first line may start with a space (white space opening the block).
      kelh_fuzz_check(c != ' ' || k != 0 || h == lines);
    }
    kelh_fuzz_check(h->name_hash == kelh_name_hash(h->text, h->length));
    expected = h->text + h->length + 1;
  }
  kelh_free_header_lines(lines);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  FILE *stream = fmemopen(const_cast<char *>(kelh_fuzz_rules), sizeof kelh_fuzz_rules - 1, "rb");
  if (stream == nullptr || rulebase_load(&kelh_fuzz_base, stream, nullptr, 0, 1) != 0) {
    fprintf(stderr, "kelh_fuzz: the embedded rule base does not load\n");
    __builtin_trap();
  }
  fclose(stream);
  for (const RuleLine *line = kelh_fuzz_base->first; line != nullptr; line = line->next) {
    kelh_fuzz_rule_lines++;
    if (line->rule_type == RULE_TYPE_SINGLE || line->conjunction == RULE_CONJ_LAST) {
      kelh_fuzz_ends.push_back(line);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 16384) {
    return 0;
  }
  int32_t threshold = (int8_t)data[0];
  uint32_t max_header = kelh_fuzz_header_limits[data[1] & 3];
  uint32_t max_backtracks = kelh_fuzz_backtracks[(data[1] >> 2) & 3];
  data += 2;
  size -= 2;
  kelh_fuzz_split(data, size);

  std::vector<char> buffer(data, data + size);
  buffer.push_back('\0');
  RuleHit *hits = nullptr;
  int verdict = -1;
  uint32_t rc = rulebase_evaluate(buffer.data(), (uint32_t)size, &hits, kelh_fuzz_base, threshold,
                                  max_header, max_backtracks, &verdict);
  kelh_fuzz_check(rc == 0 || (rc == 10013 && hits == nullptr && verdict == 0));
  int64_t total = 0;
  size_t next_end = 0;
  const RuleHit *previous = nullptr;
  while (hits != nullptr) {
    kelh_fuzz_check(hits->previous == previous);
    while (next_end < kelh_fuzz_ends.size() && kelh_fuzz_ends[next_end]->rule_id != hits->rule_id) {
      next_end++;
    }
    kelh_fuzz_check(next_end < kelh_fuzz_ends.size());  // a hit out of rule-base order
    kelh_fuzz_check(hits->weight == kelh_fuzz_ends[next_end]->weight);
    next_end++;
    total += hits->weight;
    previous = hits;
    RuleHit *next = hits->next;
    tlvpr_free(hits);
    hits = next;
  }
  if (rc == 0) {
    bool spam = threshold > 0 ? total >= threshold : total > threshold;
    kelh_fuzz_check(verdict == (spam ? 1 : 0));
  }
  return 0;
}
