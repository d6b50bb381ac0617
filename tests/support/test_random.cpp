// test_random - the draws behind the header; every choice is one rng() % n, so
// a suite's sequence depends on its seed and its own calls only.
#include "test_random.h"

#include <cstdio>

namespace hdrw_test {

// pick - one text of a list, drawn evenly
const std::string &TestRandom::pick(const std::vector<std::string> &texts) {
  return texts[pick(static_cast<uint32_t>(texts.size()))];
}

// pick - a choice by weight, then one of its texts
std::string TestRandom::pick(const Choices &choices) {
  uint32_t total = 0;
  for (const Choice &c : choices) {
    total += c.weight;
  }
  uint32_t at = pick(total);
  for (const Choice &c : choices) {
    if (at < c.weight) {
      return pick(c.texts);
    }
    at -= c.weight;
  }
  return "";
}

// pattern - branches of quantified atoms, groups while depth > 0
std::string TestRandom::pattern(const PatternGrammar &grammar, int depth) {
  std::string out;
  for (uint32_t n = 1 + pick(grammar.max_pieces); n > 0; --n) {
    uint32_t atom_weight = 0;
    for (const Choice &c : grammar.atoms) {
      atom_weight += c.weight;
    }
    const uint32_t group = depth > 0 ? grammar.group_weight : 0;
    std::string piece = pick(atom_weight + group) >= atom_weight
                            ? "(" + pattern(grammar, depth - 1) + ")"
                            : pick(grammar.atoms);
    for (char c : pick(grammar.quantifiers)) {
      piece += c == '#'   ? pick(grammar.low_bounds)
               : c == '%' ? pick(grammar.high_bounds)
                          : std::string(1, c);
    }
    out += piece;
  }
  return one_in(grammar.branch_one_in) ? out + "|" + pattern(grammar, depth) : out;
}

// chain - pieces of a list one after another, glue after some of them
std::string TestRandom::chain(const std::vector<std::string> &pieces, uint32_t max_pieces,
                              const std::string &glue, uint32_t glue_one_in) {
  std::string out;
  for (uint32_t n = 1 + pick(max_pieces); n > 0; --n) {
    out += pick(pieces);
    if (one_in(glue_one_in)) {
      out += glue;
    }
  }
  return out;
}

// text - up to max_length-1 characters of the alphabet
std::string TestRandom::text(const std::string &alphabet, uint32_t max_length) {
  std::string out;
  for (uint32_t n = pick(max_length); n > 0; --n) {
    out += alphabet[pick(static_cast<uint32_t>(alphabet.size()))];
  }
  return out;
}

// run - one character of chars, min to min+spread-1 times
std::string TestRandom::run(const std::string &chars, uint32_t min, uint32_t spread) {
  const uint32_t length = min + pick(spread);
  return std::string(length, chars[pick(static_cast<uint32_t>(chars.size()))]);
}

// test_random_words - count words of the vocabulary joined by '|'
static std::string test_random_words(TestRandom *r, const HeaderWords &words, uint32_t count) {
  std::string out;
  for (uint32_t i = 0; i < count; ++i) {
    out += (i != 0 ? "|" : "") + r->pick(words.words);
  }
  return out;
}

// test_random_letters - a word as letter-case classes, with gaps when asked
static std::string test_random_letters(const std::string &word, bool gaps) {
  std::string out;
  for (size_t i = 0; i < word.size(); ++i) {
    out += gaps && i != 0 ? ".{0,2}[" : "[";
    out += static_cast<char>(word[i] - 'a' + 'A');
    out += word[i];
    out += ']';
  }
  return out;
}

// expand - a rule shape with its placeholders filled in
std::string TestRandom::expand(const std::string &shape, const HeaderWords &words) {
  std::string out;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] != '%' || i + 1 == shape.size()) {
      out += shape[i];
      continue;
    }
    switch (shape[++i]) {
      case 'N':
        out += pick(words.names);
        break;
      case 'W':
        out += pick(words.words);
        break;
      case 'A':
        out += test_random_words(this, words, 2 + pick(10));
        break;
      case 'a':
        out += test_random_words(this, words, 1 + pick(3));
        break;
      case 'C':
        out += test_random_letters(pick(words.words), false);
        break;
      case 'G':
        out += test_random_letters(pick(words.words), true);
        break;
      case '3':
        out += std::to_string(1 + pick(3));
        break;
      default:
        out += '%';
        out += shape[i];
        break;
    }
  }
  return out;
}

