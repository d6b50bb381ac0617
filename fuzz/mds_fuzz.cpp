// Message data store fuzz target: random store layouts (read block size, whole
// blocks in the spool file, the rest in memory, memory buffer capacity) and
// random seek/read sequences; every read must give exactly the message's bytes
// at the read position, and positions beyond the message must be refused.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "tlvpr_fileio.h"
#include "tlvpr_tmpfile.h"
#include "tvr_mds.h"

namespace {

struct Input {
  const uint8_t *data;
  size_t size;
  size_t pos;
  uint32_t take(uint32_t bound) {  // a number below bound from the input
    uint32_t v = 0;
    for (int i = 0; i < 2 && pos < size; i++) {
      v = v * 256 + data[pos++];
    }
    return bound == 0 ? 0 : v % bound;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 8 || size > 16384) {
    return 0;
  }
  Input in{data, size, 0};
  uint32_t block_size = 1 + in.take(64);
  uint32_t message_len = in.take(4096);
  uint32_t blocks = in.take(message_len / block_size + 1);
  uint32_t file_len = blocks * block_size;
  uint32_t memory_len = message_len - file_len;
  uint32_t slack = in.take(16);
  std::vector<unsigned char> message(message_len);
  for (uint32_t i = 0; i < message_len; i++) {
    message[i] = (unsigned char)(i * 131 + (i >> 8));
  }

  char path[TLVPR_PATH_MAX];
  FILE *spool = nullptr;
  if (file_len > 0) {
    spool = tlvpr_tmpfile(path);
    if (spool == nullptr || fwrite(message.data(), 1, file_len, spool) != file_len ||
        fflush(spool) != 0) {
      if (spool) fclose(spool);
      return 0;
    }
  }
  std::vector<unsigned char> memory(memory_len + slack + 1);
  if (memory_len) memcpy(memory.data(), message.data() + file_len, memory_len);
  std::vector<unsigned char> block(block_size);
  MessageDataStore store;
  memset(&store, 0, sizeof store);
  store.memory_length = memory_len;
  store.memory = memory.data();
  store.memory_capacity = memory_len + slack;
  store.spool_handle = tlvpr_stream_handle(spool);
  store.file_length = file_len;
  store.block = block.data();
  store.block_size = block_size;
  store.window_invalid = 1;

  std::vector<unsigned char> got(4096 + 1);
  while (in.pos < in.size) {
    uint32_t op = in.take(4);
    if (op == 0) {
      int32_t offset = (int32_t)in.take(message_len + 8) - 4;
      int origin = (int)in.take(3);
      uint32_t before = store.position;
      int64_t base = origin == 0 ? 0 : origin == 1 ? before : message_len;
      int64_t want = base + offset;
      uint32_t rc = tvr_mds_seek(&store, offset, origin);
      bool ok = want >= 0 && want <= message_len;
      if ((rc == 0) != ok || (rc != 0 && rc != 10045) || store.position != (ok ? want : before)) {
        __builtin_trap();  // a seek moved wrongly or refused a valid position
      }
    } else {
      uint32_t count = in.take(message_len + 2);
      uint32_t request = count;
      uint32_t start = store.position;
      uint32_t rc = tvr_mds_read(&store, got.data(), &count);
      if (rc != 0) {
        __builtin_trap();  // every layout here is readable
      }
      uint32_t expect = count;
      if (expect != (request < message_len - start ? request : message_len - start) ||
          (expect && memcmp(got.data(), message.data() + start, expect) != 0) ||
          store.position != start + expect) {
        __builtin_trap();  // the bytes read are not the message's
      }
    }
  }
  if (spool) fclose(spool);
  return 0;
}
