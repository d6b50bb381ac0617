// tlv_textlist - texts packed one after another in a single heap block
//
// A TextList is one block: the header below, then a data area of capacity
// bytes holding the texts, each followed by its terminator (an empty text is
// stored as two terminators). The area starts at 256 zeroed bytes and grows in
// steps of 256 bytes; the block size is rounded up to a multiple of 4 and new
// space is zeroed. Texts must not contain NUL bytes, and a text handed to
// append, replace or extend must not point into the list itself (the block may
// move). The caller frees the list with tlvpr_free.
//
// tlv_textlist_create(&list) makes an empty list. tlv_textlist_append(&list,
// text, len) copies len bytes of text and a terminator behind the last text
// (len 0 stores the empty text), growing the block when needed; the block may
// move, so the list is passed by reference.
// tlv_textlist_replace(&list, index, text, len) puts a text in place of the
// one at index; tlv_textlist_extend(&list, index, text, len) appends len bytes
// to the text at index; both may grow the block.
// tlv_textlist_get(list, index, &text) gives the text at index (0-based) as a
// pointer into the list, valid until the list changes; 1 when index is not
// below the count. tlv_textlist_at(list, index) is the same text, or null.
// tlv_textlist_count(list) is the number of texts (0 for a null list).
// tlv_textlist_next(list, restart) hands out the texts in order: restart 1
// begins again at the first; null after the last (and for a null list).
// tlv_textlist_clear(list) empties the list, keeping its block.
//
// Results: 0; 1 index out of range; 10028 "Passed NULL argument to function."
// (null list reference, list, text or output); 10013 no memory, after logging
// level 3, code 10001 "Malloc error while attempting to allocate %d bytes."
// with the block size: the list is then unchanged and still the caller's.
// Outputs are written only on 0. No shared state; a list is not locked.
#ifndef COMMON_UTILS_SRC_TLV_TEXTLIST_H
#define COMMON_UTILS_SRC_TLV_TEXTLIST_H

#include <stdint.h>

#include "tvr_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TextList {
  uint32_t capacity;  // data-area bytes
  uint32_t reserved;  // always 0
  uint32_t count;     // texts stored
  uint32_t used;      // data-area bytes in use
  uint32_t cursor;    // data-area position of the next text to hand out
  uint32_t index;     // index of the next text to hand out
  // the data area follows the header
} TextList;

enum {
  TLV_TEXTLIST_STEP = 256  // initial data area and growth step
};

uint32_t tlv_textlist_create(TextList **list);
uint32_t tlv_textlist_append(TextList **list, const char *text, uint32_t len);
uint32_t tlv_textlist_replace(TextList **list, uint32_t index, const char *text, uint32_t len);
uint32_t tlv_textlist_extend(TextList **list, uint32_t index, const char *text, uint32_t len);
uint32_t tlv_textlist_get(const TextList *list, uint32_t index, const char **text);
const char *tlv_textlist_at(const TextList *list, uint32_t index);
uint32_t tlv_textlist_count(const TextList *list);
const char *tlv_textlist_next(TextList *list, int restart);
uint32_t tlv_textlist_clear(TextList *list);

#ifdef __cplusplus
}
#endif

#endif
