// milter_block - header block assembly and the added header texts (see the header).
// The block grows by doubling up to MILTER_BLOCK_MAX and keeps two bytes in
// reserve for the empty line. Tests: tests/milter_test.cpp.
#include "milter_block.h"

#include <string.h>

#include "tlvpr_format.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tvr_status.h"

namespace {

constexpr size_t kFoldColumn = 78;  // longest line of the hits header before a fold

}  // namespace

// milter_block_reset - empties the block, keeping its room
void milter_block_reset(MilterBlock *block) {
  if (block == nullptr) return;
  block->length = 0;
  block->full_length = 0;
  block->first_length = 0;
  block->cut = 0;
}

// milter_block_reserve - room for need more bytes (within MILTER_BLOCK_MAX)
static uint32_t milter_block_reserve(MilterBlock *block, uint32_t need) {
  if (block->capacity - block->length >= need) return 0;
  uint32_t capacity = block->capacity == 0 ? 4096 : block->capacity;
  while (capacity - block->length < need) capacity *= 2;
  if (capacity > MILTER_BLOCK_MAX) capacity = MILTER_BLOCK_MAX;
  char *grown = (char *)tlvpr_realloc(block->bytes, capacity);
  if (grown == nullptr) return TVR_NO_MEMORY;
  block->bytes = grown;
  block->capacity = capacity;
  return 0;
}

// milter_block_append - adds one header as the client sent it
uint32_t milter_block_append(MilterBlock *block, const char *name, const char *value, int leadspc) {
  if (block == nullptr || name == nullptr || value == nullptr) return TVR_BAD_ARGUMENT;
  size_t name_len = strlen(name);
  size_t value_len = strlen(value);
  size_t feeds = 0;
  for (const char *p = value; (p = strchr(p, '\n')) != nullptr; ++p) ++feeds;
  // name ":" [" "] value, each LF as CR LF, then CR LF
  uint64_t need = (uint64_t)name_len + 1 + (leadspc ? 0 : 1) + value_len + feeds + 2;
  block->full_length += need;
  if (block->cut || (uint64_t)block->length + need + 2 > MILTER_BLOCK_MAX) {
    block->cut = 1;
    return 0;
  }
  if (milter_block_reserve(block, (uint32_t)need + 2) != 0) {
    block->full_length -= need;
    return TVR_NO_MEMORY;
  }
  char *out = block->bytes + block->length;
  memcpy(out, name, name_len);
  out += name_len;
  *out++ = ':';
  if (!leadspc) *out++ = ' ';
  for (size_t i = 0; i < value_len; ++i) {
    if (value[i] == '\n') *out++ = '\r';
    *out++ = value[i];
  }
  *out++ = '\r';
  *out++ = '\n';
  uint32_t end = (uint32_t)(out - block->bytes);
  if (block->length == 0) block->first_length = end;
  block->length = end;
  return 0;
}

// milter_block_finish - appends the empty line that ends the block
uint32_t milter_block_finish(MilterBlock *block) {
  if (block == nullptr) return TVR_BAD_ARGUMENT;
  if (milter_block_reserve(block, 2) != 0) return TVR_NO_MEMORY;
  block->bytes[block->length++] = '\r';
  block->bytes[block->length++] = '\n';
  block->full_length += 2;
  return 0;
}

// milter_block_free - frees the bytes
void milter_block_free(MilterBlock *block) {
  if (block == nullptr) return;
  tlvpr_free(block->bytes);
  memset(block, 0, sizeof(*block));
}

// milter_block_is_mta_received - the MTA's own trace header on top of the message
int milter_block_is_mta_received(const MilterBlock *block, const char *queue_id) {
  static constexpr char kName[] = "Received:";
  constexpr size_t kNameLen = sizeof(kName) - 1;
  if (block == nullptr || queue_id == nullptr || queue_id[0] == '\0') return 0;
  const char *text = block->bytes;
  size_t len = block->first_length;
  size_t id_len = strlen(queue_id);
  if (len < kNameLen + id_len || tlvpr_strnicmp(text, kName, kNameLen) != 0) return 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  for (size_t at = kNameLen; at + id_len <= len; ++at) {
    // A word: white space before it, and white space or ";" after it.
    if (memcmp(text + at, queue_id, id_len) != 0 || !blank(text[at - 1])) continue;
    if (at + id_len == len || blank(text[at + id_len]) || text[at + id_len] == ';') return 1;
  }
  return 0;
}

// milter_block_status - the value of the status header
uint32_t milter_block_status(char *out, size_t size, int skipped, int spam, int32_t score,
                             int32_t threshold, int leadspc) {
  if (out == nullptr || size < MILTER_BLOCK_STATUS_ROOM) return TVR_BAD_ARGUMENT;
  const char *space = leadspc ? " " : "";
  if (skipped) {
    tlvpr_snprintf(out, size, "%sSkipped", space);
  } else {
    tlvpr_snprintf(out, size, "%s%s, score=%d threshold=%d", space, spam ? "Yes" : "No", (int)score,
                   (int)threshold);
  }
  return 0;
}

// milter_block_hits - the value of the hits header, folded near 78 columns
uint32_t milter_block_hits(char *out, size_t size, const HdrwHit *hits, uint32_t count,
                           int leadspc) {
  if (out == nullptr || (hits == nullptr && count != 0) ||
      size < (size_t)count * MILTER_BLOCK_HITS_ROOM + 8)
    return TVR_BAD_ARGUMENT;
  size_t len = 0;
  if (leadspc) out[len++] = ' ';
  size_t column = sizeof(MILTER_HITS_HEADER ":");  // the name, colon and space before the value
  for (uint32_t i = 0; i < count; ++i) {
    char item[MILTER_BLOCK_HITS_ROOM];
    int n =
        tlvpr_snprintf(item, sizeof item, "%u:%d", (unsigned)hits[i].rule_id, (int)hits[i].weight);
    if (i > 0 && column + 1 + (size_t)n > kFoldColumn) {
      out[len++] = '\n';
      out[len++] = '\t';
      column = 1;
    } else if (i > 0) {
      out[len++] = ' ';
      ++column;
    }
    memcpy(out + len, item, (size_t)n);
    len += (size_t)n;
    column += (size_t)n;
  }
  out[len] = '\0';
  return 0;
}
