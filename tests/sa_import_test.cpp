// sa_import: the edge cases of translating SpamAssassin's header rules. The
// bulk of the translation is checked against Perl on real mail by
// tests/sa_import_diff.sh; these rows pin the cases that corpus may lack.
#include "sa_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli_errors.h"
#include "regx.h"

namespace hdrw_cli {
namespace {

// translated_match - whether the translation of expr matches the header line
// "X:..." as the module presents it (white space runs already one space)
bool translated_match(const std::string &expr, const std::string &line) {
  const SaTranslation t = sa_translate(expr);
  EXPECT_TRUE(t.ok) << expr << ": " << t.reason;
  if (!t.ok) return false;
  RegxPattern pattern{};
  const std::string text = "^X:" + t.body;
  EXPECT_EQ(regx_compile(&pattern, text.c_str(), REGX_EXTENDED), REGX_OK) << text;
  uint32_t count = 0;
  const int rc = regx_exec(&pattern, line.c_str(), 25000, &count, 0);
  regx_free(&pattern);
  EXPECT_TRUE(rc == REGX_OK || rc == REGX_NOMATCH) << text << " on " << line;
  return rc == REGX_OK;
}

TEST(SaImport, TranslationAnswersAsPerlDoesOnTheValue) {
  struct Row {
    const char *expr;
    const char *line;
    bool perl;  // Perl's answer on the value: the line after "X:" and one space
  };
  const Row rows[] = {
      {"/\\bfree\\b/i", "X: Get FREE stuff", true},
      {"/\\bfree\\b/i", "X: freedom", false},
      {"/\\bfree\\b/i", "X:free", true},
      {"/\\$\\d+\\b/", "X: only $100 now", true},
      {"/^buy/i", "X: Buy now", true},
      {"/^buy/i", "X: we buy", false},
      {"/^buy/i", "X:buy", true},
      {"/(?:^|\\s)foo/", "X: foo", true},
      {"/(?:^|\\s)foo/", "X: xfoo", false},
      {"/(?:^|\\s)foo/", "X: a foo", true},
      {"/\\sfoo/", "X: foo", false},  // the space after the colon is not the value's
      {"/\\sfoo/", "X: a foo", true},
      {"/^\\s*$/", "X:", true},
      {"/^$/", "X: a", false},
      {"/foo$/", "X: a foo", true},
      {"/foo$/", "X: foo bar", false},
      {"/a[^<>]*\\z/", "X: a b", true},  // Perl's [^<>]* takes the closing line feed
      {"/\\Afoo/", "X: foo", true},
      {"m{^<[^@]+>$}", "X: <abc>", true},
      {"m{^<[^@]+>$}", "X: <a@b>", false},
      {"m!a/b!", "X: xa/b", true},
      {"/\\d{3,}/", "X: ab1234", true},
      {"/\\d{3,}/", "X: 12", false},
      {"/a.*?b/", "X: a--b", true},
      {"/a+?c/", "X: aac", true},
      {"/\\x41BC/", "X: ABC", true},
      {"/\\x{42}/", "X: B", true},
      {"/[^\\w\\s]/", "X: abc def", false},
      {"/[^\\w\\s]/", "X: a-b", true},
      {"/[\\]\\-^]/", "X: a^", true},
      {"/[\\]\\-^]/", "X: a]", true},
      {"/[\\]\\-^]/", "X: a", false},
      {"/(a)\\1/", "X: xaa", true},
      {"/(a)\\1/", "X: xab", false},
      {"/(?:x)(a)\\1/", "X: xaa", true},
      {"/foo|^bar/", "X: bar", true},
      {"/foo|^bar/", "X: a bar", false},
      {"/foo|^bar/", "X: a foo", true},
      {"/(?i)abc/", "X: ABC", true},
      {"/a(?i:b)c/", "X: aBc", true},
      {"/a(?i:b)c/", "X: aBC", false},
      {"/ a b c /x", "X: abc", true},
      {"/\\t/", "X: a b", true},  // a tab of the message arrives as a space
      {"/\\n/", "X: a", true},    // every value ends with a line feed
      {"/\\W/", "X: abc", true},  // which a negated class takes too
      {"/b\\s*$/", "X: ab", true},
      {"/b[^c]a/", "X: abxa", true},
      {"/b[^c]a/", "X: ab", false},
      {"/a{0}b/", "X: b", true},
      {"/\\.(?:ru|cn)$/", "X: mail.cn", true},
      {"/[[:upper:]]{3}/", "X: aBCD", true},
      {"/[[:upper:]]{3}/i", "X: abcd", true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.expr) + " on " + row.line);
    EXPECT_EQ(translated_match(row.expr, row.line), row.perl);
  }
}

TEST(SaImport, UntranslatablePatternsSayWhy) {
  struct Row {
    const char *expr;
    const char *reason;  // part of the reason
  };
  const Row rows[] = {
      {"/a(?=b)/", "look-ahead"},
      {"/(?<!a)b/", "look-behind"},
      {"/a\\Bb/", "\\B"},
      {"/a{300}/", "over 255"},
      {"/a++/", "possessive"},
      {"/(a)\\1/i", "under /i"},
      {"/\\p{L}/", "escape \\p"},
      {"/(?<n>a)/", "group construct"},
      {"/.\\b./", "both kinds"},
      {"/\\x01/", "never match"},
      {"subject", "not a /regex/"},
      {"/abc/e", "flag e"},
      {"/(?:a|\\sb)*^c/", "anchor"},
      {"/(((((((((((((((((((((((((((((((((a)))))))))))))))))))))))))))))))))/", "32 deep"},
      {"/(/", "unterminated group"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.expr);
    const SaTranslation t = sa_translate(row.expr);
    EXPECT_FALSE(t.ok) << t.body;
    EXPECT_NE(t.reason.find(row.reason), std::string::npos) << t.reason;
  }
}

TEST(SaImport, NameSpellingsCoverWhatMailWrites) {
  const std::vector<std::string> id = sa_name_spellings("Message-ID");
  for (const char *s : {"Message-ID", "Message-Id", "Message-id"}) {
    EXPECT_NE(std::find(id.begin(), id.end(), s), id.end()) << s;
  }
  EXPECT_EQ(sa_name_spellings("Subject"), std::vector<std::string>{"Subject"});
  const std::vector<std::string> mime = sa_name_spellings("MIME-Version");
  for (const char *s : {"MIME-Version", "Mime-Version", "MiME-Version"}) {
    EXPECT_NE(std::find(mime.begin(), mime.end(), s), mime.end()) << s;
  }
}

TEST(SaImport, RuleFileMapAndSkippedList) {
  const std::vector<SaSourceFile> files{
      {"20_a.cf",
       "header SUBJ_FREE Subject =~ /\\bfree\\b/i\n"
       "header __XM_A X-Mailer =~ /^Foo/\n"
       "header __XM_B X-Mailer =~ /^Bar/\n"
       "header __MID_X Message-ID =~ /\\@x\\.example>/\n"
       "meta XM_AND_MID (__XM_A || __XM_B) && __MID_X\n"
       "meta XM_NOT __XM_A && !__MID_X\n"
       "header EVAL_T eval:check_for_thing()\n"
       "header ADDR_T From:addr =~ /x/\n"
       "body BODY_T /money/\n"
       "header ZERO_T Subject =~ /zero/\n"
       "header BIG_T Subject =~ /big/ # comment\n"
       "ifplugin Mail::SpamAssassin::Plugin::Foo\n"
       "header PLUG_T Subject =~ /plug/\n"
       "else\n"
       "header PLUG_T Subject =~ /other/\n"
       "endif\n"},
      {"50_scores.cf",
       "score SUBJ_FREE 1.0 2.0 3.0 4.0\n"
       "score XM_AND_MID 2.5\n"
       "score ZERO_T 0 1 1 1\n"
       "score BIG_T 60\n"
       "score EVAL_T 1\n"},
  };
  SaImportOptions options;
  options.first_id = 500;
  const SaImportResult r = sa_import(files, options);
  EXPECT_EQ(r.rules.compare(0, 25, "# version 04/18/2001/002\n"), 0);
  EXPECT_NE(r.rules.find("Apache License, Version 2.0"), std::string::npos);
  // Score set 0, scale 20; IDs in definition order; one line per spelling.
  EXPECT_NE(r.rules.find("0000000500020001&-^Subject:.*\\<[Ff][Rr][Ee][Ee]\\>\n"),
            std::string::npos)
      << r.rules;
  EXPECT_NE(r.rules.find("0000000501050005&+^X-Mailer:( ?Foo| ?Bar)\n"), std::string::npos)
      << r.rules;
  EXPECT_NE(r.rules.find("0000000501050005&.^Message-Id:.*@x\\.example>\n"), std::string::npos);
  EXPECT_NE(r.rules.find("0000000501050005&.^Message-id:.*@x\\.example>\n"), std::string::npos);
  EXPECT_NE(r.rules.find("0000000502999001&-^Subject:.*big\n"), std::string::npos) << r.rules;
  EXPECT_NE(r.rules.find("0000000503020001&-^Subject:.*plug\n"), std::string::npos);
  EXPECT_EQ(r.rules.find("other"), std::string::npos);
  EXPECT_EQ(r.imported_header, 3u);
  EXPECT_EQ(r.imported_meta, 1u);
  EXPECT_NE(r.map.find("502\tBIG_T\tSubject\t/big/\t60\t999\tweight 1200 clamped\n"),
            std::string::npos)
      << r.map;
  EXPECT_NE(r.map.find("501\tXM_AND_MID\tmeta\t__XM_A X-Mailer =~ /^Foo/ || __XM_B"),
            std::string::npos);
  for (const char *line :
       {"XM_NOT\t20_a.cf\tmeta with NOT\n", "EVAL_T\t20_a.cf\teval: test (code, not a pattern)\n",
        "ADDR_T\t20_a.cf\theader modifier :addr (the part is not confined)\n",
        "BODY_T\t20_a.cf\tbody rule: not a header test\n", "ZERO_T\t20_a.cf\tscore 0 in set 0\n"}) {
    EXPECT_NE(r.skipped.find(line), std::string::npos) << line << r.skipped;
  }
  EXPECT_THROW(sa_import(files, SaImportOptions{20, 4, 1, ""}), Failure);

  // --unscored: the sub-rules and the rule scored 0 come along at weight 0;
  // the scored rules keep their weights.
  options.unscored = true;
  const SaImportResult all = sa_import(files, options);
  EXPECT_EQ(all.imported_header, 3u);
  EXPECT_EQ(all.imported_meta, 1u);
  EXPECT_EQ(all.imported_unscored, 4u);
  for (const char *line :
       {"\tSUBJ_FREE\tSubject\t/\\bfree\\b/i\t1\t20\t\n", "\t__XM_A\tX-Mailer\t/^Foo/\t0\t0\t",
        "\tZERO_T\tSubject\t/zero/\t0\t0\t"}) {
    EXPECT_NE(all.map.find(line), std::string::npos) << line << all.map;
  }
  EXPECT_EQ(all.skipped.find("ZERO_T"), std::string::npos);
}

}  // namespace
}  // namespace hdrw_cli
