// Tests of encryption: key texts, the container against OpenSSL (the fixture
// helper and the openssl and base64 commands, both directions), chain layout,
// the stated length, every encryption type and failure, the buffer variants
// and where the decrypted text may live.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container_fixture.h"
#include "encryption.h"
#include "log_capture.h"
#include "test_support.h"
#include "tlv_tmpfile.h"
#include "tlvpr_mem.h"

using hdrw_test::fixture_container;
using hdrw_test::fixture_random_bytes;
using hdrw_test::fixture_rule_file;
using hdrw_test::fixture_stream;
using hdrw_test::fixture_stream_rest;

namespace {

const char *const KEY16 = "0123456789ABCDEF";
const char *const KEY32 = "8F4A0C2B19D3E7665A1B2C3D4E5F6071";
const char *const KEY48 = "00112233445566778899aabbccddeeffF0E1D2C3B4A59687";

struct Result {
  uint32_t rc;
  std::string out;
};

// Runs tlvDecrypt or tlvEncrypt from bytes into a fresh temporary stream.
Result run(bool decrypt, const std::string &in, const char *key, int type) {
  FILE *src = fixture_stream(in);
  FILE *dst = tmpfile();
  Result r;
  r.rc = decrypt ? tlvDecrypt(src, dst, key, type) : tlvEncrypt(src, dst, key, type);
  rewind(dst);
  r.out = fixture_stream_rest(dst);
  fclose(src);
  fclose(dst);
  return r;
}

Result run_buffer(bool decrypt, const std::string &in, const char *key, int type) {
  unsigned char *out = nullptr;
  size_t len = 0;
  Result r;
  r.rc = decrypt ? tlvDecryptBuffer(in.data(), in.size(), key, type, &out, &len)
                 : tlvEncryptBuffer(in.data(), in.size(), key, type, &out, &len);
  EXPECT_EQ(r.rc == 0, out != nullptr);
  r.out = out != nullptr ? std::string((char *)out, len) : "";
  tlvpr_free(out);
  return r;
}

std::string plain_text(size_t n) {
  std::string s = fixture_random_bytes(n, (unsigned)n + 17);
  for (char &c : s) {
    c = (char)(' ' + (unsigned char)c % 95);  // printable, so failures read well
  }
  return s;
}

std::string hex_lower(const std::string &key) {
  std::string s = key;
  for (char &c : s) {
    c = (char)tolower((unsigned char)c);
  }
  return s;
}

// The openssl enc arguments of a key text; single DES lives in the legacy provider.
std::string openssl_cipher(const std::string &key) {
  if (key.size() == 16) return "-des-cbc -provider legacy -provider default -K " + hex_lower(key);
  if (key.size() == 32) return "-des-ede-cbc -K " + hex_lower(key);
  return "-des-ede3-cbc -K " + hex_lower(key);
}

int sh(const std::string &cmd) { return system(cmd.c_str()); }

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  s[0] = (char)(v >> 24);
  s[1] = (char)(v >> 16);
  s[2] = (char)(v >> 8);
  s[3] = (char)v;
  return s;
}

// Enciphers padded bytes with the openssl command (single DES chunk by chunk,
// each chunk from the zero vector, as the container does).
std::string openssl_encipher(const hdrw_test::TempDir &dir, const std::string &padded,
                             const std::string &key) {
  size_t step = key.size() == 16 ? 8192 : (padded.empty() ? 1 : padded.size());
  std::string cipher;
  for (size_t pos = 0; pos < padded.size() || (pos == 0 && padded.empty()); pos += step) {
    hdrw_test::write_file(dir.file("p"), padded.substr(pos, step));
    std::string cmd = "openssl enc " + openssl_cipher(key) + " -nopad -iv 0000000000000000 -in " +
                      dir.file("p") + " -out " + dir.file("c") + " 2>/dev/null";
    EXPECT_EQ(sh(cmd), 0) << cmd;
    cipher += hdrw_test::read_file(dir.file("c"));
    if (padded.empty()) break;
  }
  return cipher;
}

const size_t kSizes[] = {0, 1, 8, 13, 8192, 8193, 20000};

}  // namespace

