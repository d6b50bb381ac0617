// Tests of tvr_base64: the group decoder, the stream decoder's skipping,
// padding and failure rules, the encoders' line layout against OpenSSL's
// EVP_EncodeBlock, and the buffer and chunked variants against the streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "container_fixture.h"
#include "test_support.h"
#include "tlvpr_mem.h"
#include "tvr_base64.h"

namespace {

// Decodes text with the stream decoder: status and the bytes written.
int decode_stream(const std::string &text, std::string *out, std::string *left = nullptr) {
  FILE *src = hdrw_test::fixture_stream(text);
  FILE *dst = tmpfile();
  int rc = tvr_base64_decode_stream(src, dst);
  rewind(dst);
  *out = hdrw_test::fixture_stream_rest(dst);
  if (left != nullptr) {
    *left = hdrw_test::fixture_stream_rest(src);
  }
  fclose(src);
  fclose(dst);
  return rc;
}

std::string encode_stream(const std::string &data) {
  FILE *src = hdrw_test::fixture_stream(data);
  FILE *dst = tmpfile();
  EXPECT_EQ(tvr_base64_encode_stream(src, dst), 0);
  rewind(dst);
  std::string text = hdrw_test::fixture_stream_rest(dst);
  fclose(src);
  fclose(dst);
  return text;
}

}  // namespace

TEST(TvrBase64Quartet, CountsPaddingAndInvalidGroups) {
  struct Row {
    const char *group;
    int want;
    std::string bytes;
  } rows[] = {
      {"QUJD", 3, "ABC"},
      {"QUI=", 2, "AB"},
      {"QQ==", 1, "A"},
      {"QQ=x", 1, "A"},
      {"QR==", 1, "A"},  // leftover bits of the last character are ignored
      {"=QUJ", 0, ""},
      {"Q===", 0, ""},
      {"QU J", 0, ""},
      {"QU\nJ", 0, ""},
      {"////", 3, "\xff\xff\xff"},
      {"AAAA", 3, std::string(3, '\0')},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.group);
    unsigned char out[3] = {0};
    int n = tvr_base64_decode_quartet(row.group, out);
    ASSERT_EQ(n, row.want);
    if (n > 0) {
      EXPECT_EQ(std::string((char *)out, (size_t)n), row.bytes);
    }
  }
}

