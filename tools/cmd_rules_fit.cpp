// cmd_rules_fit - "hdrweights rules fit": rule weights fitted to a site's mail
//
// The hits come from the mail, read and evaluated as rules stats does (every
// rule run once per message), or from hits files that rules stats --hits
// wrote on shards of the corpus. The fit and the cross-validation are
// rule_fit's; this file reads the options, checks the hits against the rule
// file, and writes the report, the curve and the rule file with the new
// weights (rule_text's set_rule_weights: only weight fields change).
// (tested in tests/rules_fit_test.cpp)
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "cli_json_text.h"
#include "cli_stats_plot.h"
#include "hdrw_host.h"
#include "rule_fit.h"
#include "rule_hits.h"
#include "rule_source.h"
#include "rule_stats.h"
#include "rule_text.h"
#include "stats_corpus.h"

namespace hdrw_cli {
namespace {

constexpr const char kFitHelp[] =
    "usage: hdrweights rules fit --spam PATH... --ham PATH... [options]\n"
    "       hdrweights rules fit --hits FILE... [options]\n"
    "\n"
    "Fits the weights of a rule file to spam and legitimate mail (ham): integer\n"
    "weights in the weight field's range that catch as much spam as they can at\n"
    "the threshold while the ham flagged stays within --max-ham-flagged, judged\n"
    "as the module judges (rules in file order, spam as soon as the running\n"
    "total reaches the threshold). Weights are pulled toward the current ones,\n"
    "a rule without hits keeps its weight, and no rule alone reaches the\n"
    "threshold unless it did before. Cross-validation shows what the fit gains\n"
    "on mail it has not seen: the spam caught and ham flagged on each held-out\n"
    "fold with the current and the fitted weights. Then the final weights are\n"
    "fitted on all the mail. PATH is read as rules stats reads it; --hits\n"
    "takes the hits files of rules stats --hits instead (of the same rule file\n"
    "and limits, each given once).\n"
    "\n"
    "options:\n";

constexpr const char kFitHelpRest[] =
    "  --threshold N       the threshold the server uses (default 100, above 0)\n"
    "  --max-ham-flagged RATE  ham that may be flagged, as 0.001 or 0.1%\n"
    "                      (default 0.1%)\n"
    "  --folds K           cross-validation folds, 2 to 100 (default 5)\n"
    "  --seed N            seed of the folds' shuffle (default 1)\n"
    "  -o, --output FILE   write the rule file with the fitted weights: the\n"
    "                      input's text with only weights changed, plain, or\n"
    "                      stored (encrypted) for --cert CERT when given\n"
    "  --json              one JSON object with every figure\n"
    "  --plot FILE.svg     draw the threshold curve of the fitted weights\n"
    "  --jobs N            threads at once (default 1)\n"
    "  -h, --help          this text\n"
    "\n"
    "Exit status: 0 done, 1 a message or file could not be read or written,\n"
    "or the rules could not be loaded, 2 usage error.\n";

constexpr int kMaxJobs = 256;
constexpr int kMaxFolds = 100;

struct FitOptions {
  RuleSourceOptions source;
  std::vector<std::string> spam, ham, hits;
  FitSettings settings;
  int folds = 5;
  uint64_t seed = 1;
  std::string output, plot;
  bool json = false;
  int jobs = 1;
};

// fit_parse_rate - "0.001" or "0.1%", a share from 0 to 1
double fit_parse_rate(const ArgParser &args, const std::string &text) {
  const bool percent = !text.empty() && text.back() == '%';
  const std::string number = percent ? text.substr(0, text.size() - 1) : text;
  char *end = nullptr;
  const double v = number.empty() || number[0] == '-' || number[0] == '+' || std::isspace(number[0])
                       ? -1
                       : std::strtod(number.c_str(), &end);
  const double rate = percent ? v / 100 : v;
  if (v < 0 || end == nullptr || *end != '\0' || !(rate <= 1)) {
    args.fail("--max-ham-flagged takes a share from 0 to 1 or a percentage, not '" + text + "'");
  }
  return rate;
}

FitOptions fit_parse(const std::vector<std::string> &words, bool &help) {
  FitOptions o;
  ArgParser args("rules fit", words, {{'o', "output"}});
  PathLists lists({{"spam", &o.spam}, {"ham", &o.ham}, {"hits", &o.hits}});
  help = false;
  while (args.next()) {
    if (lists.take(args)) continue;
    const std::string &n = args.name();
    if (n == "help") {
      help = true;
      return o;
    } else if (take_rule_source_option(args, o.source)) {
    } else if (n == "threshold") {
      o.settings.threshold = parse_int32(args, args.value());
      if (o.settings.threshold <= 0) args.fail("--threshold must be above 0 for a fit");
    } else if (n == "max-ham-flagged") {
      o.settings.max_ham_rate = fit_parse_rate(args, args.value());
    } else if (n == "folds") {
      o.folds = parse_positive(args, args.value(), kMaxFolds);
      if (o.folds < 2) args.fail("--folds takes 2 to " + std::to_string(kMaxFolds));
    } else if (n == "seed") {
      const int32_t seed = parse_int32(args, args.value());
      if (seed < 0) args.fail("--seed takes a number from 0 to " + std::to_string(INT32_MAX));
      o.seed = static_cast<uint64_t>(seed);
    } else if (n == "output") {
      o.output = args.value();
      if (o.output.empty()) args.fail("-o needs a file name");
    } else if (n == "json") {
      args.no_value();
      o.json = true;
    } else if (n == "plot") {
      o.plot = args.value();
      if (o.plot.empty() || o.plot == "-") args.fail("--plot needs a file name");
    } else if (n == "jobs") {
      o.jobs = parse_positive(args, args.value(), kMaxJobs);
    } else {
      args.unknown();
    }
  }
  if (!o.hits.empty() && (!o.spam.empty() || !o.ham.empty())) {
    args.fail("--hits takes the hits of rules stats, not messages (--spam, --ham)");
  }
  if (o.hits.empty() && (o.spam.empty() || o.ham.empty())) {
    args.fail("a fit needs both spam and ham (--spam PATH..., --ham PATH..., or --hits FILE...)");
  }
  size_t stdin_count = 0;
  for (const auto *list : {&o.spam, &o.ham, &o.hits}) {
    for (const auto &p : *list) stdin_count += p == "-";
  }
  if (stdin_count > 1) args.fail("standard input (-) given more than once");
  if (!o.output.empty() && o.output == "-") {
    args.fail("-o needs a file: the report goes to standard output");
  }
  return o;
}

// fit_from_hits - the corpus of hits files, checked against the rule file
void fit_from_hits(const FitOptions &o, StatsReport &report, FitCorpus &corpus) {
  HitsFile all;
  for (size_t i = 0; i < o.hits.size(); ++i) {
    const std::string name = o.hits[i] == "-" ? "standard input" : o.hits[i];
    HitsFile part = hits_read(read_input(o.hits[i], size_t{1} << 32), name);
    if (i == 0) {
      all = std::move(part);
      if (all.sha256 != report.sha256) {
        throw Failure(name + ": hits of another rule file (SHA-256 " + all.sha256 + ", not " +
                      report.sha256 + " of " + report.rule_file + ")");
      }
      std::vector<int32_t> ids;
      for (const RuleStat &r : report.rules) ids.push_back(r.rule_id);
      if (ids != all.rule_ids) throw Failure(name + ": its rules line is not the rule file's");
      check_same_limits(report.limits, all.limits, name);
    } else {
      hits_merge(all, part, name);
    }
  }
  for (const HitsMessage &m : all.messages) {
    fit_add_message(corpus, m.spam, m.always, m.rules);
    ClassTotals &t = m.spam ? report.spam : report.ham;
    ++t.messages;
    ++(m.always ? t.always : t.evaluated);
    for (uint32_t r : m.rules) ++(m.spam ? report.rules[r].spam_hits : report.rules[r].ham_hits);
  }
  report.report_ids = all.report_ids;
}

std::string fit_percent(uint64_t part, uint64_t whole, int decimals) {
  if (whole == 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f%%", decimals,
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return buf;
}

// Mean and spread (sample standard deviation) of per-fold rates, in percent.
struct FitSummary {
  double spam_mean = 0, spam_spread = 0, ham_mean = 0, ham_spread = 0;
};

FitSummary fit_summary(const std::vector<FoldFigures> &folds, bool fitted) {
  FitSummary s;
  std::vector<double> spam, ham;
  for (const FoldFigures &f : folds) {
    const FitCounts &n = fitted ? f.fitted : f.current;
    spam.push_back(n.spam == 0 ? 0 : 100.0 * static_cast<double>(n.spam_caught) / n.spam);
    ham.push_back(n.ham == 0 ? 0 : 100.0 * static_cast<double>(n.ham_flagged) / n.ham);
  }
  auto stats = [](const std::vector<double> &v, double &mean, double &spread) {
    mean = 0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(v.size());
    double sum = 0;
    for (double x : v) sum += (x - mean) * (x - mean);
    spread = v.size() > 1 ? std::sqrt(sum / static_cast<double>(v.size() - 1)) : 0;
  };
  stats(spam, s.spam_mean, s.spam_spread);
  stats(ham, s.ham_mean, s.ham_spread);
  return s;
}

std::string fit_number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

struct FitOutcome {
  StatsReport report;  // hits and current weights
  std::vector<int32_t> fitted;
  FitCounts train_current, train_fitted;
  std::vector<FoldFigures> folds;
  StatsReport curve;  // the class totals with the fitted weights
  std::vector<ThresholdRow> rows;
};

void fit_json_counts(std::string &out, const FitCounts &n) {
  out += "{\"spam\": " + std::to_string(n.spam) +
         ", \"spam_caught\": " + std::to_string(n.spam_caught) +
         ", \"ham\": " + std::to_string(n.ham) +
         ", \"ham_flagged\": " + std::to_string(n.ham_flagged) + "}";
}

std::string fit_json(const FitOptions &o, const FitOutcome &f) {
  const StatsReport &r = f.report;
  std::string out = "{\"report\": \"hdrweights rules fit\", \"version\": 1,\n \"rule_file\": ";
  append_json_string(out, r.rule_file);
  out += ", \"sha256\": \"" + r.sha256 +
         "\", \"threshold\": " + std::to_string(o.settings.threshold) +
         ", \"max_ham_flagged\": " + fit_number(o.settings.max_ham_rate) +
         ", \"folds\": " + std::to_string(o.folds) + ", \"seed\": " + std::to_string(o.seed) +
         ", \"failed\": " + std::to_string(r.failed) + ",\n \"rules\": [";
  for (size_t i = 0; i < r.rules.size(); ++i) {
    const RuleStat &s = r.rules[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"rule\": " + std::to_string(static_cast<uint32_t>(s.rule_id)) +
           ", \"old\": " + std::to_string(s.weight) + ", \"new\": " + std::to_string(f.fitted[i]) +
           ", \"spam_hits\": " + std::to_string(s.spam_hits) +
           ", \"ham_hits\": " + std::to_string(s.ham_hits) +
           ", \"source_line\": " + std::to_string(s.source_line) + "}";
  }
  out += "],\n \"training\": {\"current\": ";
  fit_json_counts(out, f.train_current);
  out += ", \"fitted\": ";
  fit_json_counts(out, f.train_fitted);
  out += "},\n \"held_out\": {\"folds\": [";
  for (size_t i = 0; i < f.folds.size(); ++i) {
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"current\": ";
    fit_json_counts(out, f.folds[i].current);
    out += ", \"fitted\": ";
    fit_json_counts(out, f.folds[i].fitted);
    out += "}";
  }
  out += "]";
  for (bool fitted : {false, true}) {
    const FitSummary s = fit_summary(f.folds, fitted);
    out += std::string(",\n  \"") + (fitted ? "fitted" : "current") +
           "\": {\"spam_caught_percent\": " + fit_number(s.spam_mean) +
           ", \"spam_caught_spread\": " + fit_number(s.spam_spread) +
           ", \"ham_flagged_percent\": " + fit_number(s.ham_mean) +
           ", \"ham_flagged_spread\": " + fit_number(s.ham_spread) + "}";
  }
  out += "},\n \"thresholds\": [";
  for (size_t i = 0; i < f.rows.size(); ++i) {
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"threshold\": " + std::to_string(f.rows[i].threshold) +
           ", \"spam_caught\": " + std::to_string(f.rows[i].spam_caught) +
           ", \"ham_flagged\": " + std::to_string(f.rows[i].ham_flagged) + "}";
  }
  return out + "]}\n";
}

void fit_print_counts(const char *what, const FitCounts &n) {
  std::printf(
      "  %-16s spam caught %llu of %llu (%s), ham flagged %llu of %llu (%s)\n", what,
      static_cast<unsigned long long>(n.spam_caught), static_cast<unsigned long long>(n.spam),
      fit_percent(n.spam_caught, n.spam, 1).c_str(), static_cast<unsigned long long>(n.ham_flagged),
      static_cast<unsigned long long>(n.ham), fit_percent(n.ham_flagged, n.ham, 2).c_str());
}

void fit_print(const FitOptions &o, const FitOutcome &f) {
  const StatsReport &r = f.report;
  std::printf("rule file %s (SHA-256 %s), %zu rules\n", printable(r.rule_file).c_str(),
              r.sha256.c_str(), r.rules.size());
  std::printf("messages: %llu spam, %llu ham; threshold %d, ham flagged at most %s\n\n",
              static_cast<unsigned long long>(r.spam.messages),
              static_cast<unsigned long long>(r.ham.messages), o.settings.threshold,
              fit_number(100 * o.settings.max_ham_rate).append("%").c_str());
  std::printf("%10s %6s %6s %7s %7s  %s\n", "RULE", "OLD", "NEW", "SPAM", "HAM", "LINE");
  for (size_t i = 0; i < r.rules.size(); ++i) {
    const RuleStat &s = r.rules[i];
    std::printf("%10u %6d %6d %7llu %7llu  %llu\n", static_cast<uint32_t>(s.rule_id), s.weight,
                f.fitted[i], static_cast<unsigned long long>(s.spam_hits),
                static_cast<unsigned long long>(s.ham_hits),
                static_cast<unsigned long long>(s.source_line));
  }
  std::printf("\non the mail fitted, at threshold %d:\n", o.settings.threshold);
  fit_print_counts("current weights", f.train_current);
  fit_print_counts("fitted weights", f.train_fitted);

  std::printf("\nheld out, %d folds (seed %llu), at threshold %d:\n", o.folds,
              static_cast<unsigned long long>(o.seed), o.settings.threshold);
  std::printf("%6s %6s %6s  %14s %14s  %14s %14s\n", "FOLD", "SPAM", "HAM", "CURRENT CAUGHT",
              "FLAGGED", "FITTED CAUGHT", "FLAGGED");
  for (size_t i = 0; i < f.folds.size(); ++i) {
    const FoldFigures &x = f.folds[i];
    std::printf("%6zu %6llu %6llu  %14s %14s  %14s %14s\n", i + 1,
                static_cast<unsigned long long>(x.current.spam),
                static_cast<unsigned long long>(x.current.ham),
                fit_percent(x.current.spam_caught, x.current.spam, 1).c_str(),
                fit_percent(x.current.ham_flagged, x.current.ham, 2).c_str(),
                fit_percent(x.fitted.spam_caught, x.fitted.spam, 1).c_str(),
                fit_percent(x.fitted.ham_flagged, x.fitted.ham, 2).c_str());
  }
  const FitSummary c = fit_summary(f.folds, false), n = fit_summary(f.folds, true);
  std::printf("%20s  %13.1f%% %13.2f%%  %13.1f%% %13.2f%%\n", "mean", c.spam_mean, c.ham_mean,
              n.spam_mean, n.ham_mean);
  std::printf("%20s  %14.1f %14.2f  %14.1f %14.2f\n", "spread (sd)", c.spam_spread, c.ham_spread,
              n.spam_spread, n.ham_spread);

  std::printf("\nthreshold curve of the fitted weights:\n%10s %8s %7s %8s %8s\n", "THRESHOLD",
              "SPAM", "CAUGHT", "HAM", "FLAGGED");
  for (const ThresholdRow &row : f.rows) {
    std::printf("%10d %8llu %7s %8llu %8s%s\n", row.threshold,
                static_cast<unsigned long long>(row.spam_caught),
                fit_percent(row.spam_caught, r.spam.messages, 1).c_str(),
                static_cast<unsigned long long>(row.ham_flagged),
                fit_percent(row.ham_flagged, r.ham.messages, 2).c_str(),
                row.threshold == o.settings.threshold ? "  <- threshold" : "");
  }
}

// fit_rule_file - the rule text with the fitted weights: the weight field of
// each changed rule's last line, and of its other lines that carried the
// same weight (a multi-line rule's lines are written with equal weights)
std::string fit_rule_file(const LoadedRules &rules, const std::vector<uint32_t> &rule_of_line,
                          const StatsReport &report, const std::vector<int32_t> &fitted) {
  std::vector<std::pair<size_t, int32_t>> changes;
  for (size_t l = 0; l < rules.lines.size(); ++l) {
    const uint32_t r = rule_of_line[l];
    if (fitted[r] == report.rules[r].weight) continue;
    if (rules.lines[l].line->weight == report.rules[r].weight) {
      changes.emplace_back(rules.lines[l].source_line, fitted[r]);
    }
  }
  return set_rule_weights(rules.text, rules.base->format_version, changes);
}

}  // namespace

int cmd_rules_fit(const std::vector<std::string> &words) {
  bool help = false;
  const FitOptions o = fit_parse(words, help);
  if (help) {
    std::cout << kFitHelp << kRuleSourceHelp << kFitHelpRest;
    return 0;
  }
  if (hdrw_host_configure_log("stderr", 3) != 0) throw Failure("cannot apply the log settings");

  const LoadedRules rules = load_rule_source(o.source);
  FitOutcome f;
  StatsReport &report = f.report;
  std::vector<uint32_t> rule_of_line;
  report.rules = stats_rules(rules, rule_of_line);
  report.rule_file = rules.name;
  report.sha256 = rules.sha256;
  report.limits = rules.limits;
  report.threshold = o.settings.threshold;
  FitCorpus corpus;
  corpus.rules = report.rules.size();
  if (o.hits.empty()) {
    collect_corpus(rules, rule_of_line, o.spam, o.ham, o.jobs, report, [&](const MessageFacts &m) {
      fit_add_message(corpus, m.is_spam, m.kind == TRACE_TOO_LONG, m.hit_rules);
    });
  } else {
    fit_from_hits(o, report, corpus);
  }
  if (report.spam.messages == 0 || report.ham.messages == 0) {
    throw Failure("a fit needs spam and ham, and one class has no message");
  }

  std::vector<int32_t> current;
  for (const RuleStat &s : report.rules) current.push_back(s.weight);
  std::vector<uint32_t> all(corpus.spam.size());
  for (uint32_t m = 0; m < all.size(); ++m) all[m] = m;
  f.folds = fit_cross_validate(corpus, current, o.settings, o.folds, o.seed, o.jobs);
  f.fitted = fit_weights(corpus, all, current, o.settings);
  f.train_current = fit_count(corpus, all, current, o.settings.threshold);
  f.train_fitted = fit_count(corpus, all, f.fitted, o.settings.threshold);
  f.curve.rule_file = report.rule_file;
  f.curve.threshold = o.settings.threshold;
  fit_peaks(corpus, f.fitted, f.curve.spam, f.curve.ham);
  f.rows = stats_table(f.curve, stats_thresholds(f.curve));

  if (!o.output.empty()) {
    std::string text = fit_rule_file(rules, rule_of_line, report, f.fitted);
    if (!o.source.cert.empty()) {
      text = encrypt_rule_text(text, certificate_key(o.source.cert), o.output);
    }
    write_output(o.output, text, o.source.cert.empty());
  }
  if (o.json) {
    const std::string text = fit_json(o, f);
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    fit_print(o, f);
  }
  std::fflush(stdout);
  if (!o.plot.empty()) write_output(o.plot, stats_svg(f.curve, f.rows));
  if (std::ferror(stdout)) throw Failure("standard output: write error");
  return report.failed == 0 ? 0 : 1;
}

}  // namespace hdrw_cli
