// tvr_mds - reads from the host's message data store (see the header).
// The window is either one read block of the file part (loaded into the store's
// block buffer) or the whole memory part; a read copies what the window holds
// and takes the rest straight from the spool file and the memory part, so a
// read of any length costs at most one block load and one direct file read.
// Tests: tests/tvr_mds_test.cpp.
#include "tvr_mds.h"

#include <string.h>

#include "tlvpr_fileio.h"
#include "tvr_status.h"

// tvr_mds_total - the message's length: file part plus memory part
static uint64_t tvr_mds_total(const MessageDataStore *store) {
  return (uint64_t)store->file_length + store->memory_length;
}

// tvr_mds_read_file - reads exactly len bytes of the spool file at offset
static uint32_t tvr_mds_read_file(const MessageDataStore *store, uint64_t offset,
                                  unsigned char *destination, uint32_t len) {
  if (store->spool_handle == 0 || tlvpr_lseek(store->spool_handle, (int64_t)offset, SEEK_SET) < 0)
    return TVR_FILE_READ_ERROR;
  uint32_t done = 0;
  while (done < len) {
    long got = tlvpr_read(store->spool_handle, destination + done, len - done);
    if (got <= 0) return TVR_FILE_READ_ERROR;
    done += (uint32_t)got;
  }
  return 0;
}

// tvr_mds_load_window - points the window at the part that holds the read position
static uint32_t tvr_mds_load_window(MessageDataStore *store) {
  if (store->position >= store->file_length) {
    store->window = store->memory;
    store->window_length = store->memory_capacity;
    store->window_offset = store->file_length;
    return 0;
  }
  if (store->block == nullptr || store->block_size == 0) return TVR_FILE_READ_ERROR;
  uint32_t block_offset = store->block_size * (store->position / store->block_size);
  if (store->window_offset == block_offset && store->window_invalid != 1 &&
      store->window == store->block)
    return 0;
  store->window_offset = block_offset;
  store->window = store->block;
  store->window_length = store->block_size;
  store->window_invalid = 0;
  uint32_t rc = tvr_mds_read_file(store, block_offset, store->block, store->block_size);
  if (rc != 0) store->window_invalid = 1;  // the block buffer holds no whole block now
  return rc;
}

// tvr_mds_seek - moves the read position (see the header)
uint32_t tvr_mds_seek(MessageDataStore *store, int32_t offset, int origin) {
  if (store == nullptr || store->memory == nullptr) return TVR_BAD_ARGUMENT;
  int64_t base;
  switch (origin) {
    case TVR_MDS_SEEK_SET:
      base = 0;
      break;
    case TVR_MDS_SEEK_CUR:
      base = store->position;
      break;
    case TVR_MDS_SEEK_END:
      base = (int64_t)tvr_mds_total(store);
      break;
    default:
      return TVR_BAD_ARGUMENT;
  }
  int64_t target = base + offset;
  if (target < 0 || (uint64_t)target > tvr_mds_total(store) || target > UINT32_MAX)
    return TVR_SEEK_ERROR;
  store->position = (uint32_t)target;
  return 0;
}

// tvr_mds_read - copies from the read position on (see the header)
uint32_t tvr_mds_read(MessageDataStore *store, void *destination, uint32_t *count) {
  if (store == nullptr || destination == nullptr || count == nullptr || store->memory == nullptr)
    return TVR_BAD_ARGUMENT;
  uint32_t rc = tvr_mds_load_window(store);
  if (rc != 0) return rc;
  uint64_t total = tvr_mds_total(store);
  uint64_t available = total > store->position ? total - store->position : 0;
  if (available == 0) {
    *count = 0;
    return 0;
  }
  uint32_t n = *count < available ? *count : (uint32_t)available;
  unsigned char *out = static_cast<unsigned char *>(destination);

  uint64_t window_end = (uint64_t)store->window_offset + store->window_length;
  uint64_t held = window_end > store->position ? window_end - store->position : 0;
  uint32_t copied = held < n ? (uint32_t)held : n;
  if (copied > 0) memcpy(out, store->window + (store->position - store->window_offset), copied);

  if (copied < n) {
    // Only a block window ends before the message does: what follows it is the
    // rest of the file part, then the memory part from its start.
    uint32_t needed = n - copied;
    uint64_t rest = store->file_length > window_end ? store->file_length - window_end : 0;
    uint32_t from_file = needed <= rest ? needed : (uint32_t)rest;
    if (from_file > 0) {
      rc = tvr_mds_read_file(store, window_end, out + copied, from_file);
      if (rc != 0) return rc;
    }
    if (needed > from_file) memcpy(out + copied + from_file, store->memory, needed - from_file);
  }
  store->position += n;
  *count = n;
  return 0;
}
