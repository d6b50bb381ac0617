// Tests of the strict number parsers and tvr_check_number_end.

#include <stdint.h>

#include <string>

#include <gtest/gtest.h>

#include "tvr_parse_num.h"

namespace {

constexpr uint32_t RANGE = TVR_PARSE_OUT_OF_RANGE;
constexpr uint32_t BAD = TVR_PARSE_BAD_CHARACTER;

TEST(TvrParseNum, UnsignedPrefixRangeAndSyntax) {
  struct {
    const char *text;
    uint32_t rc;
    uint32_t value;
    int end;  // offset of the end position on success
  } rows[] = {
      {"0", 0, 0, 1},
      {"4294967295", 0, 4294967295u, 10},
      {"4294967296", RANGE, 0, 0},
      {"4294967300", RANGE, 0, 0},
      {"42949672950", RANGE, 0, 0},
      {"99999999999999999999", RANGE, 0, 0},
      {"000004294967295", 0, 4294967295u, 15},  // leading zeros do not overflow
      {"429496729", 0, 429496729u, 9},
      {"  +17x", 0, 17, 5},
      {"+", BAD, 0, 0},
      {"-1", BAD, 0, 0},  // no sign other than "+"
      {"   ", BAD, 0, 0},
      {"", BAD, 0, 0},
      {"\t5", BAD, 0, 0},  // only blanks are skipped
      {"++5", BAD, 0, 0},
      {"+ 5", BAD, 0, 0},
      {"\xb2", BAD, 0, 0},  // superscript two is no digit
      {"12 34", 0, 12, 2},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.text);
    uint32_t value = 12345;
    const char *end = nullptr;
    EXPECT_EQ(tvr_parse_uint_prefix(row.text, &end, &value), row.rc);
    if (row.rc == 0) {
      EXPECT_EQ(value, row.value);
      EXPECT_EQ(end, row.text + row.end);
    } else {
      EXPECT_EQ(value, 12345u);  // untouched on failure
      EXPECT_EQ(end, nullptr);
    }
    uint32_t again = 0;
    EXPECT_EQ(tvr_parse_uint_prefix(row.text, nullptr, &again), row.rc);
  }
}

TEST(TvrParseNum, SignedPrefixRangeAndSyntax) {
  struct {
    const char *text;
    uint32_t rc;
    int32_t value;
  } rows[] = {
      {"2147483647", 0, INT32_MAX},
      {"-2147483648", 0, INT32_MIN},
      {"2147483648", RANGE, 0},
      {"-2147483649", RANGE, 0},
      {"-2147483650", RANGE, 0},
      {"2147483650", RANGE, 0},
      {"21474836470", RANGE, 0},
      {"-21474836480", RANGE, 0},
      {"214748364", 0, 214748364},
      {"-214748364", 0, -214748364},
      {"+0", 0, 0},
      {"-0", 0, 0},
      {" -12", 0, -12},
      {"-", BAD, 0},
      {"+", BAD, 0},
      {"- 1", BAD, 0},
      {"--1", BAD, 0},
      {"\n1", BAD, 0},
      {"x", BAD, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.text);
    int32_t value = 777;
    EXPECT_EQ(tvr_parse_int_prefix(row.text, nullptr, &value), row.rc);
    EXPECT_EQ(value, row.rc == 0 ? row.value : 777);
  }
}

TEST(TvrParseNum, NumberEndByFlags) {
  struct {
    const char *text;
    int flags;
    uint32_t rc;
  } rows[] = {
      {"25", 0, 0},
      {"25\n", 0, BAD},
      {"25 ", 0, BAD},
      {"25x", 0, BAD},
      {"25\n", PARSE_ALLOW_TRAILING_SPACE, 0},
      {"25\r\n", PARSE_ALLOW_TRAILING_SPACE, 0},
      {"25 and more", PARSE_ALLOW_TRAILING_SPACE, 0},  // only one character is examined
      {"25\v", PARSE_ALLOW_TRAILING_SPACE, 0},
      {"25\f", PARSE_ALLOW_TRAILING_SPACE, 0},
      {"25x", PARSE_ALLOW_TRAILING_SPACE, BAD},
      {"25.5", PARSE_ALLOW_TRAILING_SPACE, BAD},
      {"25x", PARSE_ALLOW_TRAILING_TEXT, 0},
      {"25 ", PARSE_ALLOW_TRAILING_TEXT, BAD},  // space needs its own flag
      {"25 ", PARSE_ALLOW_TRAILING_SPACE | PARSE_ALLOW_TRAILING_TEXT, 0},
      {"25\xa0", PARSE_ALLOW_TRAILING_SPACE, BAD},  // no-break space is text
      {"25\xa0", PARSE_ALLOW_TRAILING_TEXT, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.text) + " flags " + std::to_string(row.flags));
    uint32_t u = 0;
    int32_t s = 0;
    EXPECT_EQ(tvr_parse_uint(row.text, row.flags, &u), row.rc);
    EXPECT_EQ(tvr_parse_int(row.text, row.flags, &s), row.rc);
    // The prefix parser wrote the value even when the end check failed.
    EXPECT_EQ(u, 25u);
    EXPECT_EQ(s, 25);
    EXPECT_EQ(tvr_check_number_end(row.text + 2, row.flags), row.rc);
  }
  uint32_t u = 0;
  EXPECT_EQ(tvr_parse_uint("4294967296 ", PARSE_ALLOW_TRAILING_SPACE, &u), RANGE);
  EXPECT_EQ(tvr_parse_uint("x", PARSE_ALLOW_TRAILING_TEXT, &u), BAD);
}

TEST(TvrParseNum, NullArgumentsAreRefused) {
  uint32_t u = 0;
  int32_t s = 0;
  EXPECT_EQ(tvr_parse_uint_prefix(nullptr, nullptr, &u), TVR_BAD_ARGUMENT);
  EXPECT_EQ(tvr_parse_uint_prefix("1", nullptr, nullptr), TVR_BAD_ARGUMENT);
  EXPECT_EQ(tvr_parse_int_prefix(nullptr, nullptr, &s), TVR_BAD_ARGUMENT);
  EXPECT_EQ(tvr_parse_uint(nullptr, 0, &u), TVR_BAD_ARGUMENT);
  EXPECT_EQ(tvr_parse_int("1", 0, nullptr), TVR_BAD_ARGUMENT);
  EXPECT_EQ(tvr_check_number_end(nullptr, 0), TVR_BAD_ARGUMENT);
}

}  // namespace
