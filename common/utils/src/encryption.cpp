// encryption - the container's DES transform over 8192-byte chunks, shared by
// the stream and buffer calls (encryption_prepare / encryption_chunk), and the
// per-type dispatch of tlvDecrypt and tlvEncrypt. The outstanding plain-text
// length saturates at 0, so cipher blocks beyond the stated length are read
// and counted but never written. Key schedules, the vector and the chunk
// buffers are wiped before every return. Tests: tests/encryption_test.cpp.
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

// encryption_des_memory - des_buffer with a status: 0, 10013 no memory, 1 refused
uint32_t encryption_des_memory(const unsigned char *in, size_t in_len, const unsigned char *key,
                               int key_length, int direction, unsigned char **out,
                               size_t *out_len, uint64_t *total) {
  if ((in == nullptr && in_len > 0) || !encryption_key_ok(key, key_length) || out == nullptr ||
      out_len == nullptr) {
    return 1;
  }
  const unsigned char *data = in;
  size_t data_len = in_len;
  size_t header = 0;
  size_t size;  // bytes of the output block
  uint32_t stated = 0;
  if (direction == TLV_ENC_ENCIPHER) {
    if (in_len == 0 || in_len > 0xFFFFFFFFu) {
      return 1;
    }
    header = 4;
    size = header + (in_len + 7) / 8 * 8;
  } else {
    if (in_len <= 4) {
      return 1;  // a short header, or nothing after it
    }
    stated = encryption_get_length(in);
    data = in + 4;
    data_len = in_len - 4;
    if (data_len < ((uint64_t)stated + 7) / 8 * 8) {
      return 1;  // the ciphertext ends before the stated length: a damaged file
    }
    size = stated;
  }
  unsigned char *block = (unsigned char *)tlvpr_malloc(size);
  if (block == nullptr) {
    return TVR_NO_MEMORY;
  }
  if (header > 0) {
    encryption_put_length(block, (uint32_t)in_len);
  }
  EncryptionCipher c;
  encryption_prepare(&c, key, key_length, direction);
  unsigned char chunk[TLV_ENC_CHUNK];
  unsigned char plain[TLV_ENC_CHUNK];
  uint64_t sum = 0;
  size_t o = header;
  for (size_t pos = 0; pos < data_len; pos += TLV_ENC_CHUNK) {
    size_t n = data_len - pos < (size_t)TLV_ENC_CHUNK ? data_len - pos : (size_t)TLV_ENC_CHUNK;
    memcpy(chunk, data + pos, n);
    size_t padded = encryption_pad(chunk, n);
    encryption_chunk(&c, chunk, plain, padded);
    size_t keep = size - o < padded ? size - o : padded;
    memcpy(block + o, plain, keep);
    o += keep;
    sum += padded;
  }
  OPENSSL_cleanse(&c, sizeof c);
  OPENSSL_cleanse(chunk, sizeof chunk);
  OPENSSL_cleanse(plain, sizeof plain);
  *out = block;
  *out_len = size;
  *total = sum;
  return 0;
}

