// Tests of tvr_mds: seeking and reading a message data store whose file part lies
// in a real spool file and whose memory part lies in a buffer.
#include "tvr_mds.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tlvpr_fileio.h"
#include "tlvpr_tmpfile.h"

namespace {

// A store over text: the first file_length bytes in a spool file, the rest in memory.
struct TestStore {
  MessageDataStore store{};
  std::string text;
  std::vector<unsigned char> memory;
  std::vector<unsigned char> block;
  FILE *spool = nullptr;
  char spool_path[TLVPR_PATH_MAX] = {};

  TestStore(const std::string &message, uint32_t block_size, uint32_t file_length)
      : text(message), memory(message.begin() + file_length, message.end()), block(block_size) {
    memory.push_back(0);  // never an empty buffer: a null memory part means "unusable"
    store.memory = memory.data();
    store.memory_length = (uint32_t)(message.size() - file_length);
    store.memory_capacity = store.memory_length;
    store.file_length = file_length;
    store.block = block.data();
    store.block_size = block_size;
    store.window_invalid = 1;
    if (file_length > 0) {
      spool = tlvpr_tmpfile(spool_path);
      EXPECT_NE(spool, nullptr);
      EXPECT_EQ(fwrite(message.data(), 1, file_length, spool), file_length);
      EXPECT_EQ(fflush(spool), 0);
      store.spool_handle = tlvpr_stream_handle(spool);
    }
  }
  ~TestStore() {
    if (spool != nullptr) fclose(spool);
  }
  // Reads count bytes from position, expecting success.
  std::string read_at(uint32_t position, uint32_t count) {
    EXPECT_EQ(tvr_mds_seek(&store, (int32_t)position, TVR_MDS_SEEK_SET), 0u);
    std::string out(count, '\0');
    uint32_t got = count;
    EXPECT_EQ(tvr_mds_read(&store, out.data(), &got), 0u);
    out.resize(got);
    return out;
  }
};

const std::string kMessage = "Subject: one\nFrom: two@example.org\nTo: three\n\nbody text here\n";

}  // namespace

TEST(TvrMdsRead, WhollyInMemoryNeedsNoFile) {
  TestStore s(kMessage, 16, 0);
  EXPECT_EQ(s.read_at(0, (uint32_t)kMessage.size()), kMessage);
  EXPECT_EQ(s.read_at(9, 3), "one");
  EXPECT_EQ(s.read_at(40, 1000), kMessage.substr(40));  // asks for more than is left
  EXPECT_EQ(s.store.spool_handle, 0);
}

TEST(TvrMdsRead, ReadsAcrossBlocksFilePartAndMemoryPart) {
  // 16-byte blocks, file part of three blocks (48 bytes), the rest in memory.
  const uint32_t file_length = 48;
  struct Row {
    uint32_t position, count;
  } rows[] = {
      {0, 10},                         // inside the first block
      {0, 16},                         // exactly one block
      {5, 20},                         // block window, then a direct file read
      {20, 28},                        // up to exactly the end of the file part
      {20, 40},                        // block, rest of the file part, then memory
      {40, 8},                         // the last 8 bytes of the file part
      {44, 10},                        // the last block spills into memory
      {48, 5},                         // memory part only
      {0, (uint32_t)kMessage.size()},  // everything in one read
      {30, 1000},                      // more than is left
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.position) + "+" + std::to_string(row.count));
    TestStore s(kMessage, 16, file_length);
    std::string got = s.read_at(row.position, row.count);
    EXPECT_EQ(got, kMessage.substr(row.position, row.count));
    EXPECT_EQ(s.store.position, row.position + got.size());
  }
}

TEST(TvrMdsRead, SequentialReadsContinueWhereTheLastEnded) {
  TestStore s(kMessage, 8, 32);
  std::string all;
  for (;;) {
    char piece[7];
    uint32_t got = sizeof(piece);
    ASSERT_EQ(tvr_mds_read(&s.store, piece, &got), 0u);
    if (got == 0) break;
    all.append(piece, got);
  }
  EXPECT_EQ(all, kMessage);
}

