// tlvpr_fileio - descriptor-based file calls (handle = descriptor + 1), file
// tests over stat(2), and the one-byte-at-a-time line read. Tests: tests/tlvpr_test.cpp.
#include "tlvpr_fileio.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "tlvpr_mem.h"

// tlvpr_file_test - 0 when path exists with every wanted TLVPR_FT_* bit, else -1
int tlvpr_file_test(const char *path, int wanted) {
  if (path == nullptr || path[0] == '\0') {
    return -1;
  }
  size_t len = strlen(path);
  char *copy = nullptr;
  const char *test = path;
  char last = path[len - 1];
  if ((last == '/' || last == '\\') && len >= 2 && path[len - 2] != ':') {
    copy = (char *)tlvpr_calloc(len, 1);
    if (copy == nullptr) {
      return -1;
    }
    memcpy(copy, path, len - 1);
    test = copy;
  } else if (last == ':') {
    copy = (char *)tlvpr_calloc(len + 2, 1);
    if (copy == nullptr) {
      return -1;
    }
    memcpy(copy, path, len);
    copy[len] = tlvpr_path_separator();
    test = copy;
  }
  struct stat st;
  int rc = stat(test, &st);
  tlvpr_free(copy);
  if (rc != 0) {
    return -1;
  }
  int have = TLVPR_FT_EXISTS;
  if (S_ISREG(st.st_mode)) have |= TLVPR_FT_REGULAR;
  if (S_ISDIR(st.st_mode)) have |= TLVPR_FT_DIRECTORY;
  if (st.st_mode & S_IRUSR) have |= TLVPR_FT_READ;
  if (st.st_mode & S_IWUSR) have |= TLVPR_FT_WRITE;
  if (st.st_mode & S_IXUSR) have |= TLVPR_FT_EXEC;
  return (have & wanted) == wanted ? 0 : -1;
}

// tlvpr_open - opens a file; the handle is the descriptor plus one, 0 on failure
int tlvpr_open(const char *path, int flags, int mode) {
  int fd = open(path, flags | O_CLOEXEC, mode);
  return fd < 0 ? 0 : fd + 1;
}

// tlvpr_read - reads up to size bytes from a handle; -1 on failure
long tlvpr_read(int handle, void *buffer, size_t size) {
  if (handle <= 0) {
    errno = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = read(handle - 1, buffer, size);
  } while (n < 0 && errno == EINTR);
  return (long)n;
}

// tlvpr_lseek - moves a handle's position; the new position or -1
int64_t tlvpr_lseek(int handle, int64_t offset, int origin) {
  if (handle <= 0) {
    errno = EBADF;
    return -1;
  }
  return (int64_t)lseek(handle - 1, (off_t)offset, origin);
}

// tlvpr_close - closes a handle
int tlvpr_close(int handle) {
  if (handle <= 0) {
    errno = EBADF;
    return -1;
  }
  return close(handle - 1) == 0 ? 0 : -1;
}

// tlvpr_fstat - the status of an open handle
int tlvpr_fstat(int handle, TlvprStat *status) {
  if (handle <= 0 || status == nullptr) {
    errno = EBADF;
    return -1;
  }
  return fstat(handle - 1, status) == 0 ? 0 : -1;
}

// tlvpr_stream_handle - the handle of an open stream; 0 for null
int tlvpr_stream_handle(FILE *stream) {
  if (stream == nullptr) {
    return 0;
  }
  int fd = fileno(stream);
  return fd < 0 ? 0 : fd + 1;
}

// tlvpr_stat_size - size field of a status record
int64_t tlvpr_stat_size(const TlvprStat *status) { return (int64_t)status->st_size; }

// tlvpr_stat_mtime - modification time field of a status record
int64_t tlvpr_stat_mtime(const TlvprStat *status) { return (int64_t)status->st_mtime; }

// tlvpr_unlink - deletes a file; null does nothing
int tlvpr_unlink(const char *path) {
  if (path == nullptr) {
    return 0;
  }
  return unlink(path) == 0 ? 0 : -1;
}

// tlvpr_rename - renames a file; non-zero with errno set on failure
int tlvpr_rename(const char *from, const char *to) { return rename(from, to); }

// tlvpr_fgets - reads one line, byte by byte, keeping the newline
char *tlvpr_fgets(char *buffer, int size, FILE *stream) {
  if (buffer == nullptr || stream == nullptr || size <= 1) {
    return nullptr;
  }
  int stored = 0;
  flockfile(stream);
  while (stored < size - 1) {
    int c = getc_unlocked(stream);
    if (c == EOF) {
      break;
    }
    buffer[stored++] = (char)c;
    if (c == '\n') {
      break;
    }
  }
  if (stored > 0 && feof_unlocked(stream) && !ferror_unlocked(stream)) {
    // A final line without newline is handed out; the next call meets the end
    // again, and data appended meanwhile is seen. (clearerr also clears the
    // error indicator, so it is used only when no error is pending.)
    clearerr_unlocked(stream);
  }
  funlockfile(stream);
  if (stored == 0) {
    return nullptr;
  }
  buffer[stored] = '\0';
  return buffer;
}

// tlvpr_getcwd - the current working directory
char *tlvpr_getcwd(char *buffer, size_t size) { return getcwd(buffer, size); }

// tlvpr_path_separator - the separator of this platform's paths
char tlvpr_path_separator(void) { return '/'; }
