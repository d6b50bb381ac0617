// rules_tools_test - "rules stats" and "rules explain" run as the command on a
// corpus written here, whose figures are worked out by hand below, and on the
// bundled examples. Their verdicts are held against scan, which runs the real
// module through dlopen; their JSON is read back with the command's reader
// and the SVG with libxml2.
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
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

// Rules: 101 and 102 single, 103 negative, 104 a two-line rule, 105 a pattern
// that meets a backtrack limit of 1000 on a long run of a's.
constexpr char kRules[] =
    "# version 04/18/2001/002\n"
    "0000000101060001&-^Subject:.*[Ww]in\n"
    "0000000102040001&-^From:.*@spam\\.example\n"
    "0000000103-30001&-^List-Id:\n"
    "0000000104000005&+^X-Mailer: Bulk\n"
    "0000000104050005&.^To:.*undisclosed\n"
    "0000000105010001&-^X-Bomb: (a|aa)*c$\n";

const std::string kBomb = "X-Bomb: " + std::string(40, 'a');

// Per message, the hits with every rule run and the peak of the running total:
//   s1  101 +60, 102 +40        peak 100            s2  101 +60, 104 +50   peak 110
//   s3  102 +40 (105 meets the limit on X-Bomb)     peak 40
//   h1  101 +60, 102 +40, 103 -30: total 70, peak 100, so threshold 100 flags it
//   h2  105 +10                 peak 10             h3  nothing
//   h4  header block over maxTotalHeadersLength: spam at every threshold, unread
const std::vector<std::pair<std::string, std::string>> kCorpus = {
    {"spam/s1.eml", "Subject: You win\nFrom: a@spam.example\n\nbody\n"},
    {"spam/s2.eml", "Subject: win big\nX-Mailer: Bulk 1.0\nTo: undisclosed recipients\n\n"},
    {"spam/s3.eml", "From: b@spam.example\n" + kBomb + "\n\n"},
    {"ham/h1.eml", "Subject: winter news\nFrom: news@spam.example\nList-Id: <news.example>\n\n"},
    {"ham/h2.eml", "From: friend@ok.example\nX-Bomb: aac\n\n"},
    {"ham/h3.eml", "Subject: hello\n\nSee you.\n"},
    {"ham/h4.eml", "X-Long: " + std::string(2100, 'x') + "\n\n"},
    // Left unjudged by the module: a last header line without its LF, and a
    // block of nothing but control bytes (no record of the engine's own).
    {"odd/no-lf.eml", "Subject: win"},
    {"odd/controls.eml", std::string("\x01\x02\x03", 3)},
};

// A load point with the rules stored for its certificate and a configuration
// of small limits, and the corpus beside it.
struct Corpus {
  TempDir dir;
  std::string config = dir.file("server.xml");
  Corpus() {
    std::filesystem::create_directories(dir.file("spam"));
    std::filesystem::create_directories(dir.file("ham"));
    std::filesystem::create_directories(dir.file("odd"));
    const std::string cert = "a certificate of the tests\n";
    write_file(dir.file("cert.pem"), cert);
    hdrw_test::write_rule_file(dir.file("kelv"), kRules, hdrw_test::fixture_key_from_cert(cert));
    write_file(config,
               "<server><package name=\"serverPackage\"><clientCert>cert.pem</clientCert></package>"
               "<modules><module name=\"hdrweights\"><maxHeaderLength>768</maxHeaderLength>"
               "<maxTotalHeadersLength>2000</maxTotalHeadersLength>"
               "<maxBackTracks>1000</maxBackTracks></module></modules></server>\n");
    for (const auto &[name, text] : kCorpus) write_file(dir.file(name), text);
  }
  std::string path(const std::string &name) const { return dir.file(name); }
};

const JsonValue &member(const JsonValue &v, const std::string &name) {
  return hdrw_cli::json_member(v, name, name);
}
int64_t number(const JsonValue &v, const std::string &name) {
  return hdrw_cli::json_int64(member(v, name), name);
}

