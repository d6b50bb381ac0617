// rule_fit - weights fitted to a corpus (contract in rule_fit.h)
//
// The regression works on real weights w in weight units: a message's score
// is its peak P (the highest running total over its hits, the last position
// reaching it taken; 0 for a message without hits), its probability of spam
// sigma((P - T) / s) with s = T / 10, and the loss the log loss (a ham
// message weighing 64 times the class balance, since the limit is on ham) plus
// lambda / 2 * sum ((w - current) / s)^2. Rules are updated one at a time
// with a Newton step on their own coordinate (the peak's derivative in a rule
// is 1 when the rule comes at or before the peak, else 0), clipped to the
// rule's range, and the peaks of the messages it hits worked out again. The
// real weights are then scaled (a scale k on every weight is a threshold T / k
// on the peaks), rounded and clipped; each candidate is counted exactly.
// (tested in tests/rules_fit_test.cpp)
#include "rule_fit.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "cli_jobs.h"

namespace hdrw_cli {
namespace {

constexpr int kSweeps = 40;          // passes over the rules at most
constexpr double kLambda = 1.0;      // pull toward the current weights
constexpr double kTemperature = 10;  // s = T / kTemperature
constexpr double kHamEmphasis = 64;  // ham loss weight, over the class balance
constexpr double kHamMargin = 0.2;   // ham this close below T counts as flagged
constexpr double kScaleLow = 0.25;   // the scales tried: kScaleLow * kScaleStep^n
constexpr double kScaleStep = 1.025;
constexpr int kScales = 113;  // up to about 4

// The messages fitted, with each rule's hits listed for its coordinate step.
struct FitTrain {
  std::vector<uint32_t> messages;      // corpus messages evaluated (not judged unread)
  std::vector<uint32_t> rule_start;    // rule r's entries: rule_start[r] to rule_start[r + 1] - 1
  std::vector<uint32_t> rule_message;  // index into messages
  std::vector<uint32_t> rule_pos;      // position of the hit in the message's hit list
  std::vector<double> cost;            // per message: loss weight of its class
  std::vector<double> peak;            // per message
  std::vector<uint32_t> peak_pos;      // per message: last position reaching the peak
};

// fit_peak - peak and its last position of corpus message m with real weights
void fit_peak(const FitCorpus &c, uint32_t m, const std::vector<double> &w, double &peak,
              uint32_t &pos) {
  const uint32_t first = c.start[m], end = c.start[m + 1];
  if (first == end) {
    peak = 0;
    pos = UINT32_MAX;
    return;
  }
  double total = 0;
  peak = -HUGE_VAL;
  for (uint32_t p = first; p < end; ++p) {
    total += w[c.hits[p]];
    if (total >= peak) {
      peak = total;
      pos = p - first;
    }
  }
}

// fit_flagged - whether corpus message m reaches threshold with integer weights
bool fit_flagged(const FitCorpus &c, uint32_t m, const std::vector<int32_t> &w, int32_t threshold) {
  if (c.always[m]) return true;
  int64_t total = 0;
  for (uint32_t p = c.start[m]; p < c.start[m + 1]; ++p) {
    total += w[c.hits[p]];
    if (total >= threshold) return true;
  }
  return false;
}

double fit_sigmoid(double x) {
  return x >= 0 ? 1 / (1 + std::exp(-x)) : std::exp(x) / (1 + std::exp(x));
}

FitTrain fit_train(const FitCorpus &c, const std::vector<uint32_t> &messages) {
  FitTrain t;
  uint64_t spam = 0, ham = 0;
  for (uint32_t m : messages) {
    if (c.always[m]) continue;
    t.messages.push_back(m);
    ++(c.spam[m] ? spam : ham);
  }
  std::vector<uint32_t> count(c.rules + 1, 0);
  for (uint32_t m : t.messages) {
    for (uint32_t p = c.start[m]; p < c.start[m + 1]; ++p) ++count[c.hits[p] + 1];
  }
  t.rule_start.assign(c.rules + 1, 0);
  for (size_t r = 0; r < c.rules; ++r) t.rule_start[r + 1] = t.rule_start[r] + count[r + 1];
  t.rule_message.resize(t.rule_start[c.rules]);
  t.rule_pos.resize(t.rule_start[c.rules]);
  std::vector<uint32_t> fill(t.rule_start.begin(), t.rule_start.end() - 1);
  for (uint32_t i = 0; i < t.messages.size(); ++i) {
    const uint32_t m = t.messages[i];
    for (uint32_t p = c.start[m]; p < c.start[m + 1]; ++p) {
      const uint32_t at = fill[c.hits[p]]++;
      t.rule_message[at] = i;
      t.rule_pos[at] = p - c.start[m];
    }
  }
  const double ham_cost =
      ham == 0 ? 0 : kHamEmphasis * static_cast<double>(std::max<uint64_t>(spam, 1)) / ham;
  for (uint32_t m : t.messages) t.cost.push_back(c.spam[m] ? 1.0 : ham_cost);
  return t;
}

// fit_regression - real weights from the logistic regression on the peaks
std::vector<double> fit_regression(const FitCorpus &c, const FitTrain &t,
                                   const std::vector<int32_t> &current,
                                   const std::vector<double> &lo, const std::vector<double> &hi,
                                   int32_t threshold) {
  std::vector<double> w(current.begin(), current.end());
  const double s = threshold / kTemperature;
  std::vector<double> peak(t.messages.size());
  std::vector<uint32_t> pos(t.messages.size());
  for (size_t i = 0; i < t.messages.size(); ++i) fit_peak(c, t.messages[i], w, peak[i], pos[i]);
  for (int sweep = 0; sweep < kSweeps; ++sweep) {
    double moved = 0;
    for (size_t r = 0; r < c.rules; ++r) {
      const uint32_t first = t.rule_start[r], end = t.rule_start[r + 1];
      if (first == end) continue;
      double g = kLambda * (w[r] - current[r]) / (s * s);
      double h = kLambda / (s * s);
      for (uint32_t e = first; e < end; ++e) {
        const uint32_t i = t.rule_message[e];
        if (pos[i] == UINT32_MAX || t.rule_pos[e] > pos[i]) continue;
        const double p = fit_sigmoid((peak[i] - threshold) / s);
        const double y = c.spam[t.messages[i]] ? 1.0 : 0.0;
        g += t.cost[i] * (p - y) / s;
        h += t.cost[i] * p * (1 - p) / (s * s);
      }
      double step = -g / h;
      step = std::clamp(step, -0.5 * threshold, 0.5 * threshold);
      const double next = std::clamp(w[r] + step, lo[r], hi[r]);
      if (next == w[r]) continue;
      moved = std::max(moved, std::fabs(next - w[r]));
      w[r] = next;
      for (uint32_t e = first; e < end; ++e) {
        const uint32_t i = t.rule_message[e];
        fit_peak(c, t.messages[i], w, peak[i], pos[i]);
      }
    }
    if (moved < 0.01) break;
  }
  return w;
}

// FitScore - how good a candidate is on the messages fitted; larger is better
struct FitScore {
  bool within = false;  // ham flagged within the limit
  uint64_t spam_caught = 0, ham_flagged = 0;
  bool better_than(const FitScore &o) const {
    if (within != o.within) return within;
    if (!within) return ham_flagged < o.ham_flagged;
    if (spam_caught != o.spam_caught) return spam_caught > o.spam_caught;
    return ham_flagged < o.ham_flagged;
  }
};

}  // namespace

void fit_add_message(FitCorpus &corpus, bool spam, bool always,
                     const std::vector<uint32_t> &rules) {
  corpus.hits.insert(corpus.hits.end(), rules.begin(), rules.end());
  corpus.start.push_back(static_cast<uint32_t>(corpus.hits.size()));
  corpus.spam.push_back(spam ? 1 : 0);
  corpus.always.push_back(always ? 1 : 0);
}

FitCounts fit_count(const FitCorpus &corpus, const std::vector<uint32_t> &messages,
                    const std::vector<int32_t> &weights, int32_t threshold) {
  FitCounts n;
  for (uint32_t m : messages) {
    const bool flagged = fit_flagged(corpus, m, weights, threshold);
    if (corpus.spam[m]) {
      ++n.spam;
      n.spam_caught += flagged;
    } else {
      ++n.ham;
      n.ham_flagged += flagged;
    }
  }
  return n;
}

std::vector<int32_t> fit_weights(const FitCorpus &corpus, const std::vector<uint32_t> &messages,
                                 const std::vector<int32_t> &current, const FitSettings &settings) {
  const int32_t threshold = settings.threshold;
  std::vector<double> lo(corpus.rules, kMinWeight), hi(corpus.rules);
  for (size_t r = 0; r < corpus.rules; ++r) {
    hi[r] = current[r] >= threshold ? kMaxWeight : std::min(threshold - 1, kMaxWeight);
  }
  const FitTrain train = fit_train(corpus, messages);
  const std::vector<double> real = fit_regression(corpus, train, current, lo, hi, threshold);

  uint64_t ham = 0;
  for (uint32_t m : messages) ham += !corpus.spam[m];
  const uint64_t allowed =
      static_cast<uint64_t>(std::floor(settings.max_ham_rate * static_cast<double>(ham) + 1e-9));
  // Ham whose peak comes within the margin below the threshold counts as
  // flagged while choosing: ham just short of it on the mail fitted is ham
  // flagged on mail not seen.
  const int32_t ham_line =
      threshold - static_cast<int32_t>(std::lround(kHamMargin * static_cast<double>(threshold)));
  auto score = [&](const std::vector<int32_t> &w) {
    const FitCounts n = fit_count(corpus, messages, w, threshold);
    const FitCounts h = fit_count(corpus, messages, w, std::max(ham_line, 1));
    return FitScore{h.ham_flagged <= allowed, n.spam_caught, h.ham_flagged};
  };
  std::vector<int32_t> best = current;
  FitScore best_score = score(current);
  // The regression's weights and the current ones, each scaled: a scale on
  // the current weights stands for another threshold with them.
  const std::vector<double> start(current.begin(), current.end());
  std::vector<int32_t> w(corpus.rules);
  for (const std::vector<double> *base : {&real, &start}) {
    double k = kScaleLow;
    for (int i = 0; i < kScales; ++i, k *= kScaleStep) {
      for (size_t r = 0; r < corpus.rules; ++r) {
        if (train.rule_start[r] == train.rule_start[r + 1]) {
          w[r] = current[r];  // no evidence: as it was
        } else {
          w[r] = static_cast<int32_t>(std::clamp(
              std::lround(k * (*base)[r]), static_cast<long>(lo[r]), static_cast<long>(hi[r])));
        }
      }
      const FitScore s = score(w);
      if (s.better_than(best_score)) {
        best = w;
        best_score = s;
      }
    }
  }
  // Never less spam than the current weights where they keep the ham limit.
  const FitCounts was = fit_count(corpus, messages, current, threshold);
  if (was.ham_flagged <= allowed &&
      was.spam_caught > fit_count(corpus, messages, best, threshold).spam_caught) {
    return current;
  }
  return best;
}

std::vector<std::vector<uint32_t>> fit_folds(const FitCorpus &corpus, int folds, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::vector<uint32_t>> out(static_cast<size_t>(folds));
  for (uint8_t cls : {1, 0}) {
    std::vector<uint32_t> list;
    for (uint32_t m = 0; m < corpus.spam.size(); ++m) {
      if (corpus.spam[m] == cls) list.push_back(m);
    }
    // Fisher-Yates with the generator's own numbers, the same everywhere.
    for (size_t i = list.size(); i > 1; --i) std::swap(list[i - 1], list[random() % i]);
    for (size_t i = 0; i < list.size(); ++i) out[i % out.size()].push_back(list[i]);
  }
  for (auto &fold : out) std::sort(fold.begin(), fold.end());
  return out;
}

std::vector<FoldFigures> fit_cross_validate(const FitCorpus &corpus,
                                            const std::vector<int32_t> &current,
                                            const FitSettings &settings, int folds, uint64_t seed,
                                            int jobs) {
  const std::vector<std::vector<uint32_t>> split = fit_folds(corpus, folds, seed);
  std::vector<FoldFigures> out(split.size());
  run_in_order(
      split.size(), jobs,
      [&](size_t f, size_t) {
        std::vector<uint32_t> train;
        for (size_t g = 0; g < split.size(); ++g) {
          if (g != f) train.insert(train.end(), split[g].begin(), split[g].end());
        }
        std::sort(train.begin(), train.end());
        const std::vector<int32_t> w = fit_weights(corpus, train, current, settings);
        out[f].current = fit_count(corpus, split[f], current, settings.threshold);
        out[f].fitted = fit_count(corpus, split[f], w, settings.threshold);
      },
      [](size_t) {});
  return out;
}

void fit_peaks(const FitCorpus &corpus, const std::vector<int32_t> &weights, ClassTotals &spam,
               ClassTotals &ham) {
  for (uint32_t m = 0; m < corpus.spam.size(); ++m) {
    ClassTotals &t = corpus.spam[m] ? spam : ham;
    ++t.messages;
    if (corpus.always[m]) {
      ++t.always;
      continue;
    }
    ++t.evaluated;
    int64_t total = 0, peak = 0;
    for (uint32_t p = corpus.start[m]; p < corpus.start[m + 1]; ++p) {
      total += weights[corpus.hits[p]];
      peak = std::max(peak, total);
    }
    if (total > 0) ++t.positive;
    if (peak > 0) ++t.peaks[static_cast<int32_t>(peak)];
  }
}

}  // namespace hdrw_cli
