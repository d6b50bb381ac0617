// Tests of md5: the RFC 1321 test suite, incremental updates against one-shot
// digests, and files whose sizes sit on the padding boundaries checked against
// the system's md5sum.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "container_fixture.h"
#include "md5.h"
#include "test_support.h"

namespace {

std::string md5_hex(const std::string &data) {
  Md5Context ctx;
  md5_init(&ctx);
  md5_update(&ctx, data.data(), data.size());
  unsigned char digest[MD5_DIGEST_SIZE];
  md5_final(digest, &ctx);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

std::string md5sum_of(const std::string &path) {
  std::string cmd = "md5sum '" + path + "'";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    ADD_FAILURE() << "cannot run md5sum";
    return {};
  }
  char buf[128] = {0};
  size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  return std::string(buf, n < 32 ? n : 32);
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
  struct Row {
    const char *input;
    const char *digest;
  } rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.input);
    EXPECT_EQ(md5_hex(row.input), row.digest);
  }
}

TEST(Md5, PiecewiseUpdatesEqualOneUpdate) {
  // Splits at every position, and a split into many odd pieces, cross the
  // 64-byte buffer boundary in every possible way.
  std::string data = hdrw_test::fixture_random_bytes(300, 7);
  std::string whole = md5_hex(data);
  for (size_t cut = 0; cut <= data.size(); cut++) {
    SCOPED_TRACE(cut);
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data.data(), cut);
    md5_update(&ctx, data.data() + cut, data.size() - cut);
    unsigned char digest[MD5_DIGEST_SIZE];
    md5_final(digest, &ctx);
    Md5Context one;
    md5_init(&one);
    md5_update(&one, data.data(), data.size());
    unsigned char want[MD5_DIGEST_SIZE];
    md5_final(want, &one);
    ASSERT_EQ(std::string((char *)digest, 16), std::string((char *)want, 16));
  }
  Md5Context ctx;
  md5_init(&ctx);
  for (size_t pos = 0, step = 1; pos < data.size(); pos += step, step = step * 3 % 71 + 1) {
    md5_update(&ctx, data.data() + pos, std::min(step, data.size() - pos));
  }
  md5_update(&ctx, nullptr, 0);
  unsigned char digest[MD5_DIGEST_SIZE];
  md5_final(digest, &ctx);
  std::string hex;
  for (unsigned char b : digest) {
    char two[3];
    snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  EXPECT_EQ(hex, whole);
}

TEST(Md5, AgreesWithMd5sumOnPaddingBoundaries) {
  hdrw_test::TempDir dir;
  for (size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 1u << 20}) {
    SCOPED_TRACE(size);
    std::string data = hdrw_test::fixture_random_bytes(size, (unsigned)size + 1);
    std::string path = dir.file("f" + std::to_string(size));
    hdrw_test::write_file(path, data);
    EXPECT_EQ(md5_hex(data), md5sum_of(path));
  }
}
