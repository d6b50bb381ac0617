// test_random - one seeded random source for the differential suites
//
// TestRandom holds a std::mt19937 and draws, from its raw output only (never the
// std:: distributions, whose results differ between libraries), so a seed gives
// the same sequence on every machine:
// - pattern(grammar, depth): a regular expression of a small grammar: branches
//   of 1 to max_pieces pieces, each an atom with an optional quantifier, another
//   branch after "|" now and then, and parenthesised sub-alternations as atoms
//   while depth > 0.
// - chain(pieces, max, glue, glue_one_in): 1 to max pieces drawn from a list, each
//   followed by glue (".*", say) with chance 1 in glue_one_in.
// - text(alphabet, max) / run(chars, min, spread): subjects: up to max-1 random
//   characters, or min to min+spread-1 times one character.
// - expand(shape, words): a header-rule shape with its placeholders filled in;
//   rule_file(count, options): a rule text (format version 2) of count rules,
//   some of them multi-line groups, some groups left open.
// - header_line(options) / header_block(options): header lines of the
//   vocabulary's names and values of the chosen parts, folded now and then.
//
// A suite picks its shapes with the options: Choices lists what may be drawn
// (texts drawn evenly within a choice, choices against each other by weight),
// HeaderWords the names and words of its headers and rules, RuleOptions its rule
// shapes (placeholders: %N a name, %W a word, %A 2 to 11 words and %a 1 to 3
// words joined by '|', %C a word as letter-case classes "[Ff][Rr]..", %G the same
// with gaps ".{0,2}" between the letters, %3 a count 1 to 3), weights and
// multi-line share, HeaderOptions the value parts of its header lines.
#ifndef TESTS_SUPPORT_TEST_RANDOM_H
#define TESTS_SUPPORT_TEST_RANDOM_H

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace hdrw_test {

struct Choice {
  std::vector<std::string> texts;  // one of them, drawn evenly
  uint32_t weight = 1;             // against the other choices of its list
};
using Choices = std::vector<Choice>;

struct PatternGrammar {
  Choices atoms;
  uint32_t group_weight = 2;  // a "(sub-alternation)" among the atoms while depth > 0
  Choices quantifiers;        // "" for none; '#' stands for a low bound, '%' for a high one
  Choices low_bounds;
  Choices high_bounds;
  uint32_t max_pieces = 3;     // pieces per branch: 1 to max_pieces
  uint32_t branch_one_in = 4;  // another branch "|..." with chance 1 in this
};

struct HeaderWords {
  std::vector<std::string> names;  // header names, as in "Subject"
  std::vector<std::string> words;  // lower-case words of values and patterns
};

struct RuleOptions {
  HeaderWords words;
  Choices shapes;  // every rule line's pattern, with placeholders (see above)
  int32_t min_weight = 0;
  int32_t max_weight = 30;
  uint32_t group_one_in = 12;  // a multi-line group instead of a single-line rule
  uint32_t lone_one_in = 0;    // a group of one line only (0: never)
  uint32_t open_one_in = 4;    // the group's last line left open ("&+")
};

// What a header value is made of (a part with its separator before the next).
enum class ValuePart {
  kWord,            // a word of the vocabulary
  kNumbers,         // "123-45"
  kLetterRun,       // 1 to 30 times 'a' or 'b'
  kShout,           // "FREE!!! CASH"
  kX,               // "x"
  kAddress,         // "a@word.ru"
  kLongRun,         // 100 to 799 times 'a', 'x' or ' '
  kDashedNumbers,   // 1 to 40 times "123-45 "
  kNearChainBound,  // 20 to 99 tokens of 'a', ' ' and words: around a .* chain's bound
  kCommaList,       // "a,b,cc,d,e[,]12-3-45"
  kZRun,            // 30 times 'z': over a short line-length limit
};

struct HeaderOptions {
  HeaderWords words;
  std::vector<std::pair<ValuePart, uint32_t>> parts;  // with weights
  uint32_t max_parts = 8;                             // 1 to max_parts parts, then a closing word
  uint32_t fold_one_in = 5;                           // "\r\n\t" instead of " " after a part
  uint32_t lower_name_one_in = 0;  // the name "subject" instead of a vocabulary name
  std::string line_end = "\r\n";
  uint32_t max_lines = 12;  // lines per block: 1 to max_lines
};

struct TestRandom {
  std::mt19937 rng;
  explicit TestRandom(uint32_t seed) : rng(seed) {}

  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng() % n); }  // 0 to n-1
  bool one_in(uint32_t n) { return n != 0 && pick(n) == 0; }
  const std::string &pick(const std::vector<std::string> &texts);
  std::string pick(const Choices &choices);

  std::string pattern(const PatternGrammar &grammar, int depth);
  std::string chain(const std::vector<std::string> &pieces, uint32_t max_pieces,
                    const std::string &glue, uint32_t glue_one_in);
  std::string text(const std::string &alphabet, uint32_t max_length);
  std::string run(const std::string &chars, uint32_t min, uint32_t spread);

  std::string expand(const std::string &shape, const HeaderWords &words);
  std::string rule_file(uint32_t count, const RuleOptions &options);
  std::string header_line(const HeaderOptions &options);
  std::string header_block(const HeaderOptions &options);
};

}  // namespace hdrw_test

#endif