TEST(TvrBase64DecodeStream, SkipsNoiseStopsAtPaddingFailsOnLeftovers) {
  struct Row {
    std::string text;
    int want_rc;
    std::string want;
    std::string left;  // what the decoder must leave unread
  } rows[] = {
      {"QUJD", 0, "ABC", ""},
      {"QU JD\r\n", 0, "ABC", ""},
      {"QUI=", 0, "AB", ""},
      {"QQ==", 0, "A", ""},
      {"QUI=QUJD tail", 0, "AB", "QUJD tail"},
      {"QUJDRA", 1, "ABC", ""},
      {"=QUJ", 1, "", ""},
      {"QUJ", 1, "", ""},
      {"", 0, "", ""},
      {"\r\n \t\r\n", 0, "", ""},
      {"Q\x80U\xffJ-D_", 0, "ABC", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    std::string out, left;
    EXPECT_EQ(decode_stream(row.text, &out, &left), row.want_rc);
    EXPECT_EQ(out, row.want);
    EXPECT_EQ(left, row.left);
  }
}

TEST(TvrBase64DecodeStream, ReadAndWriteErrorsFail) {
  hdrw_test::TempDir dir;
  hdrw_test::write_file(dir.file("t"), "QUJD");
  FILE *write_only = fopen(dir.file("w").c_str(), "w");
  FILE *sink = tmpfile();
  EXPECT_EQ(tvr_base64_decode_stream(write_only, sink), 1);  // reading fails
  FILE *src = fopen(dir.file("t").c_str(), "r");
  FILE *read_only = fopen(dir.file("t").c_str(), "r");
  EXPECT_EQ(tvr_base64_decode_stream(src, read_only), 1);  // writing fails
  EXPECT_EQ(tvr_base64_decode_stream(nullptr, sink), 1);
  EXPECT_EQ(tvr_base64_decode_stream(src, nullptr), 1);
  fclose(write_only);
  fclose(sink);
  fclose(src);
  fclose(read_only);
}

TEST(TvrBase64EncodeStream, LinesOf72EndedByCrLfLikeOpenssl) {
  for (size_t size : {0u, 1u, 2u, 3u, 53u, 54u, 55u, 108u, 109u, 1000u, 20000u}) {
    SCOPED_TRACE(size);
    std::string data = hdrw_test::fixture_random_bytes(size, (unsigned)size);
    std::string text = encode_stream(data);
    EXPECT_EQ(text, hdrw_test::fixture_base64_lines(data));
    std::string back;
    EXPECT_EQ(decode_stream(text, &back), 0);
    EXPECT_EQ(back, data);
  }
  EXPECT_EQ(encode_stream(""), "\r\n");
  std::string line = encode_stream(std::string(54, 'x'));
  EXPECT_EQ(line.size(), 74u);
  EXPECT_EQ(line.substr(72), "\r\n");
}

TEST(TvrBase64Buffers, EncodeSplitDecodeMatchTheStreams) {
  for (size_t size : {0u, 1u, 2u, 3u, 54u, 55u, 1000u}) {
    SCOPED_TRACE(size);
    std::string data = hdrw_test::fixture_random_bytes(size, 99 + (unsigned)size);
    char *text = nullptr;
    size_t text_len = 0;
    ASSERT_EQ(tvr_base64_encode(data.data(), data.size(), &text, &text_len), 0u);
    EXPECT_EQ(text_len, (size + 2) / 3 * 4);
    EXPECT_EQ(strlen(text), text_len);
    EXPECT_EQ(tvr_base64_encoded_size(size), text_len + 1);
    char *lines = nullptr;
    size_t lines_len = 0;
    ASSERT_EQ(tvr_base64_split_lines(text, text_len, &lines, &lines_len), 0u);
    EXPECT_EQ(std::string(lines, lines_len), encode_stream(data));
    unsigned char *back = nullptr;
    size_t back_len = 0;
    ASSERT_EQ(tvr_base64_decode(lines, lines_len, &back, &back_len), 0u);
    EXPECT_EQ(std::string((char *)back, back_len), data);
    tlvpr_free(text);
    tlvpr_free(lines);
    tlvpr_free(back);
  }
}

TEST(TvrBase64Buffers, DecodeFailuresWriteNothing) {
  for (const char *bad : {"QUJDRA", "=QUJ", "QU", "QUJD=AAA"}) {
    SCOPED_TRACE(bad);
    unsigned char *out = nullptr;
    size_t len = 7;
    EXPECT_EQ(tvr_base64_decode(bad, strlen(bad), &out, &len), 2043u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 7u);
  }
  unsigned char *out = nullptr;
  size_t len = 0;
  EXPECT_EQ(tvr_base64_decode(nullptr, 1, &out, &len), 10040u);
  EXPECT_EQ(tvr_base64_encode(nullptr, 1, (char **)&out, &len), 10040u);
  EXPECT_EQ(tvr_base64_split_lines("x", 1, nullptr, &len), 10040u);
}

TEST(TvrBase64Buffers, OutOfMemoryGives10013) {
  std::string data = hdrw_test::fixture_random_bytes(100, 3);
  hdrw_test::fault_loop([&] {
    char *text = nullptr;
    size_t len = 0;
    uint32_t rc = tvr_base64_encode(data.data(), data.size(), &text, &len);
    EXPECT_TRUE(rc == 0 || rc == 10013);
    EXPECT_EQ(rc == 0, text != nullptr);
    tlvpr_free(text);
  });
  hdrw_test::fault_loop([&] {
    unsigned char *out = nullptr;
    size_t len = 0;
    uint32_t rc = tvr_base64_decode("QUJD", 4, &out, &len);
    EXPECT_TRUE(rc == 0 || rc == 10013);
    EXPECT_EQ(rc == 0, out != nullptr);
    tlvpr_free(out);
  });
}

TEST(TvrBase64Chunks, AnySplitGivesTheOneShotResult) {
  std::mt19937 rng(5);
  std::string data = hdrw_test::fixture_random_bytes(777, 11);
  std::string want = hdrw_test::fixture_base64_lines(data);
  for (int round = 0; round < 50; round++) {
    SCOPED_TRACE(round);
    TvrBase64Encoder enc;
    tvr_base64_encode_start(&enc);
    std::string text;
    for (size_t pos = 0; pos < data.size();) {
      size_t n = std::min<size_t>(rng() % 9, data.size() - pos);
      std::string out(tvr_base64_encode_bound(n), '\0');
      size_t len = 0;
      ASSERT_EQ(tvr_base64_encode_chunk(&enc, data.data() + pos, n, out.data(), out.size(), &len),
                0u);
      text.append(out.data(), len);
      pos += n;
    }
    char tail[4];
    size_t len = 0;
    ASSERT_EQ(tvr_base64_encode_finish(&enc, tail, sizeof tail, &len), 0u);
    text.append(tail, len);
    char *lines = nullptr;
    size_t lines_len = 0;
    ASSERT_EQ(tvr_base64_split_lines(text.data(), text.size(), &lines, &lines_len), 0u);
    EXPECT_EQ(std::string(lines, lines_len), want);
    tlvpr_free(lines);

    TvrBase64Decoder dec;
    tvr_base64_decode_start(&dec);
    std::string back;
    for (size_t pos = 0; pos < want.size();) {
      size_t n = std::min<size_t>(rng() % 11, want.size() - pos);
      std::string out(tvr_base64_decode_bound(n), '\0');
      size_t got = 0;
      ASSERT_EQ(tvr_base64_decode_chunk(&dec, want.data() + pos, n, (unsigned char *)out.data(),
                                        out.size(), &got),
                0u);
      back.append(out.data(), got);
      pos += n;
    }
    EXPECT_EQ(tvr_base64_decode_finish(&dec), 0u);
    EXPECT_EQ(back, data);
  }
}

TEST(TvrBase64Chunks, DecoderCarriesFailsAndStopsAfterPadding) {
  TvrBase64Decoder dec;
  tvr_base64_decode_start(&dec);
  unsigned char out[8];
  size_t got = 99;
  ASSERT_EQ(tvr_base64_decode_chunk(&dec, "Q", 1, out, sizeof out, &got), 0u);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(dec.count, 1u);
  EXPECT_EQ(tvr_base64_decode_chunk(&dec, "===", 3, out, sizeof out, &got), 2043u);  // "Q==="
  EXPECT_EQ(dec.count, 1u);  // unchanged by the failure
  ASSERT_EQ(tvr_base64_decode_chunk(&dec, "UI=QUJD", 7, out, sizeof out, &got), 0u);
  EXPECT_EQ(std::string((char *)out, got), "AB");
  EXPECT_EQ(tvr_base64_decode_chunk(&dec, "QUJD", 4, out, sizeof out, &got), 0u);
  EXPECT_EQ(got, 0u);  // after padding the text is over
  EXPECT_EQ(tvr_base64_decode_finish(&dec), 0u);

  ASSERT_EQ(tvr_base64_decode_chunk(&dec, "QUJDR", 5, out, sizeof out, &got), 0u);
  EXPECT_EQ(tvr_base64_decode_finish(&dec), 2043u);  // one character left over
  EXPECT_EQ(tvr_base64_decode_chunk(&dec, "QUJDQUJD", 8, out, 5, &got), 10040u);  // no room
}

TEST(TvrBase64Chunks, EncoderNeedsRoomAndCarriesUpToTwoBytes) {
  TvrBase64Encoder enc;
  tvr_base64_encode_start(&enc);
  char out[16];
  size_t len = 99;
  ASSERT_EQ(tvr_base64_encode_chunk(&enc, "AB", 2, out, sizeof out, &len), 0u);
  EXPECT_EQ(len, 0u);
  ASSERT_EQ(tvr_base64_encode_chunk(&enc, "CD", 2, out, sizeof out, &len), 0u);
  EXPECT_EQ(std::string(out, len), "QUJD");
  EXPECT_EQ(tvr_base64_encode_chunk(&enc, "EFGHIJ", 6, out, 4, &len), 10040u);
  EXPECT_EQ(enc.count, 1u);
  ASSERT_EQ(tvr_base64_encode_finish(&enc, out, sizeof out, &len), 0u);
  EXPECT_EQ(std::string(out, len), "RA==");
  EXPECT_EQ(enc.count, 0u);
}
