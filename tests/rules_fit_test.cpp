// rules_fit_test - "rules fit" run as the command: a hand-built corpus whose
// right weights are plain, and generated corpora on which the fit's own
// figures are held against rules stats (the module's verdicts) with the
// written rule file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cli_json_text.h"
#include "cli_run.h"
#include "container_fixture.h"
#include "test_support.h"

namespace {

using hdrw_cli::json_parse;
using hdrw_cli::JsonValue;
using hdrw_test::CliRun;
using hdrw_test::lines_of;
using hdrw_test::read_file;
using hdrw_test::TempDir;
using hdrw_test::write_file;

CliRun run_cli(const TempDir &dir, const std::vector<std::string> &args) {
  return hdrw_test::run_program(HDRW_CLI_PATH, dir, args);
}

const JsonValue &member(const JsonValue &v, const std::string &name) {
  return hdrw_cli::json_member(v, name, name);
}
int64_t number(const JsonValue &v, const std::string &name) {
  return hdrw_cli::json_int64(member(v, name), name);
}

// rule_line - a format-2 rule line
std::string rule_line(int id, int weight, bool multi, bool last, const std::string &pattern) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%010d", id);
  std::string w = weight < 0 ? "-" + std::string(weight > -10 ? "0" : "") + std::to_string(-weight)
                             : std::string(weight < 10    ? "00"
                                           : weight < 100 ? "0"
                                                          : "") +
                                   std::to_string(weight);
  return buf + w + (multi ? "005" : "001") + (multi ? (last ? "&." : "&+") : "&-") + pattern + "\n";
}

// same_but_weights - a and b have the same lines, equal but for columns 11-13
void expect_same_but_weights(const std::string &a, const std::string &b) {
  const std::vector<std::string> x = lines_of(a), y = lines_of(b);
  ASSERT_EQ(x.size(), y.size());
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i].empty() || x[i][0] == '#') {
      EXPECT_EQ(x[i], y[i]);
    } else {
      ASSERT_EQ(x[i].size(), y[i].size()) << x[i];
      EXPECT_EQ(x[i].substr(0, 10) + x[i].substr(13), y[i].substr(0, 10) + y[i].substr(13));
    }
  }
}

// A corpus where only two rules together tell spam: 201 and 202 hit every
// spam and no ham, 203 every ham and half the spam; 204 hits nothing; the
// multi-line 205 hits what 201 and 202 both hit. Their current weights catch
// nothing at 100. The right answer: 201, 202 and 205 together reach 100, none
// alone (each stays below it), 203 no higher, 204 as it was.
TEST(RulesFit, KnownAnswerEndToEnd) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("spam"));
  std::filesystem::create_directories(dir.file("ham"));
  const std::string rules = "# version 04/18/2001/002\n# a comment kept as it is\n" +
                            rule_line(201, 10, false, false, "^Subject:.*offer") +
                            rule_line(202, 10, false, false, "^X-Mailer: Bulk") +
                            rule_line(203, 30, false, false, "^From:.*@example\\.org") +
                            rule_line(204, 7, false, false, "^X-Never:") +
                            rule_line(205, 10, true, false, "^X-Mailer: Bulk") +
                            rule_line(205, 10, true, true, "^Subject:.*offer");
  write_file(dir.file("rules.txt"), rules);
  const std::string cert = "a certificate of the tests\n";
  write_file(dir.file("cert.pem"), cert);
  for (int i = 0; i < 20; ++i) {
    write_file(dir.file("spam/s" + std::to_string(i)),
               "Subject: an offer " + std::to_string(i) + "\nX-Mailer: Bulk\n" +
                   (i % 2 == 0 ? "From: x@example.org\n" : "") + "\nbody\n");
  }
  for (int i = 0; i < 40; ++i) {
    write_file(dir.file("ham/h" + std::to_string(i)),
               "Subject: minutes " + std::to_string(i) + "\nFrom: y@example.org\n\n");
  }
  CliRun r = run_cli(
      dir, {"rules", "fit", "--rules", dir.file("rules.txt"), "--spam", dir.file("spam"), "--ham",
            dir.file("ham"), "--json", "-o", dir.file("fitted.txt"), "--max-ham-flagged", "0%"});
  ASSERT_EQ(r.status, 0) << r.err;
  const JsonValue report = json_parse(r.out);
  std::map<int64_t, int64_t> fitted;
  for (const JsonValue &rule : member(report, "rules").items) {
    fitted[number(rule, "rule")] = number(rule, "new");
  }
  EXPECT_GE(fitted[201] + fitted[202] + fitted[205], 100);
  for (int id : {201, 202, 205}) EXPECT_LT(fitted[id], 100) << id;
  EXPECT_LE(fitted[203], 30);
  EXPECT_EQ(fitted[204], 7);
  const JsonValue &training = member(member(report, "training"), "fitted");
  EXPECT_EQ(number(training, "spam_caught"), 20);
  EXPECT_EQ(number(training, "ham_flagged"), 0);
  EXPECT_EQ(number(member(member(report, "training"), "current"), "spam_caught"), 0);
  for (const JsonValue &fold : member(member(report, "held_out"), "folds").items) {
    EXPECT_EQ(number(member(fold, "fitted"), "spam_caught"),
              number(member(fold, "fitted"), "spam"));
    EXPECT_EQ(number(member(fold, "fitted"), "ham_flagged"), 0);
  }

  // The file: only weights changed (both lines of 205); the module's own
  // verdicts with it are the fit's.
  const std::string out = read_file(dir.file("fitted.txt"));
  expect_same_but_weights(rules, out);
  const std::vector<std::string> lines = lines_of(out);
  EXPECT_EQ(lines[6].substr(10, 3), lines[7].substr(10, 3));
  CliRun stats =
      run_cli(dir, {"rules", "stats", "--rules", dir.file("fitted.txt"), "--spam", dir.file("spam"),
                    "--ham", dir.file("ham"), "--json", "--thresholds", "100"});
  ASSERT_EQ(stats.status, 0) << stats.err;
  const JsonValue curve = json_parse(stats.out);
  const JsonValue &row = member(curve, "thresholds").items.at(0);
  EXPECT_EQ(number(row, "spam_caught"), 20);
  EXPECT_EQ(number(row, "ham_flagged"), 0);

  // Stored for a certificate: the same text once decrypted.
  CliRun stored = run_cli(dir, {"rules", "fit", "--rules", dir.file("rules.txt"), "--cert",
                                dir.file("cert.pem"), "--spam", dir.file("spam"), "--ham",
                                dir.file("ham"), "-o", dir.file("kelv"), "--max-ham-flagged", "0"});
  ASSERT_EQ(stored.status, 0) << stored.err;
  CliRun plain =
      run_cli(dir, {"rules", "decrypt", "--cert", dir.file("cert.pem"), dir.file("kelv")});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out, out);
}

