// tvr_mds - the host's message data store and callback table, the layouts host
// and module share, and the module's reads from a store
//
// A MessageDataStore holds one message: a file part (the first file_length bytes,
// a whole number of block_size read blocks, in the spool file) followed by a
// memory part (memory_length bytes at memory). The host builds and owns the
// record and every buffer it names; the module only moves the read position and
// the window (the block or memory part the next read copies from).
//
// tvr_mds_seek(store, offset, origin): origin TVR_MDS_SEEK_SET (0, from the
// start), TVR_MDS_SEEK_CUR (1, from the read position) or TVR_MDS_SEEK_END (2,
// from the total length). Results: 0 with the read position moved; 10040 null
// store, a store without memory buffer, or another origin; 10045 a new position
// below 0 or beyond the total length (position unchanged).
//
// tvr_mds_read(store, destination, &count): copies up to count bytes from the read
// position into destination and advances the position. Results: 0 with count set
// to the bytes copied (0 at the end of the message); 10040 null argument or a
// store without memory buffer; 10011 the spool file cannot be positioned or gives
// fewer bytes than a block (or than a direct read) needs. On failure the position
// and count are unchanged (the window may have moved). Reads with the runtime's
// file calls on spool_handle; a message wholly in memory is copied without file
// access.
//
// Neither call logs. A store belongs to one message and one thread at a time.
//
// HostCallbackTable: the host's services, called by position with one
// pointer-sized argument; the module uses entries 1, 5, 6, 22 and 25 (see the
// TVR_HOST_* positions).
#ifndef COMMON_UTILS_SRC_TVR_MDS_H
#define COMMON_UTILS_SRC_TVR_MDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t (*HostCallback)(uintptr_t argument);

enum {
  TVR_HOST_GET_MESSAGE_STORE = 1,         // message handle -> MessageDataStore pointer
  TVR_HOST_GET_LOAD_POINT_DIRECTORY = 5,  // host handle -> directory text (host's)
  TVR_HOST_GET_WEIGHT_THRESHOLD = 6,      // threshold value -> signed 32-bit threshold
  TVR_HOST_GET_HEADER_LENGTH = 22,        // message handle -> header block length
  TVR_HOST_GET_CONFIGURATION = 25,        // host handle -> ConfigHandle pointer (host's)
  TVR_HOST_CALLBACK_COUNT = 26            // entries a host table has at least
};

typedef struct HostCallbackTable {
  HostCallback entry[TVR_HOST_CALLBACK_COUNT];  // by position; unused ones may be null
} HostCallbackTable;

enum { TVR_MDS_SEEK_SET = 0, TVR_MDS_SEEK_CUR = 1, TVR_MDS_SEEK_END = 2 };

typedef struct MessageDataStore {
  uint32_t position;          // read position: offset from the start of the message
  uint32_t memory_length;     // bytes of the memory part
  unsigned char *memory;      // memory part; null = store not usable
  uint32_t memory_capacity;   // bytes the memory buffer holds (>= memory_length)
  uint32_t initial_capacity;  // host's: first capacity of the memory buffer
  uint32_t max_capacity;      // host's: largest memory part before spooling
  char *spool_path;           // host's: path the spool file had
  int32_t spool_handle;       // runtime file handle of the spool file (descriptor + 1; 0 = none)
  char *spool_directory;      // host's: directory of the spool file
  uint32_t file_length;       // bytes of the file part, whole blocks
  uint32_t device;            // host's: device number of the spool directory
  uint32_t fs_block_size;     // host's: file-system block size
  unsigned char *window;      // bytes the next read copies from
  uint32_t window_length;     // bytes at window
  uint32_t window_offset;     // message offset of window's first byte
  unsigned char *block;       // block buffer of block_size bytes
  uint32_t block_size;        // read block size of the file part
  uint32_t window_invalid;    // 1 = the block buffer must be reloaded
} MessageDataStore;

uint32_t tvr_mds_seek(MessageDataStore *store, int32_t offset, int origin);
uint32_t tvr_mds_read(MessageDataStore *store, void *destination, uint32_t *count);

#ifdef __cplusplus
}
#endif

#endif
