// Tests of the matcher's shortcuts: class loop frames and scan skipping must
// give exactly the result and the backtrack count of the plain interpreter,
// on random patterns of every construct, at the limit boundary and near the
// stack capacity.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "regx.h"
#include "regx_internal.h"
#include "regx_set.h"
#include "test_random.h"

namespace {

constexpr uint32_t kNoLimit = 0xFFFFFFFFu;

using hdrw_test::TestRandom;

// Every construct of the matcher, bounds at and next to the counted limits.
const hdrw_test::PatternGrammar kGrammar = {
    .atoms = {{{"a", "b", "c", "x"}, 3},
              {{"."}},
              {{"[ab]", "[^a]", "[a-c]", "[[:alpha:]]", "[^\n ]", "[x ]"}},
              {{"ab"}},
              {{"^", "$"}},
              {{"\\<", "\\>"}},
              {{"\\1", "\\2", "\\3"}},
              {{" "}},
              {{"abc"}},
              {{"\n"}},
              {{"x"}}},
    .group_weight = 2,
    .quantifiers = {{{"*"}, 2}, {{"+"}}, {{"?"}}, {{"{#}", "{#,}", "{#,%}"}}, {{""}, 4}},
    .low_bounds = {{{"0", "1", "2", "3", "5"}, 4}, {{"254", "255"}}},
    .high_bounds = {{{"0", "1", "2", "3", "5"}, 4}, {{"254", "255"}}},
    .max_pieces = 4,
    .branch_one_in = 4};

// Short texts with newlines, runs near 255 and, now and then, a run long
// enough to reach the stack capacity.
std::string regx_subject(TestRandom *gen) {
  std::string s;
  for (uint32_t parts = gen->pick(4); parts > 0; --parts) {
    switch (gen->pick(5)) {
      case 0:
        s += gen->run("abx", 250, 10);
        break;
      case 1:
        if (gen->one_in(8)) {
          s += gen->run("ab ", 2000, 1500);
        }
        break;
      default:
        s += gen->text("abcx \n", 12);
        break;
    }
  }
  return s;
}

struct RegxPair {
  int rc;
  uint32_t count;
};

RegxPair regx_fast(RegxPattern *p, const std::string &subject, uint32_t limit, int eflags) {
  RegxPair r{0, 0xDEADBEEF};
  r.rc = regx_exec(p, subject.c_str(), limit, &r.count, eflags);
  return r;
}

RegxPair regx_plain(RegxPattern *p, const std::string &subject, uint32_t limit, int eflags) {
  RegxPair r{0, 0xDEADBEEF};
  r.rc = regx_exec_plain(p, subject.c_str(), limit, &r.count, eflags);
  return r;
}

void regx_compare(RegxPattern *p, const std::string &pattern, const std::string &subject,
                  uint32_t limit, int eflags) {
  RegxPair want = regx_plain(p, subject, limit, eflags);
  RegxPair got = regx_fast(p, subject, limit, eflags);
  ASSERT_EQ(got.rc, want.rc) << "pattern " << pattern << " subject \"" << subject << "\" limit "
                             << limit;
  ASSERT_EQ(got.count, want.count)
      << "pattern " << pattern << " subject \"" << subject << "\" limit " << limit;
  // Without a count destination only the result is observable.
  ASSERT_EQ(regx_exec(p, subject.c_str(), limit, nullptr, eflags), want.rc)
      << "pattern " << pattern << " subject \"" << subject << "\" limit " << limit
      << " without count";
}

TEST(RegxFast, SameResultAndCountAsThePlainMatcher) {
  TestRandom gen(4242);
  int compiled = 0;
  for (int i = 0; i < 4000; i++) {
    std::string pattern = gen.pattern(kGrammar, 2);
    if (gen.one_in(4)) {
      pattern = "^" + pattern;
    }
    int cflags = REGX_EXTENDED;
    if (gen.one_in(8)) {
      cflags |= REGX_ICASE;
    }
    if (gen.one_in(6)) {
      cflags |= REGX_NEWLINE;
    }
    if (gen.one_in(10)) {
      cflags |= REGX_FULLMATCH;
    }
    RegxPattern p{};
    if (regx_compile(&p, pattern.c_str(), cflags) != REGX_OK) {
      continue;
    }
    compiled++;
    for (int j = 0; j < 6; j++) {
      std::string subject = regx_subject(&gen);
      int eflags = (gen.one_in(6) ? REGX_NOTBOL : 0) | (gen.one_in(6) ? REGX_NOTEOL : 0);
      RegxPair want = regx_plain(&p, subject, 3000000, eflags);
      regx_compare(&p, pattern, subject, 3000000, eflags);
      if (want.rc == REGX_OK || want.rc == REGX_NOMATCH) {
        // The limit boundary: exactly the count passes, one less gives 20.
        regx_compare(&p, pattern, subject, want.count, eflags);
        if (want.count > 0) {
          regx_compare(&p, pattern, subject, want.count - 1, eflags);
          regx_compare(&p, pattern, subject, gen.pick(want.count), eflags);
        }
      }
      if (testing::Test::HasFatalFailure()) {
        regx_free(&p);
        return;
      }
    }
    regx_free(&p);
  }
  EXPECT_GT(compiled, 1900);  // about half of them compile (1940 to 2030 over seeds)
}

TEST(RegxFast, HeaderRulesAgreeWithThePlainMatcher) {
  const char *patterns[] = {
      "^Subject:.*viagra",
      "^Subject:.*(free|cheap|discount) (pills|meds)",
      "^From:.*@(yahoo|hotmail)\\.com",
      "^Received: from [a-z0-9.-]+ \\(",
      "^Message-ID: <[0-9A-F]{8,}@",
      "^Subject: [A-Z ]{20,}$",
      "money back|click here",
      "[0-9]{3}-[0-9]{4}",
      "^To:.*,.*,.*,",
      "^X-[A-Za-z-]*: *[0-9]+$",
      "^Subject:.*[^ -~]",
      ".*x.*y.*z",
      "a[^b]*b[^c]*c",
  };
  const char *lines[] = {
      "Subject: buy cheap pills and free meds today viagra",
      "Subject: HELLO WORLD THIS IS LOUD",
      "From: \"Someone\" <someone@yahoo.com>",
      "Received: from mail.example.org (mail.example.org [192.0.2.1])",
      "Message-ID: <0123ABCD89@example.org>",
      "To: a@b.c, d@e.f, g@h.i, j@k.l",
      "X-Spam-Score: 12345",
      "call 555-1234 now, money back guarantee, click here",
      "xxyyzzaabbcc",
      "Subject: caf\xe9 ol\xe9",
  };
  for (const char *pattern : patterns) {
    RegxPattern p{};
    ASSERT_EQ(regx_compile(&p, pattern, REGX_EXTENDED), REGX_OK) << pattern;
    for (const char *line : lines) {
      regx_compare(&p, pattern, line, kNoLimit, 0);
      std::string longer = std::string(line) + std::string(3000, ' ') + line;
      regx_compare(&p, pattern, longer, kNoLimit, 0);
      regx_compare(&p, pattern, longer, 700, 0);
    }
    regx_free(&p);
  }
}

// The shapes real header rules have: .* chains, word anchors, literals
// written as [Xx] classes, branches of literals, nested classes before a
// delimiter, {1,3} groups, back-references to a group, counted groups of
// optional parts; on lines of those bytes around the push bound's length,
// some of them without one or more of the bytes, so that the frames, the
// word anchor skips, the tests after a leaf, the required runs and the
// literals a line lacks (without a count) all act.
TEST(RegxFast, RealRuleShapesAgreeWithThePlainMatcher) {
  const char *pieces[] = {".*",
                          ".+",
                          "\\<",
                          "\\>",
                          "[Aa][Bb]",
                          "[Aa]b[Cc]",
                          " ",
                          "ab",
                          "<",
                          "([^>]*[^>])? >",
                          "[^ ]+",
                          "[0-9]{1,3}",
                          "(\\.[0-9]+)?",
                          "(ab|[Bb]a|c)",
                          "[[:alpha:]]*",
                          "x",
                          "[ =]",
                          "([0-9]+\\.){2}",
                          "[^@]*@",
                          "$",
                          "([^ ]+)",
                          "\\1",
                          " ?( * )?[\"']?([^\"']*[^\"'])[\"']? <?\\2@",
                          "(,[^,]{0,5}([^,]|$)){3}",
                          " \\(ab [^ ]+[a-c]+\\) ",
                          "[^ ]{2}-[^ ]",
                          " c=",
                          ";",
                          "(.*1x|[^<]*<@|c=;)",
                          "( *\\(ab |x[Aa][Bb]c)",
                          "([^\"']*[^\"'])?<?\\1",
                          "(x|([^ ]*.) ?)\\2",
                          "(,[^,]*[^,])+;",
                          "( [^ ]{0,4}([^ ]|$)){1,3}x",
                          "(c[^ ]*([^ ])?x)*c"};
  const char *bits[] = {"ab", "AB", "aB", "Ab",   " ", "<", ">",  "@", "1", "12.", "123",
                        "x",  "=",  "c",  "(ab ", ")", ",", "\"", "'", "-", " c=", ";"};
  const size_t nbits = sizeof bits / sizeof bits[0];
  std::mt19937 rng(2222);
  auto pick = [&rng](size_t n) { return (size_t)(rng() % n); };
  for (int i = 0; i < 1500; i++) {
    std::string pattern = pick(4) == 0 ? "" : "^H:";
    for (int k = 1 + (int)pick(5); k > 0; k--) {
      pattern += pieces[pick(sizeof pieces / sizeof pieces[0])];
    }
    RegxPattern p{};
    if (regx_compile(&p, pattern.c_str(), REGX_EXTENDED) != REGX_OK) {
      continue;
    }
    for (int j = 0; j < 6; j++) {
      std::string subject = pattern[0] == '^' ? "H:" : "";
      const uint32_t left_out = (uint32_t)rng();  // each bit absent one time in four
      for (size_t n = 40 + pick(120); subject.size() < n;) {
        size_t b = pick(nbits);
        if (((left_out >> b) & (left_out >> (b + 8)) & 1) == 0 || b < 4) {
          subject += bits[b];
        }
      }
      // Nested repetitions may take the plain run exponentially long: those
      // are compared up to a limit they reach.
      const uint32_t cap = 200000;
      RegxPair want = regx_plain(&p, subject, cap, 0);
      if (want.rc == REGX_ETOOMANY) {
        regx_compare(&p, pattern, subject, cap, (j & 1) ? REGX_NOTBOL : 0);
      } else {
        for (uint32_t limit : {kNoLimit, want.count, want.count - 1, want.count / 3}) {
          regx_compare(&p, pattern, subject, limit, (j & 1) ? REGX_NOTBOL : 0);
        }
      }
      if (testing::Test::HasFatalFailure()) {
        regx_free(&p);
        return;
      }
    }
    regx_free(&p);
  }
}

TEST(RegxFast, FramesHitTheStackCapacityWhereThePlainMatcherDoes) {
  // x* holds 4 entries per iteration up to the 255th and 3 after; the frame
  // must give 18 at the same subject length, also with a prefix on the stack.
  const char *patterns[] = {"a*", "^a*", "^(b|a*)", "a*b", "^a{0,255}a*", "^(a*)+", "[ab]*$"};
  for (const char *pattern : patterns) {
    RegxPattern p{};
    ASSERT_EQ(regx_compile(&p, pattern, REGX_EXTENDED), REGX_OK) << pattern;
    for (int n = 2630; n < 2660; n++) {
      regx_compare(&p, pattern, std::string((size_t)n, 'a'), 2000000, 0);
      regx_compare(&p, pattern, std::string((size_t)n, 'a') + "c", 2000000, 0);
    }
    regx_free(&p);
  }
}

TEST(RegxFast, FixedWidthAnswersAgreeWithThePlainMatcher) {
  // Runs of fixed-width pieces with a literal get a yes/no search when no
  // count is wanted; results must equal the plain run's, limits included.
  const std::vector<std::string> pieces = {
      "a",        "-",    "ab",   "x-y",  "[ab]",           "[^a]",   ".",
      "[0-9]{2}", "a{3}", "(ab)", "-{2}", "[[:digit:]]{3}", "[^\n-]", "b"};
  TestRandom gen(777);
  int fixed = 0;
  for (int i = 0; i < 1500; i++) {
    std::string pattern = gen.chain(pieces, 5, "", 0);
    int cflags =
        REGX_EXTENDED | (gen.one_in(6) ? REGX_ICASE : 0) | (gen.one_in(6) ? REGX_NEWLINE : 0);
    RegxPattern p{};
    ASSERT_EQ(regx_compile(&p, pattern.c_str(), cflags), REGX_OK) << pattern;
    fixed += p.plan != nullptr && p.plan->fixed != nullptr;
    for (int j = 0; j < 8; j++) {
      std::string subject = gen.text("ab-x01 \nA", 40);
      if (gen.one_in(10)) {
        subject += gen.run("a-0", 3000, 3000);
      }
      RegxPair want = regx_plain(&p, subject, kNoLimit, 0);
      const uint32_t limits[] = {kNoLimit, want.count, want.count - 1, want.count / 2, 0};
      for (uint32_t limit : limits) {
        if (limit > want.count && limit != kNoLimit) {
          continue;
        }
        regx_compare(&p, pattern, subject, limit, 0);
      }
      if (testing::Test::HasFatalFailure()) {
        regx_free(&p);
        return;
      }
    }
    regx_free(&p);
  }
  EXPECT_GT(fixed, 400);
}

TEST(RegxFast, PlanRecordsClassLoopsAndScanShortcut) {
  struct Row {
    const char *pattern;
    uint32_t loops;
    bool scan;
    bool fixed;
  };
  const Row rows[] = {
      {"^Subject:.*viagra", 1, false, false},
      {"(a|b)c", 0, true, false},
      {"[0-9]{3}-[0-9]{4}", 2, true, true},
      {"\\<a", 0, false, false},
      {"^a", 0, false, false},
      {"(ab)*c", 0, true, false},
      {"(ab)*\\>", 0, false, false},
      {".x", 0, false, true},
      {"[0-9]{2,3}-", 1, true, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pattern);
    RegxPattern p{};
    ASSERT_EQ(regx_compile(&p, row.pattern, REGX_EXTENDED), REGX_OK);
    uint32_t loops = p.plan != nullptr ? p.plan->loop_count : 0;
    bool scan = p.plan != nullptr && p.plan->scan.usable != 0;
    EXPECT_EQ(loops, row.loops);
    EXPECT_EQ(scan, row.scan);
    EXPECT_EQ(p.plan != nullptr && p.plan->fixed != nullptr, row.fixed);
    regx_free(&p);
  }
}

// The shortcuts the real rule shapes rely on must be found, or the matcher
// silently falls back to the interpreter: the required run (letters written
// as [Xx] classes), the class loops followed by a word anchor, by another
// class loop, and by a leaf with an exact byte after it.
TEST(RegxFast, PlanFindsTheShortcutsOfRealRules) {
  struct Row {
    const char *pattern;
    const char *fold;  // the required run as its first bytes, or empty
    int words;         // class loops followed by a word anchor
    int nested;        // class loops followed by another class loop
    int keyed;         // class loops whose follower has a key byte
  };
  const Row rows[] = {
      {"^Subject:.*\\<[Aa][Ss] [Ss][Ee][Ee][Nn]", "AS SEEN", 1, 0, 0},
      {"^Received:.*[Hh][Ee][Ll][Oo][ =][Uu][Ss][Ee][Rr]\\)", "USER)", 0, 0, 1},
      {"^Subject:.*[Yy][Oo][Uu][Rr] [Ff][Aa][Mm][Ii][Ll][Yy]", "YOUR FAMILY", 0, 0, 1},
      {"^From:.*[^ ]+<[0-9A-Z_a-z]+", "", 0, 1, 0},
      {"^Received:.*from ([^@]*[^@]@)?www\\.", "", 0, 0, 1},
      {"^Received:.*\\<id * [+,/-9A-Z_a-z-]+", "", 1, 0, 0},
      {"^Subject:.*[0-9]{1,3}[Aa]", "", 0, 1, 0},
      {"[Aa]b", "Ab", 0, 0, 0},
      {"^X:.*[Aa][^b]", "", 0, 0, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pattern);
    RegxPattern p{};
    ASSERT_EQ(regx_compile(&p, row.pattern, REGX_EXTENDED), REGX_OK);
    ASSERT_NE(p.plan, nullptr);
    EXPECT_EQ(std::string((const char *)p.plan->fold.a, p.plan->fold.len), row.fold);
    int words = 0;
    int nested = 0;
    int keyed = 0;
    for (uint32_t i = 0; i < p.plan->loop_count; i++) {
      words += p.plan->loops[i].word != 0;
      nested += p.plan->loops[i].nested != nullptr;
      keyed += p.plan->loops[i].key_offset != 0;
    }
    EXPECT_EQ(words, row.words);
    EXPECT_EQ(nested, row.nested);
    EXPECT_EQ(keyed, row.keyed);
    regx_free(&p);
  }
}

// Up to REGX_LOOP_STATES loops keep their state in the call; one more and the
// pattern keeps it in a block of its own (and says so). Either way the
// results and counts are the plain matcher's, on the small and the full
// stacks.
// Where the shortcuts of the rules that never join a set act: the literals
// the program is cut at (a line without the first of them is answered by the
// cut's bound where the whole program's cannot), and the class loops that
// run as their nodes rather than as frames.
TEST(RegxFast, CutsAndFramesOfRulesThatNeverJoinASet) {
  struct Row {
    const char *pattern;
    const char *cuts;  // the literals cut at, in program order, joined by '|'
    int never;         // class loops never framed (x?)
    int on_long;       // class loops framed on long runs only (x*x: " *" before " ")
    int through;       // class loops whose skip sees past a group's close
    const char *line;  // lacks the first cut's literal, longer than the whole bound
  };
  const Row rows[] = {
      {"^Received:.*from [.0-9]+ \\(HELO [^ ]+[A-Za-z]+\\) by ([^ ]+) with esmtp \\([^ ]+ "
       "[^ ]+\\) id [^ ]{6}-[^ ]{6}-[^ ][^ ] for [^ ]+@\\1;",
       " (HELO | with esmtp (", 0, 0, 0,
       "Received: from mail.example.org (mail.example.org [192.0.2.1]) by mx.example.net "
       "(Postfix) with ESMTP id 4AB12 for <joe@example.net>; Thu, 22 Aug 2002 08:17:21 -0400"},
      {"^To: ?( * )?[\"']?([^\"']*[^\"'])[\"']? <?\\2@", " ", 4, 1, 2,
       "To:undisclosed-recipients:;"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.pattern);
    RegxPattern p{};
    ASSERT_EQ(regx_compile(&p, row.pattern, REGX_EXTENDED), REGX_OK);
    ASSERT_NE(p.plan, nullptr);
    std::string cuts;
    for (uint32_t i = 0; i < p.plan->cut_count; i++) {
      cuts += (i > 0 ? "|" : "") + std::string(p.plan->cuts[i].text);
    }
    EXPECT_EQ(cuts, row.cuts);
    int never = 0;
    int on_long = 0;
    int through = 0;
    for (uint32_t i = 0; i < p.plan->loop_count; i++) {
      never += p.plan->loops[i].framed == RX_FRAME_NEVER;
      on_long += p.plan->loops[i].framed == RX_FRAME_LONG;
      through += p.plan->loops[i].through != nullptr;
    }
    EXPECT_EQ(never, row.never);
    EXPECT_EQ(on_long, row.on_long);
    EXPECT_EQ(through, row.through);
    const size_t len = strlen(row.line);
    EXPECT_FALSE(regx_plan_fits(p.plan, &p, 25000, len));
    ASSERT_GT(p.plan->cut_count, 0u);
    const RegxCut &first = p.plan->cuts[0];
    RegxSubject measures;
    regx_subject_init(&measures, row.line, len);
    EXPECT_TRUE(regx_plan_fits(first.pattern.plan, &first.pattern, 25000, len) ||
                regx_plan_fits_subject(first.pattern.plan, &first.pattern, 25000, &measures));
    regx_compare(&p, row.pattern, row.line, 25000, 0);
    regx_free(&p);
  }
  // A program whose own bound by length covers header lines gets no cuts.
  RegxPattern strong{};
  ASSERT_EQ(regx_compile(&strong, "^Subject: [a-z]*x(y|z)", REGX_EXTENDED), REGX_OK);
  EXPECT_GE(regx_plan_longest(strong.plan, &strong, RX_CUTS_LIMIT), RX_CUTS_LENGTH);
  EXPECT_EQ(strong.plan->cut_count, 0u);
  regx_free(&strong);
}

TEST(RegxFast, LoopStateInTheCallOrInThePattern) {
  for (uint32_t loops : {uint32_t{REGX_LOOP_STATES}, uint32_t{REGX_LOOP_STATES} + 1}) {
    SCOPED_TRACE(loops);
    std::string pattern;
    for (uint32_t i = 0; i < loops; i++) {
      pattern += i % 2 == 0 ? "a?" : "(b|a)?";
    }
    pattern += "c";
    RegxPattern p{};
    ASSERT_EQ(regx_compile(&p, pattern.c_str(), REGX_EXTENDED), REGX_OK);
    EXPECT_EQ(p.loop_count, loops);
    EXPECT_EQ(regx_exec_shared(&p), loops > REGX_LOOP_STATES ? 1 : 0);
    for (const std::string &subject :
         {std::string("aabac"), std::string("c"), std::string(300, 'a') + "bd"}) {
      regx_compare(&p, pattern, subject, 3000000, 0);
      regx_compare(&p, pattern, subject, 700, 0);
    }
    regx_free(&p);
    EXPECT_EQ(p.loop_state, nullptr);
  }
}

}  // namespace
