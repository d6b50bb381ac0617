// encryption - one DES container transform (encryption_des, a chunk loop from
// an input end to an output end) and one per-type dispatch
// (encryption_convert) for both the stream calls and the buffer calls: an end
// is a stream or bytes in memory (EncryptionEnd), so the only difference
// between the two families is how their ends are made. Key schedules, the
// vector and the chunk buffers are wiped before every return.
// Tests: tests/encryption_test.cpp.
#include "encryption.h"

#include <openssl/crypto.h>
#include <openssl/des.h>
#include <string.h>

#include "tlv_tmpfile.h"
#include "tlvpr_mem.h"
#include "tvr_base64.h"
#include "tvr_log.h"
#include "tvr_status.h"

namespace {

// The schedules and the running vector of one transform.
struct EncryptionCipher {
  DES_key_schedule schedule[3];  // K1, K2, K3 (only K1 for single DES)
  DES_cblock iv;                 // the running CBC vector; stays zero for single DES
  int triple;                    // 1 for a 24-byte key
  int enc;                       // DES_ENCRYPT or DES_DECRYPT
};

// The DES calls are deprecated in OpenSSL 3 but are the interface this
// container is defined by; the warning is silenced for exactly these calls.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// encryption_prepare - odd parity on a copy of each key, its schedule, zero vector
void encryption_prepare(EncryptionCipher *c, const unsigned char *key, int key_length,
                        int direction) {
  c->triple = key_length == 24;
  c->enc = direction == TLV_ENC_ENCIPHER ? DES_ENCRYPT : DES_DECRYPT;
  memset(c->iv, 0, sizeof c->iv);
  for (int i = 0; i < (c->triple ? 3 : 1); i++) {
    DES_cblock block;
    memcpy(block, key + 8 * i, 8);
    DES_set_odd_parity(&block);
    DES_set_key(&block, &c->schedule[i]);
    OPENSSL_cleanse(block, sizeof block);
  }
}

// encryption_chunk - transforms len bytes (a multiple of 8) of one chunk. Triple
// DES continues the chain from the last block; DES_cbc_encrypt leaves the
// vector alone, so single DES starts every chunk from the zero vector.
void encryption_chunk(EncryptionCipher *c, const unsigned char *in, unsigned char *out,
                      size_t len) {
  if (c->triple) {
    DES_ede3_cbc_encrypt(in, out, (long)len, &c->schedule[0], &c->schedule[1], &c->schedule[2],
                         &c->iv, c->enc);
  } else {
    DES_cbc_encrypt(in, out, (long)len, &c->schedule[0], &c->iv, c->enc);
  }
}

#pragma GCC diagnostic pop

// encryption_pad - zero bytes up to the next multiple of 8; the padded count
size_t encryption_pad(unsigned char *chunk, size_t n) {
  size_t padded = (n + 7) / 8 * 8;
  memset(chunk + n, 0, padded - n);
  return padded;
}

void encryption_put_length(unsigned char out[4], uint32_t len) {
  out[0] = (unsigned char)(len >> 24);
  out[1] = (unsigned char)(len >> 16);
  out[2] = (unsigned char)(len >> 8);
  out[3] = (unsigned char)len;
}

uint32_t encryption_get_length(const unsigned char in[4]) {
  return (uint32_t)in[0] << 24 | (uint32_t)in[1] << 16 | (uint32_t)in[2] << 8 | in[3];
}

bool encryption_key_ok(const unsigned char *key, int key_length) {
  return key != nullptr && (key_length == 8 || key_length == 24);
}

// encryption_hex_digit - the value of a hexadecimal digit, or -1
int encryption_hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// EncryptionEnd - one end of a stage: a stream, or bytes in memory. A memory
// input reads data[pos, len); a memory output is a heap block that the stage
// sizes before writing (encryption_end_reserve) or hands over whole, and that
// stays the end's until the caller takes it (encryption_end_release frees it).
struct EncryptionEnd {
  FILE *file = nullptr;
  const unsigned char *data = nullptr;
  size_t len = 0;
  size_t pos = 0;
  unsigned char *block = nullptr;
  size_t used = 0;
  size_t room = 0;
};

EncryptionEnd encryption_stream_end(FILE *file) {
  EncryptionEnd end;
  end.file = file;
  return end;
}

EncryptionEnd encryption_memory_end(const void *data, size_t len) {
  EncryptionEnd end;
  end.data = (const unsigned char *)data;
  end.len = len;
  return end;
}

void encryption_end_release(EncryptionEnd *end) {
  tlvpr_free(end->block);
  end->block = nullptr;
  end->used = end->room = 0;
}

// encryption_end_length - the bytes from the input's position to its end; a
// stream is measured by seeking (false when it cannot seek)
bool encryption_end_length(EncryptionEnd *in, uint64_t *left) {
  if (in->file == nullptr) {
    *left = in->len - in->pos;
    return true;
  }
  long start = ftell(in->file);
  if (start < 0 || fseek(in->file, 0, SEEK_END) != 0) {
    return false;
  }
  long end = ftell(in->file);
  if (fseek(in->file, start, SEEK_SET) != 0 || end < start) {
    return false;
  }
  *left = (uint64_t)(end - start);
  return true;
}

// encryption_end_held - the bytes an input in memory still holds; false for a
// stream, which is read without being measured
bool encryption_end_held(const EncryptionEnd *in, uint64_t *left) {
  if (in->file != nullptr) {
    return false;
  }
  *left = in->len - in->pos;
  return true;
}

// encryption_end_read - up to n bytes; 0 at the end or on a read error
size_t encryption_end_read(EncryptionEnd *in, unsigned char *buf, size_t n) {
  if (in->file != nullptr) {
    return fread(buf, 1, n, in->file);
  }
  size_t take = in->len - in->pos < n ? in->len - in->pos : n;
  if (take > 0) {
    memcpy(buf, in->data + in->pos, take);
  }
  in->pos += take;
  return take;
}

// encryption_end_read_all - true when the input was read to its end without error
bool encryption_end_read_all(EncryptionEnd *in) {
  return in->file == nullptr || (!ferror(in->file) && feof(in->file));
}

// encryption_end_reserve - sizes a memory output for size bytes (0 or 10013);
// a stream needs nothing
uint32_t encryption_end_reserve(EncryptionEnd *out, uint64_t size) {
  if (out->file != nullptr) {
    return 0;
  }
  encryption_end_release(out);
  out->block = (unsigned char *)tlvpr_malloc((size_t)size);
  if (out->block == nullptr) {
    return TVR_NO_MEMORY;
  }
  out->room = (size_t)size;
  return 0;
}

// encryption_end_adopt - hands a whole heap block to a memory output
void encryption_end_adopt(EncryptionEnd *out, unsigned char *block, size_t len) {
  encryption_end_release(out);
  out->block = block;
  out->used = out->room = len;
}

// encryption_end_write - false on a write error (a memory output never
// overflows: its stage reserved the bytes it writes)
bool encryption_end_write(EncryptionEnd *out, const unsigned char *buf, size_t n) {
  if (out->file != nullptr) {
    return fwrite(buf, 1, n, out->file) == n;
  }
  if (n > out->room - out->used) {
    return false;
  }
  memcpy(out->block + out->used, buf, n);
  out->used += n;
  return true;
}

// encryption_des - the container transform from in to out, chunk by chunk:
// 0 with the padded chunk sizes added up in *total, 1 refused (see des_stream),
// or 10013 when a memory output cannot be sized. The outstanding plain-text
// length saturates at 0, so cipher blocks beyond the stated length are read
// and counted but never written.
uint32_t encryption_des(EncryptionEnd *in, EncryptionEnd *out, const unsigned char *key,
                        int key_length, int direction, uint64_t *total) {
  if (!encryption_key_ok(key, key_length)) {
    return TVR_ERROR;
  }
  unsigned char header[4];
  uint64_t outstanding = UINT64_MAX;  // plain-text bytes still to write when deciphering
  uint64_t needed = 0;                // ciphertext bytes the stated length takes (whole blocks)
  if (direction == TLV_ENC_ENCIPHER) {
    uint64_t left = 0;
    if (!encryption_end_length(in, &left) || left == 0 || left > 0xFFFFFFFFu) {
      return TVR_ERROR;
    }
    encryption_put_length(header, (uint32_t)left);
    uint32_t rc = encryption_end_reserve(out, 4 + (left + 7) / 8 * 8);
    if (rc != 0) {
      return rc;
    }
    if (!encryption_end_write(out, header, 4)) {
      return TVR_ERROR;
    }
  } else {
    if (encryption_end_read(in, header, 4) != 4) {
      return TVR_ERROR;
    }
    outstanding = encryption_get_length(header);
    needed = (outstanding + 7) / 8 * 8;
    // Bytes held in memory are checked before the output is sized: a damaged
    // container then costs no allocation of its stated length.
    uint64_t held = 0;
    if (encryption_end_held(in, &held) && (held == 0 || held < needed)) {
      return TVR_ERROR;
    }
    uint32_t rc = encryption_end_reserve(out, outstanding);
    if (rc != 0) {
      return rc;
    }
  }
  EncryptionCipher c;
  encryption_prepare(&c, key, key_length, direction);
  unsigned char chunk[TLV_ENC_CHUNK];
  unsigned char done[TLV_ENC_CHUNK];
  uint64_t sum = 0;
  bool failed = false;
  for (;;) {
    size_t n = encryption_end_read(in, chunk, sizeof chunk);
    if (n == 0) {
      break;
    }
    size_t padded = encryption_pad(chunk, n);
    encryption_chunk(&c, chunk, done, padded);
    size_t write = outstanding < padded ? (size_t)outstanding : padded;
    if (direction == TLV_ENC_DECIPHER) {
      outstanding -= write;
    }
    if (write > 0 && !encryption_end_write(out, done, write)) {
      failed = true;
      break;
    }
    sum += padded;
    needed -= needed < n ? needed : n;
  }
  OPENSSL_cleanse(&c, sizeof c);
  OPENSSL_cleanse(chunk, sizeof chunk);
  OPENSSL_cleanse(done, sizeof done);
  // A ciphertext that ends before the stated length is a damaged file.
  if (failed || (in->file != nullptr && ferror(in->file)) || needed > 0 || sum == 0) {
    return TVR_ERROR;
  }
  *total = sum;
  return 0;
}

// The stages of a conversion. Each moves its whole input to its output and
// gives 0, the encryption code of its failure (logged by the dispatch), or the
// status of a failure that is not logged (10013, and the Base64 calls' 10040).

// encryption_stage_copy - type 0; *count is the bytes copied
uint32_t encryption_stage_copy(EncryptionEnd *in, EncryptionEnd *out, uint64_t *count) {
  uint64_t held = 0;
  if (encryption_end_held(in, &held)) {
    if (held == 0) {
      return TVR_ENCRYPTION_READ_ERROR;
    }
    uint32_t rc = encryption_end_reserve(out, held);
    if (rc != 0) {
      return rc;
    }
  }
  unsigned char chunk[TLV_ENC_CHUNK];
  uint64_t copied = 0;
  bool failed = false;
  for (;;) {
    size_t n = encryption_end_read(in, chunk, sizeof chunk);
    if (n == 0) {
      break;
    }
    if (!encryption_end_write(out, chunk, n)) {
      failed = true;
      break;
    }
    copied += n;
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  if (failed || copied == 0 || !encryption_end_read_all(in)) {
    return TVR_ENCRYPTION_READ_ERROR;
  }
  *count = copied;
  return 0;
}

// encryption_stage_base64 - type 1: Base64 text to bytes or bytes to text in
// 72-character lines. Both ends are streams, or both are in memory.
uint32_t encryption_stage_base64(EncryptionEnd *in, EncryptionEnd *out, int direction) {
  if (in->file != nullptr) {
    int bad = direction == TLV_ENC_ENCIPHER ? tvr_base64_encode_stream(in->file, out->file)
                                            : tvr_base64_decode_stream(in->file, out->file);
    return bad ? TVR_ENCRYPTION_BASE64_ERROR : 0;
  }
  const unsigned char *data = in->data + in->pos;
  size_t len = in->len - in->pos;
  uint32_t rc;
  if (direction == TLV_ENC_DECIPHER) {
    unsigned char *bytes = nullptr;
    size_t bytes_len = 0;
    rc = tvr_base64_decode((const char *)data, len, &bytes, &bytes_len);
    if (rc == 0) {
      encryption_end_adopt(out, bytes, bytes_len);
    }
    return rc;
  }
  char *text = nullptr;
  size_t text_len = 0;
  char *lines = nullptr;
  size_t lines_len = 0;
  rc = tvr_base64_encode(data, len, &text, &text_len);
  if (rc == 0) {
    rc = tvr_base64_split_lines(text, text_len, &lines, &lines_len);
  }
  tlvpr_free(text);
  if (rc == 0) {
    encryption_end_adopt(out, (unsigned char *)lines, lines_len);
  }
  return rc;
}

// encryption_stage_des - type 3: the transform, its refusal as 2045
uint32_t encryption_stage_des(EncryptionEnd *in, EncryptionEnd *out, const unsigned char *key,
                              int key_length, int direction, uint64_t *total) {
  uint32_t rc = encryption_des(in, out, key, key_length, direction, total);
  return rc == TVR_ERROR ? TVR_ENCRYPTION_CIPHER_ERROR : rc;
}

// encryption_stage_des_base64 - type 2: the transform and the Base64 stage with
// the container between them: for streams a self-deleting owner-only temporary
// file (which then holds only ciphertext), in memory a heap block. A failure
// to make the file is logged here (10056) and gives its status. Completing the
// container's writes (the file's flush) fails with the writing stage's code,
// going back to its start with the reading stage's.
uint32_t encryption_stage_des_base64(EncryptionEnd *in, EncryptionEnd *out,
                                     const unsigned char *key, int key_length, int direction) {
  EncryptionEnd middle;
  if (in->file != nullptr) {
    uint32_t rc = tlv_tmpfile_open(&middle.file);
    if (rc != 0) {
      tvr_log(TVR_LOG_ERR, TVR_UNABLE_TO_OPEN_FILE, "tlvEncrypt temp file");
      return rc;
    }
  }
  bool decipher = direction == TLV_ENC_DECIPHER;
  uint32_t first_code = decipher ? TVR_ENCRYPTION_BASE64_ERROR : TVR_ENCRYPTION_CIPHER_ERROR;
  uint32_t second_code = decipher ? TVR_ENCRYPTION_CIPHER_ERROR : TVR_ENCRYPTION_BASE64_ERROR;
  uint64_t total = 0;
  uint32_t rc = decipher ? encryption_stage_base64(in, &middle, direction)
                         : encryption_stage_des(in, &middle, key, key_length, direction, &total);
  if (rc == 0 && middle.file != nullptr && fflush(middle.file) != 0) {
    rc = first_code;
  }
  if (rc == 0) {
    if (middle.file != nullptr) {
      if (fseek(middle.file, 0, SEEK_SET) != 0) {
        rc = second_code;
      }
    } else {
      middle.data = middle.block;
      middle.len = middle.used;
    }
  }
  if (rc == 0) {
    rc = decipher ? encryption_stage_des(&middle, out, key, key_length, direction, &total)
                  : encryption_stage_base64(&middle, out, direction);
  }
  if (middle.file != nullptr) {
    fclose(middle.file);
  }
  encryption_end_release(&middle);
  return rc;
}

// encryption_key - parse_hex_key, logging 2046 when the text is refused
bool encryption_key(const char *text, unsigned char key[TLV_ENC_KEY_MAX], int *key_length) {
  int len = 0;
  if (parse_hex_key(text, key, &len) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_KEY_LENGTH, len);
    return false;
  }
  *key_length = len;
  return true;
}

// encryption_convert - the per-type dispatch of every conversion, streams or
// memory: parses the key, runs the type's stages from in to out and logs the
// outcome. Gives 0, 1 after logging a failure, or an unlogged status (10013,
// the temporary file's status, a Base64 call's 10040).
uint32_t encryption_convert(EncryptionEnd *in, EncryptionEnd *out, const char *key_text, int type,
                            int direction) {
  if (type < TLV_ENC_PLAIN || type > TLV_ENC_DES) {
    tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_UNKNOWN_TYPE, type);
    return TVR_ERROR;
  }
  unsigned char key[TLV_ENC_KEY_MAX];
  int key_length = 0;
  if (type == TLV_ENC_DES_BASE64 || type == TLV_ENC_DES) {
    if (!encryption_key(key_text, key, &key_length)) {
      return TVR_ERROR;
    }
  }
  uint64_t count = 0;
  uint32_t rc = 0;
  switch (type) {
    case TLV_ENC_PLAIN:
      rc = encryption_stage_copy(in, out, &count);
      break;
    case TLV_ENC_BASE64:
      rc = encryption_stage_base64(in, out, direction);
      break;
    case TLV_ENC_DES_BASE64:
      rc = encryption_stage_des_base64(in, out, key, key_length, direction);
      break;
    default:
      rc = encryption_stage_des(in, out, key, key_length, direction, &count);
      break;
  }
  OPENSSL_cleanse(key, sizeof key);
  if (rc == TVR_ENCRYPTION_READ_ERROR || rc == TVR_ENCRYPTION_BASE64_ERROR ||
      rc == TVR_ENCRYPTION_CIPHER_ERROR) {
    tvr_log(TVR_LOG_ERR, rc);
    return TVR_ERROR;
  }
  if (rc == 0 && (type == TLV_ENC_PLAIN || type == TLV_ENC_DES)) {
    tvr_log(TVR_LOG_INFO, TVR_ENCRYPTION_DONE, (int)count);
  }
  return rc;
}

