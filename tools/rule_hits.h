// rule_hits - the hits file: which rules hit each message of a corpus
//
// A hits file ("rules stats --hits FILE") keeps, per message, what a fit of
// the weights needs and nothing else: its class and the rules that hit it, so
// the evaluation can run on many machines and the fit once. It is text:
//
//   # hdrweights rules hits 1
//   report 0123456789abcdef0123456789abcdef   (one line per report merged in)
//   sha256 HEX                                (of the plain rule text)
//   limits MAXHEADERLENGTH MAXTOTALHEADERSLENGTH MAXBACKTRACKS
//   rules ID ID ...                           (every rule, rule-base order)
//   spam ID ID ...                            (one line per message: class, hits)
//   ham always                                (judged spam unread: block too long)
//
// A rule is named by its ID (a multi-line rule by its "&." line's); the k-th
// rule (k from 2) of an ID that several rules share is named ID#k.
// hits_head(report) is the text up to the message lines (report_ids, sha256,
// limits and rules of the report); hits_rule_names(report) are the rules'
// names, and hits_line(names, facts) a message's line. hits_read(text, name) reads a file back and
// throws Failure naming it and the line for anything else (an unknown word, a hit on no rule of the
// list, a hit listed twice or out of rule-base order, a missing head line).
// hits_merge(into, from, name) appends another shard's messages: the same
// rules, text and limits, and no report already in into (add_report_ids).
#ifndef TOOLS_RULE_HITS_H
#define TOOLS_RULE_HITS_H

#include <cstdint>
#include <string>
#include <vector>

#include "rule_source.h"
#include "rule_stats.h"

namespace hdrw_cli {

struct HitsMessage {
  bool spam = false;
  bool always = false;          // judged spam unread
  std::vector<uint32_t> rules;  // indices of the rules that hit, ascending
};

struct HitsFile {
  std::vector<std::string> report_ids;
  std::string sha256;
  EvalLimits limits;
  std::vector<int32_t> rule_ids;  // rule-base order
  std::vector<HitsMessage> messages;
};

std::string hits_head(const StatsReport &report);
std::vector<std::string> hits_rule_names(const StatsReport &report);
std::string hits_line(const std::vector<std::string> &names, const MessageFacts &facts);
HitsFile hits_read(const std::string &text, const std::string &name);
void hits_merge(HitsFile &into, const HitsFile &from, const std::string &name);

}  // namespace hdrw_cli

#endif
