// Tests of tlv_fgetl: whole lines across the buffer's doubling boundaries, the
// maximum, the LF flag, lines holding NUL bytes, a last line without LF, and
// the failure statuses (end of file, read error, out of memory).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container_fixture.h"
#include "test_support.h"
#include "tlv_fgetl.h"
#include "tlvpr_mem.h"

namespace {

struct Line {
  uint32_t rc;
  std::string text;  // up to the first NUL, as a caller sees it
  int had_lf;
};

Line strip_one(FILE *f, size_t maximum = TLV_FGETL_UNLIMITED) {
  char *line = nullptr;
  int had_lf = -1;
  Line r;
  r.rc = tlv_fgetl_strip(&line, &had_lf, maximum, f);
  r.text = line != nullptr ? line : "";
  r.had_lf = had_lf;
  tlvpr_free(line);
  return r;
}

}  // namespace

TEST(TlvFgetl, LinesFlagsAndEndOfFile) {
  FILE *f = hdrw_test::fixture_stream("a\nb");
  Line l1 = strip_one(f), l2 = strip_one(f), l3 = strip_one(f), l4 = strip_one(f);
  EXPECT_EQ(l1.rc, 0u);
  EXPECT_EQ(l1.text, "a");
  EXPECT_EQ(l1.had_lf, 1);
  EXPECT_EQ(l2.rc, 0u);
  EXPECT_EQ(l2.text, "b");
  EXPECT_EQ(l2.had_lf, 0);
  EXPECT_EQ(l3.rc, 10034u);
  EXPECT_EQ(l3.had_lf, -1);  // untouched on failure
  EXPECT_EQ(l4.rc, 10034u);
  fclose(f);

  f = hdrw_test::fixture_stream("crlf\r\n\n");
  char *line = nullptr;
  ASSERT_EQ(tlv_fgetl_read(&line, TLV_FGETL_UNLIMITED, f), 0u);
  EXPECT_STREQ(line, "crlf\r\n");  // read keeps the LF
  tlvpr_free(line);
  Line empty = strip_one(f);
  EXPECT_EQ(empty.rc, 0u);
  EXPECT_EQ(empty.text, "");
  EXPECT_EQ(empty.had_lf, 1);
  EXPECT_EQ(strip_one(f).rc, 10034u);
  fclose(f);

  f = hdrw_test::fixture_stream("");
  EXPECT_EQ(strip_one(f).rc, 10034u);
  fclose(f);
}

TEST(TlvFgetl, LongLinesGrowAcrossEveryBoundary) {
  // Lengths around 255/256 (first buffer), 511/512 and 1023/1024 and a long one.
  for (size_t len : {254u, 255u, 256u, 257u, 510u, 511u, 512u, 1000u, 1023u, 1024u, 100000u}) {
    for (bool lf : {true, false}) {
      SCOPED_TRACE(std::to_string(len) + (lf ? " with LF" : " without LF"));
      std::string text(len, 'x');
      text[0] = 'a';
      text[len - 1] = 'z';
      FILE *f = hdrw_test::fixture_stream(text + (lf ? "\nnext\n" : ""));
      Line l = strip_one(f);
      EXPECT_EQ(l.rc, 0u);
      EXPECT_EQ(l.text, text);
      EXPECT_EQ(l.had_lf, lf ? 1 : 0);
      Line next = strip_one(f);
      EXPECT_EQ(next.rc, lf ? 0u : 10034u);
      if (lf) {
        EXPECT_EQ(next.text, "next");
      }
      fclose(f);
    }
  }
}

TEST(TlvFgetl, MaximumBoundsTheBuffer) {
  struct Row {
    size_t len;  // line length without its LF
    size_t maximum;
    uint32_t want;
  } rows[] = {
      {1000, 512, 10035}, {1000, 1024, 0},   {1000, TLV_FGETL_UNLIMITED, 0},
      {254, 256, 0},      {255, 256, 10035},  // 255 bytes + LF + NUL need 257
      {10, 256, 0},       {300, 256, 10035},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.len) + " max " + std::to_string(row.maximum));
    FILE *f = hdrw_test::fixture_stream(std::string(row.len, 'q') + "\n");
    Line l = strip_one(f, row.maximum);
    EXPECT_EQ(l.rc, row.want);
    fclose(f);
  }
}