// encryption_copy_stream - type 0: copies the rest of source; bytes copied, or
// -1 on a read or write error
int64_t encryption_copy_stream(FILE *source, FILE *target) {
  unsigned char chunk[TLV_ENC_CHUNK];
  int64_t copied = 0;
  for (;;) {
    size_t n = fread(chunk, 1, sizeof chunk, source);
    if (n == 0) {
      break;
    }
    if (fwrite(chunk, 1, n, target) != n) {
      copied = -1;
      break;
    }
    copied += (int64_t)n;
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  if (copied < 0 || ferror(source) || !feof(source)) {
    return -1;
  }
  return copied;
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

// encryption_des_report - logs the outcome of a DES transform: 2045 for a
// refusal (status 1), 2044 with the byte count for a success when wanted
uint32_t encryption_des_report(uint32_t rc, uint64_t total, bool log_success) {
  if (rc == 1) {
    tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_CIPHER_ERROR);
  } else if (rc == 0 && log_success) {
    tvr_log(TVR_LOG_INFO, TVR_ENCRYPTION_DONE, (int)total);
  }
  return rc;
}

// encryption_des_stream_logged - des_stream as a status, its outcome logged
uint32_t encryption_des_stream_logged(FILE *source, FILE *target, const unsigned char *key,
                                      int key_length, int direction, bool log_success) {
  uint64_t total = des_stream(source, target, key, key_length, direction);
  return encryption_des_report(total == 0 ? 1 : 0, total, log_success);
}

// encryption_stream - tlvDecrypt and tlvEncrypt, which differ only in direction
uint32_t encryption_stream(FILE *source, FILE *target, const char *key_text, int type,
                           int direction) {
  if (source == nullptr || target == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_BAD_ARGUMENT);
    return TVR_ERROR;
  }
  unsigned char key[TLV_ENC_KEY_MAX];
  int key_length = 0;
  uint32_t rc = 0;
  switch (type) {
    case TLV_ENC_PLAIN: {
      int64_t copied = encryption_copy_stream(source, target);
      if (copied <= 0) {
        tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_READ_ERROR);
        return TVR_ERROR;
      }
      tvr_log(TVR_LOG_INFO, TVR_ENCRYPTION_DONE, (int)copied);
      return 0;
    }
    case TLV_ENC_BASE64: {
      int bad = direction == TLV_ENC_ENCIPHER ? tvr_base64_encode_stream(source, target)
                                              : tvr_base64_decode_stream(source, target);
      if (bad) {
        tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_BASE64_ERROR);
        return TVR_ERROR;
      }
      return 0;
    }
    case TLV_ENC_DES_BASE64: {
      if (!encryption_key(key_text, key, &key_length)) {
        return TVR_ERROR;
      }
      FILE *temp = nullptr;
      rc = tlv_tmpfile_open(&temp);
      if (rc != 0) {
        tvr_log(TVR_LOG_ERR, TVR_UNABLE_TO_OPEN_FILE, "tlvEncrypt temp file");
        break;
      }
      // The temporary file holds only the container (ciphertext): Base64 is
      // decoded into it before deciphering, or it receives the ciphertext
      // that is then Base64-encoded.
      if (direction == TLV_ENC_DECIPHER) {
        // The decoded container may still sit in the stream's buffer: a failed
        // flush is a write error of the Base64 stage, a failed rewind leaves the
        // transform nothing to read.
        if (tvr_base64_decode_stream(source, temp) != 0 || fflush(temp) != 0) {
          tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_BASE64_ERROR);
          rc = TVR_ERROR;
        } else if (fseek(temp, 0, SEEK_SET) != 0) {
          tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_CIPHER_ERROR);
          rc = TVR_ERROR;
        } else if (encryption_des_stream_logged(temp, target, key, key_length, direction,
                                                false) != 0) {
          rc = TVR_ERROR;
        }
      } else {
        // Likewise the ciphertext's last bytes may reach the file only at the
        // flush: that is a write error of the transform.
        if (encryption_des_stream_logged(source, temp, key, key_length, direction, false) != 0) {
          rc = TVR_ERROR;
        } else if (fflush(temp) != 0) {
          tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_CIPHER_ERROR);
          rc = TVR_ERROR;
        } else if (fseek(temp, 0, SEEK_SET) != 0 || tvr_base64_encode_stream(temp, target) != 0) {
          tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_BASE64_ERROR);
          rc = TVR_ERROR;
        }
      }
      fclose(temp);
      break;
    }
    case TLV_ENC_DES: {
      if (!encryption_key(key_text, key, &key_length)) {
        return TVR_ERROR;
      }
      rc = encryption_des_stream_logged(source, target, key, key_length, direction, true);
      break;
    }
    default:
      tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_UNKNOWN_TYPE, type);
      return TVR_ERROR;
  }
  OPENSSL_cleanse(key, sizeof key);
  return rc;
}