// encryption_streams - tlvDecrypt and tlvEncrypt
uint32_t encryption_streams(FILE *source, FILE *target, const char *key_text, int type,
                            int direction) {
  if (source == nullptr || target == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_BAD_ARGUMENT);
    return TVR_ERROR;
  }
  EncryptionEnd in = encryption_stream_end(source);
  EncryptionEnd out = encryption_stream_end(target);
  return encryption_convert(&in, &out, key_text, type, direction);
}

// encryption_memory - tlvDecryptBuffer and tlvEncryptBuffer
uint32_t encryption_memory(const void *in, size_t in_len, const char *key_text, int type,
                           int direction, unsigned char **out, size_t *out_len) {
  if ((in == nullptr && in_len > 0) || out == nullptr || out_len == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_BAD_ARGUMENT);
    return TVR_ERROR;
  }
  EncryptionEnd source = encryption_memory_end(in, in_len);
  EncryptionEnd target;
  uint32_t rc = encryption_convert(&source, &target, key_text, type, direction);
  if (rc != 0) {
    encryption_end_release(&target);
    return rc;
  }
  *out = target.block;
  *out_len = target.used;
  return 0;
}

}  // namespace

// parse_hex_key - key bytes of a 16-, 32- or 48-digit key text
int parse_hex_key(const char *text, unsigned char *key, int *length) {
  if (text == nullptr) {
    if (length != nullptr) {
      *length = 0;
    }
    return 1;
  }
  size_t chars = strlen(text);
  if (chars % 2 != 0) {
    return 1;
  }
  if (length != nullptr) {
    *length = chars / 2 > 0x7FFFFFFF ? 0x7FFFFFFF : (int)(chars / 2);
  }
  size_t bytes = chars / 2;
  if ((bytes != 8 && bytes != 16 && bytes != 24) || key == nullptr || length == nullptr) {
    return 1;
  }
  unsigned char parsed[TLV_ENC_KEY_MAX];
  for (size_t i = 0; i < bytes; i++) {
    int high = encryption_hex_digit(text[2 * i]);
    int low = encryption_hex_digit(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      OPENSSL_cleanse(parsed, sizeof parsed);
      return 1;
    }
    parsed[i] = (unsigned char)(high * 16 + low);
  }
  if (bytes == 16) {
    memcpy(parsed + 16, parsed, 8);  // two-key triple DES: K3 = K1
    bytes = 24;
  }
  memcpy(key, parsed, bytes);
  OPENSSL_cleanse(parsed, sizeof parsed);
  *length = (int)bytes;
  return 0;
}

