// rule_fit - rule weights fitted to a corpus, judged as the module judges
//
// The verdict fitted is the module's at a positive threshold T: rules in
// rule-base order, a message is spam as soon as the running total of its hits
// reaches T (later weights no longer count), so a message is flagged exactly
// when its highest running total (its peak) reaches T; a message judged spam
// unread (its header block over maxTotalHeadersLength) is flagged whatever the
// weights. A FitCorpus holds, per message, its class, whether it was judged
// unread, and the rules that hit it (indices in rule-base order, a multi-line
// rule counted only when all its lines matched, as rules stats counts hits).
//
// fit_count(corpus, messages, weights, threshold) counts spam caught and ham
// flagged among the listed messages with integer weights, exactly.
//
// fit_weights(corpus, messages, current, settings) fits integer weights on the
// listed messages: a logistic regression on the peak (its gradient taken
// through the rules up to the peak), regularised toward the current weights,
// then a search over the scale of the fitted weights that keeps the ham
// flagged within floor(max_ham_rate x ham) and catches the most spam, a ham
// message whose peak comes within 20% below the threshold counting as flagged
// in that search (a margin for mail not seen). The current weights, as they
// are and scaled (a scale standing for another threshold), are candidates
// too, and on the messages fitted the result never catches less spam than the
// current weights do at the threshold when they keep within the ham limit. Weights stay in
// [min_weight, max_weight] (the weight field's range), a rule whose current weight is below the
// threshold stays below it (no rule alone reaches it unless it did before), and a rule with no hit
// among the messages keeps its weight. Deterministic; no shared state, so calls may run on any
// threads at once.
//
// fit_folds(corpus, folds, seed) splits the messages into folds of nearly
// equal size, spam and ham each shuffled with a 64-bit Mersenne Twister seeded
// with seed (the same split on every machine). fit_cross_validate(corpus,
// current, settings, folds, seed, jobs) fits on all folds but one and counts
// the held-out one with the current and the fitted weights, for every fold
// (jobs threads through cli_jobs.h; the figures do not depend on jobs).
// fit_peaks(corpus, weights, spam, ham) gives the class totals of the threshold
// curve (rule_stats.h) of the whole corpus with weights.
#ifndef TOOLS_RULE_FIT_H
#define TOOLS_RULE_FIT_H

#include <cstdint>
#include <vector>

#include "rule_stats.h"

namespace hdrw_cli {

constexpr int32_t kMinWeight = -99;  // the three columns of the weight field
constexpr int32_t kMaxWeight = 999;

struct FitCorpus {
  size_t rules = 0;
  std::vector<uint32_t> start = {0};  // message m's hits: hits[start[m]] to hits[start[m + 1] - 1]
  std::vector<uint32_t> hits;
  std::vector<uint8_t> spam;    // per message
  std::vector<uint8_t> always;  // per message: judged spam unread
};

struct FitSettings {
  int32_t threshold = 100;      // above 0
  double max_ham_rate = 0.001;  // ham flagged allowed, as a share of the ham fitted
};

struct FitCounts {
  uint64_t spam = 0, ham = 0;  // messages of each class counted
  uint64_t spam_caught = 0, ham_flagged = 0;
};

struct FoldFigures {
  FitCounts current, fitted;  // of the held-out messages
};

void fit_add_message(FitCorpus &corpus, bool spam, bool always, const std::vector<uint32_t> &rules);
FitCounts fit_count(const FitCorpus &corpus, const std::vector<uint32_t> &messages,
                    const std::vector<int32_t> &weights, int32_t threshold);
std::vector<int32_t> fit_weights(const FitCorpus &corpus, const std::vector<uint32_t> &messages,
                                 const std::vector<int32_t> &current, const FitSettings &settings);
std::vector<std::vector<uint32_t>> fit_folds(const FitCorpus &corpus, int folds, uint64_t seed);
std::vector<FoldFigures> fit_cross_validate(const FitCorpus &corpus,
                                            const std::vector<int32_t> &current,
                                            const FitSettings &settings, int folds, uint64_t seed,
                                            int jobs);
void fit_peaks(const FitCorpus &corpus, const std::vector<int32_t> &weights, ClassTotals &spam,
               ClassTotals &ham);

}  // namespace hdrw_cli

#endif
