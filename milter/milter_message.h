// milter_message - one SMTP transaction as the milter sees it: its header
// block, the verdict, and what the MTA is to do with the message
//
// The record belongs to one MTA connection and is reused for every message on
// it; nothing here knows libmilter, so the whole decision can be driven
// directly (tests do). A message runs:
//   milter_message_begin(message, rules, skip) - a new transaction: pins the
//     current generation (milter_rules.h) and empties the block. skip 1 (an
//     authenticated sender or a trusted client) means no evaluation.
//   milter_message_header(message, name, value) - one header as the MTA hands
//     it over. Headers named like the milter's own are counted for removal
//     (forged_status, forged_hits); every header goes into the block. Result:
//     0, or 10013 when the block cannot grow (the message is then judged an
//     error: it passes as not spam and is counted so).
//   milter_message_judge(message, queue_id, stats) - at the end of the headers:
//     drops the MTA's own trace header from the top of the block (see
//     milter_block_is_mta_received), evaluates, and fills decision. A block
//     the milter could not keep whole (over MILTER_BLOCK_MAX) is spam without
//     evaluation, score 0 and no hits, logged at level 5. A module
//     or host failure on the message (the host's result, or the verdict's
//     error code) passes the message as not spam: status "No", no action, a
//     level-3 line naming the queue ID and the code, counted in errors.
//     Counts the message and its action in stats.
//   milter_message_end(message, aborted, stats) - the transaction is over
//     (answered, aborted, or its connection closed): unpins the generation.
//     aborted counts a message that was begun but not judged. Safe to call
//     twice and without a begin.
// milter_message_free(message) ends a message still open and frees the block,
// verdict and texts.
//
// Policy (MilterPolicy, read-only, shared by all connections): the action on
// spam and the reply text of reject and tempfail. leadspc (per connection) says
// whether the MTA sends header values with their leading space.
//
// Decision, valid after judge until the next begin: reply (MILTER_REPLY_*),
// quarantine (1 = hold), status (value of X-Hdrweights-Status) and hits (value
// of X-Hdrweights-Hits, or null when nothing matched), both already carrying
// the leading space when leadspc is set.
// Threads: a record is used by one thread at a time; records of different
// connections run concurrently on shared rules and stats.
#ifndef MILTER_MILTER_MESSAGE_H
#define MILTER_MILTER_MESSAGE_H

#include <stddef.h>
#include <stdint.h>

#include "hdrw_host.h"
#include "milter_block.h"
#include "milter_rules.h"
#include "milter_stats.h"

#ifdef __cplusplus
extern "C" {
#endif

enum MilterAction { MILTER_TAG, MILTER_REJECT, MILTER_TEMPFAIL, MILTER_HOLD, MILTER_DISCARD };

enum MilterReply {
  MILTER_REPLY_ACCEPT,    // deliver (with the added headers)
  MILTER_REPLY_REJECT,    // 550 5.7.1 with the reply text
  MILTER_REPLY_TEMPFAIL,  // 451 4.7.1 with the reply text
  MILTER_REPLY_DISCARD    // accept and drop silently
};

typedef struct MilterPolicy {
  enum MilterAction action;  // what happens to spam
  const char *reply;         // text of the reject and tempfail replies; borrowed
} MilterPolicy;

typedef struct MilterDecision {
  enum MilterReply reply;                 // what the MTA is told
  int quarantine;                         // 1: hold the message
  char status[MILTER_BLOCK_STATUS_ROOM];  // value of the status header
  const char *hits;                       // value of the hits header, or null; owned by the message
} MilterDecision;

typedef struct MilterMessage {
  MilterRules *rules;            // borrowed, set by begin
  MilterGeneration *generation;  // pinned from begin to end, else null
  int leadspc;                   // 1: values arrive with their leading space
  int skip;                      // 1: no evaluation
  int judged;                    // 1 after judge
  int failed;                    // 1: the block could not be kept
  uint32_t forged_status;        // incoming headers named like the status header
  uint32_t forged_hits;          // incoming headers named like the hits header
  MilterBlock block;             // the header block so far
  HdrwVerdict verdict;           // reused between messages
  char *hits_text;               // tlvpr heap, reused between messages
  size_t hits_room;              // bytes of hits_text
  MilterDecision decision;       // valid after judge
} MilterMessage;

void milter_message_begin(MilterMessage *message, MilterRules *rules, int skip);
uint32_t milter_message_header(MilterMessage *message, const char *name, const char *value);
void milter_message_judge(MilterMessage *message, const MilterPolicy *policy, const char *queue_id,
                          MilterStats *stats);
void milter_message_end(MilterMessage *message, int aborted, MilterStats *stats);
void milter_message_free(MilterMessage *message, MilterStats *stats);

#ifdef __cplusplus
}
#endif

#endif
