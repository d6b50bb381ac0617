// md5 - the MD5 message digest (RFC 1321), the system's own implementation
//
// The standard's three calls: md5_init(&ctx) prepares a context; md5_update(&ctx,
// data, len) adds len bytes and may be called any number of times (data may be
// null when len is 0); md5_final(digest, &ctx) writes the 16-byte digest and
// wipes the context (call md5_init again before reusing it). The design is the
// standard's reference design: 64-byte blocks, little-endian words, the
// standard's padding and 64-bit bit count. The context lives wherever the
// caller puts it (usually the stack); there is no shared state and nothing is
// logged or allocated.
#ifndef COMMON_UTILS_SRC_MD5_H
#define COMMON_UTILS_SRC_MD5_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { MD5_DIGEST_SIZE = 16 };

typedef struct Md5Context {
  uint32_t state[4];         // chaining words A, B, C, D
  uint32_t count[2];         // bits processed, modulo 2^64, low word first
  unsigned char buffer[64];  // input not yet processed
} Md5Context;

void md5_init(Md5Context *ctx);
void md5_update(Md5Context *ctx, const void *data, size_t len);
void md5_final(unsigned char digest[MD5_DIGEST_SIZE], Md5Context *ctx);

#ifdef __cplusplus
}
#endif

#endif
