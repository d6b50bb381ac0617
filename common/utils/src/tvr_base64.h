// tvr_base64 - Base64 (standard alphabet A-Z a-z 0-9 + /, "=" padding) for
// streams and buffers
//
// Decoding everywhere follows one rule: every byte outside the alphabet and "="
// (line breaks, spaces, anything else) is skipped; the other bytes form groups
// of four. A group with "=" in position 0 or 1 is invalid; "=" in position 2
// gives one byte, in position 3 two bytes, and such a padded group ends the
// text (whatever follows it is ignored). A text that ends inside a group (1 to
// 3 characters left over) is malformed. Bits left over in the last character
// used are ignored.
//
// Streams (the streams stay open; nothing is rewound):
// - tvr_base64_decode_stream(source, target) reads source from its current
//   position and writes the decoded bytes to target. 0 on success (an empty or
//   whitespace-only source decodes to nothing); 1 on a read error, a malformed
//   text, an invalid group, a failed write or a null stream. Bytes decoded
//   before a failure may already be in target.
// - tvr_base64_encode_stream(source, target) writes the Base64 text of the rest
//   of source in lines of 72 characters, each followed by CR LF; the text ends
//   with CR LF (an empty source gives only CR LF). 0 or 1 (read or write error,
//   null stream).
//
// Groups:
// - tvr_base64_decode_quartet(group, out) decodes the four characters at group
//   into out (room for 3 bytes) and returns the byte count 1 to 3, or 0 when the
//   group is invalid (out then unspecified). Characters after an "=" are not
//   examined.
//
// Buffers (results are status codes; outputs are written only on success and
// are heap blocks the caller frees with tlvpr_free):
// - tvr_base64_encode(data, len, &text, &text_len): the text of len bytes as one
//   line, 4 characters per started group of 3 bytes, NUL-terminated (the block
//   is tvr_base64_encoded_size(len) bytes). data may be null when len is 0.
// - tvr_base64_split_lines(text, len, &out, &out_len): the text broken into
//   lines of 72 characters, each followed by CR LF (the last line may be
//   shorter; an empty text gives the single CR LF of an empty line, as the
//   stream encoder does), NUL-terminated. tvr_base64_encode followed by the
//   splitter gives exactly the stream encoder's text.
// - tvr_base64_decode(text, len, &data, &data_len): the whole-text decoder; the
//   block holds at least one byte even when data_len is 0.
// Codes: 0; 10040 null argument; 10013 no memory or a size that would wrap;
// 2043 malformed text (decoder).
//
// Chunked coding (for data that arrives in pieces; the state record carries an
// incomplete group from one call to the next and is the caller's, zero it or
// call the _start function first):
// - tvr_base64_encode_chunk(state, data, len, out, out_size, &out_len) encodes
//   the complete groups of the carried bytes plus data into out (no line
//   breaks, no terminator) and carries the rest (0 to 2 bytes);
//   tvr_base64_encode_finish(state, out, out_size, &out_len) writes the padded
//   last group (0 or 4 characters) and resets the state. out needs
//   tvr_base64_encode_bound(len) bytes for a chunk and 4 for the finish.
// - tvr_base64_decode_chunk(state, text, len, out, out_size, &out_len) decodes
//   the complete groups of the carried characters plus text and carries the
//   rest (0 to 3 characters); after a padded group the state is done and later
//   text is ignored. tvr_base64_decode_finish(state) is 0 when the text ended on
//   a group boundary (or after padding), else 2043; it resets the state. out
//   needs tvr_base64_decode_bound(len) bytes.
// Chunk codes: 0; 10040 null argument, or out_size below the bound (nothing
// consumed, state unchanged); 2043 invalid group (state unchanged, the content
// of out unspecified). out_len is written on success only.
//
// Nothing here logs or keeps shared state; every call may run on any thread.
#ifndef COMMON_UTILS_SRC_TVR_BASE64_H
#define COMMON_UTILS_SRC_TVR_BASE64_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  TVR_BASE64_LINE = 72  // characters per line of the encoders that break lines
};

typedef struct TvrBase64Encoder {
  unsigned char carry[3];  // bytes of the incomplete group
  size_t count;            // how many of carry are in use (0 to 2)
} TvrBase64Encoder;

typedef struct TvrBase64Decoder {
  char carry[4];  // characters of the incomplete group
  size_t count;   // how many of carry are in use (0 to 3)
  int done;       // 1 after a padded group: the rest of the text is ignored
} TvrBase64Decoder;

int tvr_base64_decode_stream(FILE *source, FILE *target);
int tvr_base64_encode_stream(FILE *source, FILE *target);
int tvr_base64_decode_quartet(const char *group, unsigned char *out);

size_t tvr_base64_encoded_size(size_t len);  // 4 per started group + 1; 0 on wrap
size_t tvr_base64_encode_bound(size_t len);  // chunk output bound; 0 on wrap
size_t tvr_base64_decode_bound(size_t len);  // chunk output bound

uint32_t tvr_base64_encode(const void *data, size_t len, char **text, size_t *text_len);
uint32_t tvr_base64_split_lines(const char *text, size_t len, char **out, size_t *out_len);
uint32_t tvr_base64_decode(const char *text, size_t len, unsigned char **data, size_t *data_len);

void tvr_base64_encode_start(TvrBase64Encoder *state);
uint32_t tvr_base64_encode_chunk(TvrBase64Encoder *state, const void *data, size_t len, char *out,
                                 size_t out_size, size_t *out_len);
uint32_t tvr_base64_encode_finish(TvrBase64Encoder *state, char *out, size_t out_size,
                                  size_t *out_len);
void tvr_base64_decode_start(TvrBase64Decoder *state);
uint32_t tvr_base64_decode_chunk(TvrBase64Decoder *state, const char *text, size_t len,
                                 unsigned char *out, size_t out_size, size_t *out_len);
uint32_t tvr_base64_decode_finish(TvrBase64Decoder *state);

#ifdef __cplusplus
}
#endif

#endif
