// cmd_rules_stats - "hdrweights rules stats": what each rule does on a corpus
//
// Every message is evaluated once with threshold 0, so every rule line runs;
// the verdicts at any other threshold follow from that walk (rule_trace.h), so
// the threshold curve and the ham flagged at the configured threshold cost no
// second evaluation. Messages are read as scan reads them; with --jobs N the
// work is spread over N threads and the report does not depend on N (only
// the matching times do). --merge adds up reports taken elsewhere instead.
// (tested in tests/cli_test.cpp)
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "cli_stats_plot.h"
#include "hdrw_host.h"
#include "rule_hits.h"
#include "rule_source.h"
#include "rule_stats.h"
#include "stats_corpus.h"

namespace hdrw_cli {
namespace {

constexpr const char kStatsHelp[] =
    "usage: hdrweights rules stats --spam PATH... --ham PATH... [options]\n"
    "       hdrweights rules stats --merge REPORT.json... [options]\n"
    "\n"
    "Runs every rule on every message (threshold 0) and reports per rule its\n"
    "hits on spam and on legitimate mail (ham), the spam share of its hits and\n"
    "S/O (its spam rate over the sum of its spam and ham rates), the\n"
    "backtracks of its most expensive match, the matches that met the backtrack\n"
    "or the stack limit (with the first such header line) and its share of the\n"
    "matching time; then, for every total at which a message reaches the\n"
    "threshold, the spam caught, the ham flagged and the precision (spam among\n"
    "the messages flagged), and the ham messages the\n"
    "threshold flags with their hits. PATH is read as scan reads it: a message\n"
    "file, a directory, a Maildir, an mbox or - (once). Paths after --spam or\n"
    "--ham belong to that class until the next of the two. An input with no\n"
    "header block (an empty file) is named on standard error and left out of\n"
    "both classes.\n"
    "\n"
    "options:\n";

constexpr const char kStatsHelpRest[] =
    "  --threshold N       the threshold the server uses (default 100)\n"
    "  --thresholds LIST   the thresholds of the curve, as N,N,... (default:\n"
    "                      every total at which the counts change, and N)\n"
    "  --sort KEY          order of the rule table: hits, spam, ham (most\n"
    "                      first), ratio (largest share of hits against the\n"
    "                      weight first: ham hits of a rule adding weight, spam\n"
    "                      hits of one taking it away), cost (most matching\n"
    "                      time first); default: rule-file order\n"
    "  --top N             show only the first N rules of the table\n"
    "  --json              one JSON object with every figure and the raw counts,\n"
    "                      for --merge (every rule, in rule-file order)\n"
    "  --plot FILE.svg     draw the threshold curve as an SVG picture\n"
    "  --hits FILE         also write one line per message with its class and\n"
    "                      the IDs of the rules that hit it, for rules fit\n"
    "                      (hits files of shards are given to it together)\n"
    "  --merge REPORT...   add up --json reports of the same rule file taken on\n"
    "                      other machines or shards, instead of reading mail\n"
    "  --jobs N            threads evaluating messages at once (default 1)\n"
    "  -h, --help          this text\n"
    "\n"
    "A summary goes to standard error (a progress bar too on a terminal).\n"
    "Exit status: 0 every message read, 1 a message or file could not be read\n"
    "or the rules could not be loaded, 2 usage error.\n";

constexpr int kMaxJobs = 256;

enum class SortKey { FILE_ORDER, HITS, SPAM, HAM, RATIO, COST };

struct StatsOptions {
  RuleSourceOptions source;
  std::vector<std::string> spam, ham, merge;
  int32_t threshold = 100;
  bool threshold_given = false;
  std::vector<int32_t> thresholds;
  bool thresholds_given = false;
  bool json = false;
  SortKey sort = SortKey::FILE_ORDER;
  bool sort_given = false;
  size_t top = 0;  // 0 = every rule
  std::string plot;
  std::string hits;  // --hits FILE; empty = none
  int jobs = 1;
};

// stats_parse_thresholds - "N,N,..." ascending without repeats
std::vector<int32_t> stats_parse_thresholds(const ArgParser &args, const std::string &text) {
  std::vector<int32_t> out;
  size_t pos = 0;
  for (;;) {
    const size_t comma = text.find(',', pos);
    out.push_back(parse_int32(args, text.substr(pos, comma - pos)));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

StatsOptions stats_parse(const std::vector<std::string> &words, bool &help) {
  StatsOptions o;
  ArgParser args("rules stats", words);
  PathLists lists({{"spam", &o.spam}, {"ham", &o.ham}, {"merge", &o.merge}});
  help = false;
  while (args.next()) {
    if (lists.take(args)) continue;
    const std::string &n = args.name();
    if (n == "help") {
      help = true;
      return o;
    } else if (take_rule_source_option(args, o.source)) {
    } else if (n == "threshold") {
      o.threshold = parse_int32(args, args.value());
      o.threshold_given = true;
    } else if (n == "thresholds") {
      o.thresholds = stats_parse_thresholds(args, args.value());
      o.thresholds_given = true;
    } else if (n == "sort") {
      const std::string key = args.value();
      o.sort = key == "hits"    ? SortKey::HITS
               : key == "spam"  ? SortKey::SPAM
               : key == "ham"   ? SortKey::HAM
               : key == "ratio" ? SortKey::RATIO
               : key == "cost"
                   ? SortKey::COST
                   : (args.fail("--sort takes hits, spam, ham, ratio or cost, not '" + key + "'"),
                      SortKey::FILE_ORDER);
      o.sort_given = true;
    } else if (n == "top") {
      o.top = static_cast<size_t>(parse_positive(args, args.value(), INT32_MAX));
    } else if (n == "json") {
      args.no_value();
      o.json = true;
    } else if (n == "plot") {
      o.plot = args.value();
      if (o.plot.empty() || o.plot == "-") args.fail("--plot needs a file name");
    } else if (n == "hits") {
      o.hits = args.value();
      if (o.hits.empty()) args.fail("--hits needs a file name");
    } else if (n == "jobs") {
      o.jobs = parse_positive(args, args.value(), kMaxJobs);
    } else {
      args.unknown();
    }
  }
  const bool rule_source = !o.source.config.empty() || !o.source.load_point.empty() ||
                           !o.source.rules.empty() || !o.source.cert.empty();
  if (!o.merge.empty()) {
    if (!o.spam.empty() || !o.ham.empty())
      args.fail("--merge reads reports, not messages (--spam, --ham)");
    if (rule_source) args.fail("--merge takes the rule file from its reports");
    if (o.threshold_given) args.fail("--merge takes the threshold from its reports");
    if (!o.hits.empty()) args.fail("--hits is written while reading mail, not from reports");
  } else if (o.spam.empty() && o.ham.empty()) {
    args.fail("no messages given (--spam PATH..., --ham PATH...)");
  }
  if (o.json && (o.sort_given || o.top != 0)) {
    args.fail("--sort and --top shape the table; --json always carries every rule");
  }
  size_t stdin_count = 0;
  for (const auto *list : {&o.spam, &o.ham, &o.merge}) {
    for (const auto &p : *list) stdin_count += p == "-";
  }
  if (stdin_count > 1) args.fail("standard input (-) given more than once");
  return o;
}

// stats_collect - the report of a corpus; failed counts what could not be read
StatsReport stats_collect(const StatsOptions &o) {
  LoadedRules rules = load_rule_source(o.source);
  StatsReport report;
  std::vector<uint32_t> rule_of_line;
  report.rules = stats_rules(rules, rule_of_line);
  report.report_ids = {new_report_id()};
  report.rule_file = rules.name;
  report.sha256 = rules.sha256;
  report.limits = rules.limits;
  report.threshold = o.threshold;
  std::string hits;
  std::vector<std::string> names;
  if (!o.hits.empty()) {
    hits = hits_head(report);
    names = hits_rule_names(report);
  }
  collect_corpus(rules, rule_of_line, o.spam, o.ham, o.jobs, report, [&](const MessageFacts &f) {
    if (!o.hits.empty()) hits += hits_line(names, f);
  });
  if (!o.hits.empty()) write_output(o.hits, hits);
  return report;
}

std::string stats_percent(uint64_t part, uint64_t whole) {
  if (whole == 0) return "-";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return buf;
}

// stats_fraction - a fraction from 0 to 1 with three decimals; "-" for none
std::string stats_fraction(double value) {
  if (value < 0) return "-";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.3f", value);
  return buf;
}

// stats_order - the rules' indices in the table's order
std::vector<size_t> stats_order(const StatsReport &r, SortKey key) {
  std::vector<size_t> order(r.rules.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto value = [&](size_t i) -> double {
    const RuleStat &s = r.rules[i];
    switch (key) {
      case SortKey::HITS:
        return -static_cast<double>(s.spam_hits + s.ham_hits);
      case SortKey::SPAM:
        return -static_cast<double>(s.spam_hits);
      case SortKey::HAM:
        return -static_cast<double>(s.ham_hits);
      case SortKey::RATIO: {
        // The largest share of hits against the rule's weight first: ham for a
        // positive weight, spam for a negative one; rules without hits or
        // weight last.
        if (s.spam_hits + s.ham_hits == 0 || s.weight == 0) return 2.0;
        const double share =
            static_cast<double>(s.spam_hits) / static_cast<double>(s.spam_hits + s.ham_hits);
        return s.weight > 0 ? share : 1 - share;
      }
      case SortKey::COST:
        return -static_cast<double>(s.match_ns);
      case SortKey::FILE_ORDER:
        break;
    }
    return 0;
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return value(a) < value(b); });
  return order;
}

std::string stats_hits_text(const std::vector<HdrwHit> &hits) {
  std::string out;
  for (const HdrwHit &h : hits) {
    out += ' ' + std::to_string(static_cast<uint32_t>(h.rule_id)) + ':' + std::to_string(h.weight);
  }
  return out;
}

void stats_print(const StatsReport &r, const std::vector<ThresholdRow> &rows,
                 const StatsOptions &o) {
  std::printf("rule file %s (SHA-256 %s), %zu rules\n", printable(r.rule_file).c_str(),
              r.sha256.c_str(), r.rules.size());
  std::printf("limits: maxHeaderLength %u, maxTotalHeadersLength %u, maxBackTracks %u\n",
              r.limits.max_header_length, r.limits.max_total_headers_length,
              r.limits.max_backtracks);
  std::printf("messages: %llu spam, %llu ham\n\n", static_cast<unsigned long long>(r.spam.messages),
              static_cast<unsigned long long>(r.ham.messages));

  const uint64_t total_ns = stats_match_ns(r);
  std::printf("%10s %6s %6s %7s %6s %7s %7s %5s %9s %6s %6s %6s  %s\n", "RULE", "WEIGHT", "SPAM",
              "RATE", "HAM", "RATE", "SPAM%", "S/O", "MAX-BT", "LIMIT", "STACK", "TIME", "LINE");
  std::vector<size_t> order = stats_order(r, o.sort);
  if (o.top != 0 && order.size() > o.top) order.resize(o.top);
  for (size_t i : order) {
    const RuleStat &s = r.rules[i];
    std::string line = std::to_string(s.source_line);
    if (s.lines > 1) line += " (" + std::to_string(s.lines) + " lines)";
    std::printf(
        "%10u %6d %6llu %7s %6llu %7s %7s %5s %9llu %6llu %6llu %6s  %s\n",
        static_cast<uint32_t>(s.rule_id), s.weight, static_cast<unsigned long long>(s.spam_hits),
        stats_percent(s.spam_hits, r.spam.messages).c_str(),
        static_cast<unsigned long long>(s.ham_hits),
        stats_percent(s.ham_hits, r.ham.messages).c_str(),
        stats_percent(s.spam_hits, s.spam_hits + s.ham_hits).c_str(),
        stats_fraction(stats_so(r, s)).c_str(), static_cast<unsigned long long>(s.max_backtracks),
        static_cast<unsigned long long>(s.limit_lines),
        static_cast<unsigned long long>(s.stack_lines), stats_percent(s.match_ns, total_ns).c_str(),
        line.c_str());
  }
  bool limit_title = false;
  for (size_t i : order) {
    const RuleStat &s = r.rules[i];
    if (!s.has_limit_header) continue;
    if (!limit_title) std::printf("\nfirst header line on which a rule met a limit:\n");
    limit_title = true;
    std::printf("%10u  %s\n", static_cast<uint32_t>(s.rule_id), printable(s.limit_header).c_str());
  }

  std::printf("\n%10s %8s %7s %8s %7s %9s\n", "THRESHOLD", "SPAM", "CAUGHT", "HAM", "FLAGGED",
              "PRECISION");
  for (const ThresholdRow &row : rows) {
    std::printf("%10d %8llu %7s %8llu %7s %9s%s\n", row.threshold,
                static_cast<unsigned long long>(row.spam_caught),
                stats_percent(row.spam_caught, r.spam.messages).c_str(),
                static_cast<unsigned long long>(row.ham_flagged),
                stats_percent(row.ham_flagged, r.ham.messages).c_str(),
                stats_fraction(stats_precision(row)).c_str(),
                row.threshold == r.threshold ? "  <- threshold" : "");
  }

  std::printf("\nham flagged at threshold %d: %zu\n", r.threshold, r.flagged_ham.size());
  for (const FlaggedHam &h : r.flagged_ham) {
    std::printf("spam %d %s%s\n", h.score, printable(h.path).c_str(),
                stats_hits_text(h.hits).c_str());
  }
}

}  // namespace

int cmd_rules_stats(const std::vector<std::string> &words) {
  bool help = false;
  StatsOptions o = stats_parse(words, help);
  if (help) {
    std::cout << kStatsHelp << kRuleSourceHelp << kStatsHelpRest;
    return 0;
  }
  if (hdrw_host_configure_log("stderr", 3) != 0) throw Failure("cannot apply the log settings");

  StatsReport report;
  if (o.merge.empty()) {
    report = stats_collect(o);
  } else {
    for (size_t i = 0; i < o.merge.size(); ++i) {
      const std::string name = o.merge[i] == "-" ? "standard input" : o.merge[i];
      StatsReport part = stats_from_json(read_input(o.merge[i]), name);
      if (i == 0) {
        report = std::move(part);
      } else {
        stats_merge(report, part, name);
      }
    }
  }
  const std::vector<int32_t> thresholds =
      o.thresholds_given ? o.thresholds : stats_thresholds(report);
  if (o.json) {
    const std::string text = stats_to_json(report, thresholds);
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    stats_print(report, stats_table(report, thresholds), o);
  }
  std::fflush(stdout);
  if (!o.plot.empty()) write_output(o.plot, stats_svg(report, stats_table(report, thresholds)));
  if (std::ferror(stdout)) throw Failure("standard output: write error");
  return report.failed == 0 ? 0 : 1;
}

}  // namespace hdrw_cli
