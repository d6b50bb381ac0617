// Base64 fuzz target: arbitrary text through the whole-text, chunked and stream
// decoders (no crash, no leak, and the three agree on what a valid text
// decodes to), and arbitrary bytes through encode then decode (round trip).
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "tlvpr_mem.h"
#include "tvr_base64.h"

// base64_fuzz_stream - decodes text with the stream decoder; the bytes or failure
static bool base64_fuzz_stream(const uint8_t *data, size_t size, std::string *out) {
  FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  if (size == 0) {
    in = fopen("/dev/null", "rb");
  }
  char *buf = nullptr;
  size_t len = 0;
  FILE *target = open_memstream(&buf, &len);
  int rc = tvr_base64_decode_stream(in, target);
  fclose(in);
  fclose(target);
  out->assign(buf, len);
  free(buf);
  return rc == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 8192) {
    return 0;
  }
  // Whole text.
  unsigned char *decoded = nullptr;
  size_t decoded_len = 0;
  uint32_t whole = tvr_base64_decode((const char *)data, size, &decoded, &decoded_len);
  std::string whole_bytes;
  if (whole == 0) {
    whole_bytes.assign((const char *)decoded, decoded_len);
    tlvpr_free(decoded);
  }

  // Chunked, split at a point taken from the input.
  size_t split = size == 0 ? 0 : data[0] % (size + 1);
  TvrBase64Decoder state;
  tvr_base64_decode_start(&state);
  std::string chunk_bytes;
  uint32_t rc = 0;
  for (int part = 0; part < 2 && rc == 0; part++) {
    const char *text = (const char *)data + (part == 0 ? 0 : split);
    size_t len = part == 0 ? split : size - split;
    std::string out(tvr_base64_decode_bound(len) + 1, '\0');
    size_t out_len = 0;
    rc = tvr_base64_decode_chunk(&state, text, len, (unsigned char *)&out[0], out.size(), &out_len);
    chunk_bytes.append(out.data(), out_len);
  }
  if (rc == 0) {
    rc = tvr_base64_decode_finish(&state);
  }

  std::string stream_bytes;
  bool stream_ok = base64_fuzz_stream(data, size, &stream_bytes);
  if ((whole == 0) != (rc == 0) || (whole == 0) != stream_ok) {
    __builtin_trap();  // the decoders disagree on whether the text is valid
  }
  if (whole == 0 && (whole_bytes != chunk_bytes || whole_bytes != stream_bytes)) {
    __builtin_trap();  // the decoders disagree on the bytes
  }

  // Round trip of the input taken as binary data.
  char *text = nullptr;
  size_t text_len = 0;
  if (tvr_base64_encode(data, size, &text, &text_len) == 0) {
    unsigned char *back = nullptr;
    size_t back_len = 0;
    if (tvr_base64_decode(text, text_len, &back, &back_len) != 0 || back_len != size ||
        (size != 0 && memcmp(back, data, size) != 0)) {
      __builtin_trap();
    }
    tlvpr_free(back);
    tlvpr_free(text);
  }
  return 0;
}
