// stats_corpus - the corpus walk of the rule tools (contract in stats_corpus.h)
// (tested in tests/rules_tools_test.cpp)
#include "stats_corpus.h"

#include <chrono>
#include <cstdio>

#include "cli_jobs.h"
#include "cli_progress.h"
#include "cli_texts.h"
#include "message_reader.h"
#include "message_source.h"
#include "rule_trace.h"

namespace hdrw_cli {
namespace {

// One input file of the corpus.
struct CorpusItem {
  MessageInput input;
  bool spam;
};

// What a worker leaves for the taker per item.
struct ItemFacts {
  std::vector<MessageFacts> messages;
  std::vector<std::string> errors;    // lines of what could not be read or judged
  std::vector<std::string> left_out;  // lines of the inputs with no header block
};

struct Corpus {
  const LoadedRules *rules = nullptr;
  const std::vector<uint32_t> *rule_of_line = nullptr;
  int32_t threshold = 100;
  HeaderLimit limit{0, false};  // header bytes read per message
  std::vector<CorpusItem> items;
  std::vector<ItemFacts> facts;
};

// Per thread: the trace and the header block reused for every message, the costs.
struct WorkerState {
  MessageTrace trace;
  HeaderBlock block;
  RuleCosts costs;
};

void corpus_read_item(Corpus &corpus, size_t index, WorkerState &w) {
  const CorpusItem &item = corpus.items[index];
  ItemFacts &out = corpus.facts[index];
  const std::string why =
      read_header_blocks(item.input, corpus.limit.bytes, w.block, [&](const HeaderBlock &block) {
        const std::string display = block.number == 0
                                        ? item.input.display
                                        : item.input.display + "#" + std::to_string(block.number);
        const std::string failure =
            trace_block(*corpus.rules, block, corpus.limit, 0, true, w.trace);
        stats_add_costs(w.costs, *corpus.rule_of_line, w.trace);
        if (!failure.empty()) {
          // Unjudged by the module, as scan reports it: not part of the figures.
          out.errors.push_back(printable(display) + ": not evaluated: " + failure);
          return;
        }
        if (w.trace.kind == TRACE_NO_HEADER) {
          out.left_out.push_back(printable(display) +
                                 ": no header block: left out (neither spam nor ham)");
        }
        out.messages.push_back(
            stats_facts(*corpus.rule_of_line, w.trace, item.spam, display, corpus.threshold));
      });
  if (!why.empty()) out.errors.push_back(why);
}

}  // namespace

void collect_corpus(const LoadedRules &rules, const std::vector<uint32_t> &rule_of_line,
                    const std::vector<std::string> &spam, const std::vector<std::string> &ham,
                    int jobs, StatsReport &report, const FactsVisit &each) {
  Corpus corpus;
  corpus.rules = &rules;
  corpus.rule_of_line = &rule_of_line;
  corpus.threshold = report.threshold;
  corpus.limit = header_limit_for(rules.limits.max_total_headers_length);
  std::vector<std::string> problems;
  for (bool is_spam : {true, false}) {
    for (MessageInput &in : collect_inputs(is_spam ? spam : ham, problems)) {
      corpus.items.push_back({std::move(in), is_spam});
    }
  }
  corpus.facts.resize(corpus.items.size());
  for (const auto &p : problems) std::fprintf(stderr, "hdrweights: %s\n", p.c_str());
  report.failed += problems.size();

  const size_t workers = static_cast<size_t>(jobs < 1 ? 1 : jobs);
  std::vector<WorkerState> states(workers);
  for (WorkerState &w : states) {
    w.costs.ticks.assign(rules.lines.size(), 0);
    w.costs.max_backtracks.assign(report.rules.size(), 0);
  }
  cheap_clock_ns_per_tick();  // sets the clock's origin before any match is timed
  const auto start = std::chrono::steady_clock::now();
  Progress progress(corpus.items.size());
  run_in_order(
      corpus.items.size(), jobs,
      [&](size_t i, size_t worker) { corpus_read_item(corpus, i, states[worker]); },
      [&](size_t i) {
        ItemFacts &item = corpus.facts[i];
        for (const auto *lines : {&item.errors, &item.left_out}) {
          for (const std::string &e : *lines) {
            progress.clear();
            std::fprintf(stderr, "hdrweights: %s\n", e.c_str());
          }
        }
        report.failed += item.errors.size();
        for (const MessageFacts &f : item.messages) {
          stats_add_facts(report, f);
          if (each && f.kind != TRACE_NO_HEADER) each(f);
        }
        item = ItemFacts{};
        progress.update(i + 1, start);
      });
  progress.clear();
  const double ns_per_tick = cheap_clock_ns_per_tick();
  for (const WorkerState &w : states) {
    stats_add_costs_to_report(report, rule_of_line, w.costs, ns_per_tick);
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  print_summary(
      report.spam.messages + report.ham.messages,
      flagged_at(report.spam, report.threshold) + flagged_at(report.ham, report.threshold),
      report.failed, secs, report.no_header);
}

}  // namespace hdrw_cli