TEST(TvrMdsRead, KeepsALoadedBlockUntilItIsMarkedInvalid) {
  TestStore s(kMessage, 16, 32);
  EXPECT_EQ(s.read_at(0, 4), "Subj");
  // The host rewrites the spool file: the window still holds the old block ...
  ASSERT_EQ(fseek(s.spool, 0, SEEK_SET), 0);
  ASSERT_EQ(fwrite("XXXX", 1, 4, s.spool), 4u);
  ASSERT_EQ(fflush(s.spool), 0);
  EXPECT_EQ(s.read_at(0, 4), "Subj");
  // ... until it marks the window invalid.
  s.store.window_invalid = 1;
  EXPECT_EQ(s.read_at(0, 4), "XXXX");
}

TEST(TvrMdsRead, ShortSpoolFileFailsAndKeepsThePosition) {
  TestStore s(kMessage, 16, 48);
  ASSERT_EQ(ftruncate(tlvpr_stream_handle(s.spool) - 1, 40), 0);  // last block cut short
  ASSERT_EQ(tvr_mds_seek(&s.store, 10, TVR_MDS_SEEK_SET), 0u);
  char out[64];
  uint32_t count = 40;  // window block 0, then a direct read past the file's end
  EXPECT_EQ(tvr_mds_read(&s.store, out, &count), 10011u);
  EXPECT_EQ(count, 40u);
  EXPECT_EQ(s.store.position, 10u);
  ASSERT_EQ(tvr_mds_seek(&s.store, 33, TVR_MDS_SEEK_SET), 0u);
  count = 1;  // loading the short block itself
  EXPECT_EQ(tvr_mds_read(&s.store, out, &count), 10011u);
  EXPECT_EQ(s.store.position, 33u);
}

TEST(TvrMdsRead, RejectsNullArgumentsAndUnusableStores) {
  TestStore s(kMessage, 16, 0);
  char out[4];
  uint32_t count = 4;
  EXPECT_EQ(tvr_mds_read(nullptr, out, &count), 10040u);
  EXPECT_EQ(tvr_mds_read(&s.store, nullptr, &count), 10040u);
  EXPECT_EQ(tvr_mds_read(&s.store, out, nullptr), 10040u);
  s.store.memory = nullptr;
  EXPECT_EQ(tvr_mds_read(&s.store, out, &count), 10040u);
  EXPECT_EQ(count, 4u);
}

TEST(TvrMdsSeek, StaysWithinTheMessage) {
  const int32_t total = (int32_t)kMessage.size();
  struct Row {
    uint32_t start;
    int32_t offset;
    int origin;
    uint32_t want_rc;
    uint32_t want_position;
  } rows[] = {
      {5, total, TVR_MDS_SEEK_SET, 0, (uint32_t)total},  // exactly the end
      {5, total + 1, TVR_MDS_SEEK_SET, 10045, 5},        // one byte further
      {5, -1, TVR_MDS_SEEK_SET, 10045, 5},
      {5, -5, TVR_MDS_SEEK_CUR, 0, 0},
      {5, -6, TVR_MDS_SEEK_CUR, 10045, 5},
      {5, 3, TVR_MDS_SEEK_CUR, 0, 8},
      {5, 0, TVR_MDS_SEEK_END, 0, (uint32_t)total},
      {5, 1, TVR_MDS_SEEK_END, 10045, 5},
      {5, -total, TVR_MDS_SEEK_END, 0, 0},
      {5, 0, 3, 10040, 5},
      {5, 0, -1, 10040, 5},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.offset) + " from " + std::to_string(row.origin));
    TestStore s(kMessage, 16, 32);  // total counts the file part and the memory part
    s.store.position = row.start;
    EXPECT_EQ(tvr_mds_seek(&s.store, row.offset, row.origin), row.want_rc);
    EXPECT_EQ(s.store.position, row.want_position);
  }
  TestStore s(kMessage, 16, 0);
  s.store.memory = nullptr;
  EXPECT_EQ(tvr_mds_seek(&s.store, 0, TVR_MDS_SEEK_SET), 10040u);
  EXPECT_EQ(tvr_mds_seek(nullptr, 0, TVR_MDS_SEEK_SET), 10040u);
}

TEST(TvrMdsRead, ReadAtTheEndCopiesNothing) {
  TestStore s(kMessage, 16, 32);
  ASSERT_EQ(tvr_mds_seek(&s.store, 0, TVR_MDS_SEEK_END), 0u);
  char out[4];
  uint32_t count = 4;
  EXPECT_EQ(tvr_mds_read(&s.store, out, &count), 0u);
  EXPECT_EQ(count, 0u);
}
