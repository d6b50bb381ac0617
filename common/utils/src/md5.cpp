// md5 - RFC 1321's reference design: the input is gathered into 64-byte blocks,
// each block is decoded into 16 little-endian words and mixed into the four
// chaining words by the four rounds of 16 steps; md5_final pads with 0x80, zero
// bytes up to 56 mod 64 and the bit count. Tests: tests/md5_test.cpp.
#include "md5.h"

#include <string.h>

namespace {

constexpr uint32_t md5_rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

constexpr uint32_t md5_f(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t md5_g(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
constexpr uint32_t md5_h(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
constexpr uint32_t md5_i(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// The sine table T[i] = floor(2^32 * abs(sin(i + 1))) and the per-step shifts.
constexpr uint32_t md5_t[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
static_assert(md5_t[0] == 0xd76aa478 && md5_t[63] == 0xeb86d391);

constexpr int md5_shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// md5_transform - mixes one 64-byte block into the chaining words
void md5_transform(uint32_t state[4], const unsigned char block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++) {
    x[i] = (uint32_t)block[4 * i] | ((uint32_t)block[4 * i + 1] << 8) |
           ((uint32_t)block[4 * i + 2] << 16) | ((uint32_t)block[4 * i + 3] << 24);
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; i++) {
    int round = i / 16;
    uint32_t f;
    int k;
    switch (round) {
      case 0:
        f = md5_f(b, c, d);
        k = i;
        break;
      case 1:
        f = md5_g(b, c, d);
        k = (5 * i + 1) % 16;
        break;
      case 2:
        f = md5_h(b, c, d);
        k = (3 * i + 5) % 16;
        break;
      default:
        f = md5_i(b, c, d);
        k = (7 * i) % 16;
        break;
    }
    uint32_t next = b + md5_rotl(a + f + x[k] + md5_t[i], md5_shift[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  memset(x, 0, sizeof x);
}

}  // namespace

// md5_init - the standard's initial chaining words and an empty count
void md5_init(Md5Context *ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->count[0] = 0;
  ctx->count[1] = 0;
  memset(ctx->buffer, 0, sizeof ctx->buffer);
}

// md5_update - adds bytes, transforming every block that fills up
void md5_update(Md5Context *ctx, const void *data, size_t len) {
  const unsigned char *in = (const unsigned char *)data;
  size_t index = (ctx->count[0] >> 3) & 0x3f;
  // The bit count is kept modulo 2^64 in two words; len * 8 may exceed 32 bits.
  uint64_t bits = ((uint64_t)ctx->count[1] << 32 | ctx->count[0]) + (uint64_t)len * 8;
  ctx->count[0] = (uint32_t)bits;
  ctx->count[1] = (uint32_t)(bits >> 32);
  size_t room = 64 - index;
  size_t i = 0;
  if (len >= room) {
    memcpy(ctx->buffer + index, in, room);
    md5_transform(ctx->state, ctx->buffer);
    for (i = room; i + 63 < len; i += 64) {
      md5_transform(ctx->state, in + i);
    }
    index = 0;
  }
  if (len > i) {
    memcpy(ctx->buffer + index, in + i, len - i);
  }
}

// md5_final - pads, appends the bit count, writes the digest, wipes the context
void md5_final(unsigned char digest[MD5_DIGEST_SIZE], Md5Context *ctx) {
  static const unsigned char padding[64] = {0x80};
  unsigned char bits[8];
  for (int i = 0; i < 4; i++) {
    bits[i] = (unsigned char)(ctx->count[0] >> (8 * i));
    bits[4 + i] = (unsigned char)(ctx->count[1] >> (8 * i));
  }
  size_t index = (ctx->count[0] >> 3) & 0x3f;
  size_t pad = index < 56 ? 56 - index : 120 - index;
  md5_update(ctx, padding, pad);
  md5_update(ctx, bits, 8);
  for (int i = 0; i < 4; i++) {
    for (int j = 0; j < 4; j++) {
      digest[4 * i + j] = (unsigned char)(ctx->state[i] >> (8 * j));
    }
  }
  memset(ctx, 0, sizeof *ctx);
}