// encryption_memory - tlvDecryptBuffer and tlvEncryptBuffer
uint32_t encryption_memory(const void *in, size_t in_len, const char *key_text, int type,
                           int direction, unsigned char **out, size_t *out_len) {
  if ((in == nullptr && in_len > 0) || out == nullptr || out_len == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_BAD_ARGUMENT);
    return TVR_ERROR;
  }
  const unsigned char *data = (const unsigned char *)in;
  unsigned char key[TLV_ENC_KEY_MAX];
  int key_length = 0;
  unsigned char *result = nullptr;
  size_t result_len = 0;
  uint32_t rc = 0;
  switch (type) {
    case TLV_ENC_PLAIN:
      if (in_len == 0) {
        tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_READ_ERROR);
        return TVR_ERROR;
      }
      result = (unsigned char *)tlvpr_malloc(in_len);
      if (result == nullptr) {
        return TVR_NO_MEMORY;
      }
      memcpy(result, data, in_len);
      result_len = in_len;
      tvr_log(TVR_LOG_INFO, TVR_ENCRYPTION_DONE, (int)in_len);
      break;
    case TLV_ENC_BASE64:
    case TLV_ENC_DES_BASE64: {
      unsigned char *container = nullptr;
      size_t container_len = 0;
      uint64_t total = 0;
      if (type == TLV_ENC_DES_BASE64) {
        if (!encryption_key(key_text, key, &key_length)) {
          return TVR_ERROR;
        }
      }
      if (direction == TLV_ENC_DECIPHER) {
        rc = tvr_base64_decode((const char *)data, in_len, &container, &container_len);
        if (rc == TVR_ENCRYPTION_BASE64_ERROR) {
          tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_BASE64_ERROR);
          rc = TVR_ERROR;
        }
        if (rc == 0 && type == TLV_ENC_DES_BASE64) {
          rc = encryption_des_report(encryption_des_memory(container, container_len, key,
                                                           key_length, direction, &result,
                                                           &result_len, &total),
                                     total, false);
          tlvpr_free(container);
        } else if (rc == 0) {
          result = container;
          result_len = container_len;
        }
      } else {
        if (type == TLV_ENC_DES_BASE64) {
          rc = encryption_des_report(encryption_des_memory(data, in_len, key, key_length,
                                                           direction, &container,
                                                           &container_len, &total),
                                     total, false);
          data = container;
          in_len = container_len;
        }
        char *text = nullptr;
        size_t text_len = 0;
        if (rc == 0) {
          rc = tvr_base64_encode(data, in_len, &text, &text_len);
        }
        if (rc == 0) {
          rc = tvr_base64_split_lines(text, text_len, (char **)&result, &result_len);
        }
        tlvpr_free(text);
        if (type == TLV_ENC_DES_BASE64) {
          tlvpr_free(container);
        }
      }
      break;
    }
    case TLV_ENC_DES: {
      if (!encryption_key(key_text, key, &key_length)) {
        return TVR_ERROR;
      }
      uint64_t total = 0;
      rc = encryption_des_report(encryption_des_memory(data, in_len, key, key_length, direction,
                                                       &result, &result_len, &total),
                                 total, true);
      break;
    }
    default:
      tvr_log(TVR_LOG_ERR, TVR_ENCRYPTION_UNKNOWN_TYPE, type);
      return TVR_ERROR;
  }
  OPENSSL_cleanse(key, sizeof key);
  if (rc != 0) {
    return rc;
  }
  *out = result;
  *out_len = result_len;
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
  if (source == nullptr || target == nullptr || !encryption_key_ok(key, key_length)) {
    return 0;
  }
  unsigned char header[4];
  uint64_t outstanding = 0;  // plain-text bytes still to write when deciphering
  uint64_t needed = 0;       // ciphertext bytes the stated length takes (whole blocks)
  if (direction == TLV_ENC_ENCIPHER) {
    long start = ftell(source);
    if (start < 0 || fseek(source, 0, SEEK_END) != 0) {
      return 0;
    }
    long end = ftell(source);
    if (fseek(source, start, SEEK_SET) != 0 || end <= start ||
        (uint64_t)(end - start) > 0xFFFFFFFFu) {
      return 0;
    }
    encryption_put_length(header, (uint32_t)(end - start));
    if (fwrite(header, 1, 4, target) != 4) {
      return 0;
    }
  } else {
    if (fread(header, 1, 4, source) != 4) {
      return 0;
    }
    outstanding = encryption_get_length(header);
    needed = (outstanding + 7) / 8 * 8;
  }
  EncryptionCipher c;
  encryption_prepare(&c, key, key_length, direction);
  unsigned char in[TLV_ENC_CHUNK];
  unsigned char out[TLV_ENC_CHUNK];
  uint64_t total = 0;
  bool failed = false;
  for (;;) {
    size_t n = fread(in, 1, sizeof in, source);
    if (n == 0) {
      break;
    }
    size_t padded = encryption_pad(in, n);
    encryption_chunk(&c, in, out, padded);
    size_t write = padded;
    if (direction == TLV_ENC_DECIPHER) {
      write = outstanding < padded ? (size_t)outstanding : padded;
      outstanding -= write;
    }
    if (write > 0 && fwrite(out, 1, write, target) != write && ferror(target)) {
      failed = true;
      break;
    }
    total += padded;
    needed -= needed < n ? needed : n;
  }
  OPENSSL_cleanse(&c, sizeof c);
  OPENSSL_cleanse(in, sizeof in);
  OPENSSL_cleanse(out, sizeof out);
  // A ciphertext that ends before the stated length is a damaged file.
  if (failed || ferror(source) || needed > 0) {
    return 0;
  }
  return total;
}

// des_buffer - the container transform between buffers
uint64_t des_buffer(const void *in, size_t in_len, const unsigned char *key, int key_length,
                    int direction, unsigned char **out, size_t *out_len) {
  uint64_t total = 0;
  if (encryption_des_memory((const unsigned char *)in, in_len, key, key_length, direction, out,
                            out_len, &total) != 0) {
    return 0;
  }
  return total;
}

// tlvDecrypt - the stored rule file of a type into plain text
uint32_t tlvDecrypt(FILE *source, FILE *target, const char *key, int type) {
  return encryption_stream(source, target, key, type, TLV_ENC_DECIPHER);
}

// tlvEncrypt - plain text into the stored file of a type
uint32_t tlvEncrypt(FILE *source, FILE *target, const char *key, int type) {
  return encryption_stream(source, target, key, type, TLV_ENC_ENCIPHER);
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
