// milter_block - the header block of one message as its client sent it, and the
// header texts the milter adds
//
// Block. The MTA hands the milter one header at a time (name and value); the
// block rebuilds the bytes the client sent: name, ":", the value, CR LF; the
// empty line ends it. With the header-leading-space option negotiated
// (leadspc 1) the value arrives exactly as sent; without it the MTA has
// dropped one leading space, which is put back. Every LF inside a value (a
// fold, or a bare LF the MTA turned into a line end) becomes CR LF: the MTA
// keeps lines LF-terminated, so CR LF is what the client had.
//   milter_block_reset(block) empties a block and keeps its room.
//   milter_block_append(block, name, value, leadspc) adds one header. Results: 0;
//     10040 null argument; 10013 no memory (the block is unchanged). A block
//     never grows beyond MILTER_BLOCK_MAX bytes: a header that would take it
//     further is not stored, the block is marked cut and later headers are
//     counted in full_length only. The block's last header is whole.
//   milter_block_finish(block) appends the empty line; full_length counts it
//     too. Results: 0; 10040 null block; 10013 no memory (block unchanged).
//   milter_block_free(block) frees the bytes and empties the record.
// Owner: the caller owns the record; bytes is tlvpr heap owned by the record.
//
// The MTA's header. milter_block_is_mta_received(block, queue_id): 1 when
// the block's first header is the trace header the MTA itself put on top of
// the message before the milter saw it: a "Received" header whose text carries
// the queue ID as a word (the MTA's "id QUEUEID"); 0 otherwise, and always when
// queue_id is null or empty. Its bytes are the block's first first_length.
//
// Texts added. milter_block_status(out, size, skipped, spam, score, threshold,
// leadspc) writes the value of X-Hdrweights-Status: "Yes, score=S threshold=T",
// "No, score=S threshold=T" or "Skipped"; milter_block_hits(out, size, hits,
// count, leadspc) writes "ID:WEIGHT ID:WEIGHT ..." (rule IDs unsigned, as the
// command prints them), folded with LF TAB before a hit that would take a line
// beyond 78 characters. With leadspc the value starts with the space the MTA
// then no longer adds. Results: 0; 10040 null argument or out too small
// (MILTER_BLOCK_HITS_ROOM per hit plus 8 is always enough). Nothing is logged
// here; no shared state.
#ifndef MILTER_MILTER_BLOCK_H
#define MILTER_MILTER_BLOCK_H

#include <stddef.h>
#include <stdint.h>

#include "hdrw_host.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MILTER_STATUS_HEADER "X-Hdrweights-Status"
#define MILTER_HITS_HEADER "X-Hdrweights-Hits"

enum {
  MILTER_BLOCK_MAX = 1u << 20,   // bytes of a block kept for evaluation
  MILTER_BLOCK_HITS_ROOM = 26,   // bytes one hit takes at most in the hits text
  MILTER_BLOCK_STATUS_ROOM = 64  // bytes the status text takes at most
};

typedef struct MilterBlock {
  char *bytes;            // the block so far (not terminated); tlvpr heap
  uint32_t length;        // bytes stored
  uint32_t capacity;      // room of bytes
  uint64_t full_length;   // bytes the whole block has, stored or not
  uint32_t first_length;  // bytes of the first header as stored (0 before it)
  int cut;                // 1 when headers were left out for room
} MilterBlock;

void milter_block_reset(MilterBlock *block);
uint32_t milter_block_append(MilterBlock *block, const char *name, const char *value, int leadspc);
uint32_t milter_block_finish(MilterBlock *block);
void milter_block_free(MilterBlock *block);

int milter_block_is_mta_received(const MilterBlock *block, const char *queue_id);

uint32_t milter_block_status(char *out, size_t size, int skipped, int spam, int32_t score,
                             int32_t threshold, int leadspc);
uint32_t milter_block_hits(char *out, size_t size, const HdrwHit *hits, uint32_t count,
                           int leadspc);

#ifdef __cplusplus
}
#endif

#endif