TEST(EncryptionParseHexKey, LengthsDigitsAndTheOutLength) {
  struct Row {
    const char *text;
    int want_rc;
    int want_length;  // starts at -7: an untouched out length stays -7
  } rows[] = {
      {"0123456789abcdef", 0, 8},
      {"0123456789ABCDEF0123456789ABCDEF", 0, 24},
      {"00112233445566778899AABBCCDDEEFF0011223344556677", 0, 24},
      {"0123456789ABCDEF0123456789ABCDE", 1, -7},   // 31 digits: odd, untouched
      {"0123456789ABCDEF0123456789ABCDEG", 1, 16},  // right length, bad digit
      {"0123456789ABCDEF0123456789ABCD", 1, 15},
      {"", 1, 0},
      {"01 3456789ABCDEF", 1, 8},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    unsigned char key[24];
    memset(key, 0xEE, sizeof key);
    int length = -7;
    EXPECT_EQ(parse_hex_key(row.text, key, &length), row.want_rc);
    EXPECT_EQ(length, row.want_length);
    if (row.want_rc != 0) {
      EXPECT_EQ(key[0], 0xEE);  // key bytes only on success
    }
  }
  unsigned char key[24];
  int length = -7;
  EXPECT_EQ(parse_hex_key(nullptr, key, &length), 1);
  EXPECT_EQ(length, 0);
  ASSERT_EQ(parse_hex_key("0123456789ABCDEFfedcba9876543210", key, &length), 0);
  const unsigned char want[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                  0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10,
                                  0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(memcmp(key, want, 24), 0);  // K3 = K1
}

TEST(EncryptionInterop, DecryptsContainersMadeWithTheOpensslAndBase64Commands) {
  hdrw_test::TempDir dir;
  for (const char *key : {KEY16, KEY32, KEY48}) {
    for (size_t size : kSizes) {
      SCOPED_TRACE(std::string(key) + " size " + std::to_string(size));
      std::string plain = plain_text(size);
      std::string padded = plain + std::string((8 - size % 8) % 8, '\0');
      std::string container = be32((uint32_t)size) + openssl_encipher(dir, padded, key);
      hdrw_test::write_file(dir.file("container"), container);
      // GNU base64 wraps at 76 characters with LF only.
      ASSERT_EQ(sh("base64 " + dir.file("container") + " > " + dir.file("kelv")), 0);
      Result r = run(true, hdrw_test::read_file(dir.file("kelv")), key, TLV_ENC_DES_BASE64);
      if (size == 0) {
        EXPECT_EQ(r.rc, 1u);  // an empty plain text leaves no ciphertext to decrypt
        EXPECT_EQ(r.out, "");
        continue;
      }
      EXPECT_EQ(r.rc, 0u);
      EXPECT_EQ(r.out, plain);
      EXPECT_EQ(container, fixture_container(plain, key));
    }
  }
}

TEST(EncryptionInterop, OpensslDecryptsWhatTlvEncryptWrites) {
  hdrw_test::TempDir dir;
  for (const char *key : {KEY16, KEY32, KEY48}) {
    for (size_t size : kSizes) {
      SCOPED_TRACE(std::string(key) + " size " + std::to_string(size));
      std::string plain = plain_text(size);
      Result r = run(false, plain, key, TLV_ENC_DES_BASE64);
      if (size == 0) {
        EXPECT_EQ(r.rc, 1u);  // refused: an empty container cannot be told apart
        EXPECT_EQ(r.out, "");
        continue;
      }
      ASSERT_EQ(r.rc, 0u);
      EXPECT_EQ(r.out, fixture_rule_file(plain, key));  // same bytes, same line layout
      hdrw_test::write_file(dir.file("kelv"), r.out);
      ASSERT_EQ(sh("base64 -d -i " + dir.file("kelv") + " > " + dir.file("container")), 0);
      std::string container = hdrw_test::read_file(dir.file("container"));
      ASSERT_GE(container.size(), 4u);
      EXPECT_EQ(container.substr(0, 4), be32((uint32_t)size));
      std::string cipher = container.substr(4);
      ASSERT_EQ(cipher.size(), (size + 7) / 8 * 8);
      std::string back;
      size_t step = strlen(key) == 16 ? 8192 : cipher.size();
      for (size_t pos = 0; pos < cipher.size(); pos += step) {
        hdrw_test::write_file(dir.file("c"), cipher.substr(pos, step));
        ASSERT_EQ(sh("openssl enc -d " + openssl_cipher(key) + " -nopad -iv 0000000000000000 -in " +
                     dir.file("c") + " -out " + dir.file("p")),
                  0);
        back += hdrw_test::read_file(dir.file("p"));
      }
      EXPECT_EQ(back.substr(0, size), plain);
      EXPECT_EQ(back.substr(size), std::string(back.size() - size, '\0'));
    }
  }
}

TEST(EncryptionChains, TripleDesRunsThroughSingleDesRestartsEvery8192Bytes) {
  std::string plain = plain_text(20000);
  // Two-key triple DES: one chain of 2500 blocks. Block 1024 (the first of
  // the second chunk) depends on the block before it.
  std::string c32 = run(false, plain, KEY32, TLV_ENC_DES).out;
  ASSERT_EQ(c32.size(), 4u + 20000u);
  EXPECT_EQ(c32, fixture_container(plain, KEY32));
  std::string alone32 = fixture_container(plain.substr(8192, 8), KEY32);
  EXPECT_NE(c32.substr(4 + 8192, 8), alone32.substr(4));
  // Single DES: chains of 8192, 8192 and 3616 bytes, each from the zero vector.
  std::string c16 = run(false, plain, KEY16, TLV_ENC_DES).out;
  EXPECT_EQ(c16, fixture_container(plain, KEY16));
  for (size_t start : {0u, 8192u, 16384u}) {
    SCOPED_TRACE(start);
    std::string alone = fixture_container(plain.substr(start, 16), KEY16);
    EXPECT_EQ(c16.substr(4 + start, 16), alone.substr(4));
  }
  std::string chunk3 = plain.substr(16384);
  EXPECT_EQ(c16.substr(4 + 16384), fixture_container(chunk3, KEY16).substr(4));
}

TEST(EncryptionStatedLength, PlainTextIsCutToTheStatedLength) {
  std::string plain = plain_text(40);
  std::string full = fixture_container(plain, KEY32);  // 40 bytes, five blocks
  // 8200 bytes of ciphertext: the surplus reaches into a second chunk, after
  // the outstanding length has run out.
  std::string two_chunks = fixture_container(plain_text(8200), KEY32);
  struct Row {
    const char *name;
    std::string container;
    std::string want;
  } rows[] = {
      {"13 of 16", fixture_container(plain.substr(0, 13), KEY32), plain.substr(0, 13)},
      {"surplus blocks", be32(13) + full.substr(4), plain.substr(0, 13)},
      {"surplus chunk", be32(13) + two_chunks.substr(4), plain_text(8200).substr(0, 13)},
      {"stated one chunk", be32(8192) + two_chunks.substr(4), plain_text(8200).substr(0, 8192)},
      {"stated 0 with blocks", be32(0) + full.substr(4), ""},
      {"stated 8 of 40", be32(8) + full.substr(4), plain.substr(0, 8)},
      {"ragged surplus", be32(16) + full.substr(4, 16) + "xyz", plain.substr(0, 16)},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Result raw = run(true, row.container, KEY32, TLV_ENC_DES);
    Result b64 =
        run(true, hdrw_test::fixture_base64_lines(row.container), KEY32, TLV_ENC_DES_BASE64);
    Result buf = run_buffer(true, row.container, KEY32, TLV_ENC_DES);
    EXPECT_EQ(raw.rc, 0u);
    EXPECT_EQ(b64.rc, 0u);
    EXPECT_EQ(buf.rc, 0u);
    EXPECT_EQ(raw.out, row.want);
    EXPECT_EQ(b64.out, raw.out);
    EXPECT_EQ(buf.out, raw.out);
  }
}

TEST(EncryptionBase64Forms, LineBreaksDoNotMatter) {
  std::string plain = plain_text(500);
  std::string container = fixture_container(plain, KEY32);
  std::string crlf = hdrw_test::fixture_base64_lines(container);
  std::string lf, none;
  for (char c : crlf) {
    if (c != '\r') lf += c;
    if (c != '\r' && c != '\n') none += c;
  }
  for (const std::string *text : {&crlf, &lf, &none}) {
    Result r = run(true, *text, KEY32, TLV_ENC_DES_BASE64);
    EXPECT_EQ(r.rc, 0u);
    EXPECT_EQ(r.out, plain);
  }
}

TEST(EncryptionTypes, EveryTypeRoundTripsAndBuffersAgreeWithStreams) {
  for (int type : {TLV_ENC_PLAIN, TLV_ENC_BASE64, TLV_ENC_DES_BASE64, TLV_ENC_DES}) {
    for (size_t size : {1u, 13u, 8192u, 20000u}) {
      SCOPED_TRACE("type " + std::to_string(type) + " size " + std::to_string(size));
      std::string plain = plain_text(size);
      Result stored = run(false, plain, KEY32, type);
      ASSERT_EQ(stored.rc, 0u);
      Result back = run(true, stored.out, KEY32, type);
      ASSERT_EQ(back.rc, 0u);
      EXPECT_EQ(back.out, plain);
      Result stored_buf = run_buffer(false, plain, KEY32, type);
      Result back_buf = run_buffer(true, stored.out, KEY32, type);
      EXPECT_EQ(stored_buf.rc, 0u);
      EXPECT_EQ(stored_buf.out, stored.out);
      EXPECT_EQ(back_buf.rc, 0u);
      EXPECT_EQ(back_buf.out, plain);
    }
  }
  EXPECT_EQ(run(false, "abc", nullptr, TLV_ENC_BASE64).out, "YWJj\r\n");
  EXPECT_EQ(run(false, "abc", nullptr, TLV_ENC_PLAIN).out, "abc");
}

TEST(EncryptionFailures, StatusesAndOneLogRecordEach) {
  hdrw_test::LogCapture cap;
  std::string good = fixture_rule_file(plain_text(100), KEY32);
  std::string good_des = fixture_container(plain_text(100), KEY32);
  std::string lost = good;
  for (size_t at : {10, 30, 50, 70}) lost[at] = '!';
  const std::string b64 = "Encryption error: error base64 encoding/decoding data.";
  const std::string des = "Encryption error while encrypting input data.";
  struct Row {
    const char *name;
    bool decrypt;
    std::string in;
    const char *key;
    int type;
    uint32_t code;
    std::string message;
  } rows[] = {
      {"type 0 empty", true, "", nullptr, TLV_ENC_PLAIN, 2042,
       "Encryption error: Error reading input file."},
      {"type 0 empty encrypt", false, "", nullptr, TLV_ENC_PLAIN, 2042,
       "Encryption error: Error reading input file."},
      {"type 1 leftover", true, "QUJDRA", nullptr, TLV_ENC_BASE64, 2043, b64},
      {"type 2 leftover", true, "QUJDRA", KEY32, TLV_ENC_DES_BASE64, 2043, b64},
      {"type 2 padding first", true, "=QUJ", KEY32, TLV_ENC_DES_BASE64, 2043, b64},
      {"type 2 31 digits", true, good, "0123456789ABCDEF0123456789ABCDE", TLV_ENC_DES_BASE64, 2046,
       "Encryption error: wrong key length: 0."},
      {"type 2 bad digit", true, good, "0123456789ABCDEF0123456789ABCDEG", TLV_ENC_DES_BASE64, 2046,
       "Encryption error: wrong key length: 16."},
      {"type 2 null key", true, good, nullptr, TLV_ENC_DES_BASE64, 2046,
       "Encryption error: wrong key length: 0."},
      {"type 3 short key", false, "x", "0123", TLV_ENC_DES, 2046,
       "Encryption error: wrong key length: 2."},
      {"type 2 header only", true, hdrw_test::fixture_base64_lines(be32(8)), KEY32,
       TLV_ENC_DES_BASE64, 2045, des},
      {"type 3 short header", true, std::string("\0\0", 2), KEY32, TLV_ENC_DES, 2045, des},
      // A ciphertext that ends before the stated length is a damaged file:
      // cut, ragged, or four Base64 characters lost to bytes outside the alphabet.
      {"type 2 cut ciphertext", true,
       hdrw_test::fixture_base64_lines(be32(100) + good_des.substr(4, 96)), KEY32,
       TLV_ENC_DES_BASE64, 2045, des},
      {"type 2 ragged ciphertext", true,
       hdrw_test::fixture_base64_lines(be32(100) + good_des.substr(4, 101)), KEY32,
       TLV_ENC_DES_BASE64, 2045, des},
      {"type 2 characters lost", true, lost, KEY32, TLV_ENC_DES_BASE64, 2045, des},
      {"type 3 empty", true, "", KEY32, TLV_ENC_DES, 2045, des},
      {"type 3 empty encrypt", false, "", KEY32, TLV_ENC_DES, 2045, des},
      {"type 2 empty encrypt", false, "", KEY32, TLV_ENC_DES_BASE64, 2045, des},
      {"type 2 empty", true, "", KEY32, TLV_ENC_DES_BASE64, 2045, des},
      {"type 4", true, good, KEY32, 4, 2047, "Encryption error: unknown encryption type: 4."},
      {"type -1", false, good, KEY32, -1, 2047, "Encryption error: unknown encryption type: -1."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    for (bool buffer : {false, true}) {
      SCOPED_TRACE(buffer ? "buffer" : "stream");
      cap.clear();
      Result r = buffer ? run_buffer(row.decrypt, row.in, row.key, row.type)
                        : run(row.decrypt, row.in, row.key, row.type);
      EXPECT_EQ(r.rc, 1u);
      if (!buffer && (row.type == TLV_ENC_DES || row.code == 2046 || row.code == 2047)) {
        EXPECT_EQ(r.out, "");  // nothing written before the failure was known
      }
      std::vector<hdrw_test::LogRecord> logged = cap.records();
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_EQ(logged[0].level, "ERROR");
      EXPECT_EQ(logged[0].code, row.code);
      EXPECT_EQ(logged[0].message, row.message);
    }
  }
  cap.clear();
  FILE *f = tmpfile();
  EXPECT_EQ(tlvDecrypt(nullptr, f, KEY32, 2), 1u);
  EXPECT_EQ(tlvEncrypt(f, nullptr, KEY32, 2), 1u);
  fclose(f);
  EXPECT_EQ(cap.messages(10040), (std::vector<std::string>{"Bad argument passed to function.",
                                                           "Bad argument passed to function."}));
}

TEST(EncryptionLog, SuccessIsLoggedForTypes0And3Only) {
  hdrw_test::LogCapture cap;
  std::string container = fixture_container(plain_text(13), KEY32);
  ASSERT_EQ(run(true, container, KEY32, TLV_ENC_DES).rc, 0u);
  ASSERT_EQ(run(true, "hello", nullptr, TLV_ENC_PLAIN).rc, 0u);
  ASSERT_EQ(run(true, hdrw_test::fixture_base64_lines(container), KEY32, TLV_ENC_DES_BASE64).rc,
            0u);
  ASSERT_EQ(run(true, "aGVsbG8=", nullptr, TLV_ENC_BASE64).rc, 0u);
  EXPECT_EQ(cap.messages(2044),
            (std::vector<std::string>{"Encryption: 16 bytes were en-/de-crypted.",  // padded total
                                      "Encryption: 5 bytes were en-/de-crypted."}));
  EXPECT_EQ(cap.records().size(), 2u);
  for (const hdrw_test::LogRecord &rec : cap.records()) {
    EXPECT_EQ(rec.level, "INFO");
  }
}

TEST(EncryptionFailures, ReadAndWriteErrors) {
  hdrw_test::TempDir dir;
  std::string container = fixture_container(plain_text(100), KEY32);
  hdrw_test::write_file(dir.file("raw"), container);
  hdrw_test::write_file(dir.file("b64"), hdrw_test::fixture_base64_lines(container));
  struct Row {
    const char *name;
    std::string source;
    const char *source_mode;
    const char *target_mode;
    int type;
    uint32_t code;  // the one record logged
  } rows[] = {
      {"type 0 unreadable source", dir.file("w0"), "w", "w+b", TLV_ENC_PLAIN, 2042},
      {"type 1 unreadable source", dir.file("w1"), "w", "w+b", TLV_ENC_BASE64, 2043},
      {"type 2 unreadable source", dir.file("w2"), "w", "w+b", TLV_ENC_DES_BASE64, 2043},
      {"type 3 unreadable source", dir.file("w3"), "w", "w+b", TLV_ENC_DES, 2045},
      {"type 0 unwritable target", dir.file("raw"), "rb", "rb", TLV_ENC_PLAIN, 2042},
      {"type 1 unwritable target", dir.file("b64"), "rb", "rb", TLV_ENC_BASE64, 2043},
      {"type 2 unwritable target", dir.file("b64"), "rb", "rb", TLV_ENC_DES_BASE64, 2045},
      {"type 3 unwritable target", dir.file("raw"), "rb", "rb", TLV_ENC_DES, 2045},
  };
  hdrw_test::LogCapture cap;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    cap.clear();
    FILE *src = fopen(row.source.c_str(), row.source_mode);
    hdrw_test::write_file(dir.file("out"), "");
    FILE *dst = fopen(dir.file("out").c_str(), row.target_mode);
    ASSERT_NE(src, nullptr);
    ASSERT_NE(dst, nullptr);
    EXPECT_EQ(tlvDecrypt(src, dst, KEY32, row.type), 1u);
    std::vector<hdrw_test::LogRecord> logged = cap.records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, "ERROR");
    EXPECT_EQ(logged[0].code, row.code);
    fclose(src);
    fclose(dst);
  }
}

