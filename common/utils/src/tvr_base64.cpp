// tvr_base64 - one decoding state machine (tvr_base64_take) serves the stream,
// whole-text and chunked decoders, and one group encoder serves the stream,
// buffer and chunked encoders, so all of them agree on skipping, padding and
// line layout. Tests: tests/tvr_base64_test.cpp.
#include "tvr_base64.h"

#include <string.h>

#include "tlvpr_mem.h"
#include "tvr_status.h"

namespace {

constexpr char tvr_base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof tvr_base64_alphabet == 65);

constexpr unsigned char TVR_BASE64_SKIP = 0xFF;  // a byte outside the alphabet and "="

struct TvrBase64Table {
  unsigned char value[256];
};

constexpr TvrBase64Table tvr_base64_make_table() {
  TvrBase64Table t{};
  for (int i = 0; i < 256; i++) {
    t.value[i] = TVR_BASE64_SKIP;
  }
  for (int i = 0; i < 64; i++) {
    t.value[(unsigned char)tvr_base64_alphabet[i]] = (unsigned char)i;
  }
  t.value['='] = 0;
  return t;
}

constexpr TvrBase64Table tvr_base64_table = tvr_base64_make_table();
static_assert(tvr_base64_table.value['A'] == 0 && tvr_base64_table.value['/'] == 63);
static_assert(tvr_base64_table.value['='] == 0 && tvr_base64_table.value['\n'] == TVR_BASE64_SKIP);

constexpr size_t TVR_BASE64_LINE_BYTES = TVR_BASE64_LINE / 4 * 3;  // bytes per full line
static_assert(TVR_BASE64_LINE % 4 == 0);

// tvr_base64_take - feeds one byte to the decoder: 0 when it completes no group
// (skipped, carried, or ignored after padding), 1 to 3 for the bytes of a
// completed group in out, -1 for an invalid group
int tvr_base64_take(TvrBase64Decoder *st, unsigned char c, unsigned char out[3]) {
  if (st->done || tvr_base64_table.value[c] == TVR_BASE64_SKIP) {
    return 0;
  }
  st->carry[st->count++] = (char)c;
  if (st->count < 4) {
    return 0;
  }
  st->count = 0;
  int n = tvr_base64_decode_quartet(st->carry, out);
  if (n == 0) {
    return -1;
  }
  if (n < 3) {
    st->done = 1;
  }
  return n;
}

// tvr_base64_encode_groups - encodes len bytes, the last group padded; returns
// the characters written (4 per started group)
size_t tvr_base64_encode_groups(const unsigned char *in, size_t len, char *out) {
  size_t o = 0;
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    uint32_t v = (uint32_t)in[i] << 16 | (uint32_t)in[i + 1] << 8 | in[i + 2];
    out[o++] = tvr_base64_alphabet[v >> 18];
    out[o++] = tvr_base64_alphabet[(v >> 12) & 63];
    out[o++] = tvr_base64_alphabet[(v >> 6) & 63];
    out[o++] = tvr_base64_alphabet[v & 63];
  }
  if (i < len) {
    uint32_t v = (uint32_t)in[i] << 16 | (i + 1 < len ? (uint32_t)in[i + 1] << 8 : 0);
    out[o++] = tvr_base64_alphabet[v >> 18];
    out[o++] = tvr_base64_alphabet[(v >> 12) & 63];
    out[o++] = i + 1 < len ? tvr_base64_alphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return o;
}

// tvr_base64_lines_size - the splitter's output size for len characters, with
// the terminator; 0 on wrap
size_t tvr_base64_lines_size(size_t len) {
  size_t lines = len == 0 ? 1 : (len - 1) / TVR_BASE64_LINE + 1;
  if (len > SIZE_MAX - 1 - 2 * lines) {
    return 0;
  }
  return len + 2 * lines + 1;
}

}  // namespace

// tvr_base64_decode_quartet - decodes one group of four characters
int tvr_base64_decode_quartet(const char *group, unsigned char *out) {
  int n = 3;
  for (int i = 0; i < 4; i++) {
    unsigned char c = (unsigned char)group[i];
    if (c == '=') {
      if (i < 2) {
        return 0;
      }
      n = i - 1;
      break;
    }
    if (tvr_base64_table.value[c] == TVR_BASE64_SKIP) {
      return 0;
    }
  }
  unsigned w = tvr_base64_table.value[(unsigned char)group[0]];
  unsigned x = tvr_base64_table.value[(unsigned char)group[1]];
  out[0] = (unsigned char)(w * 4 + x / 16);
  if (n >= 2) {
    unsigned y = tvr_base64_table.value[(unsigned char)group[2]];
    out[1] = (unsigned char)(x * 16 + y / 4);
    if (n == 3) {
      unsigned z = tvr_base64_table.value[(unsigned char)group[3]];
      out[2] = (unsigned char)(y * 64 + z);
    }
  }
  return n;
}