// rule_file - count rules: single lines, and groups of one or two lines
std::string TestRandom::rule_file(uint32_t count, const RuleOptions &options) {
  std::string out = "# version 04/18/2001/002\n";
  char head[32];
  const uint32_t span = static_cast<uint32_t>(options.max_weight - options.min_weight + 1);
  for (uint32_t id = 1; id <= count; ++id) {
    const int weight = options.min_weight + static_cast<int>(pick(span));
    if (!one_in(options.group_one_in)) {
      snprintf(head, sizeof head, "%010u%03d001&-", id, weight);
      out += head + expand(pick(options.shapes), options.words) + "\n";
      continue;
    }
    if (!one_in(options.lone_one_in)) {
      snprintf(head, sizeof head, "%010u000005&+", id);
      out += head + expand(pick(options.shapes), options.words) + "\n";
    }
    snprintf(head, sizeof head, "%010u%03d005%s", id, weight,
             one_in(options.open_one_in) ? "&+" : "&.");
    out += head + expand(pick(options.shapes), options.words) + "\n";
  }
  return out;
}

// test_random_part - one part of a header value
static std::string test_random_part(TestRandom *r, ValuePart part, const HeaderWords &words) {
  std::string out;
  switch (part) {
    case ValuePart::kWord:
      return r->pick(words.words);
    case ValuePart::kNumbers:
      out = std::to_string(r->pick(1000));
      return out + "-" + std::to_string(r->pick(100));
    case ValuePart::kLetterRun:
      return r->run("ab", 1, 30);
    case ValuePart::kShout:
      return "FREE!!! CASH";
    case ValuePart::kX:
      return "x";
    case ValuePart::kAddress:
      return "a@" + r->pick(words.words) + ".ru";
    case ValuePart::kLongRun:
      return r->run("ax ", 100, 700);
    case ValuePart::kDashedNumbers:
      for (uint32_t n = 1 + r->pick(40); n > 0; --n) {
        out += "123-45 ";
      }
      return out;
    case ValuePart::kNearChainBound:
      for (uint32_t n = 20 + r->pick(80); n > 0; --n) {
        out += r->pick(3) == 0 ? " " : r->pick(4) == 0 ? r->pick(words.words) : "a";
      }
      return out;
    case ValuePart::kCommaList:
      return "a,b,cc,d,e" + std::string(r->pick(2) ? "," : "") + "12-3-45";
    case ValuePart::kZRun:
      return std::string(30, 'z');
  }
  return out;
}

// header_line - "Name: " and 1 to max_parts parts, a word and the line end
std::string TestRandom::header_line(const HeaderOptions &options) {
  std::string out = one_in(options.lower_name_one_in) ? "subject" : pick(options.words.names);
  out += ": ";
  uint32_t total = 0;
  for (const auto &p : options.parts) {
    total += p.second;
  }
  for (uint32_t n = 1 + pick(options.max_parts); n > 0; --n) {
    uint32_t at = pick(total);
    size_t k = 0;
    while (at >= options.parts[k].second) {
      at -= options.parts[k++].second;
    }
    out += test_random_part(this, options.parts[k].first, options.words);
    out += one_in(options.fold_one_in) ? "\r\n\t" : " ";
  }
  return out + pick(options.words.words) + options.line_end;
}

// header_block - 1 to max_lines header lines
std::string TestRandom::header_block(const HeaderOptions &options) {
  std::string out;
  for (uint32_t n = 1 + pick(options.max_lines); n > 0; --n) {
    out += header_line(options);
  }
  return out;
}

}  // namespace hdrw_test