TEST(EncryptionBuffers, DesBufferMatchesDesStreamAndOutOfMemoryIsClean) {
  std::string plain = plain_text(20000);
  unsigned char key[24];
  int len = 0;
  ASSERT_EQ(parse_hex_key(KEY16, key, &len), 0);
  unsigned char *out = nullptr;
  size_t out_len = 0;
  EXPECT_EQ(des_buffer(plain.data(), plain.size(), key, len, TLV_ENC_ENCIPHER, &out, &out_len),
            20000u);
  EXPECT_EQ(std::string((char *)out, out_len), fixture_container(plain, KEY16));
  tlvpr_free(out);
  out = nullptr;
  EXPECT_EQ(des_buffer(plain.data(), plain.size(), key, 12, TLV_ENC_ENCIPHER, &out, &out_len), 0u);
  EXPECT_EQ(des_buffer(plain.data(), 0, key, 8, TLV_ENC_ENCIPHER, &out, &out_len), 0u);
  EXPECT_EQ(out, nullptr);
  FILE *src = fixture_stream(plain);
  FILE *dst = tmpfile();
  EXPECT_EQ(des_stream(src, dst, key, 7, TLV_ENC_ENCIPHER), 0u);
  EXPECT_EQ(des_stream(src, dst, nullptr, 8, TLV_ENC_ENCIPHER), 0u);
  EXPECT_EQ(des_stream(src, dst, key, 8, TLV_ENC_ENCIPHER), 20000u);
  fclose(src);
  fclose(dst);

  std::string stored = fixture_rule_file(plain, KEY32);
  hdrw_test::fault_loop([&] {
    unsigned char *text = nullptr;
    size_t text_len = 0;
    uint32_t rc =
        tlvDecryptBuffer(stored.data(), stored.size(), KEY32, TLV_ENC_DES_BASE64, &text, &text_len);
    if (rc == 0) {
      EXPECT_EQ(std::string((char *)text, text_len), plain);
      tlvpr_free(text);
    } else {
      EXPECT_EQ(rc, 10013u);
      EXPECT_EQ(text, nullptr);
    }
  });
  hdrw_test::fault_loop([&] {
    unsigned char *text = nullptr;
    size_t text_len = 0;
    uint32_t rc =
        tlvEncryptBuffer(plain.data(), plain.size(), KEY32, TLV_ENC_DES_BASE64, &text, &text_len);
    if (rc == 0) {
      EXPECT_EQ(std::string((char *)text, text_len), stored);
      tlvpr_free(text);
    } else {
      EXPECT_EQ(rc, 10013u);
      EXPECT_EQ(text, nullptr);
    }
  });
}

