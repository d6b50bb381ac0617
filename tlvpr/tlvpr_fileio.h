// tlvpr_fileio - file handles, file status, file tests, line reads and paths
//
// File handles are the C library's descriptors plus one, so 0 means "no file":
// tlvpr_open(path, flags, mode) takes the <fcntl.h> O_* flags and gives a handle
// or 0; tlvpr_read gives the bytes read or -1; tlvpr_lseek the new position or -1;
// tlvpr_close and tlvpr_fstat 0 or -1. tlvpr_stream_handle(stream) is the handle
// of an open stream (0 for null). tlvpr_stat_size and tlvpr_stat_mtime read a
// status record (bytes; seconds since 1970).
//
// tlvpr_file_test(path, wanted) gives 0 when the path exists and has every bit
// of wanted (TLVPR_FT_*), else -1; an empty path fails. A path ending in a
// separator (length 2 or more, not after ':') is tested without it.
//
// tlvpr_fgets(buffer, size, stream) reads bytes one at a time until it has
// stored a newline, a read fails, or size-1 bytes are stored; it terminates the
// text and gives the buffer, or null when no byte was stored (size 1 gives null
// at once). An end-of-file indicator set by the read is cleared afterwards when
// bytes were stored, so a later read sees new data.
//
// tlvpr_unlink(null) does nothing and gives 0; otherwise 0 or -1.
// tlvpr_rename gives 0 or non-zero (errno set). tlvpr_getcwd gives the buffer or
// null. tlvpr_path_separator() is '/'. No call logs or keeps state.
#ifndef TLVPR_TLVPR_FILEIO_H
#define TLVPR_TLVPR_FILEIO_H

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  TLVPR_FT_EXEC = 0x01,      // executable (or searchable directory)
  TLVPR_FT_WRITE = 0x02,     // writable by its owner
  TLVPR_FT_READ = 0x04,      // readable by its owner
  TLVPR_FT_EXISTS = 0x10,    // exists
  TLVPR_FT_REGULAR = 0x20,   // regular file
  TLVPR_FT_DIRECTORY = 0x40  // directory
};

typedef struct stat TlvprStat;

int tlvpr_file_test(const char *path, int wanted);

int tlvpr_open(const char *path, int flags, int mode);
long tlvpr_read(int handle, void *buffer, size_t size);
int64_t tlvpr_lseek(int handle, int64_t offset, int origin);
int tlvpr_close(int handle);
int tlvpr_fstat(int handle, TlvprStat *status);
int tlvpr_stream_handle(FILE *stream);
int64_t tlvpr_stat_size(const TlvprStat *status);
int64_t tlvpr_stat_mtime(const TlvprStat *status);

int tlvpr_unlink(const char *path);
int tlvpr_rename(const char *from, const char *to);
char *tlvpr_fgets(char *buffer, int size, FILE *stream);
char *tlvpr_getcwd(char *buffer, size_t size);
char tlvpr_path_separator(void);

#ifdef __cplusplus
}
#endif

#endif
