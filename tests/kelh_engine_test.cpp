// Tests of kelh_engine: unfolding header blocks, the rule walk (threshold, early
// stop, multi-line groups, name hashes, over-long lines, matcher errors), the
// hit list, the name index and every out-of-memory path of an evaluation.
#include "kelh_engine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kelh_sets.h"
#include "log_capture.h"
#include "test_random.h"
#include "test_support.h"
#include "tlvpr_mem.h"
#include "unfold_reference.h"

namespace {

using hdrw_test::LogCapture;
using Hits = std::vector<std::pair<int32_t, int32_t>>;  // (rule ID, weight)

// A rule base from plain rule text (format version 2) loaded strictly, so a
// typing error in a test fails instead of dropping a rule.
RuleBase *parse_rules(std::string text) {
  FILE *stream = fmemopen(text.data(), text.size(), "r");
  EXPECT_NE(stream, nullptr);
  RuleBase *rb = nullptr;
  EXPECT_EQ(rulebase_parse(stream, &rb, 1), 0u);
  fclose(stream);
  return rb;
}

RuleBase *make_rules(const std::string &body) {
  return parse_rules("# version 04/18/2001/002\n" + body);
}

struct RulesDeleter {
  void operator()(RuleBase *rb) const { rulebase_free(rb); }
};
using Rules = std::unique_ptr<RuleBase, RulesDeleter>;

// A single-line rule line.
std::string rule(int id, int weight, const std::string &pattern) {
  char head[32];
  snprintf(head, sizeof head, "%010d%03d001&-", id, weight);
  return head + pattern + "\n";
}

// A line of a multi-line rule; last selects "&." over "&+".
std::string multi(int id, int weight, bool last, const std::string &pattern) {
  char head[32];
  snprintf(head, sizeof head, "%010d%03d005%s", id, weight, last ? "&." : "&+");
  return head + pattern + "\n";
}

struct Outcome {
  uint32_t rc;
  int verdict;
  Hits hits;
};

// Frees a hit list after checking its links; returns its records.
Hits take_hits(RuleHit *head) {
  Hits hits;
  const RuleHit *previous = nullptr;
  while (head != nullptr) {
    EXPECT_EQ(head->previous, previous);
    hits.emplace_back(head->rule_id, head->weight);
    previous = head;
    RuleHit *next = head->next;
    tlvpr_free(head);
    head = next;
  }
  return hits;
}

// Evaluates a copy of block held in a buffer of exactly its size.
Outcome evaluate(const RuleBase *rb, const std::string &block, int32_t threshold,
                 uint32_t max_length = 768, uint32_t max_backtracks = 25000) {
  std::vector<char> buffer(block.begin(), block.end());
  RuleHit *hits = nullptr;
  int verdict = -1;
  const uint32_t rc = rulebase_evaluate(buffer.data(), static_cast<uint32_t>(buffer.size()), &hits,
                                        rb, threshold, max_length, max_backtracks, &verdict);
  return {rc, verdict, take_hits(hits)};
}

// The header lines of a block: their texts, checked for their line-end byte.
std::vector<std::string> split(const std::string &block, uint32_t *rc) {
  std::vector<char> buffer(block.begin(), block.end());
  HeaderLine *lines = nullptr;
  *rc = split_header_lines(buffer.data(), static_cast<uint32_t>(buffer.size()), &lines);
  std::vector<std::string> texts;
  for (const HeaderLine *line = lines; line != nullptr; line = line->next) {
    texts.emplace_back(line->text, line->length);
    EXPECT_EQ(line->text[line->length], '\x01');
    EXPECT_EQ(line->name_hash, kelh_name_hash(line->text, line->length));
  }
  kelh_free_header_lines(lines);
  return texts;
}

TEST(SplitHeaderLines, UnfoldsAndJoinsContinuations) {
  std::string block = "Subject: a\r\n b\r\nFrom: x\n";
  std::vector<char> buffer(block.begin(), block.end());
  HeaderLine *lines = nullptr;
  ASSERT_EQ(split_header_lines(buffer.data(), static_cast<uint32_t>(buffer.size()), &lines), 0u);
  ASSERT_NE(lines, nullptr);
  ASSERT_NE(lines->next, nullptr);
  EXPECT_EQ(lines->next->next, nullptr);
  EXPECT_EQ(std::string(lines->text, lines->length), "Subject: a b");
  EXPECT_EQ(lines->name_hash, hdrw_test::kNameHashSubject);
  EXPECT_EQ(lines->name_hash, rule_name_hash("^Subject:"));
  EXPECT_EQ(std::string(lines->next->text, lines->next->length), "From: x");
  EXPECT_EQ(lines->next->name_hash, hdrw_test::kNameHashFrom);
  EXPECT_EQ(lines->text, buffer.data());
  EXPECT_EQ(std::string(buffer.data(), 21), std::string("Subject: a b\x01"
                                                        "From: x\x01",
                                                        21));
  kelh_free_header_lines(lines);
}

TEST(SplitHeaderLines, ByteClassesAndLineEnds) {
  struct Row {
    const char *name;
    std::string block;
    std::vector<std::string> lines;  // empty: the split fails
  };
  const Row rows[] = {
      {"lf", "A: b\nC: d\n", {"A: b", "C: d"}},
      {"crlf and blank lines", "A: b\r\n\r\n\r\nC: d\r\n", {"A: b", "C: d"}},
      {"tab fold", "A: b\n\tc\n", {"A: b c"}},
      {"multi fold", "A: b\n  c\n \n d\nE: f\n", {"A: b c d", "E: f"}},
      {"inner runs", "A:\t b  \t c   \n", {"A: b c"}},
      {"control deleted",
       std::string("Sub\x01je\x7f"
                   "ct: x\x00y\n",
                   15),
       {"Subject: xy"}},
      {"control inside a run", std::string("A: b \x02\x00 c\n", 11), {"A: b c"}},
      {"vt and ff are white space", "A:\vb\fc\n", {"A: b c"}},
      {"high bytes kept", "A: \xe4\xff\x80\n", {"A: \xe4\xff\x80"}},
      {"leading run makes an empty line", "\nA: b\n", {"", "A: b"}},
      {"only a line end", "\n", {""}},
      {"no final lf", "A: b\nC: d", {}},
      {"lf before cr or vt ends the line", "A: b\n\r c\nD: e\n\vf\n", {"A: b", "c", "D: e", "f"}},
      {"final fold", "A: b\n ", {}},
      {"final cr", "A: b\r", {}},
      {"empty", "", {}},
      {"only control bytes", "\x01\x02\x7f", {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    uint32_t rc = 0;
    const std::vector<std::string> got = split(row.block, &rc);
    EXPECT_EQ(rc, row.lines.empty() ? 10013u : 0u);
    EXPECT_EQ(got, row.lines);
  }
}

TEST(SplitHeaderLines, IllegalDataIsLoggedEmptyBlockIsNot) {
  LogCapture log;
  uint32_t rc = 0;
  split("A: b\nC: d", &rc);
  EXPECT_EQ(rc, 10013u);
  EXPECT_TRUE(log.contains(1, 10047, "Illegal data."));
  log.clear();
  split("", &rc);
  EXPECT_EQ(rc, 10013u);
  split("\x01\x02", &rc);
  EXPECT_EQ(rc, 10013u);
  EXPECT_TRUE(log.lines().empty());
}

// What one unfolding path made of a block: its result, the rewritten buffer
// and the lines (offset, text, name hash).
struct Unfolded {
  uint32_t rc;
  bool illegal;  // 10047 was logged
  std::string buffer;
  std::vector<std::tuple<size_t, std::string, uint32_t>> lines;
  bool operator==(const Unfolded &o) const {
    return rc == o.rc && illegal == o.illegal && buffer == o.buffer && lines == o.lines;
  }
};

// Every pair of the plain walk, recorded: (rule line, line offset, text).
using Pairs = std::vector<std::tuple<uint32_t, size_t, std::string>>;
struct PairLog {
  const char *buffer;
  Pairs pairs;
};
int record_pair(void *context, RuleLine *, uint32_t index, char *text, uint32_t length, uint32_t) {
  PairLog *log = static_cast<PairLog *>(context);
  EXPECT_EQ(text[length], '\x01');
  log->pairs.emplace_back(index, text - log->buffer, std::string(text, length));
  return REGX_NOMATCH;
}

// Header-like pieces, '|' between them: names with and without a colon, runs
// of white space, folds, CR LF, control bytes, NUL, 0x7F, high bytes, runs of
// ordinary bytes that put lone spaces at every distance from a 16-byte step.
const char kPieces[] =
    "Subject:|From: |X-a|:| |  |\t|\r\n|\n|\n |\n\t|\r\n\t|\r|\x01|\x7f|\x80\xff|\v\f|\x1f|\0|"
    "a\0b|a b c d|abcdefghijklmnopq|xyzxyzxyzxyzxyzxyzxyzxyzxyzxyzx|e| \x02 |\n\n|\n\x01\n";

// The unfolding, as split_header_lines and as the walk of rulebase_evaluate
// see it, equals the byte-by-byte reference on generated blocks: the same
// rewritten bytes, lines, name hashes and results; the walk hands each rule
// line the lines of its name (every line for the first and the unnamed).
TEST(SplitHeaderLines, AgreesWithAByteByByteReference) {
  Rules rb(make_rules(rule(1, 1, "zz") + rule(2, 1, "^Subject:") + rule(3, 1, "^From:") +
                      rule(4, 1, "^X-a") + rule(5, 1, "q")));
  const uint32_t names[] = {0, rule_name_hash("^Subject:"), rule_name_hash("^From:"),
                            rule_name_hash("^X-a"), 0};
  std::vector<std::string> pieces;
  const std::string text(kPieces, sizeof kPieces - 1);
  for (size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 1) {
    bar = text.find('|', at);
    pieces.push_back(text.substr(at, bar == std::string::npos ? bar : bar - at));
  }
  std::mt19937 random(22);
  LogCapture log;
  std::string block(1, '\0');  // also the empty block and a lone NUL
  for (int round = 0; round < 3000; ++round) {
    if (round > 1) {
      block.clear();
      const size_t count = random() % 16 == 0 ? 400 + random() % 400 : random() % 60;
      for (size_t k = 0; k < count; ++k) {
        block += pieces[random() % pieces.size()];
        block += std::string(random() % 4, static_cast<char>('A' + random() % 26));
      }
      block += random() % 8 == 0 ? "" : "\n";
    } else if (round == 1) {
      block.clear();
    }
    SCOPED_TRACE(block);
    const hdrw_test::UnfoldReference want = hdrw_test::unfold_reference(block);
    Unfolded ref = {want.ok ? 0u : 10013u, want.illegal, want.buffer, {}};
    Pairs ref_pairs;
    for (const hdrw_test::UnfoldedLine &line : want.lines) {
      ref.lines.emplace_back(line.offset, line.text, line.name_hash);
    }
    for (uint32_t r = 0; r < 5; ++r) {
      for (const hdrw_test::UnfoldedLine &line : want.lines) {
        if (r == 0 || names[r] == 0 || names[r] == line.name_hash) {
          ref_pairs.emplace_back(r, line.offset, line.text);
        }
      }
    }

    std::vector<char> buffer(block.begin(), block.end());
    HeaderLine *lines = nullptr;
    log.clear();
    Unfolded split = {
        split_header_lines(buffer.data(), static_cast<uint32_t>(block.size()), &lines),
        false,
        std::string(buffer.begin(), buffer.end()),
        {}};
    split.illegal = log.contains(1, 10047, "Illegal data.");
    for (const HeaderLine *line = lines; line != nullptr; line = line->next) {
      split.lines.emplace_back(line->text - buffer.data(), std::string(line->text, line->length),
                               line->name_hash);
    }
    kelh_free_header_lines(lines);
    EXPECT_EQ(split, ref);

    buffer.assign(block.begin(), block.end());
    PairLog walk = {buffer.data(), {}};
    RuleHit *hits = nullptr;
    int verdict = -1;
    log.clear();
    Unfolded evaluated = {
        kelh_evaluate_with(buffer.data(), static_cast<uint32_t>(block.size()), &hits, rb.get(), 0,
                           0, 25000, &verdict, record_pair, &walk),
        false, std::string(buffer.begin(), buffer.end()), ref.lines};
    evaluated.illegal = log.contains(1, 10047, "Illegal data.");
    EXPECT_EQ(evaluated, ref);
    EXPECT_EQ(walk.pairs, ref_pairs);
    EXPECT_EQ(hits, nullptr);
  }
}

TEST(KelhNameHash, NameBeforeTheColonOrTheWholeLine) {
  EXPECT_EQ(kelh_name_hash("Subject: x", 10), hdrw_test::kNameHashSubject);
  EXPECT_EQ(kelh_name_hash("abc", 3), ((97u * 33 + 98) * 33 + 99) * 33 + 1);
  EXPECT_EQ(kelh_name_hash(": x", 3), 0u);
  EXPECT_EQ(kelh_name_hash("", 0), 1u);
  EXPECT_EQ(kelh_name_hash("\xff:", 2), 255u);  // bytes count as unsigned
}

TEST(MatchHeaderLine, SwapsTheTerminatorForTheCall) {
  RegxPattern pattern = {};
  ASSERT_EQ(regx_compile(&pattern, "^Subject: x$", REGX_EXTENDED), 0);
  char text[] = "Subject: x\x01Subject: y";
  EXPECT_EQ(match_header_line(&pattern, text, 10, 25000), REGX_OK);
  EXPECT_EQ(text[10], '\x01');
  EXPECT_EQ(match_header_line(&pattern, text + 11, 9, 25000), REGX_NOMATCH);
  regx_free(&pattern);
}

TEST(RulebaseEvaluate, ThresholdAndEarlyStop) {
  // Rule 9 would log a matcher error if it ran.
  const std::string bomb = rule(9, 1, "^X-Bomb: (a|a)*c");
  const std::string block =
      "Subject: cheap pills\nFrom: bulk@example.com\nX-Bomb: " + std::string(40, 'a') + "\n";
  struct Row {
    const char *name;
    std::string rules;
    int32_t threshold;
    int verdict;
    Hits hits;
  };
  const Row rows[] = {
      {"reached: third rule not run",
       rule(1, 60, "^Subject:.*cheap") + rule(2, 60, "^From:.*bulk") + bomb,
       100,
       1,
       {{1, 60}, {2, 60}}},
      {"exactly reached",
       rule(1, 50, "^Subject:") + rule(2, 50, "^From:") + bomb,
       100,
       1,
       {{1, 50}, {2, 50}}},
      {"below", rule(1, 50, "^Subject:") + rule(2, 49, "^From:"), 100, 0, {{1, 50}, {2, 49}}},
      {"zero threshold, weight 0", rule(1, 0, "^Subject:"), 0, 0, {{1, 0}}},
      {"zero threshold, weight 1", rule(1, 1, "^Subject:"), 0, 1, {{1, 1}}},
      {"negative threshold runs nothing", rule(1, 50, "^Subject:") + bomb, -5, 1, {}},
      {"negative weight lowers the total",
       rule(1, 80, "^Subject:") + rule(2, -50, "^From:") + rule(3, 60, "pills"),
       100,
       0,
       {{1, 80}, {2, -50}, {3, 60}}},
      {"reached verdict cannot be undone",
       rule(1, 100, "^Subject:") + rule(2, -50, "^From:"),
       100,
       1,
       {{1, 100}}},
      {"zero threshold counts every weight",
       rule(1, 99, "^Subject:") + rule(2, -99, "^From:"),
       0,
       0,
       {{1, 99}, {2, -99}}},
      {"one hit per rule however many lines match", rule(1, 30, "e"), 0, 1, {{1, 30}}},
      {"negative total stays below a positive threshold",
       rule(1, -50, "^Subject:") + rule(2, 60, "^From:"),
       100,
       0,
       {{1, -50}, {2, 60}}},
      {"negative total is not above threshold 0", rule(1, -5, "^Subject:"), 0, 0, {{1, -5}}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture log;
    Rules rb(make_rules(row.rules));
    const Outcome out = evaluate(rb.get(), block, row.threshold);
    EXPECT_EQ(out.rc, 0u);
    EXPECT_EQ(out.verdict, row.verdict);
    EXPECT_EQ(out.hits, row.hits);
    EXPECT_TRUE(log.messages(29001).empty());
  }
}

TEST(RulebaseEvaluate, MultiLineRules) {
  const std::string block = "Subject: offer\nFrom: bulk@example.com\nTo: you\n";
  const std::string bomb = "^X-Bomb: (a|a)*c";
  struct Row {
    const char *name;
    std::string rules;
    Hits hits;
  };
  const Row rows[] = {
      {"both lines match",
       multi(7, 5, false, "^Subject:.*offer") + multi(7, 30, true, "^From:.*bulk"),
       {{7, 30}}},
      {"order of header lines does not matter",
       multi(7, 5, false, "^From:") + multi(7, 30, true, "^Subject:"),
       {{7, 30}}},
      {"both lines may match one header line",
       multi(7, 5, false, "offer") + multi(7, 30, true, "^Subject:"),
       {{7, 30}}},
      {"first fails: the rest of the group is not run",
       multi(7, 5, false, "^Subject:.*nothing") + multi(7, 1, false, bomb) +
           multi(7, 30, true, "^From:"),
       {}},
      {"group failed ends at the &. line",
       multi(7, 5, false, "^Subject:.*nothing") + multi(7, 30, true, "^From:") +
           multi(8, 0, false, "^To:") + multi(8, 20, true, "^From:"),
       {{8, 20}}},
      {"single-line rules inside a group are evaluated and do not clear the flag",
       multi(7, 5, false, "^Subject:.*nothing") + rule(3, 2, "^To:") + multi(7, 1, false, bomb) +
           multi(7, 30, true, "^From:"),
       {{3, 2}}},
      {"last line fails",
       multi(7, 5, false, "^Subject:") + multi(7, 30, true, "^From:.*nothing"),
       {}},
      {"unterminated group keeps the flag until a later &. line",
       multi(7, 5, false, "^Subject:.*nothing") + rule(3, 2, "^To:") + multi(8, 1, false, bomb) +
           multi(8, 9, true, "^To:") + multi(9, 4, true, "^To:"),
       {{3, 2}, {9, 4}}},
      {"an &+ line adds nothing on its own", multi(7, 5, false, "^Subject:"), {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture log;
    Rules rb(make_rules(row.rules));
    const Outcome out = evaluate(rb.get(), block, 0);
    EXPECT_EQ(out.rc, 0u);
    EXPECT_EQ(out.hits, row.hits);
    EXPECT_EQ(out.verdict, row.hits.empty() ? 0 : 1);
    EXPECT_TRUE(log.messages(29001).empty());
  }
}

TEST(RulebaseEvaluate, HeaderNameDecidesWhichLinesAreTried) {
  const std::string block = "subject: x\nX-Note: Subject: x\n";
  Rules named(make_rules(rule(1, 10, "Subject: x")));
  EXPECT_EQ(evaluate(named.get(), block, 0).hits, Hits{});
  Rules anchored(make_rules(rule(1, 10, "^Subject: x")));
  EXPECT_EQ(evaluate(anchored.get(), "Subject: x\n", 0).hits, (Hits{{1, 10}}));
  Rules every(make_rules(rule(1, 10, "(Subject): x")));
  EXPECT_EQ(evaluate(every.get(), block, 0).hits, (Hits{{1, 10}}));
  // A rule line whose pattern kept the CR of its CR LF line end never matches.
  Rules cr(make_rules(rule(1, 10, "^Subject: x\r")));
  EXPECT_EQ(evaluate(cr.get(), "Subject: x\r\n", 0).hits, Hits{});
}

TEST(RulebaseEvaluate, OverLongHeaderLines) {
  const std::string fits = "X-Long: " + std::string(760, 'a');    // 768 characters
  const std::string longer = "X-Long: " + std::string(761, 'a');  // 769
  const std::string pattern = "^X-Long: a+$";
  {
    LogCapture log;
    Rules rb(make_rules(rule(1, 10, pattern)));
    EXPECT_EQ(evaluate(rb.get(), fits + "\n", 0).hits, (Hits{{1, 10}}));
    EXPECT_EQ(evaluate(rb.get(), longer + "\n", 0).hits, Hits{});
    EXPECT_EQ(log.messages(29030).size(), 1u);
    EXPECT_TRUE(
        log.contains(5, 29030, "Header longer than 768, not checking: \"" + longer + "\"."));
    EXPECT_EQ(evaluate(rb.get(), longer + "\n", 0, 0).hits, (Hits{{1, 10}}));  // 0: no limit
  }
  {
    // Reported once, by the first rule line only, even when it has another
    // header name; the second rule line skips the line silently.
    LogCapture log;
    Rules rb(make_rules(rule(1, 10, "^Subject: yes") + rule(2, 10, pattern) + rule(3, 1, "a")));
    const Outcome out = evaluate(rb.get(), "Subject: no\n" + longer + "\n", 0);
    EXPECT_EQ(out.hits, Hits{});
    EXPECT_EQ(log.messages(29030).size(), 1u);
  }
  {
    // The first rule line's scan stops at its first match: later lines unreported.
    LogCapture log;
    Rules rb(make_rules(rule(1, 10, "^Subject:") + rule(2, 10, pattern)));
    evaluate(rb.get(), "Subject: yes\n" + longer + "\n", 0);
    EXPECT_TRUE(log.messages(29030).empty());
    evaluate(rb.get(), longer + "\nSubject: yes\n", 0);
    EXPECT_EQ(log.messages(29030).size(), 1u);
  }
}

TEST(RulebaseEvaluate, MatcherErrorsEndTheRuleLine) {
  const std::string bombed = "X-Bomb: " + std::string(30, 'a');
  {
    LogCapture log;
    // The error on the first header line ends the search: the second line,
    // which would match, is never tried.
    Rules rb(make_rules(rule(4, 10, "^X-Bomb: (a|a)*c") + rule(5, 1, "^X-Bomb:")));
    const Outcome out = evaluate(rb.get(), bombed + "\nX-Bomb: c\n", 0, 768, 25000);
    EXPECT_EQ(out.hits, (Hits{{5, 1}}));
    EXPECT_TRUE(
        log.contains(4, 29001,
                     "Rule 4; regex error too many backtracks: giving up execution (20) for "
                     "header \"" +
                         bombed + "\"."));
  }
  {
    LogCapture log;
    // The same on a rule line that is not the first, which walks only the
    // lines of its header name: the error is reported with the line it hit.
    Rules rb(make_rules(rule(3, 1, "^Subject:") + rule(4, 10, "^X-Bomb: (a|a)*c") +
                        rule(5, 1, "^X-Bomb:")));
    const Outcome out = evaluate(rb.get(), "X-Other: c\n" + bombed + "\nX-Bomb: c\n", 0);
    EXPECT_EQ(out.hits, (Hits{{5, 1}}));
    EXPECT_EQ(log.messages(29001).size(), 1u);
    EXPECT_TRUE(
        log.contains(4, 29001,
                     "Rule 4; regex error too many backtracks: giving up execution (20) for "
                     "header \"" +
                         bombed + "\"."));
  }
  {
    LogCapture log;
    // A full backtrack stack is logged at level 5; a failing line of a
    // multi-line rule also fails its group.
    const std::string wide = "X-Wide: " + std::string(20000, 'a');
    Rules rb(make_rules(multi(6, 1, false, "^X-Wide: (a|b)*c") + multi(6, 10, true, "^X-Wide:")));
    const Outcome out = evaluate(rb.get(), wide + "\n", 0, 0, 0xFFFFFFFFu);
    EXPECT_EQ(out.hits, Hits{});
    const std::vector<std::string> errors = log.messages(29001);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Rule 6; regex error backtrack stack overflow: expression generates "
                              "too many alternatives (18) for header \"X-Wide: aaaa",
                              0),
              0u);
    EXPECT_TRUE(log.contains(5, 29001, errors[0]));
  }
}

TEST(RulebaseEvaluate, VerdictTraceAndArguments) {
  LogCapture log;
  Rules rb(make_rules(rule(1, 42, "^Subject:")));
  EXPECT_EQ(evaluate(rb.get(), "Subject: x\n", 10).verdict, 1);
  // The trace names the engine's source file and its fixed line.
  const std::vector<std::string> traced = log.messages(TVR_LOG_NO_CODE);
  ASSERT_EQ(traced.size(), 1u);
  EXPECT_EQ(traced[0].substr(0, 1), "[");
  EXPECT_NE(traced[0].find("kelh_engine.cpp:822] Current weight = 42"), std::string::npos);
  EXPECT_TRUE(log.contains(TVR_LOG_DEBUG, TVR_LOG_NO_CODE, traced[0]));
  log.clear();
  EXPECT_EQ(evaluate(rb.get(), "Subject: x\n", 100).verdict, 0);
  EXPECT_TRUE(log.messages(TVR_LOG_NO_CODE).empty());

  const Outcome none = evaluate(rb.get(), "Subject: x", 0);
  EXPECT_EQ(none.rc, 10013u);
  EXPECT_EQ(none.verdict, 0);
  char buffer[] = "A: b\n";
  int verdict = 0;
  RuleHit *hits = nullptr;
  EXPECT_EQ(rulebase_evaluate(nullptr, 5, &hits, rb.get(), 0, 0, 0, &verdict), 10040u);
  EXPECT_EQ(rulebase_evaluate(buffer, 5, nullptr, rb.get(), 0, 0, 0, &verdict), 10040u);
  EXPECT_EQ(rulebase_evaluate(buffer, 5, &hits, nullptr, 0, 0, 0, &verdict), 10040u);
  EXPECT_EQ(rulebase_evaluate(buffer, 5, &hits, rb.get(), 0, 0, 0, nullptr), 10040u);
}

TEST(RulebaseEvaluate, RecordsAlreadyInTheListAreKept) {
  Rules rb(make_rules(rule(1, 5, "^A:") + rule(2, 6, "^B:")));
  RuleHit *old = static_cast<RuleHit *>(tlvpr_malloc(sizeof(RuleHit)));
  *old = {nullptr, nullptr, 99, 1};
  RuleHit *hits = old;
  char buffer[] = "A: x\nB: y\n";
  int verdict = 0;
  ASSERT_EQ(rulebase_evaluate(buffer, 10, &hits, rb.get(), 0, 768, 25000, &verdict), 0u);
  EXPECT_EQ(hits, old);
  EXPECT_EQ(take_hits(hits), (Hits{{99, 1}, {1, 5}, {2, 6}}));
}

// A rule base and messages of many header names, with repeated names, rules
// for every line, multi-line rules (some unterminated), negative weights and
// lines over the length limit.
struct Corpus {
  std::string rules;  // a whole rule file
  std::vector<std::string> blocks;
};

const hdrw_test::HeaderWords kWords = {
    {"Subject", "From", "To", "Received", "X-Mailer", "X-Spam", "subject", "Content-Type",
     "Message-ID"},
    {"cheap", "offer", "meeting", "free", "example", "bulk", "hello", "win"}};

Corpus make_corpus(uint32_t seed) {
  hdrw_test::TestRandom random(seed);
  const hdrw_test::RuleOptions rules = {
      .words = kWords,
      .shapes = {{{"^%N:.*%W"}, 6}, {{"%W|%W"}, 2}, {{"^%N:"}}, {{"%W"}}},
      .min_weight = -5,
      .max_weight = 34,
      .group_one_in = 3,
      .lone_one_in = 4,  // a group's lone first line
      .open_one_in = 3};
  // Two words or a word and a run over the 40-byte limit, folded now and then.
  const hdrw_test::HeaderOptions headers = {
      .words = kWords,
      .parts = {{hdrw_test::ValuePart::kWord, 4}, {hdrw_test::ValuePart::kZRun, 1}},
      .max_parts = 2,
      .fold_one_in = 4,
      .lower_name_one_in = 0,
      .line_end = "\n",
      .max_lines = 12};
  Corpus corpus;
  corpus.rules = random.rule_file(60, rules);
  for (int m = 0; m < 40; ++m) {
    corpus.blocks.push_back(random.header_block(headers));
  }
  return corpus;
}

// The rule walk written out plainly: every header line's hash tested, each
// line matched on a copy, the group rules spelled out.
Outcome model(const RuleBase *rb, const std::string &block, int32_t threshold,
              uint32_t max_length) {
  std::vector<char> buffer(block.begin(), block.end());
  HeaderLine *lines = nullptr;
  Outcome out = {
      split_header_lines(buffer.data(), static_cast<uint32_t>(buffer.size()), &lines), 0, {}};
  int64_t total = 0;
  bool group_failed = false;
  for (RuleLine *r = rb->first; r != nullptr && out.rc == 0; r = r->next) {
    if (threshold != 0 && total >= threshold) {
      break;
    }
    const bool skipped = r->rule_type == RULE_TYPE_MULTI && group_failed;
    int result = REGX_NOMATCH;
    for (const HeaderLine *h = lines; h != nullptr && !skipped && result == REGX_NOMATCH;
         h = h->next) {
      if ((r->name_hash == 0 || r->name_hash == h->name_hash) &&
          (max_length == 0 || h->length <= max_length)) {
        const std::string text(h->text, h->length);
        result = regx_exec(&r->pattern, text.c_str(), 25000, nullptr, 0);
      }
    }
    if (!skipped && result != REGX_OK && r->rule_type == RULE_TYPE_MULTI) {
      group_failed = true;
    }
    if (!skipped && result == REGX_OK &&
        (r->rule_type == RULE_TYPE_SINGLE || r->conjunction == RULE_CONJ_LAST)) {
      out.hits.emplace_back(r->rule_id, r->weight);
      total += r->weight;
    }
    if (r->conjunction == RULE_CONJ_LAST) {
      group_failed = false;
    }
  }
  out.verdict = out.rc == 0 && (threshold > 0 ? total >= threshold : total > threshold);
  kelh_free_header_lines(lines);
  return out;
}

// want without exactly one of its entries
bool one_missing(const Hits &got, const Hits &want) {
  for (size_t i = 0; i < want.size(); ++i) {
    Hits less = want;
    less.erase(less.begin() + static_cast<std::ptrdiff_t>(i));
    if (got == less) {
      return true;
    }
  }
  return false;
}

// The engine agrees with the model, with its sets and entries and without
// them (every pair then runs the matcher, along the rule list), also with each allocation of an
// evaluation failing in turn: the header lines give 10013 and no hits; a lost hit record leaves its
// weight in the verdict; the memo of the sets' answers and a set's new states cost nothing (every
// pair runs the matcher, the set answers "unknown").
TEST(RulebaseEvaluate, AgreesWithAPlainModelOfTheWalk) {
  LogCapture log;
  int kept = 0;  // runs with a failed allocation and the full outcome
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    const Corpus corpus = make_corpus(seed);
    Rules rb(make_rules(corpus.rules));
    Rules bare(make_rules(corpus.rules));
    kelh_sets_free(bare->sets);
    bare->sets = nullptr;
    tlvpr_free(bare->entries);  // and along the list
    bare->entries = nullptr;
    for (const std::string &block : corpus.blocks) {
      SCOPED_TRACE(block);
      for (int32_t threshold : {-1, 0, 30, 60}) {
        for (uint32_t max_length : {0u, 40u}) {
          const Outcome want = model(rb.get(), block, threshold, max_length);
          const Outcome plain = evaluate(bare.get(), block, threshold, max_length);
          EXPECT_EQ(plain.rc, 0u);
          EXPECT_EQ(plain.verdict, want.verdict);
          EXPECT_EQ(plain.hits, want.hits);
          int full = 0;
          hdrw_test::fault_loop([&] {
            const Outcome got = evaluate(rb.get(), block, threshold, max_length);
            if (got.rc != 0) {
              EXPECT_EQ(got.rc, 10013u);
              EXPECT_EQ(got.verdict, 0);
              EXPECT_TRUE(got.hits.empty());
              return;
            }
            EXPECT_EQ(got.verdict, want.verdict);
            if (got.hits != want.hits) {
              EXPECT_TRUE(one_missing(got.hits, want.hits));
              return;
            }
            ++full;
          });
          EXPECT_GE(full, 1);  // the last run, without a failure
          kept += full - 1;
        }
      }
    }
  }
  EXPECT_GT(kept, 100);  // a set's new states, not built, cost nothing
}

// Every allocation of an evaluation fails in turn: the header lines give 10013
// (level 2) and no hits; a hit record is logged (level 1) and missing while its
// weight still counts; the sets' memo is not missed at all. A block of up to
// 128 LF bytes keeps its lines and the memo on the call's stack, unless the
// rule base has so many header names that the index does not fit beside them.
TEST(RulebaseEvaluate, OutOfMemory) {
  const std::string three = rule(1, 10, "^Subject:") + rule(2, 20, "^From:") + rule(3, 30, "x");
  std::string padding;
  for (int i = 0; i < 300; ++i) {
    padding += "X-Pad: " + std::to_string(i) + "\n";
  }
  std::string names;  // 2,000 more header names, none of them in the block
  for (int i = 0; i < 2000; ++i) {
    names += rule(10 + i, 1, "^X-Pad" + std::to_string(i) + ":");
  }
  struct Row {
    const char *name;
    std::string rules;
    std::string block;
    uint64_t needed;
  };
  const Row rows[] = {
      {"on the stack", three, "Subject: x\nFrom: y\nTo: z\n", 3},  // hit records
      {"allocated", three, "Subject: x\nFrom: y\n" + padding + "To: z\n",
       1u + 1 + 3},  // header lines with their index, the memo, hit records
      {"many names", three + names, "Subject: x\nFrom: y\nTo: z\n",
       1u + 3},  // header lines with their index, hit records
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Rules rb(make_rules(row.rules));
    const Outcome full = evaluate(rb.get(), row.block, 0);
    ASSERT_EQ(full.hits, (Hits{{1, 10}, {2, 20}, {3, 30}}));
    int failed_lines = 0;
    int lost_hits = 0;
    LogCapture log;
    const uint64_t needed = hdrw_test::fault_loop([&] {
      log.clear();
      const Outcome out = evaluate(rb.get(), row.block, 0);
      if (out.rc != 0) {
        ++failed_lines;
        EXPECT_EQ(out.rc, 10013u);
        EXPECT_EQ(out.verdict, 0);
        EXPECT_TRUE(out.hits.empty());
        EXPECT_TRUE(log.contains(2, 10013, "Malloc error while attempting to allocate memory."));
      } else if (out.hits.size() < full.hits.size()) {
        ++lost_hits;
        EXPECT_EQ(out.hits.size(), full.hits.size() - 1);
        EXPECT_EQ(out.verdict, 1);
        EXPECT_TRUE(log.contains(1, 10013, "Malloc error while attempting to allocate memory."));
      } else {
        EXPECT_EQ(out.hits, full.hits);  // only the memo failed, or nothing
        EXPECT_EQ(out.verdict, 1);
      }
    });
    EXPECT_EQ(failed_lines, row.needed > 3 ? 1 : 0);
    EXPECT_EQ(lost_hits, 3);
    EXPECT_EQ(needed, row.needed);
  }
}

// More than 16 lines whose bound reads their measures: one allocation holds
// the measures beyond the call's stack; without it the lines share a slot and
// every answer stays the same.
TEST(RulebaseEvaluate, MeasuresOfManyLinesWithoutMemory) {
  Rules rb(make_rules(rule(1, 10, "^Received:.*a.*b.*z") + rule(2, 20, "^Received:.*b.*y")));
  std::string block;
  for (int i = 0; i < 40; ++i) {
    block += "Received: a a a a a a a a a a b b b b b b b b b " + std::to_string(i);
    block += i == 39 ? " y\n" : "\n";
  }
  const Outcome full = evaluate(rb.get(), block, 0);
  ASSERT_EQ(full.hits, (Hits{{2, 20}}));
  int same = 0;
  const uint64_t needed = hdrw_test::fault_loop([&] {
    const Outcome out = evaluate(rb.get(), block, 0);
    EXPECT_EQ(out.rc, 0u);
    if (out.hits.empty()) {
      return;  // the hit record was the allocation that failed
    }
    EXPECT_EQ(out.hits, full.hits);
    ++same;
  });
  EXPECT_EQ(needed, 2u);  // the measures beyond the stack's, the hit record
  EXPECT_EQ(same, 2);     // without the measures' allocation, and without a failure
}

}  // namespace