TEST(EncryptionPlainTextPlacement, OnlyInTheSelfDeletingTarget) {
  // The rule loader's way: decrypt into a tlv_tmpfile stream. The Base64 stage's
  // own temporary file is gone afterwards, and the target has no name.
  auto open_fds = [] {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) n++;
    if (d != nullptr) closedir(d);
    return n;
  };
  std::string plain = "# version 04/18/2001/002\nmarker-" + plain_text(30) + "\n";
  FILE *src = fixture_stream(fixture_rule_file(plain, KEY32));
  FILE *target = nullptr;
  ASSERT_EQ(tlv_tmpfile_open(&target), 0u);
  int before = open_fds();
  ASSERT_EQ(tlvDecrypt(src, target, KEY32, TLV_ENC_DES_BASE64), 0u);
  EXPECT_EQ(open_fds(), before);  // the intermediate file was closed, so removed
  struct stat st;
  ASSERT_EQ(fstat(fileno(target), &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);
  EXPECT_EQ(st.st_mode & 077, 0u);
  rewind(target);
  EXPECT_EQ(fixture_stream_rest(target), plain);
  fclose(target);
  fclose(src);
}

TEST(EncryptionFailures, NoTemporaryFileReturnsItsStatus) {
  hdrw_test::LogCapture cap;
  FILE *src = fixture_stream(fixture_rule_file("x\n", KEY32));
  FILE *dst = tmpfile();
  // With the descriptor limit at the next free descriptor, no file can be created.
  int next = dup(0);
  close(next);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = (rlim_t)next;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  FILE *temp = nullptr;
  uint32_t open_rc = tlv_tmpfile_open(&temp);
  uint32_t rc = tlvDecrypt(src, dst, KEY32, TLV_ENC_DES_BASE64);
  uint32_t enc_rc = tlvEncrypt(src, dst, KEY32, TLV_ENC_DES_BASE64);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(open_rc, 10003u);
  EXPECT_EQ(temp, nullptr);
  EXPECT_EQ(rc, 10003u);
  EXPECT_EQ(enc_rc, 10003u);
  EXPECT_EQ(cap.messages(10056),
            (std::vector<std::string>{"Unable to open file: tlvEncrypt temp file.",
                                      "Unable to open file: tlvEncrypt temp file."}));
  EXPECT_EQ(cap.records().size(), 2u);
  fclose(src);
  fclose(dst);
}

