// Tests of tlv_tmpfile_open: the stream is readable and writable, has no name
// on disk (so nothing is left behind in the temporary directory) and is
// owner-only.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "test_support.h"
#include "tlv_tmpfile.h"

TEST(TlvTmpfile, NamelessOwnerOnlyReadWriteStream) {
  FILE *f = nullptr;
  ASSERT_EQ(tlv_tmpfile_open(&f), 0u);
  ASSERT_NE(f, nullptr);
  struct stat st;
  ASSERT_EQ(fstat(fileno(f), &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);  // no name on disk
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  ASSERT_GE(fputs("plain rule text\n", f), 0);
  rewind(f);
  char buf[64] = {0};
  ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
  EXPECT_STREQ(buf, "plain rule text\n");
  FILE *g = nullptr;
  ASSERT_EQ(tlv_tmpfile_open(&g), 0u);
  EXPECT_NE(fileno(f), fileno(g));
  fclose(g);
  fclose(f);
  EXPECT_EQ(tlv_tmpfile_open(nullptr), 10040u);
}