// Generated corpora: header X-Tj present with a probability per class, one
// rule per header (one of them a two-line rule), random current weights.
struct Generated {
  TempDir dir;
  std::string rules;
};

void generate(Generated &g, uint32_t seed) {
  std::mt19937 random(seed);
  auto uniform = [&](int lo, int hi) {
    return lo + static_cast<int>(random() % static_cast<uint32_t>(hi - lo + 1));
  };
  constexpr int kHeaders = 10;
  std::vector<double> p_spam, p_ham;
  for (int j = 0; j < kHeaders; ++j) {
    p_spam.push_back(uniform(5, 70) / 100.0);
    p_ham.push_back(j == 0 ? 0.01 : uniform(0, 30) / 100.0);
  }
  g.rules = "# version 04/18/2001/002\n";
  for (int j = 0; j < kHeaders; ++j) {
    const std::string pattern = "^X-T" + std::to_string(j) + ": y";
    const int weight = j == 0 ? 120 : uniform(-30, 45);  // rule 1000 reaches 100 alone
    if (j == 4) {
      g.rules += rule_line(1000 + j, weight, true, false, "^X-T9: y");
      g.rules += rule_line(1000 + j, weight, true, true, pattern);
    } else {
      g.rules += rule_line(1000 + j, weight, false, false, pattern);
    }
  }
  write_file(g.dir.file("rules.txt"), g.rules);
  for (const char *cls : {"spam", "ham"}) {
    std::filesystem::create_directories(g.dir.file(cls));
    const bool spam = cls[0] == 's';
    for (int i = 0; i < (spam ? 80 : 160); ++i) {
      std::string text;
      for (int j = 0; j < kHeaders; ++j) {
        if (static_cast<double>(random() % 1000) < 1000 * (spam ? p_spam[j] : p_ham[j])) {
          text += "X-T" + std::to_string(j) + ": y\n";
        }
      }
      write_file(g.dir.file(std::string(cls) + "/" + std::to_string(i)),
                 text + "Subject: " + std::to_string(i) + "\n\n");
    }
  }
}

