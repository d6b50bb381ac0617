// cmd_rules_explain - "hdrweights rules explain": one message, rule line by rule line
//
// The walk shown is the engine's own (rule_trace.h): its verdict and hits are
// the module's, and the per-line account is checked against them before
// anything is printed. The last line of each message is the line scan prints
// for it, so the two can be compared directly. (tested in tests/cli_test.cpp)
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "hdrw_host.h"
#include "message_reader.h"
#include "message_source.h"
#include "regx.h"
#include "rule_source.h"
#include "rule_trace.h"

namespace hdrw_cli {
namespace {

constexpr const char kExplainHelp[] =
    "usage: hdrweights rules explain [options] PATH...\n"
    "\n"
    "Shows how the filter judges each message of PATH (read as scan reads it:\n"
    "a message file, a directory, a Maildir, an mbox or - for standard input):\n"
    "its unfolded header lines with their numbers, then every rule line in\n"
    "rule-file order with the header lines it was tried on, the result of each\n"
    "try (match, no match, or the matcher's error), the backtracks, the weight\n"
    "added and the running total, and where the threshold ended the\n"
    "evaluation. The last line of each message, after \"result: \", is the\n"
    "line scan prints for it.\n"
    "\n"
    "options:\n";

constexpr const char kExplainHelpRest[] =
    "  --threshold N       weight threshold (default 100)\n"
    "  -h, --help          this text\n"
    "\n"
    "Exit status: 0 every message explained, 1 a message or the rules could\n"
    "not be read, 2 usage error.\n";

std::string explain_result(int result, uint32_t backtracks) {
  const std::string count =
      " (" + std::to_string(backtracks) + (backtracks == 1 ? " backtrack)" : " backtracks)");
  if (result == REGX_OK) return "match" + count;
  if (result == REGX_NOMATCH) return "no match" + count;
  char text[512];
  regx_error(result, nullptr, text, sizeof text);
  std::string out = "error " + std::to_string(result) + ": " + text;
  if (result == REGX_ETOOMANY) out += " (" + std::to_string(backtracks) + " allowed)";
  return out;
}

// explain_header_number - the 1-based number of the header line at offset
size_t explain_header_number(const std::vector<std::pair<uint32_t, uint32_t>> &lines,
                             uint32_t offset) {
  auto it = std::lower_bound(lines.begin(), lines.end(), std::make_pair(offset, uint32_t{0}));
  return static_cast<size_t>(it - lines.begin()) + 1;
}

void explain_message(const LoadedRules &rules, const std::string &path, const HeaderBlock &block,
                     const HeaderLimit &limit, int32_t threshold, MessageTrace &t,
                     std::string &out) {
  const std::string failure = trace_block(rules, block, limit, threshold, false, t);
  const std::string_view header = block.bytes;
  const EvalLimits &limits = rules.limits;
  const std::string display = printable(path);
  out += "message " + display + "\n";
  if (block.over_limit && limit.ours) {
    out += "not evaluated: the module has no header block limit and the block is longer than the " +
           std::to_string(limit.bytes) + " bytes this command holds\n";
  } else if (t.kind == TRACE_NO_HEADER) {
    out += "no header block: the module gives no verdict\n";
  } else if (t.kind == TRACE_TOO_LONG) {
    out += "header block of " + std::to_string(header.size()) + " bytes, longer than " +
           "maxTotalHeadersLength " + std::to_string(limits.max_total_headers_length) +
           ": spam without evaluation\n";
  } else if (t.kind == TRACE_NOT_EVALUATED) {
    out += "the header block yields no header line: the module gives no verdict\n";
  } else {
    const auto lines = unfolded_lines(header);
    out += "\nheader lines:\n";
    for (size_t i = 0; i < lines.size(); ++i) {
      out +=
          "  H" + std::to_string(i + 1) + "  " + t.unfolded.substr(lines[i].first, lines[i].second);
      if (limits.max_header_length != 0 && lines[i].second > limits.max_header_length) {
        out += "  [" + std::to_string(lines[i].second) +
               " characters, longer than maxHeaderLength " +
               std::to_string(limits.max_header_length) + ": never matched]";
      }
      out += '\n';
    }
    out += "\nrule lines:\n";
    size_t k = 0;  // next try
    for (size_t i = 0; i < rules.lines.size(); ++i) {
      const LineOutcome &o = t.outcomes[i];
      if (t.stopped_before == static_cast<int64_t>(i)) {
        out += "threshold " + std::to_string(threshold) + " reached with total " +
               std::to_string(o.total) + ": the evaluation ends before line " +
               std::to_string(rules.lines[i].source_line) + "; " +
               std::to_string(rules.lines.size() - i) + " rule lines not run\n";
        break;
      }
      const RuleLine *line = rules.lines[i].line;
      out += "  line " + std::to_string(rules.lines[i].source_line) + "  rule " +
             std::to_string(static_cast<uint32_t>(line->rule_id)) + "  weight " +
             std::to_string(line->weight);
      if (line->rule_type == RULE_TYPE_MULTI) {
        out += line->conjunction == RULE_CONJ_LAST ? "  (last line of its rule)"
                                                   : "  (a line of a multi-line rule)";
      }
      out += "  " + printable(rules.lines[i].pattern) + "\n";
      for (; k < t.tries.size() && t.tries[k].line == i; ++k) {
        out += "      H" + std::to_string(explain_header_number(lines, t.tries[k].header_offset)) +
               "  " + explain_result(t.tries[k].result, t.tries[k].backtracks) + "\n";
      }
      switch (o.state) {
        case LINE_SKIPPED:
          out += "      -> skipped: an earlier line of its rule failed\n";
          break;
        case LINE_NO_HEADER:
          out += line->name_hash != 0 ? "      -> no header line of its name to try\n"
                                      : "      -> no header line to try\n";
          break;
        case LINE_NO_MATCH:
          out += o.result == REGX_NOMATCH ? "      -> no match\n"
                                          : "      -> no match: the error ends its search\n";
          break;
        case LINE_MATCHED:
          out += "      -> matched; its rule's last line decides\n";
          break;
        case LINE_HIT:
          out += "      -> hit: " + std::string(line->weight < 0 ? "" : "+") +
                 std::to_string(line->weight) + ", total " + std::to_string(o.total) + "\n";
          break;
        case LINE_NOT_RUN:
          break;
      }
    }
  }
  if (!failure.empty()) {
    // The hits do not count: the host sees a message the module left unjudged.
    out += "result: error - " + display + " " + failure + "\n";
    return;
  }
  out += "result: ";
  out += t.spam ? "spam " : "ok ";
  out += std::to_string(t.score) + " " + display;
  for (const HdrwHit &h : t.hits) {
    out += " " + std::to_string(static_cast<uint32_t>(h.rule_id)) + ":" + std::to_string(h.weight);
  }
  out += "\n";
}

}  // namespace

int cmd_rules_explain(const std::vector<std::string> &words) {
  ArgParser args("rules explain", words);
  RuleSourceOptions source;
  int32_t threshold = 100;
  std::vector<std::string> paths;
  while (args.next()) {
    if (!args.is_option()) {
      paths.push_back(args.operand());
    } else if (args.name() == "help") {
      std::cout << kExplainHelp << kRuleSourceHelp << kExplainHelpRest;
      return 0;
    } else if (take_rule_source_option(args, source)) {
    } else if (args.name() == "threshold") {
      threshold = parse_int32(args, args.value());
    } else {
      args.unknown();
    }
  }
  if (paths.empty()) args.fail("no message given");
  if (std::count(paths.begin(), paths.end(), "-") > 1)
    args.fail("standard input (-) given more than once");
  if (hdrw_host_configure_log("stderr", 3) != 0) throw Failure("cannot apply the log settings");

  const LoadedRules rules = load_rule_source(source);
  std::vector<std::string> problems;
  const std::vector<MessageInput> inputs = collect_inputs(paths, problems);
  size_t failed = problems.size();
  for (const auto &p : problems) std::fprintf(stderr, "hdrweights: %s\n", p.c_str());
  const HeaderLimit limit = header_limit_for(rules.limits.max_total_headers_length);
  HeaderBlock block;
  MessageTrace trace;
  std::string out = "rule file " + printable(rules.name) + " (SHA-256 " + rules.sha256 + ")\n" +
                    "limits: maxHeaderLength " + std::to_string(rules.limits.max_header_length) +
                    ", maxTotalHeadersLength " +
                    std::to_string(rules.limits.max_total_headers_length) + ", maxBackTracks " +
                    std::to_string(rules.limits.max_backtracks) + "; threshold " +
                    std::to_string(threshold) + "\n";
  for (const MessageInput &in : inputs) {
    const std::string why = read_header_blocks(in, limit.bytes, block, [&](const HeaderBlock &b) {
      out += "\n";
      explain_message(rules,
                      b.number == 0 ? in.display : in.display + "#" + std::to_string(b.number), b,
                      limit, threshold, trace, out);
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    });
    if (!why.empty()) {
      std::fflush(stdout);
      std::fprintf(stderr, "hdrweights: %s\n", why.c_str());
      ++failed;
    }
  }
  std::fflush(stdout);
  if (std::ferror(stdout)) throw Failure("standard output: write error");
  return failed == 0 ? 0 : 1;
}

}  // namespace hdrw_cli
