// Report readers fuzz target: the files that rule statistics pass between
// machines, read back by the command. The first byte picks the reader: even,
// a hits file (hits_read); odd, a JSON report (stats_from_json). A reader
// either throws its one error (Failure, naming the file and line) or gives a
// record that keeps the file's invariants: hits name rules of the rules line
// in rule-base order, a report written out again reads back to the same text.
// The same record merged into itself is refused (its report IDs repeat).
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "cli_errors.h"
#include "rule_hits.h"
#include "rule_stats.h"

namespace {

// reports_fuzz_check - a broken reader contract stops the fuzzer here
void reports_fuzz_check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// reports_fuzz_fails - whether a step (reading, merging) throws its Failure
template <class Step>
bool reports_fuzz_fails(Step step) {
  try {
    step();
  } catch (const hdrw_cli::Failure &) {
    return true;
  }
  return false;
}

void reports_fuzz_hits(const std::string &text) {
  hdrw_cli::HitsFile file;
  if (reports_fuzz_fails([&] { file = hdrw_cli::hits_read(text, "fuzz.hits"); })) {
    return;
  }
  reports_fuzz_check(!file.report_ids.empty() && file.sha256.size() == 64);
  for (const hdrw_cli::HitsMessage &m : file.messages) {
    reports_fuzz_check(!m.always || m.rules.empty());
    for (size_t i = 0; i < m.rules.size(); ++i) {
      reports_fuzz_check(m.rules[i] < file.rule_ids.size());
      reports_fuzz_check(i == 0 || m.rules[i - 1] < m.rules[i]);
    }
  }
  hdrw_cli::HitsFile twice = file;
  reports_fuzz_check(reports_fuzz_fails([&] { hdrw_cli::hits_merge(twice, file, "again"); }));
}

void reports_fuzz_json(const std::string &text) {
  hdrw_cli::StatsReport report;
  if (reports_fuzz_fails([&] { report = hdrw_cli::stats_from_json(text, "fuzz.json"); })) {
    return;
  }
  const std::string written = hdrw_cli::stats_to_json(report, hdrw_cli::stats_thresholds(report));
  hdrw_cli::StatsReport again = hdrw_cli::stats_from_json(written, "written");
  reports_fuzz_check(hdrw_cli::stats_to_json(again, hdrw_cli::stats_thresholds(again)) == written);
  reports_fuzz_check(reports_fuzz_fails([&] { hdrw_cli::stats_merge(again, report, "again"); }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) {
    reports_fuzz_hits(text);
  } else {
    reports_fuzz_json(text);
  }
  return 0;
}
