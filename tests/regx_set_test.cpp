// Tests of regx_set: a set's answer for each of its patterns must be what an
// exhaustive search finds (the plain matcher without a practical limit), on
// random patterns of every construct a set takes and random subjects, in sets
// of one to 64 patterns, also when the state budget runs out part way; which
// patterns a set takes; and the bounds that say when its answer is
// regx_exec's.
#include "regx_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "regx.h"
#include "regx_internal.h"
#include "test_random.h"

namespace {

using hdrw_test::TestRandom;

// The constructs a set takes, and a few it refuses; small counted bounds.
const hdrw_test::PatternGrammar kGrammar = {
    .atoms = {{{"a", "b", "c"}, 3},
              {{"."}},
              {{"[ab]"}},
              {{"[^a ]"}},
              {{"ab"}},
              {{"^", "$"}},
              {{"x"}},
              {{"bca"}},
              {{" "}},
              {{"[[:upper:]]"}},
              {{"\\<", "\\>"}},
              {{"[^ ]"}}},
    .group_weight = 2,
    .quantifiers = {{{"*"}}, {{"+"}}, {{"?"}}, {{"{#,%}"}}, {{"{#}"}}, {{"{#,}"}}, {{""}, 4}},
    .low_bounds = {{{"0", "1", "2"}}},
    .high_bounds = {{{"2", "3", "4"}}},
    .max_pieces = 3,
    .branch_one_in = 4};

// The shapes of imported header rules: a .* chain, groups with ?, {n} and
// + inside and around it, word anchors, also right after a repetition.
const std::vector<std::string> kRulePieces = {"a",
                                              "b ",
                                              "(x|ab)?",
                                              "(a[bc]+){2}",
                                              "([^ ]+ )+",
                                              "(bc|.){3}",
                                              "\\<ab",
                                              "c\\>",
                                              "[ab]{1,3}",
                                              "(a?b){1,2}",
                                              " (a|c)+",
                                              "(ab )?x",
                                              "\\<a[bc]+ ",
                                              "[ab]+\\>( |$)",
                                              "( *\\<[bx])?",
                                              "(\\<[^ ]+ )*a",
                                              "( *( |$))?$",
                                              "([^a]*([^a]|$))?",
                                              "(b|)?c",
                                              "(a*|x)?b"};

std::string rule_shape(TestRandom *gen) {
  const std::string head = gen->pick(2) ? "a.*" : "";
  return head + gen->chain(kRulePieces, 4, ".*", 2);
}

std::string random_subject(TestRandom *gen) {
  return gen->text("abcxA ", gen->one_in(3) ? 200 : 24);
}

struct PatternFree {
  void operator()(RegxPattern *p) const {
    regx_free(p);
    delete p;
  }
};
using Pattern = std::unique_ptr<RegxPattern, PatternFree>;

Pattern compile(const std::string &text, int flags = REGX_EXTENDED) {
  Pattern p(new RegxPattern{});
  if (regx_compile(p.get(), text.c_str(), flags) != REGX_OK) {
    return nullptr;
  }
  return p;
}

TEST(RegxSet, AnswersWhatAnExhaustiveSearchFinds) {
  TestRandom gen(2026);
  int compared = 0;
  int unknown = 0;
  int beyond = 0;
  int paired = 0;
  for (int round = 0; round < 600; ++round) {
    std::vector<Pattern> owned;
    std::vector<std::string> texts;
    std::vector<const RegxPattern *> members;
    const int size = round % 10 == 0 ? 64 : 1 + gen.pick(8);
    while (static_cast<int>(members.size()) < size) {
      std::string text = gen.one_in(4) ? rule_shape(&gen) : gen.pattern(kGrammar, 2);
      if (gen.one_in(3)) {
        text = "^" + text;
      }
      Pattern p = compile(text);
      if (p == nullptr || !regx_set_accepts(p.get())) {
        continue;
      }
      members.push_back(p.get());
      texts.push_back(text);
      owned.push_back(std::move(p));
    }
    // A third of the rounds with a budget that holds a few states only.
    RegxSetBudget budget = {round % 3 == 0 ? size_t{6000} : size_t{1} << 24, 0};
    RegxSet *set = nullptr;
    ASSERT_EQ(regx_set_create(&set, members.data(), static_cast<uint32_t>(members.size()), &budget),
              REGX_OK);
    for (int j = 0; j < 12; ++j) {
      const std::string subject = random_subject(&gen);
      uint64_t matched = 0;
      if (regx_set_scan(set, subject.data(), subject.size(), &matched) != 0) {
        ++unknown;
        EXPECT_TRUE(subject.empty() || round % 3 == 0) << subject;
        continue;
      }
      for (size_t i = 0; i < members.size(); ++i) {
        // A repeated group may take the plain run past its stack or a
        // practical limit: it has no answer there to compare with (the
        // bounds keep the sets away from such lines; see the test below).
        uint32_t count = 0;
        const int want = regx_exec_plain(members[i], subject.c_str(), 1u << 22, &count, 0);
        if (want == REGX_ESTACK || want == REGX_ETOOMANY) {
          ++beyond;
          continue;
        }
        ASSERT_TRUE(want == REGX_OK || want == REGX_NOMATCH);
        ASSERT_EQ((matched >> i & 1) != 0, want == REGX_OK)
            << "pattern " << texts[i] << " subject \"" << subject << "\"";
        ++compared;
      }
    }
    // Two scans side by side, of this set and of one holding its first
    // members, answer as each alone (where the budget lets both answer).
    RegxSet *part = nullptr;
    ASSERT_EQ(regx_set_create(&part, members.data(), (members.size() + 1) / 2, &budget), REGX_OK);
    for (int j = 0; j < 6; ++j) {
      const std::string subjects[2] = {random_subject(&gen), random_subject(&gen)};
      RegxSet *const two[2] = {j % 2 == 0 ? set : part, j % 3 == 0 ? set : part};
      const char *const texts2[2] = {subjects[0].data(), subjects[1].data()};
      const size_t lengths[2] = {subjects[0].size(), subjects[1].size()};
      uint64_t answers[2] = {0, 0};
      int results[2] = {-1, -1};
      regx_set_scan_two(two, texts2, lengths, answers, results);
      for (int k = 0; k < 2; ++k) {
        uint64_t alone = 0;
        if (regx_set_scan(two[k], subjects[k].data(), subjects[k].size(), &alone) == 0 &&
            results[k] == 0) {
          ASSERT_EQ(answers[k], alone) << "subject \"" << subjects[k] << "\"";
          ++paired;
        } else {
          EXPECT_TRUE(subjects[k].empty() || round % 3 == 0) << subjects[k];
        }
      }
    }
    regx_set_free(part);
    regx_set_free(set);
    EXPECT_EQ(budget.used, 0u);  // every charged byte given back
  }
  EXPECT_GT(paired, 5000);
  EXPECT_GT(compared, 50000);
  EXPECT_GT(unknown, 20);
  EXPECT_LT(beyond, compared / 100);
}

// A wait that one of n bytes ends, alone in its set: scans jump to the next
// of them while n is small enough, and must stop at every one of them.
TEST(RegxSet, JumpsStopAtEveryByteThatEndsAWait) {
  TestRandom gen(22);
  const std::string ends = "bcdefghiA";
  for (size_t n = 1; n <= ends.size(); ++n) {
    const std::string text = "a.*[" + ends.substr(0, n) + "]x";
    Pattern p = compile(text);
    ASSERT_TRUE(p != nullptr && regx_set_accepts(p.get())) << text;
    const RegxPattern *member = p.get();
    RegxSetBudget budget = {size_t{1} << 24, 0};
    RegxSet *set = nullptr;
    ASSERT_EQ(regx_set_create(&set, &member, 1, &budget), REGX_OK);
    for (int j = 0; j < 300; ++j) {
      const std::string subject = "z" + gen.text("a" + ends + "xz ", 80);
      uint64_t matched = 0;
      ASSERT_EQ(regx_set_scan(set, subject.data(), subject.size(), &matched), 0);
      uint32_t count = 0;
      const int want = regx_exec_plain(member, subject.c_str(), 1u << 22, &count, 0);
      ASSERT_EQ(matched != 0, want == REGX_OK) << text << " on \"" << subject << "\"";
    }
    regx_set_free(set);
  }
}

TEST(RegxSet, TakesOnlyWhatItCanAnswer) {
  const struct {
    const char *pattern;
    int flags;
    bool accepted;
  } rows[] = {
      {"^Subject:.*(free|cheap) [Vv][Ii][Aa]", REGX_EXTENDED, true},
      {"[0-9]{1,3}\\.[0-9]{1,3}$", REGX_EXTENDED, true},
      {"a.{0,2}b|^$", REGX_EXTENDED, true},
      {"(ab)*c", REGX_EXTENDED, true},
      {"^Message-ID:.*@(([0-9]{1,3}\\.){3}[0-9]{1,3})>", REGX_EXTENDED, true},
      {"(a?)*c", REGX_EXTENDED, false},                 // a repeated group that may be empty
      {"^Subject: ?( *( |$))?$", REGX_EXTENDED, true},  // but at most once: taken
      {"(a?){0,2}c", REGX_EXTENDED, false},
      {"(ab){0}c", REGX_EXTENDED, false},  // a group repeated at most 0 times
      {"(a)\\1", REGX_EXTENDED, false},    // a back-reference
      {"\\<free\\>", REGX_EXTENDED, true},
      {"^a.*b", REGX_EXTENDED | REGX_NEWLINE, false},
      {"a{255}b{255}c{255}d{255}e{255}", REGX_EXTENDED, false},  // too many automaton nodes
      {"Hello", REGX_EXTENDED | REGX_ICASE, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.pattern);
    Pattern p = compile(row.pattern, row.flags);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(regx_set_accepts(p.get()) != 0, row.accepted);
  }
  EXPECT_EQ(regx_set_accepts(nullptr), 0);

  // A set answers in the engine's own result codes.
  Pattern good = compile("a[bc]");
  Pattern refused = compile("(a)\\1");
  RegxSetBudget budget = {1 << 20, 0};
  RegxSet *set = nullptr;
  const RegxPattern *one[] = {good.get(), refused.get()};
  EXPECT_EQ(regx_set_create(&set, one, 2, &budget), REGX_ENOSYS);
  EXPECT_EQ(regx_set_create(&set, one, 0, &budget), REGX_EFATAL);
  EXPECT_EQ(regx_set_create(&set, one, REGX_SET_MAX_PATTERNS + 1, &budget), REGX_EFATAL);
  EXPECT_EQ(regx_set_create(&set, nullptr, 1, &budget), REGX_EFATAL);
  EXPECT_EQ(set, nullptr);
  EXPECT_EQ(budget.used, 0u);
}

// proven_within - how many of the limits around the plain run's own count
// (its count, one less, half, 25000) the bounds prove p's run on subject
// within; a proven one that the plain run exhausts or whose stack it fills
// fails the test. -1 when the run takes more than 2,000,000 backtracks.
int proven_within(const RegxPattern *p, const std::string &subject) {
  RegxSubject measures;
  regx_subject_init(&measures, subject.data(), subject.size());
  uint32_t full = 0;
  if (regx_exec_plain(p, subject.c_str(), 2000000, &full, 0) == REGX_ETOOMANY) {
    return -1;
  }
  int proven = 0;
  for (uint32_t limit : {full, full > 0 ? full - 1 : 0, full / 2, 25000u}) {
    const bool by_length = static_cast<int64_t>(subject.size()) <= regx_set_longest(p, limit);
    if (by_length || regx_set_fits(p, limit, &measures) != 0) {
      ++proven;
      const int rc = regx_exec_plain(p, subject.c_str(), limit, nullptr, 0);
      EXPECT_TRUE(rc == REGX_OK || rc == REGX_NOMATCH)
          << "limit " << limit << " subject \"" << subject << "\"";
    }
  }
  return proven;
}

// Where the bounds say a set's answer is regx_exec's, the plain run with that
// limit neither exhausts it nor fills the stack.
TEST(RegxSet, BoundsKeepThePlainRunWithinTheLimit) {
  TestRandom gen(77);
  int proven = 0;
  for (int round = 0; round < 3000 && !HasFailure(); ++round) {
    const bool rule = gen.one_in(3);
    std::string text = rule ? rule_shape(&gen) : gen.pattern(kGrammar, 2);
    if (!rule && gen.pick(2)) {
      text += ".*a.*b";
    }
    Pattern p = compile(text);
    if (p == nullptr) {
      continue;
    }
    for (int j = 0; j < 6; ++j) {
      std::string subject = random_subject(&gen);
      if (gen.one_in(4)) {
        subject += gen.run("ab", 300, 300);
      }
      proven += std::max(proven_within(p.get(), subject), 0);
    }
  }
  EXPECT_GT(proven, 5000);
}

// The same promise where the bound reads a subject's runs: header-like lines
// (single spaces, words, numbers, brackets) against the shapes of real rules,
// a repetition of a class followed by what the class also takes.
TEST(RegxSet, RunBoundsKeepThePlainRunWithinTheLimit) {
  const char *const patterns[] = {
      "^R:(.*from \\[[0-9]{1,3}\\.[0-9]{1,3}\\] by|.*from * [0-9]{1,3}\\.[0-9]{1,3} * by * [0-9]+;)",
      "^S:.*\\<[A-Za-z]+ [ #]{0,3}[ #][0-9]+[A-Z]+",
      "^F:.*[^ ]+<[0-9A-Z_a-z]+",
      "^F:.*<([^>]*[^>])? >([^<>]*([^<>]|$))?$",
      "( *[a-z]+ *)*x",
      ".*[^ ]*[^ ]*[^ ]*y",
      ".*[0-9a-f]+[0-9a-f]+ *[0-9a-f]+ *z",
      ".*\\<ab[ab]*[ab]*x",
      ".*a b[ab ]*[ab]*y",
      // repeated groups whose bodies hold class loops, as real rules have them
      "^X:( ?x)? ?[0-9](\\.[0-9]+){3} [0-9A-Z_a-z]+$",
      "^M:.*<[a-z]{2,}@([^ ]+\\.)+[^ ]+>",
      "^S:( ( * )?([0-9A-Z_a-z]+ * )+x)",
      "^R:.*\\[(([0-9]{1,3}\\.){3}[0-9]{1,3})\\]",
      "^S:(.*\\<ab ([,A-Z_a-z-]+ )*x\\>|.*\\<(ab|with) ([a-z]+ )*by)",
      "^S:([a-z]+ )*#",
      "^S:([a-z]+b)*#",
      "^S:.*\\<(ab|by) ([a-z]+ )*;",
      // alternations of .*\< and runs of one-byte tests, literal heads, and
      // tests after a group's loop-back
      "^S:(.*\\<[Aa][Bb] [Ww][Ii][Tt][Hh]\\>|.*\\<[Ff][Rr][Oo][Mm] ([,a-z-]+ )*[Bb][Yy]\\>|"
      ".*\\<[Xx]{2}[a-z]*| ?[Bb][Yy](:|([^a-z]*([^a-z]|$))?$))",
      "^S:.*\\<(([Aa][Bb]-?)?[Ww][Ii][Tt][Hh][A-Za-z]*|[Ff][Rr][Oo][Mm]|[Bb][Yy]([Aa]|[Xx][Yy])) "
      "([,A-Za-z-]+ )*[Xx]\\>",
      "^S:.*\\<(with|from|by)\\> .*\\<(ab|x)\\>",
      "^X: ?ab [0-9](\\.[0-9]+){3} [0-9A-Z_a-z]+$",
      "^L:.*<(le-[^ ]+|[^ ]+-ab)@[^ ]+>$",
      "^S:(([a-z]+\\.)+x )+by",
      // alternations of loops with loops after them, one inside another: a
      // branch settled by length answers for what follows the alternation
      "^R:(.*from *[0-9]+ by|.*by *([a-z]+ *|[0-9]+ *\\[)|[a-z]* *with) *[a-z]*[a-z]* *;",
      "^S:(.*\\<ab( *x)?|.*\\<by [a-z]*|.*\\<with)( .*\\<x| *#|[a-z ]*[a-z]*;)",
  };
  const char *const words[] = {"from", "by",   "[10.1.2.3]", "1.2",  "<a>", "a>",  "<",  ">",
                               "#",    "12AB", "ab",         "with", "x",   "aab", ";",  "ff0",
                               "a.b.", "6.00", "@a.b",       "x@y.", "<ab", "cd>", "(",  ")",
                               "By",   "xx",   "ab-With",    "xy-",  "le-", "-ab", "a,b"};
  TestRandom gen(2024);
  int proven = 0;
  for (const char *text : patterns) {
    Pattern p = compile(text);
    ASSERT_NE(p, nullptr) << text;
    for (int j = 0; j < 400 && !HasFailure(); ++j) {
      std::string subject = std::string(1, gen.pick(3) ? text[1] : "RSFXML"[gen.pick(6)]) + ":";
      for (int n = gen.pick(60); n > 0; --n) {
        subject += gen.pick(3) ? " " : gen.pick(2) ? "  " : "";
        subject += words[gen.pick(sizeof words / sizeof *words)];
      }
      proven += std::max(proven_within(p.get(), subject), 0);
    }
  }
  EXPECT_GT(proven, 700);
}

}  // namespace
