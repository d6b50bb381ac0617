// encryption - the stored rule file container and its DES transform
//
// Encryption types (the key type of a module instance):
//   0 TLV_ENC_PLAIN       the stored bytes are the plain text (no key)
//   1 TLV_ENC_BASE64      Base64 text of the plain text (no key)
//   2 TLV_ENC_DES_BASE64  Base64 text of a DES container (the module's case)
//   3 TLV_ENC_DES         the DES container as raw bytes
// The DES container: 4 bytes plain-text length L (unsigned, big-endian), then
// the plain text padded with zero bytes to a multiple of 8 and enciphered in
// CBC mode from an all-zero vector. The key text gives the key (parse_hex_key):
// 16 hex digits single DES, 32 digits two-key triple DES (K3 = K1), 48 digits
// three-key triple DES. The data is processed in 8192-byte chunks: the triple
// DES chain runs through the whole file, single DES restarts from the zero
// vector at every chunk (every 8192 bytes of plain text). Base64 text is
// written in 72-character lines ending CR LF and read ignoring every byte
// outside the alphabet.
//
// tlvDecrypt(source, target, key, type) turns the stored file read from
// source's current position into plain text written at target's current
// position (usually a tlv_tmpfile_open stream); neither stream is closed or
// rewound. The plain text is cut to the stated length L; surplus cipher blocks
// are not written. A ciphertext that ends before the whole blocks L takes (a
// damaged or cut file, or Base64 characters lost) fails with 2045; what was written to target by
// then is the caller's to discard. A wrong key is not detected (the text is then garbage of length
// L). Type 2 decodes the Base64 text into a self-deleting owner-only temporary file first, which
// holds only ciphertext.
// tlvEncrypt(source, target, key, type) writes the same container from the plain
// text read from source's current position to its end. For types 2 and 3 the
// source must be seekable: its length is measured before it is read (a pipe
// is refused with 2045; spool it into a file first).
// Results of both: 0; 1 on failure after logging it; for type 2 a failure to
// create the temporary file gives that failure's status (10040, 10003, 10044).
// Log records (level 3 unless said):
//   10040 "Bad argument passed to function."        null source or target
//   2042  "Encryption error: Error reading input file."  type 0 read error or
//         empty source
//   2043  Base64 text malformed, or a read or write error of the Base64 stage
//   2046  "Encryption error: wrong key length: %d."  key text refused, with
//         parse_hex_key's out length
//   10056 "Unable to open file: %s." with "tlvEncrypt temp file"
//   2045  the DES transform failed (empty plain text, no ciphertext after the
//         length, short length header, a ciphertext shorter than the stated
//         length, read or write error)
//   2047  "Encryption error: unknown encryption type: %d."
//   2044  level 6 "Encryption: %d bytes were en-/de-crypted." on success of
//         types 0 and 3 (type 2 logs nothing on success)
// An empty plain text cannot be stored: types 0, 2 and 3 refuse it both ways.
//
// parse_hex_key(text, key, &length) decodes a key text of 16, 32 or 48 hex
// digits ("0"-"9", "A"-"F", "a"-"f", high digit first) into key (room for 24
// bytes) and gives 0, or 1 when refused. length is set to 0 for a null text,
// left alone for an odd length, else set to half the text's length (also when
// then refused for a bad length or a bad digit); a 32-digit text is extended
// to 24 bytes (bytes 0-7 repeated as 16-23) with length 24. key is written
// only on 0.
//
// des_stream(source, target, key, key_length, direction) runs the transform:
// direction TLV_ENC_ENCIPHER (1) writes L (the bytes from source's position to
// its end; refused when 0 or above 4 GiB - 1) and the ciphertext;
// TLV_ENC_DECIPHER (0) reads L and writes at most L bytes of plain text. Gives
// the number of bytes processed (the padded chunk sizes added up), 0 on
// failure (null argument, key_length not 8 or 24, read, seek or write error,
// a short length header, nothing after the header, a ciphertext shorter than
// the whole blocks of L). Logs nothing.
//
// Buffer variants, for data held in memory (outputs are heap blocks the caller
// frees with tlvpr_free, written only on success; the block holds at least one
// byte even when the length is 0):
// - tlvDecryptBuffer(in, in_len, key, type, &out, &out_len) and
//   tlvEncryptBuffer(...) convert the same containers with the same results
//   and log records as the stream calls (no temporary file is involved; a
//   failed allocation gives 10013 without logging).
// - des_buffer(in, in_len, key, key_length, direction, &out, &out_len) gives
//   what des_stream gives, for the bytes of in (a container when deciphering);
//   0 on failure, out untouched.
//
// Key schedules, vectors and chunk buffers are per call (and wiped before
// return); there is no shared state, so calls may run on any thread. DES comes
// from OpenSSL's libcrypto.
#ifndef COMMON_UTILS_SRC_ENCRYPTION_H
#define COMMON_UTILS_SRC_ENCRYPTION_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { TLV_ENC_PLAIN = 0, TLV_ENC_BASE64 = 1, TLV_ENC_DES_BASE64 = 2, TLV_ENC_DES = 3 };

enum { TLV_ENC_DECIPHER = 0, TLV_ENC_ENCIPHER = 1 };

enum {
  TLV_ENC_CHUNK = 8192,  // bytes per transform chunk; single DES restarts its chain here
  TLV_ENC_KEY_MAX = 24   // bytes of the largest key
};

uint32_t tlvDecrypt(FILE *source, FILE *target, const char *key, int type);
uint32_t tlvEncrypt(FILE *source, FILE *target, const char *key, int type);
int parse_hex_key(const char *text, unsigned char *key, int *length);
uint64_t des_stream(FILE *source, FILE *target, const unsigned char *key, int key_length,
                    int direction);

uint32_t tlvDecryptBuffer(const void *in, size_t in_len, const char *key, int type,
                          unsigned char **out, size_t *out_len);
uint32_t tlvEncryptBuffer(const void *in, size_t in_len, const char *key, int type,
                          unsigned char **out, size_t *out_len);
uint64_t des_buffer(const void *in, size_t in_len, const unsigned char *key, int key_length,
                    int direction, unsigned char **out, size_t *out_len);

#ifdef __cplusplus
}
#endif

#endif