// without_times - a stats report with its matching times and report IDs
// blanked, the figures that differ from run to run
std::string without_times(std::string json) {
  for (const std::string key : {"\"match_ns\": ", "\"time_share\": ", "\"report_ids\": "}) {
    for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
      const size_t start = at + key.size();
      const size_t end =
          json[start] == '[' ? json.find(']', start) + 1 : json.find_first_of(",}", start);
      json.replace(start, end - start, "0");
    }
  }
  return json;
}

// replaced - text with the first from replaced by to (which must be there)
std::string replaced(std::string text, const std::string &from, const std::string &to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// scan_line - the text line scan prints for one line of scan --json
std::string scan_line(const std::string &json_line) {
  const JsonValue v = json_parse(json_line);
  for (const auto &m : v.members) {
    if (m.name == "error") return "error - " + member(v, "path").text + " " + m.value.text;
  }
  std::string out = member(v, "verdict").type == JsonValue::STRING ? "spam " : "ok ";
  out += std::to_string(number(v, "score")) + " " + member(v, "path").text;
  for (const JsonValue &h : member(v, "hits").items) {
    out += " " + std::to_string(number(h, "rule")) + ":" + std::to_string(number(h, "weight"));
  }
  return out;
}

std::map<std::string, std::string> scan_lines(const TempDir &dir, const std::string &config,
                                              const std::vector<std::string> &paths,
                                              int32_t threshold) {
  std::vector<std::string> args = {"scan", "--json",      "--config",
                                   config, "--threshold", std::to_string(threshold)};
  args.insert(args.end(), paths.begin(), paths.end());
  CliRun r = run_cli(dir, args);
  EXPECT_TRUE(r.status == 0 || r.status == 1) << r.err;  // 1: a message went unjudged
  std::map<std::string, std::string> out;
  for (const std::string &line : lines_of(r.out)) {
    const std::string text = scan_line(line);
    out[member(json_parse(line), "path").text] = text;
  }
  return out;
}

// The figures of the corpus, read back from the JSON report.
// A report's strings (patterns hold any bytes) are written as valid JSON that
// reads back to one string, written the same ever after; text that is not
// UTF-8 as the writer passes it is refused.
TEST(JsonText, StringsReadBackToWhatWasWritten) {
  std::vector<std::string> subjects = {"plain",
                                       "caf\xC3\xA9",
                                       "\xE2\x82\xAC \xF0\x9F\x93\xA7",
                                       "\xC3",
                                       "\xE0\x80",
                                       "\x80\xBF\xC0\xC1\xF5\xFF",
                                       std::string("nul\0tab\t\x7F", 9)};
  for (int b = 1; b < 256; ++b) {
    subjects.push_back("<" + std::string(1, static_cast<char>(b)) + ">");
  }
  for (const std::string &subject : subjects) {
    std::string written;
    hdrw_cli::append_json_string(written, subject);
    const std::string again = json_parse(written).text;
    std::string rewritten;
    hdrw_cli::append_json_string(rewritten, again);
    // The same string (a byte the writer escaped comes back as its UTF-8
    // character), written the same from then on.
    EXPECT_EQ(json_parse(rewritten).text, again) << written;
    std::string third;
    hdrw_cli::append_json_string(third, json_parse(rewritten).text);
    EXPECT_EQ(third, rewritten) << written;
  }
  for (const char *bad : {"\"\xFF\"", "\"\xC3\"", "\"a\xE2\x82\"", "\"\xF5\x80\x80\x80\""}) {
    EXPECT_THROW(json_parse(bad), hdrw_cli::JsonError) << bad;
  }
}

TEST(RulesStats, CorpusFiguresAsWorkedOut) {
  Corpus c;
  CliRun r = run_cli(c.dir, {"rules", "stats", "--config", c.config, "--spam", c.path("spam"),
                             "--ham", c.path("ham"), "--json", "--plot", c.path("curve.svg")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_of(r.err).back().rfind("hdrweights: 7 messages, 4 spam, ", 0), 0u) << r.err;
  const JsonValue report = json_parse(r.out);

  struct Totals {
    const char *cls;
    int64_t messages, always, evaluated, positive;
    std::vector<std::pair<int64_t, int64_t>> peaks;
  };
  for (const Totals &want : {Totals{"spam", 3, 0, 3, 3, {{40, 1}, {100, 1}, {110, 1}}},
                             Totals{"ham", 4, 1, 3, 2, {{10, 1}, {100, 1}}}}) {
    SCOPED_TRACE(want.cls);
    const JsonValue &t = member(report, want.cls);
    EXPECT_EQ(number(t, "messages"), want.messages);
    EXPECT_EQ(number(t, "always"), want.always);
    EXPECT_EQ(number(t, "evaluated"), want.evaluated);
    EXPECT_EQ(number(t, "positive"), want.positive);
    std::vector<std::pair<int64_t, int64_t>> peaks;
    for (const JsonValue &p : member(t, "peaks").items) {
      peaks.emplace_back(std::stoll(p.items[0].text), std::stoll(p.items[1].text));
    }
    EXPECT_EQ(peaks, want.peaks);
  }

  struct Rule {
    int64_t id, weight, lines, spam_hits, ham_hits, limit_lines, max_backtracks;
    const char *spam_share;  // the JSON number's text
  };
  const std::vector<Rule> rules = {{101, 60, 1, 2, 1, 0, -1, "0.666667"},
                                   {102, 40, 1, 2, 1, 0, -1, "0.666667"},
                                   {103, -30, 1, 0, 1, 0, -1, "0"},
                                   {104, 50, 2, 1, 0, 0, -1, "1"},
                                   {105, 10, 1, 0, 1, 1, 1000, "0"}};
  const auto &got = member(report, "rules").items;
  ASSERT_EQ(got.size(), rules.size());
  for (size_t i = 0; i < rules.size(); ++i) {
    SCOPED_TRACE(rules[i].id);
    EXPECT_EQ(number(got[i], "rule"), rules[i].id);
    EXPECT_EQ(number(got[i], "weight"), rules[i].weight);
    EXPECT_EQ(number(got[i], "lines"), rules[i].lines);
    EXPECT_EQ(number(got[i], "spam_hits"), rules[i].spam_hits);
    EXPECT_EQ(number(got[i], "ham_hits"), rules[i].ham_hits);
    EXPECT_EQ(number(got[i], "limit_lines"), rules[i].limit_lines);
    EXPECT_EQ(member(got[i], "spam_share").text, rules[i].spam_share);
    if (rules[i].max_backtracks >= 0) {
      EXPECT_EQ(number(got[i], "max_backtracks"), rules[i].max_backtracks);
    }
    EXPECT_EQ(member(got[i], "limit_header").type == JsonValue::STRING, rules[i].limit_lines > 0);
  }
  EXPECT_EQ(member(got[4], "limit_header").text, kBomb.substr(0, 80));
  EXPECT_EQ(member(got[0], "spam_rate").text, "0.666667");
  EXPECT_EQ(member(got[0], "ham_rate").text, "0.25");

  // The curve steps at every peak; the ham flagged at 100 are h1 (stopped at
  // 100 before its negative rule) and the unread h4.
  std::vector<std::vector<int64_t>> table;
  for (const JsonValue &row : member(report, "thresholds").items) {
    table.push_back(
        {number(row, "threshold"), number(row, "spam_caught"), number(row, "ham_flagged")});
  }
  EXPECT_EQ(table,
            (std::vector<std::vector<int64_t>>{{10, 3, 3}, {40, 3, 2}, {100, 2, 2}, {110, 1, 1}}));
  std::vector<std::string> flagged;
  for (const JsonValue &h : member(report, "flagged_ham").items) {
    std::string line = std::to_string(number(h, "score")) + " " + member(h, "path").text;
    for (const JsonValue &hit : member(h, "hits").items) {
      line +=
          " " + std::to_string(number(hit, "rule")) + ":" + std::to_string(number(hit, "weight"));
    }
    flagged.push_back(line);
  }
  EXPECT_EQ(flagged, (std::vector<std::string>{"100 " + c.path("ham/h1.eml") + " 101:60 102:40",
                                               "0 " + c.path("ham/h4.eml")}));

  // The picture: well-formed XML, one point per threshold row in each curve.
  const std::string svg = read_file(c.path("curve.svg"));
  xmlDocPtr doc = xmlReadMemory(svg.data(), static_cast<int>(svg.size()), "curve.svg", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  ASSERT_NE(doc, nullptr) << svg;
  std::map<std::string, size_t> points;
  for (xmlNodePtr n = xmlDocGetRootElement(doc)->children; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE || xmlStrcmp(n->name, BAD_CAST "polyline") != 0) continue;
    xmlChar *id = xmlGetProp(n, BAD_CAST "id");
    xmlChar *list = xmlGetProp(n, BAD_CAST "points");
    std::string text = reinterpret_cast<const char *>(list);
    points[reinterpret_cast<const char *>(id)] =
        static_cast<size_t>(std::count(text.begin(), text.end(), ','));
    xmlFree(id);
    xmlFree(list);
  }
  xmlFreeDoc(doc);
  EXPECT_EQ(points, (std::map<std::string, size_t>{{"ham-flagged", 4}, {"spam-caught", 4}}));
}

// The text table: S/O normalises the hit rates by class size (rule 101: 2 of
// 3 spam, 1 of 4 ham, so 0.667 / (0.667 + 0.25)), and every threshold row
// gives the spam share of what it flags.
TEST(RulesStats, TextShowsSoAndPrecision) {
  Corpus c;
  CliRun r = run_cli(c.dir, {"rules", "stats", "--config", c.config, "--spam", c.path("spam"),
                             "--ham", c.path("ham")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> so, precision;
  for (const std::string &line : lines_of(r.out)) {
    std::istringstream in(line);
    std::vector<std::string> f;
    for (std::string w; in >> w;) f.push_back(w);
    if (f.size() >= 13 && f[0].size() == 3) so[f[0]] = f[7];
    if (f.size() >= 6 && f[0] != "THRESHOLD" && f[2].back() == '%' && f[4].back() == '%')
      precision[f[0]] = f[5];
  }
  EXPECT_EQ(so, (std::map<std::string, std::string>{{"101", "0.727"},
                                                    {"102", "0.727"},
                                                    {"103", "0.000"},
                                                    {"104", "1.000"},
                                                    {"105", "0.000"}}))
      << r.out;
  EXPECT_EQ(precision, (std::map<std::string, std::string>{
                           {"10", "0.500"}, {"40", "0.600"}, {"100", "0.500"}, {"110", "0.500"}}))
      << r.out;
}

// At any threshold, the curve counts and the flagged ham are what scan
// answers at that threshold; more jobs change nothing but the times.
TEST(RulesStats, CurveAgreesWithScanAtEveryThreshold) {
  Corpus c;
  const std::vector<int32_t> thresholds = {-1, 0, 10, 35, 40, 100, 101, 110, 200};
  std::string list;
  for (int32_t t : thresholds) list += (list.empty() ? "" : ",") + std::to_string(t);
  std::string reports[2];
  for (int jobs : {1, 3}) {
    CliRun r = run_cli(
        c.dir, {"rules", "stats", "--config", c.config, "--spam", c.path("spam"), "--ham",
                c.path("ham"), "--json", "--thresholds", list, "--jobs", std::to_string(jobs)});
    ASSERT_EQ(r.status, 0) << r.err;
    reports[jobs == 1 ? 0 : 1] = without_times(r.out);
  }
  EXPECT_EQ(reports[0], reports[1]);
  const JsonValue report = json_parse(reports[0]);
  const auto &rows = member(report, "thresholds").items;
  ASSERT_EQ(rows.size(), thresholds.size());
  for (size_t i = 0; i < thresholds.size(); ++i) {
    SCOPED_TRACE(thresholds[i]);
    size_t spam = 0, ham = 0;
    for (const auto &[path, line] :
         scan_lines(c.dir, c.config, {c.path("spam"), c.path("ham")}, thresholds[i])) {
      const bool flagged = line.rfind("spam ", 0) == 0;
      (path.find("/spam/") != std::string::npos ? spam : ham) += flagged;
    }
    EXPECT_EQ(number(rows[i], "threshold"), thresholds[i]);
    EXPECT_EQ(number(rows[i], "spam_caught"), static_cast<int64_t>(spam));
    EXPECT_EQ(number(rows[i], "ham_flagged"), static_cast<int64_t>(ham));
  }
  // The flagged ham with their hits, as scan prints them at threshold 100.
  std::vector<std::string> want;
  for (const auto &[path, line] : scan_lines(c.dir, c.config, {c.path("ham")}, 100)) {
    if (line.rfind("spam ", 0) == 0) want.push_back(line);
  }
  CliRun text = run_cli(c.dir, {"rules", "stats", "--config", c.config, "--ham", c.path("ham")});
  ASSERT_EQ(text.status, 0) << text.err;
  std::vector<std::string> out = lines_of(text.out);
  auto at = std::find(out.begin(), out.end(), "ham flagged at threshold 100: 2");
  ASSERT_NE(at, out.end()) << text.out;
  EXPECT_EQ(std::vector<std::string>(at + 1, out.end()), want);
}

// A corpus in three shards, merged, gives the whole corpus's report; reports
// that cannot be merged are refused with one line naming the file.
TEST(RulesStats, ShardsMergeToTheWhole) {
  Corpus c;
  CliRun whole = run_cli(c.dir, {"rules", "stats", "--config", c.config, "--spam", c.path("spam"),
                                 "--ham", c.path("ham"), "--json"});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::vector<std::vector<std::string>> shards = {
      {"--spam", c.path("spam/s1.eml"), c.path("spam/s2.eml")},
      {"--spam", c.path("spam/s3.eml"), "--ham", c.path("ham/h1.eml")},
      {"--ham", c.path("ham/h2.eml"), c.path("ham/h3.eml"), c.path("ham/h4.eml")}};
  std::vector<std::string> merge = {"rules", "stats", "--json", "--merge"};
  for (size_t i = 0; i < shards.size(); ++i) {
    std::vector<std::string> args = {"rules", "stats", "--config", c.config, "--json"};
    args.insert(args.end(), shards[i].begin(), shards[i].end());
    CliRun r = run_cli(c.dir, args);
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(c.path("shard" + std::to_string(i) + ".json"), r.out);
    merge.push_back(c.path("shard" + std::to_string(i) + ".json"));
  }
  CliRun merged = run_cli(c.dir, merge);
  ASSERT_EQ(merged.status, 0) << merged.err;
  EXPECT_EQ(without_times(merged.out), without_times(whole.out));
  EXPECT_EQ(member(json_parse(merged.out), "report_ids").items.size(), 3u);

  // The same rules plus one comment line are another rule text.
  write_file(c.path("other.txt"), std::string(kRules) + "# one more line\n");
  CliRun other = run_cli(c.dir, {"rules", "stats", "--rules", c.path("other.txt"), "--spam",
                                 c.path("spam/s1.eml"), "--json"});
  ASSERT_EQ(other.status, 0) << other.err;
  write_file(c.path("other.json"), other.out);
  const std::string good = read_file(c.path("shard0.json"));
  struct Bad {
    std::string name, text, why;
  };
  const std::vector<Bad> bad = {
      {"other.json", other.out, "a report of another rule file"},
      {"cut.json", good.substr(0, good.size() / 2), "malformed report: line "},
      {"extra.json", replaced(good, "\"failed\": 0", "\"failed\": 0, \"x\": 1"),
       "malformed report: the report: unknown member \"x\""},
      {"minus.json", replaced(good, "\"spam_hits\": 2", "\"spam_hits\": -2"),
       "malformed report: rules[0].spam_hits: expected a whole number of at least 0"},
      {"limits.json", replaced(good, "\"max_backtracks\": 1000}", "\"max_backtracks\": 999}"),
       "taken with other limits"},
      // Counts that break the report's own invariants: a count of 2^64-1
      // that would wrap, hits above the messages, a class not the sum of its
      // parts, times that do not add up; and the same report given twice.
      {"wrap.json", replaced(good, "\"spam_hits\": 2", "\"spam_hits\": 18446744073709551615"),
       "rules[0]: more hits than messages evaluated"},
      {"parts.json", replaced(good, "\"messages\": 2,", "\"messages\": 3,"),
       "spam: counts that do not add up"},
      {"time.json", replaced(good, "\"match_ns\": ", "\"match_ns\": 1"),
       "match_ns: not the sum of the rules' times"},
      {"twice.json", good, "is already part of the merge (the same report given twice)"},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.name);
    write_file(c.path(b.name), b.text);
    CliRun r = run_cli(c.dir, {"rules", "stats", "--merge", c.path("shard0.json"), c.path(b.name)});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("hdrweights: " + c.path(b.name) + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(b.why), std::string::npos) << r.err;
  }
  // Two reports whose counts are each sound but whose sum would overflow.
  const std::string huge = replaced(good, "\"failed\": 0", "\"failed\": 18446744073709551615");
  const size_t id = huge.find("\"report_ids\": [\"") + 16;
  write_file(c.path("huge1.json"), huge);
  write_file(c.path("huge2.json"), std::string(huge).replace(id, 32, std::string(32, 'e')));
  CliRun r =
      run_cli(c.dir, {"rules", "stats", "--merge", c.path("huge1.json"), c.path("huge2.json")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "hdrweights: " + c.path("huge2.json") +
                       ": counts too large to add up (the sum would overflow)\n");
}

// An input with no header block is named on its own line and counted in
// neither class; the summary says how many were left out.
TEST(RulesStats, EmptyInputsAreLeftOut) {
  Corpus c;
  write_file(c.path("spam/empty.eml"), "");
  write_file(c.path("ham/empty.eml"), "");
  CliRun r = run_cli(c.dir, {"rules", "stats", "--config", c.config, "--spam", c.path("spam"),
                             "--ham", c.path("ham"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const JsonValue report = json_parse(r.out);
  EXPECT_EQ(number(member(report, "spam"), "messages"), 3);
  EXPECT_EQ(number(member(report, "ham"), "messages"), 4);
  EXPECT_EQ(number(report, "no_header"), 2);
  const std::vector<std::string> err = lines_of(r.err);
  ASSERT_EQ(err.size(), 3u) << r.err;
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(err[i], "hdrweights: " + c.path(i == 0 ? "spam/empty.eml" : "ham/empty.eml") +
                          ": no header block: left out (neither spam nor ham)");
  }
  EXPECT_EQ(err[2].rfind("hdrweights: 7 messages, 4 spam, 2 left out (no header block), ", 0), 0u)
      << r.err;
}

// The table's order and length, and the usage errors of the two commands.
TEST(RulesStats, SortTopAndUsage) {
  Corpus c;
  CliRun r = run_cli(c.dir, {"rules", "stats", "--config", c.config, "--spam", c.path("spam"),
                             "--ham", c.path("ham"), "--sort", "ratio", "--top", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> ids;
  bool in_table = false;
  for (const std::string &line : lines_of(r.out)) {
    if (line.find("RULE") != std::string::npos) {
      in_table = true;
    } else if (in_table && line.empty()) {
      break;
    } else if (in_table) {
      std::istringstream words(line);
      std::string id;
      words >> id;
      ids.push_back(id);
    }
  }
  // Shares of hits against the weight: 105 all (ham), 101 and 102 a third,
  // 103 (negative, ham only) and 104 none.
  EXPECT_EQ(ids, (std::vector<std::string>{"105", "101", "102"}));

  const std::vector<std::vector<std::string>> usage = {
      {"rules", "stats", "--config", c.config},
      {"rules", "stats", "--spam", c.path("spam"), "--json", "--top", "2"},
      {"rules", "stats", "--merge", c.path("a.json"), "--spam", c.path("spam")},
      {"rules", "stats", "--merge", c.path("a.json"), "--threshold", "50"},
      {"rules", "stats", c.path("spam")},
      {"rules", "stats", "--spam", c.path("spam"), "--sort", "weight"},
      {"rules", "explain", "--config", c.config},
  };
  for (const auto &args : usage) {
    SCOPED_TRACE(args.back());
    CliRun u = run_cli(c.dir, args);
    EXPECT_EQ(u.status, 2);
    EXPECT_EQ(lines_of(u.err).size(), 1u) << u.err;
  }
}

// explain gives the module's verdict and hits, line for line what scan says,
// on every example and every message of the corpus at four thresholds.
TEST(RulesExplain, AgreesWithScan) {
  Corpus c;
  const std::string ex = std::string(HDRW_SOURCE_DIR) + "/examples";
  struct Set {
    std::string config, dir;
  };
  for (const Set &set : {Set{ex + "/server.xml", ex + "/messages"}, Set{c.config, c.path("spam")},
                         Set{c.config, c.path("ham")}, Set{c.config, c.path("odd")}}) {
    for (int32_t threshold : {0, 50, 100, -1}) {
      SCOPED_TRACE(set.dir + " at " + std::to_string(threshold));
      std::vector<std::string> want;
      for (const auto &[path, line] : scan_lines(c.dir, set.config, {set.dir}, threshold)) {
        want.push_back("result: " + line);
      }
      CliRun r = run_cli(c.dir, {"rules", "explain", "--config", set.config, "--threshold",
                                 std::to_string(threshold), set.dir});
      ASSERT_EQ(r.status, 0) << r.err;
      std::vector<std::string> got;
      for (const std::string &line : lines_of(r.out)) {
        if (line.rfind("result: ", 0) == 0) got.push_back(line);
      }
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want);
    }
  }

  // What the walk did, as shown for s3 (a limit met) and h1 (the stop).
  CliRun s3 = run_cli(c.dir, {"rules", "explain", "--config", c.config, c.path("spam/s3.eml")});
  EXPECT_NE(s3.out.find("  H2  " + kBomb + "\n"), std::string::npos) << s3.out;
  EXPECT_NE(
      s3.out.find("      H2  error 20: too many backtracks: giving up execution (1000 allowed)\n"
                  "      -> no match: the error ends its search\n"),
      std::string::npos)
      << s3.out;
  EXPECT_NE(
      s3.out.find("  line 5  rule 104  weight 0  (a line of a multi-line rule)  ^X-Mailer: Bulk\n"
                  "      -> no header line of its name to try\n"
                  "  line 6  rule 104  weight 50  (last line of its rule)  ^To:.*undisclosed\n"
                  "      -> skipped: an earlier line of its rule failed\n"),
      std::string::npos)
      << s3.out;
  CliRun h1 = run_cli(c.dir, {"rules", "explain", "--config", c.config, c.path("ham/h1.eml")});
  EXPECT_NE(h1.out.find("      -> hit: +40, total 100\n"
                        "threshold 100 reached with total 100: the evaluation ends before line 4; "
                        "4 rule lines not run\n"),
            std::string::npos)
      << h1.out;
}

}  // namespace