// tvr_base64_decode_stream - decodes the rest of source into target, byte by byte
int tvr_base64_decode_stream(FILE *source, FILE *target) {
  if (source == nullptr || target == nullptr) {
    return 1;
  }
  TvrBase64Decoder st;
  tvr_base64_decode_start(&st);
  for (;;) {
    int c = getc(source);
    if (c == EOF) {
      if (ferror(source)) {
        return 1;
      }
      return st.count == 0 ? 0 : 1;
    }
    unsigned char out[3];
    int n = tvr_base64_take(&st, (unsigned char)c, out);
    if (n < 0) {
      return 1;
    }
    if (n > 0 && fwrite(out, 1, (size_t)n, target) != (size_t)n) {
      return 1;
    }
    if (st.done) {
      return 0;  // a padded group ends the text; the rest is not read
    }
  }
}

// tvr_base64_encode_stream - writes the rest of source as 72-character lines
int tvr_base64_encode_stream(FILE *source, FILE *target) {
  if (source == nullptr || target == nullptr) {
    return 1;
  }
  unsigned char in[TVR_BASE64_LINE_BYTES];
  char line[TVR_BASE64_LINE + 2];
  for (int lines = 0;; lines++) {
    size_t n = fread(in, 1, sizeof in, source);
    if (n == 0 && ferror(source)) {
      return 1;
    }
    if (n == 0 && lines > 0) {
      break;
    }
    size_t len = tvr_base64_encode_groups(in, n, line);
    line[len++] = '\r';
    line[len++] = '\n';
    if (fwrite(line, 1, len, target) != len) {
      return 1;
    }
    if (n < sizeof in) {
      if (ferror(source)) {
        return 1;
      }
      break;
    }
  }
  return 0;
}

// tvr_base64_encoded_size - buffer size of tvr_base64_encode's text
size_t tvr_base64_encoded_size(size_t len) {
  size_t groups = len / 3 + (len % 3 != 0);
  if (groups > (SIZE_MAX - 1) / 4) {
    return 0;
  }
  return groups * 4 + 1;
}

// tvr_base64_encode_bound - room a chunk of len bytes may need, carry included
size_t tvr_base64_encode_bound(size_t len) {
  if (len > SIZE_MAX - 2 || (len + 2) / 3 > SIZE_MAX / 4) {
    return 0;
  }
  return (len + 2) / 3 * 4;
}

// tvr_base64_decode_bound - room a chunk of len characters may need, carry included
size_t tvr_base64_decode_bound(size_t len) { return len / 4 * 3 + 3; }

