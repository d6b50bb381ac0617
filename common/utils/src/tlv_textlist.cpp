// tlv_textlist - the data area starts right behind the header. A text is found
// by walking the stored texts from the start: a text occupies its bytes plus
// the terminator, and the empty text occupies two terminators, so a zero byte
// at a text's start always means "empty text". Bytes behind the ones in use
// are zero. Tests: tests/tlv_textlist_test.cpp.

#include "tlv_textlist.h"

#include <stddef.h>
#include <string.h>

#include "tlvpr_mem.h"
#include "tvr_log.h"
#include "tvr_status.h"

namespace {

static_assert(sizeof(TextList) == 24, "six 32-bit header fields");
static_assert(offsetof(TextList, used) == 12 && offsetof(TextList, index) == 20,
              "header fields in their fixed order");

constexpr uint64_t TLV_TEXTLIST_MAX_BLOCK = 0x7ffffffc;  // the size must print as %d

static char *tlv_textlist_data(TextList *list) { return reinterpret_cast<char *>(list + 1); }

static const char *tlv_textlist_data(const TextList *list) {
  return reinterpret_cast<const char *>(list + 1);
}

// tlv_textlist_block - block size of a data area: header included, a multiple of 4.
static uint64_t tlv_textlist_block(uint64_t capacity) {
  return (sizeof(TextList) + capacity + 3) & ~(uint64_t)3;
}

// tlv_textlist_stored - bytes the text at pos occupies, terminator(s) included.
static uint32_t tlv_textlist_stored(const TextList *list, uint32_t pos) {
  const char *data = tlv_textlist_data(list);
  if (data[pos] == '\0') return 2;
  return (uint32_t)strnlen(data + pos, list->used - pos) + 1;
}

// tlv_textlist_position - data-area position of the text at index (< count).
static uint32_t tlv_textlist_position(const TextList *list, uint32_t index) {
  uint32_t pos = 0;
  for (uint32_t i = 0; i < index; i++) pos += tlv_textlist_stored(list, pos);
  return pos;
}

// tlv_textlist_no_memory - logs the failed block size and gives 10013.
static uint32_t tlv_textlist_no_memory(uint64_t size) {
  tvr_log(TVR_LOG_ERR, TVR_MALLOC_FAILED,
          (int)(size > TLV_TEXTLIST_MAX_BLOCK ? TLV_TEXTLIST_MAX_BLOCK : size));
  return TVR_NO_MEMORY;
}

// tlv_textlist_reserve - makes room for needed more bytes, adding 256-byte
// steps to the capacity; on failure the list is left as it was.
static uint32_t tlv_textlist_reserve(TextList **list, uint64_t needed) {
  TextList *old = *list;
  uint64_t room = old->capacity - old->used;
  if (room >= needed) return 0;
  uint64_t steps = (needed - room + TLV_TEXTLIST_STEP - 1) / TLV_TEXTLIST_STEP;
  uint64_t capacity = old->capacity + steps * TLV_TEXTLIST_STEP;
  uint64_t size = tlv_textlist_block(capacity);
  if (size > TLV_TEXTLIST_MAX_BLOCK) return tlv_textlist_no_memory(size);
  uint64_t old_size = tlv_textlist_block(old->capacity);
  TextList *grown = (TextList *)tlvpr_realloc(old, (size_t)size);
  if (grown == nullptr) return tlv_textlist_no_memory(size);
  memset(reinterpret_cast<char *>(grown) + old_size, 0, (size_t)(size - old_size));
  grown->capacity = (uint32_t)capacity;
  *list = grown;
  return 0;
}

// tlv_textlist_splice - puts prefix bytes of the text at index (kept as they
// are) followed by len bytes of text in place of that text.
static uint32_t tlv_textlist_splice(TextList **list, uint32_t index, bool keep_old,
                                    const char *text, uint32_t len) {
  if (list == nullptr || *list == nullptr || text == nullptr) return TVR_TEXTLIST_NULL_ARGUMENT;
  if (index >= (*list)->count) return 1;
  uint32_t pos = tlv_textlist_position(*list, index);
  uint32_t old_stored = tlv_textlist_stored(*list, pos);
  uint64_t old_len = tlv_textlist_data(*list)[pos] == '\0' ? 0 : old_stored - 1;
  uint64_t new_len = (keep_old ? old_len : 0) + len;
  uint64_t new_stored = (new_len == 0 ? 1 : new_len) + 1;
  if (new_stored > old_stored) {
    uint32_t rc = tlv_textlist_reserve(list, new_stored - old_stored);
    if (rc != 0) return rc;
  }
  TextList *l = *list;
  char *data = tlv_textlist_data(l);
  uint32_t tail = pos + old_stored;
  memmove(data + pos + new_stored, data + tail, l->used - tail);
  uint32_t used = (uint32_t)(l->used - old_stored + new_stored);
  if (used < l->used) memset(data + used, 0, l->used - used);
  uint64_t at = keep_old ? old_len : 0;
  memcpy(data + pos + at, text, len);
  data[pos + new_len] = '\0';
  if (new_len == 0) data[pos + 1] = '\0';
  if (l->cursor > pos) l->cursor = (uint32_t)(l->cursor - old_stored + new_stored);
  l->used = used;
  return 0;
}

}  // namespace

