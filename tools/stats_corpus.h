// stats_corpus - the walk over a corpus that rules stats and rules fit share
//
// collect_corpus(rules, rule_of_line, spam, ham, jobs, report, each) reads
// every input of the two path lists as scan reads them (message_source.h,
// message_reader.h), traces every message once at threshold 0 so every rule
// runs (with jobs threads; cli_jobs.h), and adds each message's facts to
// report with stats_add_facts in corpus order, then hands those of a class to
// each (on the calling thread; may be empty). report must come with its rules
// (stats_rules), limits and threshold set; the rules' matching times are added
// at the end. On standard error it prints one line per input that could not be
// read or message left unjudged (counted in report.failed), one per input with
// no header block (left out of both classes, counted in report.no_header), a
// progress bar on a terminal, and the summary line. Throws Failure as the
// trace does.
#ifndef TOOLS_STATS_CORPUS_H
#define TOOLS_STATS_CORPUS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rule_source.h"
#include "rule_stats.h"

namespace hdrw_cli {

using FactsVisit = std::function<void(const MessageFacts &facts)>;

void collect_corpus(const LoadedRules &rules, const std::vector<uint32_t> &rule_of_line,
                    const std::vector<std::string> &spam, const std::vector<std::string> &ham,
                    int jobs, StatsReport &report, const FactsVisit &each);

}  // namespace hdrw_cli

#endif