// tvr_base64_encode - one-line text of a buffer, in a new heap block
uint32_t tvr_base64_encode(const void *data, size_t len, char **text, size_t *text_len) {
  if ((data == nullptr && len > 0) || text == nullptr || text_len == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  size_t size = tvr_base64_encoded_size(len);
  if (size == 0) {
    return TVR_NO_MEMORY;
  }
  char *out = (char *)tlvpr_malloc(size);
  if (out == nullptr) {
    return TVR_NO_MEMORY;
  }
  size_t n = len > 0 ? tvr_base64_encode_groups((const unsigned char *)data, len, out) : 0;
  out[n] = '\0';
  *text = out;
  *text_len = n;
  return 0;
}

// tvr_base64_split_lines - the text in 72-character lines, each ended by CR LF
uint32_t tvr_base64_split_lines(const char *text, size_t len, char **out, size_t *out_len) {
  if ((text == nullptr && len > 0) || out == nullptr || out_len == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  size_t size = tvr_base64_lines_size(len);
  if (size == 0) {
    return TVR_NO_MEMORY;
  }
  char *lines = (char *)tlvpr_malloc(size);
  if (lines == nullptr) {
    return TVR_NO_MEMORY;
  }
  size_t o = 0;
  size_t pos = 0;
  do {
    size_t n = len - pos < (size_t)TVR_BASE64_LINE ? len - pos : (size_t)TVR_BASE64_LINE;
    if (n > 0) {
      memcpy(lines + o, text + pos, n);
    }
    o += n;
    pos += n;
    lines[o++] = '\r';
    lines[o++] = '\n';
  } while (pos < len);
  lines[o] = '\0';
  *out = lines;
  *out_len = o;
  return 0;
}

// tvr_base64_decode - decodes a whole text into a new heap block
uint32_t tvr_base64_decode(const char *text, size_t len, unsigned char **data, size_t *data_len) {
  if ((text == nullptr && len > 0) || data == nullptr || data_len == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  size_t size = tvr_base64_decode_bound(len);
  unsigned char *out = (unsigned char *)tlvpr_malloc(size);
  if (out == nullptr) {
    return TVR_NO_MEMORY;
  }
  TvrBase64Decoder st;
  tvr_base64_decode_start(&st);
  size_t n = 0;
  for (size_t i = 0; i < len && !st.done; i++) {
    int got = tvr_base64_take(&st, (unsigned char)text[i], out + n);
    if (got < 0) {
      tlvpr_free(out);
      return TVR_ENCRYPTION_BASE64_ERROR;
    }
    n += (size_t)got;
  }
  if (!st.done && st.count != 0) {
    tlvpr_free(out);
    return TVR_ENCRYPTION_BASE64_ERROR;
  }
  *data = out;
  *data_len = n;
  return 0;
}

// tvr_base64_encode_start - an encoder state with nothing carried
void tvr_base64_encode_start(TvrBase64Encoder *state) {
  if (state != nullptr) {
    memset(state, 0, sizeof *state);
  }
}

// tvr_base64_encode_chunk - encodes the complete groups, carries the rest
uint32_t tvr_base64_encode_chunk(TvrBase64Encoder *state, const void *data, size_t len, char *out,
                                 size_t out_size, size_t *out_len) {
  if (state == nullptr || (data == nullptr && len > 0) || out_len == nullptr || state->count > 2 ||
      (out == nullptr && out_size > 0)) {
    return TVR_BAD_ARGUMENT;
  }
  const unsigned char *in = (const unsigned char *)data;
  size_t total = state->count + len;  // cannot wrap: count is at most 2 and len a size
  if (total < len || total / 3 * 4 > out_size) {
    return TVR_BAD_ARGUMENT;
  }
  size_t o = 0;
  size_t i = 0;
  if (state->count > 0 && total >= 3) {
    unsigned char group[3];
    memcpy(group, state->carry, state->count);
    i = 3 - state->count;
    memcpy(group + state->count, in, i);
    o = tvr_base64_encode_groups(group, 3, out);
    state->count = 0;
  }
  if (state->count == 0) {
    size_t whole = (len - i) / 3 * 3;
    o += tvr_base64_encode_groups(in + i, whole, out + o);
    i += whole;
  }
  memcpy(state->carry + state->count, in + i, len - i);
  state->count += len - i;
  *out_len = o;
  return 0;
}

// tvr_base64_encode_finish - the padded last group; resets the state
uint32_t tvr_base64_encode_finish(TvrBase64Encoder *state, char *out, size_t out_size,
                                  size_t *out_len) {
  if (state == nullptr || out_len == nullptr || state->count > 2 ||
      (state->count > 0 && (out == nullptr || out_size < 4))) {
    return TVR_BAD_ARGUMENT;
  }
  size_t o = state->count > 0 ? tvr_base64_encode_groups(state->carry, state->count, out) : 0;
  tvr_base64_encode_start(state);
  *out_len = o;
  return 0;
}

// tvr_base64_decode_start - a decoder state with nothing carried
void tvr_base64_decode_start(TvrBase64Decoder *state) {
  if (state != nullptr) {
    memset(state, 0, sizeof *state);
  }
}

// tvr_base64_decode_chunk - decodes the complete groups, carries the rest
uint32_t tvr_base64_decode_chunk(TvrBase64Decoder *state, const char *text, size_t len,
                                 unsigned char *out, size_t out_size, size_t *out_len) {
  if (state == nullptr || (text == nullptr && len > 0) || out_len == nullptr || state->count > 3 ||
      (out == nullptr && out_size > 0)) {
    return TVR_BAD_ARGUMENT;
  }
  if ((state->count + len) / 4 * 3 > out_size || state->count + len < len) {
    return TVR_BAD_ARGUMENT;
  }
  TvrBase64Decoder st = *state;
  size_t n = 0;
  for (size_t i = 0; i < len && !st.done; i++) {
    int got = tvr_base64_take(&st, (unsigned char)text[i], out + n);
    if (got < 0) {
      return TVR_ENCRYPTION_BASE64_ERROR;
    }
    n += (size_t)got;
  }
  *state = st;
  *out_len = n;
  return 0;
}

// tvr_base64_decode_finish - 0 when the text ended on a group boundary; resets
uint32_t tvr_base64_decode_finish(TvrBase64Decoder *state) {
  if (state == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  uint32_t rc = (!state->done && state->count != 0) ? TVR_ENCRYPTION_BASE64_ERROR : 0;
  tvr_base64_decode_start(state);
  return rc;
}
