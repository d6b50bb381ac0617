// Tests of tlv_split_path and the re-entrant tokenizer tlv_strtok.

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tlv_str.h"

namespace {

TEST(TlvStr, SplitPathAtTheLastSeparator) {
  struct {
    const char *path;
    const char *dir;  // null: no split
    const char *name;
  } rows[] = {
      {"/var/log/hdrw.log", "/var/log", "hdrw.log"},
      {"logs/hdrw.log", "logs", "hdrw.log"},
      {"a/b/", "a/b", ""},  // ends in a separator: empty name
      {"dir/", "dir", ""},
      {"hdrw.log", nullptr, nullptr},   // no separator
      {"/hdrw.log", nullptr, nullptr},  // only separator is the first character
      {"/", nullptr, nullptr},
      {"", nullptr, nullptr},
      {"//x", "/", "x"},           // the second character is examined
      {"a\\b", nullptr, nullptr},  // a backslash is not the separator here
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.path);
    std::vector<char> buf(row.path, row.path + strlen(row.path) + 1);
    char *dir = buf.data() + 1;  // sentinels: must be overwritten
    char *name = buf.data() + 1;
    tlv_split_path(buf.data(), &dir, &name);
    if (row.dir == nullptr) {
      EXPECT_EQ(dir, nullptr);
      EXPECT_EQ(name, nullptr);
      EXPECT_STREQ(buf.data(), row.path);  // untouched
    } else {
      ASSERT_NE(dir, nullptr);
      ASSERT_NE(name, nullptr);
      EXPECT_EQ(dir, buf.data());
      EXPECT_STREQ(dir, row.dir);
      EXPECT_STREQ(name, row.name);
    }
  }
  char *dir = reinterpret_cast<char *>(1);
  char *name = reinterpret_cast<char *>(1);
  tlv_split_path(nullptr, &dir, &name);
  EXPECT_EQ(dir, nullptr);
  EXPECT_EQ(name, nullptr);
}

std::vector<std::string> tokens(const char *text, const char *delims) {
  std::vector<char> buf(text, text + strlen(text) + 1);
  std::vector<std::string> out;
  char *cursor = nullptr;
  for (char *t = tlv_strtok(buf.data(), delims, &cursor); t != nullptr;
       t = tlv_strtok(nullptr, delims, &cursor)) {
    out.emplace_back(t);
  }
  return out;
}

TEST(TlvStr, TokenizerSkipsLeadingDelimitersAndCutsTokens) {
  struct {
    const char *text;
    const char *delims;
    std::vector<std::string> want;
  } rows[] = {
      {"stderr,DEBUG,DAY|1|7", ",|", {"stderr", "DEBUG", "DAY", "1", "7"}},
      {",,a,,b,,", ",", {"a", "b"}},
      {"", ",", {}},
      {",,,", ",", {}},
      {"single", ",", {"single"}},
      {"a b\tc", " \t", {"a", "b", "c"}},
      {"abc", "", {"abc"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(tokens(row.text, row.delims), row.want);
  }
}

TEST(TlvStr, TokenizerScansAreIndependentAndNullSafe) {
  char a[] = "1,2";
  char b[] = "x y";
  char *ca = nullptr;
  char *cb = nullptr;
  EXPECT_STREQ(tlv_strtok(a, ",", &ca), "1");
  EXPECT_STREQ(tlv_strtok(b, " ", &cb), "x");
  EXPECT_STREQ(tlv_strtok(nullptr, ",", &ca), "2");
  EXPECT_STREQ(tlv_strtok(nullptr, " ", &cb), "y");
  EXPECT_EQ(tlv_strtok(nullptr, ",", &ca), nullptr);
  EXPECT_EQ(tlv_strtok(nullptr, ",", &ca), nullptr);  // stays at the end
  // Delimiters may change between calls of one scan.
  char c[] = "key=value;next";
  char *cc = nullptr;
  EXPECT_STREQ(tlv_strtok(c, "=", &cc), "key");
  EXPECT_STREQ(tlv_strtok(nullptr, ";", &cc), "value");
  EXPECT_STREQ(tlv_strtok(nullptr, ";", &cc), "next");
  char *none = nullptr;
  EXPECT_EQ(tlv_strtok(nullptr, ",", &none), nullptr);
  EXPECT_EQ(tlv_strtok(c, nullptr, &cc), nullptr);
  EXPECT_EQ(tlv_strtok(c, ",", nullptr), nullptr);
}

}  // namespace
