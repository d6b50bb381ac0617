// tlv_fgetl - lines read with tlvpr_fgets into a doubling heap buffer.
// tlvpr_fgets reports only a NUL-terminated text, so the room it may fill is
// preset with non-NUL bytes first: the terminator it writes is then the last NUL
// of the room, which gives the exact count of bytes stored even when the line
// itself holds NUL bytes (a line starting with NUL is never mistaken for an
// empty read, and the reader never looks before its buffer).
// Tests: tests/tlv_fgetl_test.cpp.
#include "tlv_fgetl.h"

#include <limits.h>
#include <string.h>

#include "tlvpr_fileio.h"
#include "tlvpr_mem.h"
#include "tvr_status.h"

namespace {

constexpr size_t TLV_FGETL_START = 256;  // first buffer size

// tlv_fgetl_stored - bytes tlvpr_fgets stored into a room preset to non-NUL
size_t tlv_fgetl_stored(const char *room, size_t size) {
  while (size > 0 && room[size - 1] != '\0') {
    size--;
  }
  return size == 0 ? 0 : size - 1;
}

// tlv_fgetl_line - reads one line; on 0 *line holds len stored bytes plus NUL
uint32_t tlv_fgetl_line(char **line, size_t *len_out, size_t maximum, FILE *stream) {
  if (line == nullptr || stream == nullptr) {
    return TVR_ERROR;
  }
  if (feof(stream)) {
    return TVR_END_OF_FILE;
  }
  if (ferror(stream)) {
    return TVR_FILE_ERROR;
  }
  size_t capacity = TLV_FGETL_START;
  char *buffer = (char *)tlvpr_malloc(capacity);
  if (buffer == nullptr) {
    return TVR_NO_MEMORY;
  }
  buffer[0] = '\0';
  size_t len = 0;
  for (;;) {
    size_t room = capacity - len;
    if (room > INT_MAX) {
      room = INT_MAX;
    }
    memset(buffer + len, 0x01, room);
    if (tlvpr_fgets(buffer + len, (int)room, stream) == nullptr) {
      buffer[len] = '\0';
      if (len == 0) {
        tlvpr_free(buffer);
        return feof(stream) ? TVR_END_OF_FILE : TVR_FILE_ERROR;
      }
      break;  // the stream ended (or failed) right after a full buffer
    }
    size_t got = tlv_fgetl_stored(buffer + len, room);
    len += got;
    // A read that stored fewer than room - 1 bytes without an LF met the end
    // of the stream or an error (tlvpr_fgets clears the end-of-file indicator
    // once it has stored bytes, so the indicator alone cannot tell).
    if (buffer[len - 1] == '\n' || got < room - 1 || feof(stream) || ferror(stream)) {
      break;
    }
    if (maximum != TLV_FGETL_UNLIMITED && capacity >= maximum) {
      tlvpr_free(buffer);
      return TVR_FILE_ERROR;
    }
    if (capacity > SIZE_MAX / 2) {
      tlvpr_free(buffer);
      return TVR_NO_MEMORY;
    }
    char *bigger = (char *)tlvpr_realloc(buffer, capacity * 2);
    if (bigger == nullptr) {
      tlvpr_free(buffer);
      return TVR_NO_MEMORY;
    }
    buffer = bigger;
    capacity *= 2;
  }
  size_t fit = (len + 1 + 3) / 4 * 4;  // the line and its NUL, rounded up to 4
  if (fit < capacity) {
    char *smaller = (char *)tlvpr_realloc(buffer, fit);
    if (smaller != nullptr) {
      buffer = smaller;
    }
  }
  *line = buffer;
  *len_out = len;
  return 0;
}

}  // namespace

// tlv_fgetl_read - the next whole line, LF kept
uint32_t tlv_fgetl_read(char **line, size_t maximum, FILE *stream) {
  size_t len;
  return tlv_fgetl_line(line, &len, maximum, stream);
}

// tlv_fgetl_strip - the next whole line without its LF, and whether it had one
uint32_t tlv_fgetl_strip(char **line, int *had_lf, size_t maximum, FILE *stream) {
  char *text = nullptr;
  size_t len = 0;
  uint32_t rc = tlv_fgetl_line(&text, &len, maximum, stream);
  if (rc != 0) {
    return rc;
  }
  int lf = len > 0 && text[len - 1] == '\n';
  if (lf) {
    text[len - 1] = '\0';
  }
  *line = text;
  if (had_lf != nullptr) {
    *had_lf = lf;
  }
  return 0;
}
