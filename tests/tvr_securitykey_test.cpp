// Tests of tvr_securitykey_from_file: key texts against md5sum and OpenSSL's
// MD5, the failure statuses with real faults, and allocation failures.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>

#include "container_fixture.h"
#include "test_support.h"
#include "tlvpr_mem.h"
#include "tvr_securitykey.h"

namespace {

std::string key_of(const std::string &path, uint32_t *rc) {
  char *key = nullptr;
  *rc = tvr_securitykey_from_file(path.c_str(), &key);
  std::string text = key != nullptr ? std::string(key) : std::string();
  tlvpr_free(key);
  return text;
}

std::string md5sum_upper(const std::string &path) {
  FILE *p = popen(("md5sum '" + path + "'").c_str(), "r");
  char buf[64] = {0};
  size_t n = p != nullptr ? fread(buf, 1, 32, p) : 0;
  if (p != nullptr) {
    pclose(p);
  }
  std::string hex(buf, n);
  for (char &c : hex) {
    c = (char)toupper((unsigned char)c);
  }
  return hex;
}

}  // namespace

TEST(TvrSecuritykey, KeyIsUpperCaseMd5OfTheFileBytes) {
  hdrw_test::TempDir dir;
  std::mt19937 rng(42);
  for (size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1500u, 1u << 20}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (char &c : data) {
      c = (char)(rng() & 0xFF);
    }
    std::string path = dir.file("cert" + std::to_string(size));
    hdrw_test::write_file(path, data);
    uint32_t rc;
    std::string key = key_of(path, &rc);
    ASSERT_EQ(rc, 0u);
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(key, md5sum_upper(path));
    EXPECT_EQ(key, hdrw_test::fixture_key_from_cert(data));
  }
}

TEST(TvrSecuritykey, OneByteChangesTheKeyACopyDoesNot) {
  hdrw_test::TempDir dir;
  std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  std::string crlf = "-----BEGIN CERTIFICATE-----\r\nMIIB\r\n-----END CERTIFICATE-----\r\n";
  hdrw_test::write_file(dir.file("a.pem"), pem);
  hdrw_test::write_file(dir.file("copy.pem"), pem);
  hdrw_test::write_file(dir.file("crlf.pem"), crlf);
  uint32_t rc1, rc2, rc3;
  std::string a = key_of(dir.file("a.pem"), &rc1);
  std::string copy = key_of(dir.file("copy.pem"), &rc2);
  std::string other = key_of(dir.file("crlf.pem"), &rc3);
  EXPECT_EQ(rc1 | rc2 | rc3, 0u);
  EXPECT_EQ(a, copy);
  EXPECT_NE(a, other);
  EXPECT_EQ(a, hdrw_test::fixture_key_from_cert(pem));
}

TEST(TvrSecuritykey, FailuresLeaveTheKeyUntouched) {
  hdrw_test::TempDir dir;
  struct Row {
    std::string path;
    uint32_t want;
  } rows[] = {
      {dir.file("missing.pem"), 10003},
      {dir.path(), 10011},  // a directory opens, but reading it fails
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    char *key = (char *)"untouched";
    EXPECT_EQ(tvr_securitykey_from_file(row.path.c_str(), &key), row.want);
    EXPECT_STREQ(key, "untouched");
  }
  char *key = nullptr;
  EXPECT_EQ(tvr_securitykey_from_file(nullptr, &key), 10040u);
  EXPECT_EQ(tvr_securitykey_from_file(dir.path().c_str(), nullptr), 10040u);
  EXPECT_EQ(key, nullptr);
}

TEST(TvrSecuritykey, OutOfMemoryGives10013AndNoKey) {
  hdrw_test::TempDir dir;
  hdrw_test::write_file(dir.file("c.pem"), "certificate bytes");
  uint64_t needed = hdrw_test::fault_loop([&] {
    char *key = nullptr;
    uint32_t rc = tvr_securitykey_from_file(dir.file("c.pem").c_str(), &key);
    if (rc == 0) {
      EXPECT_EQ(strlen(key), 32u);
      tlvpr_free(key);
    } else {
      EXPECT_EQ(rc, 10013u);
      EXPECT_EQ(key, nullptr);
    }
  });
  EXPECT_EQ(needed, 2u);  // the read buffer and the key block
}
