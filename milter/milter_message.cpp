// milter_message - one transaction's header block, verdict and decision (see
// the header). A message is counted exactly once: in judge, or as aborted in
// end when it was begun but never judged. Tests: tests/milter_test.cpp.
#include "milter_message.h"

#include <string.h>
#include <time.h>

#include "milter_log.h"
#include "milter_metrics.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tvr_log.h"
#include "tvr_status.h"
#include "tvrshareddata.h"

namespace {

// milter_message_now - a monotonic clock reading in nanoseconds
uint64_t milter_message_now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

}  // namespace

// milter_message_begin - a new transaction on the connection
void milter_message_begin(MilterMessage *message, MilterRules *rules, int skip) {
  milter_message_end(message, 0, nullptr);
  message->rules = rules;
  message->generation = milter_rules_pin(rules);
  message->skip = skip;
  message->judged = 0;
  message->failed = 0;
  message->forged_status = 0;
  message->forged_hits = 0;
  milter_block_reset(&message->block);
  message->decision.hits = nullptr;
}

// milter_message_header - one header of the message
uint32_t milter_message_header(MilterMessage *message, const char *name, const char *value) {
  if (tlvpr_stricmp(name, MILTER_STATUS_HEADER) == 0) ++message->forged_status;
  if (tlvpr_stricmp(name, MILTER_HITS_HEADER) == 0) ++message->forged_hits;
  if (message->skip || message->failed) return 0;
  uint32_t rc = milter_block_append(&message->block, name, value, message->leadspc);
  if (rc != 0) message->failed = 1;
  return rc;
}

// milter_message_hits_text - the hits header value into the message's own buffer
static const char *milter_message_hits_text(MilterMessage *message) {
  const HdrwVerdict &verdict = message->verdict;
  if (verdict.hit_count == 0) return nullptr;
  size_t need = (size_t)verdict.hit_count * MILTER_BLOCK_HITS_ROOM + 8;
  if (message->hits_room < need) {
    char *grown = (char *)tlvpr_realloc(message->hits_text, need);
    if (grown == nullptr) return nullptr;
    message->hits_text = grown;
    message->hits_room = need;
  }
  milter_block_hits(message->hits_text, message->hits_room, verdict.hits, verdict.hit_count,
                    message->leadspc);
  return message->hits_text;
}

// milter_message_judge - evaluates the block and decides what the MTA does
void milter_message_judge(MilterMessage *message, const MilterPolicy *policy, const char *queue_id,
                          MilterStats *stats) {
  MilterDecision *decision = &message->decision;
  decision->reply = MILTER_REPLY_ACCEPT;
  decision->quarantine = 0;
  decision->hits = nullptr;
  message->judged = 1;
  const char *id = queue_id != nullptr && queue_id[0] != '\0' ? queue_id : "(no queue ID)";
  int32_t threshold = milter_rules_threshold(message->rules);
  milter_stats_count(stats, MILTER_STAT_MESSAGES);
  if (message->skip) {
    milter_block_status(decision->status, sizeof decision->status, 1, 0, 0, threshold,
                        message->leadspc);
    milter_stats_count(stats, MILTER_STAT_SKIPPED);
    return;
  }

  uint32_t error = message->failed ? TVR_NO_MEMORY : milter_block_finish(&message->block);
  if (error == 0) {
    const MilterBlock &block = message->block;
    uint32_t skip = milter_block_is_mta_received(&block, queue_id) ? block.first_length : 0;
    if (block.cut) {
      // Part of a block is no verdict: what was left out may be what scores.
      // Like a block over the module's own limit, it is spam unread.
      milter_log(TVR_LOG_NOTICE,
                 "message %s: header block of %llu bytes, more than the %u the milter keeps; "
                 "spam, not evaluated",
                 id, (unsigned long long)block.full_length, (unsigned)MILTER_BLOCK_MAX);
      message->verdict.spam = 1;
      message->verdict.score = 0;
      message->verdict.hit_count = 0;
      message->verdict.error = 0;
    } else {
      uint32_t limits = tvr_shared_thread_match_limits;
      uint64_t start = milter_message_now();
      error = milter_rules_evaluate(message->generation, block.bytes + skip, block.length - skip,
                                    &message->verdict);
      uint64_t took = milter_message_now() - start;
      milter_stats_latency(stats, took);
      milter_metrics_evaluated(stats->metrics, took, error == 0 ? &message->verdict : nullptr,
                               tvr_shared_thread_match_limits - limits);
      if (error == 0) error = message->verdict.error;
    }
  }
  if (error != 0) {
    char reason[HDRW_HOST_ERROR_TEXT];
    hdrw_host_error_text(error, reason, sizeof reason);
    milter_log(TVR_LOG_ERR, "message %s: not evaluated, code %u (%s); accepted as not spam", id,
               (unsigned)error, reason);
    milter_block_status(decision->status, sizeof decision->status, 0, 0, 0, threshold,
                        message->leadspc);
    milter_stats_count(stats, MILTER_STAT_ERRORS);
    return;
  }

  const HdrwVerdict &verdict = message->verdict;
  milter_block_status(decision->status, sizeof decision->status, 0, verdict.spam, verdict.score,
                      threshold, message->leadspc);
  decision->hits = milter_message_hits_text(message);
  if (decision->hits == nullptr && verdict.hit_count > 0) {
    milter_log(TVR_LOG_ERR, "message %s: no memory for the hits header; it is left out", id);
  }
  if (!verdict.spam) {
    milter_stats_count(stats, MILTER_STAT_HAM);
    return;
  }
  milter_stats_count(stats, MILTER_STAT_SPAM);
  switch (policy->action) {
    case MILTER_TAG:
      milter_stats_count(stats, MILTER_STAT_TAGGED);
      break;
    case MILTER_REJECT:
      decision->reply = MILTER_REPLY_REJECT;
      milter_stats_count(stats, MILTER_STAT_REJECTED);
      break;
    case MILTER_TEMPFAIL:
      decision->reply = MILTER_REPLY_TEMPFAIL;
      milter_stats_count(stats, MILTER_STAT_TEMPFAILED);
      break;
    case MILTER_HOLD:
      decision->quarantine = 1;
      milter_stats_count(stats, MILTER_STAT_HELD);
      break;
    case MILTER_DISCARD:
      decision->reply = MILTER_REPLY_DISCARD;
      milter_stats_count(stats, MILTER_STAT_DISCARDED);
      break;
  }
}

// milter_message_end - the transaction is over; unpins its generation
void milter_message_end(MilterMessage *message, int aborted, MilterStats *stats) {
  if (message->generation == nullptr) return;
  if (aborted && !message->judged && stats != nullptr)
    milter_stats_count(stats, MILTER_STAT_ABORTED);
  milter_rules_unpin(message->rules, message->generation);
  message->generation = nullptr;
}

// milter_message_free - ends an open message and frees what the record holds
void milter_message_free(MilterMessage *message, MilterStats *stats) {
  if (message == nullptr) return;
  milter_message_end(message, 1, stats);
  milter_block_free(&message->block);
  hdrw_verdict_free(&message->verdict);
  tlvpr_free(message->hits_text);
  message->hits_text = nullptr;
  message->hits_room = 0;
}