// The intermediate file of type 2 can fail late: the last bytes written to it
// reach the file only when it is flushed before the rewind. A file size limit
// that the flush crosses gives exactly that fault (in a child process, so the
// limit binds nothing else); the failure must be logged, not only returned.
TEST(EncryptionFailures, FlushOfTheTemporaryFileFailsWithOneLogRecord) {
  hdrw_test::LogCapture cap;
  std::string plain = plain_text(8000);  // a container of 8004 bytes
  struct Row {
    const char *name;
    bool decrypt;
    std::string in;
    uint32_t code;
  } rows[] = {
      {"decrypt: decoded container", true, fixture_rule_file(plain, KEY32), 2043},
      {"encrypt: ciphertext", false, plain, 2045},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    cap.clear();
    FILE *src = fixture_stream(row.in);
    FILE *dst = tmpfile();
    ASSERT_NE(dst, nullptr);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {6000, 6000};  // above the first 4096-byte buffer
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
      uint32_t rc = row.decrypt ? tlvDecrypt(src, dst, KEY32, TLV_ENC_DES_BASE64)
                                : tlvEncrypt(src, dst, KEY32, TLV_ENC_DES_BASE64);
      _exit(rc == 1 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<hdrw_test::LogRecord> logged = cap.records();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, "ERROR");
    EXPECT_EQ(logged[0].code, row.code);
    fclose(src);
    fclose(dst);
  }
}