TEST(TlvFgetl, LastLineWithoutLfFitsUnderAMaximum) {
  // The runtime's line read clears the end-of-file indicator after storing
  // bytes; a short last line must still be returned, not taken for a line that
  // outgrew the buffer.
  FILE *f = hdrw_test::fixture_stream("short");
  Line l = strip_one(f, 256);
  EXPECT_EQ(l.rc, 0u);
  EXPECT_EQ(l.text, "short");
  EXPECT_EQ(l.had_lf, 0);
  EXPECT_EQ(strip_one(f, 256).rc, 10034u);
  fclose(f);
}

TEST(TlvFgetl, NulBytesEndTheVisibleTextButNotTheLine) {
  std::string text("\0abc\nx\0y\nlast\n", 14);
  FILE *f = hdrw_test::fixture_stream(text);
  Line first = strip_one(f);
  EXPECT_EQ(first.rc, 0u);
  EXPECT_EQ(first.text, "");  // a line starting with NUL reads as the empty text
  EXPECT_EQ(first.had_lf, 1);
  Line second = strip_one(f);
  EXPECT_EQ(second.text, "x");
  EXPECT_EQ(second.had_lf, 1);
  Line third = strip_one(f);
  EXPECT_EQ(third.text, "last");  // nothing merged or lost around the NULs
  EXPECT_EQ(strip_one(f).rc, 10034u);
  fclose(f);

  // A NUL as the only byte of a last line without LF.
  f = hdrw_test::fixture_stream(std::string("\0", 1));
  Line nul = strip_one(f);
  EXPECT_EQ(nul.rc, 0u);
  EXPECT_EQ(nul.text, "");
  EXPECT_EQ(nul.had_lf, 0);
  fclose(f);
}

TEST(TlvFgetl, BadArgumentsErrorsAndIndicators) {
  char *line = nullptr;
  FILE *f = hdrw_test::fixture_stream("x\n");
  EXPECT_EQ(tlv_fgetl_read(nullptr, TLV_FGETL_UNLIMITED, f), 1u);
  EXPECT_EQ(tlv_fgetl_read(&line, TLV_FGETL_UNLIMITED, nullptr), 1u);
  EXPECT_EQ(tlv_fgetl_strip(&line, nullptr, TLV_FGETL_UNLIMITED, nullptr), 1u);
  ASSERT_EQ(tlv_fgetl_strip(&line, nullptr, TLV_FGETL_UNLIMITED, f), 0u);  // flag optional
  EXPECT_STREQ(line, "x");
  tlvpr_free(line);
  line = nullptr;
  fgetc(f);  // sets the end-of-file indicator
  EXPECT_EQ(tlv_fgetl_read(&line, TLV_FGETL_UNLIMITED, f), 10034u);
  fclose(f);

  hdrw_test::TempDir dir;
  FILE *w = fopen(dir.file("w").c_str(), "w");
  EXPECT_EQ(tlv_fgetl_read(&line, TLV_FGETL_UNLIMITED, w), 10035u);  // read error
  EXPECT_EQ(tlv_fgetl_read(&line, TLV_FGETL_UNLIMITED, w), 10035u);  // indicator stays set
  EXPECT_EQ(line, nullptr);
  fclose(w);
}

TEST(TlvFgetl, OutOfMemoryGives10013AndKeepsNothing) {
  std::string text(3000, 'm');  // needs the first block and several enlargements
  hdrw_test::fault_loop([&] {
    FILE *f = hdrw_test::fixture_stream(text + "\n");
    char *line = nullptr;
    int had_lf = -1;
    uint32_t rc = tlv_fgetl_strip(&line, &had_lf, TLV_FGETL_UNLIMITED, f);
    if (rc == 0) {
      EXPECT_EQ(std::string(line), text);
      EXPECT_EQ(had_lf, 1);
      tlvpr_free(line);
    } else {
      EXPECT_EQ(rc, 10013u);
      EXPECT_EQ(line, nullptr);
      EXPECT_EQ(had_lf, -1);
    }
    fclose(f);
  });
}