// On every generated corpus: the fitted weights do no worse on the mail fitted
// than the current ones within the ham limit, the module's verdicts with the
// written file are the fit's figures, the file differs only in weights, no
// rule newly reaches the threshold alone, and the figures are the same for
// the same seed whatever the jobs, and from hits files as from mail.
TEST(RulesFit, PropertiesOnGeneratedCorpora) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    Generated g;
    generate(g, seed);
    const std::vector<std::string> source = {
        "rules",  "fit", "--rules", g.dir.file("rules.txt"), "--max-ham-flagged", "2%",
        "--seed", "9",   "--json"};
    std::vector<std::string> args = source;
    for (const char *a : {"--spam", "spam", "--ham", "ham"}) {
      args.push_back(a[0] == '-' ? a : g.dir.file(a));
    }
    std::vector<std::string> one = args, two = args;
    one.insert(one.end(), {"-o", g.dir.file("fitted.txt")});
    two.insert(two.end(), {"--jobs", "3"});
    CliRun a = run_cli(g.dir, one), b = run_cli(g.dir, two);
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out);

    // From a hits file (two shards), the same figures.
    for (const char *cls : {"spam", "ham"}) {
      CliRun h = run_cli(
          g.dir, {"rules", "stats", "--rules", g.dir.file("rules.txt"), std::string("--") + cls,
                  g.dir.file(cls), "--hits", g.dir.file(std::string(cls) + ".hits")});
      ASSERT_EQ(h.status, 0) << h.err;
    }
    std::vector<std::string> from_hits = source;
    from_hits.insert(from_hits.end(), {"--hits", g.dir.file("spam.hits"), g.dir.file("ham.hits")});
    CliRun c = run_cli(g.dir, from_hits);
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, a.out);

    const JsonValue report = json_parse(a.out);
    const JsonValue &current = member(member(report, "training"), "current");
    const JsonValue &fitted = member(member(report, "training"), "fitted");
    const int64_t allowed = number(fitted, "ham") * 2 / 100;
    EXPECT_LE(number(fitted, "ham_flagged"), allowed);
    if (number(current, "ham_flagged") <= allowed) {
      EXPECT_GE(number(fitted, "spam_caught"), number(current, "spam_caught"));
    }
    for (const JsonValue &rule : member(report, "rules").items) {
      const int64_t old_weight = number(rule, "old"), new_weight = number(rule, "new");
      EXPECT_TRUE(new_weight >= -99 && new_weight <= 999);
      if (old_weight < 100) {
        EXPECT_LT(new_weight, 100) << number(rule, "rule");
      }
    }
    const std::string out = read_file(g.dir.file("fitted.txt"));
    expect_same_but_weights(g.rules, out);
    CliRun stats = run_cli(
        g.dir, {"rules", "stats", "--rules", g.dir.file("fitted.txt"), "--spam", g.dir.file("spam"),
                "--ham", g.dir.file("ham"), "--json", "--thresholds", "100"});
    ASSERT_EQ(stats.status, 0) << stats.err;
    const JsonValue curve = json_parse(stats.out);
    const JsonValue &row = member(curve, "thresholds").items.at(0);
    EXPECT_EQ(number(row, "spam_caught"), number(fitted, "spam_caught"));
    EXPECT_EQ(number(row, "ham_flagged"), number(fitted, "ham_flagged"));
  }
}

// Hits files that do not belong to the fit are refused with one line, and
// options that cannot make a fit are usage errors.
TEST(RulesFit, RefusesWhatItCannotFit) {
  Generated g;
  generate(g, 5);
  CliRun h = run_cli(
      g.dir, {"rules", "stats", "--rules", g.dir.file("rules.txt"), "--spam", g.dir.file("spam"),
              "--ham", g.dir.file("ham"), "--hits", g.dir.file("all.hits")});
  ASSERT_EQ(h.status, 0) << h.err;
  write_file(g.dir.file("other.txt"), g.rules + "# one more line\n");
  const std::string hits = read_file(g.dir.file("all.hits"));
  write_file(g.dir.file("cut.hits"), hits.substr(0, hits.size() - 1));
  struct Case {
    std::vector<std::string> args;
    std::string why;
  };
  const std::vector<Case> cases = {
      {{"--rules", g.dir.file("rules.txt"), "--hits", g.dir.file("all.hits"),
        g.dir.file("all.hits")},
       "the same report given twice"},
      {{"--rules", g.dir.file("other.txt"), "--hits", g.dir.file("all.hits")},
       "hits of another rule file"},
      {{"--rules", g.dir.file("rules.txt"), "--hits", g.dir.file("cut.hits")}, "no line end"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"rules", "fit"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CliRun r = run_cli(g.dir, args);
    EXPECT_EQ(r.status, 1) << c.why;
    ASSERT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
  }
  const std::string rules = g.dir.file("rules.txt"), spam = g.dir.file("spam"),
                    ham = g.dir.file("ham");
  const std::vector<std::vector<std::string>> usage = {
      {"--rules", rules, "--spam", spam},
      {"--rules", rules, "--spam", spam, "--hits", g.dir.file("all.hits")},
      {"--rules", rules, "--spam", spam, "--ham", ham, "--threshold", "0"},
      {"--rules", rules, "--spam", spam, "--ham", ham, "--max-ham-flagged", "2"},
      {"--rules", rules, "--spam", spam, "--ham", ham, "--max-ham-flagged", "nan"},
      {"--rules", rules, "--spam", spam, "--ham", ham, "--folds", "1"},
      {"--rules", rules, "--spam", spam, "--ham", ham, "--seed", "-1"},
      {"--rules", rules, "--spam", spam, "--ham", ham, "-o", "-"},
  };
  for (const auto &words : usage) {
    std::vector<std::string> args = {"rules", "fit"};
    args.insert(args.end(), words.begin(), words.end());
    CliRun r = run_cli(g.dir, args);
    EXPECT_EQ(r.status, 2) << words.back();
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  }
}

}  // namespace