// tlv_textlist_create - a new empty list with a zeroed 256-byte data area.
uint32_t tlv_textlist_create(TextList **list) {
  if (list == nullptr) return TVR_TEXTLIST_NULL_ARGUMENT;
  uint64_t size = tlv_textlist_block(TLV_TEXTLIST_STEP);
  TextList *made = (TextList *)tlvpr_calloc(1, (size_t)size);
  if (made == nullptr) return tlv_textlist_no_memory(size);
  made->capacity = TLV_TEXTLIST_STEP;
  *list = made;
  return 0;
}

// tlv_textlist_append - copies a text and its terminator behind the last text.
uint32_t tlv_textlist_append(TextList **list, const char *text, uint32_t len) {
  if (list == nullptr || *list == nullptr || text == nullptr) return TVR_TEXTLIST_NULL_ARGUMENT;
  uint64_t stored = len == 0 ? 1 : len;
  uint32_t rc = tlv_textlist_reserve(list, stored + 1);
  if (rc != 0) return rc;
  TextList *l = *list;
  char *at = tlv_textlist_data(l) + l->used;
  if (len == 0)
    at[0] = '\0';
  else
    memcpy(at, text, len);
  at[stored] = '\0';
  l->used = (uint32_t)(l->used + stored + 1);
  l->count++;
  return 0;
}

// tlv_textlist_replace - a new text in place of the one at index.
uint32_t tlv_textlist_replace(TextList **list, uint32_t index, const char *text, uint32_t len) {
  return tlv_textlist_splice(list, index, false, text, len);
}

// tlv_textlist_extend - appends bytes to the text at index.
uint32_t tlv_textlist_extend(TextList **list, uint32_t index, const char *text, uint32_t len) {
  return tlv_textlist_splice(list, index, true, text, len);
}

// tlv_textlist_get - the text at index.
uint32_t tlv_textlist_get(const TextList *list, uint32_t index, const char **text) {
  if (list == nullptr || text == nullptr) return TVR_TEXTLIST_NULL_ARGUMENT;
  if (index >= list->count) return 1;
  *text = tlv_textlist_data(list) + tlv_textlist_position(list, index);
  return 0;
}

// tlv_textlist_at - the text at index, or null.
const char *tlv_textlist_at(const TextList *list, uint32_t index) {
  const char *text = nullptr;
  return tlv_textlist_get(list, index, &text) == 0 ? text : nullptr;
}

// tlv_textlist_count - the number of texts.
uint32_t tlv_textlist_count(const TextList *list) { return list != nullptr ? list->count : 0; }

// tlv_textlist_next - the next text of the iteration, or null after the last.
const char *tlv_textlist_next(TextList *list, int restart) {
  if (list == nullptr) return nullptr;
  if (restart == 1) {
    list->cursor = 0;
    list->index = 0;
  }
  if (list->index >= list->count) return nullptr;
  const char *text = tlv_textlist_data(list) + list->cursor;
  list->cursor += tlv_textlist_stored(list, list->cursor);
  list->index++;
  return text;
}

// tlv_textlist_clear - removes every text; the block keeps its capacity.
uint32_t tlv_textlist_clear(TextList *list) {
  if (list == nullptr) return TVR_TEXTLIST_NULL_ARGUMENT;
  memset(tlv_textlist_data(list), 0, list->used);
  list->count = 0;
  list->used = 0;
  list->cursor = 0;
  list->index = 0;
  return 0;
}