// des_stream - the container transform between two streams, chunk by chunk
uint64_t des_stream(FILE *source, FILE *target, const unsigned char *key, int key_length,
                    int direction) {
  if (source == nullptr || target == nullptr) {
    return 0;
  }
  EncryptionEnd in = encryption_stream_end(source);
  EncryptionEnd out = encryption_stream_end(target);
  uint64_t total = 0;
  return encryption_des(&in, &out, key, key_length, direction, &total) == 0 ? total : 0;
}

// des_buffer - the container transform between buffers
uint64_t des_buffer(const void *in, size_t in_len, const unsigned char *key, int key_length,
                    int direction, unsigned char **out, size_t *out_len) {
  if ((in == nullptr && in_len > 0) || out == nullptr || out_len == nullptr) {
    return 0;
  }
  EncryptionEnd source = encryption_memory_end(in, in_len);
  EncryptionEnd target;
  uint64_t total = 0;
  if (encryption_des(&source, &target, key, key_length, direction, &total) != 0) {
    encryption_end_release(&target);
    return 0;
  }
  *out = target.block;
  *out_len = target.used;
  return total;
}

// tlvDecrypt - the stored rule file of a type into plain text
uint32_t tlvDecrypt(FILE *source, FILE *target, const char *key, int type) {
  return encryption_streams(source, target, key, type, TLV_ENC_DECIPHER);
}

// tlvEncrypt - plain text into the stored file of a type
uint32_t tlvEncrypt(FILE *source, FILE *target, const char *key, int type) {
  return encryption_streams(source, target, key, type, TLV_ENC_ENCIPHER);
}

// tlvDecryptBuffer - tlvDecrypt for data in memory
uint32_t tlvDecryptBuffer(const void *in, size_t in_len, const char *key, int type,
                          unsigned char **out, size_t *out_len) {
  return encryption_memory(in, in_len, key, type, TLV_ENC_DECIPHER, out, out_len);
}

// tlvEncryptBuffer - tlvEncrypt for data in memory
uint32_t tlvEncryptBuffer(const void *in, size_t in_len, const char *key, int type,
                          unsigned char **out, size_t *out_len) {
  return encryption_memory(in, in_len, key, type, TLV_ENC_ENCIPHER, out, out_len);
}
