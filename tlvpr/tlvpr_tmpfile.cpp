// tlvpr_tmpfile - the temporary directory and self-deleting temporary files.
// A temporary file is created by mkstemp (exclusive, mode 0600) and unlinked
// before the stream is handed out, so its content lives only as long as the
// stream and no other user can ever open it. Tests: tests/tlvpr_test.cpp.
#include "tlvpr_tmpfile.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tlvpr_fileio.h"

static char tlvpr_temp_dir_buffer[TLVPR_PATH_MAX];  // filled at the first call

// tlvpr_temp_dir - $TMPDIR or /tmp, without a trailing separator; read once
const char *tlvpr_temp_dir(void) {
  if (tlvpr_temp_dir_buffer[0] == '\0') {
    const char *dir = getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0' || strlen(dir) >= sizeof tlvpr_temp_dir_buffer) {
      dir = "/tmp";
    }
    size_t len = strlen(dir);
    while (len > 1 && dir[len - 1] == '/') {
      len--;
    }
    memcpy(tlvpr_temp_dir_buffer, dir, len);
    tlvpr_temp_dir_buffer[len] = '\0';
  }
  return tlvpr_temp_dir_buffer;
}

// tlvpr_tmpfile - a new owner-only file that disappears with its stream
FILE *tlvpr_tmpfile(char *path) {
  if (path == nullptr) {
    return nullptr;
  }
  static const char templ[] = "tmXXXXXX";
  const char *dir = tlvpr_temp_dir();
  size_t dir_len = strlen(dir);
  size_t len = dir_len + 1 + sizeof templ - 1;
  if (len >= TLVPR_PATH_MAX) {
    return nullptr;
  }
  char name[TLVPR_PATH_MAX];
  memcpy(name, dir, dir_len);
  name[dir_len] = tlvpr_path_separator();
  memcpy(name + dir_len + 1, templ, sizeof templ);
  int fd = mkstemp(name);  // created exclusively with mode 0600
  if (fd < 0) {
    return nullptr;
  }
  unlink(name);
  if (fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
    close(fd);
    return nullptr;
  }
  FILE *stream = fdopen(fd, "w+b");
  if (stream == nullptr) {
    close(fd);
    return nullptr;
  }
  memcpy(path, name, len + 1);
  return stream;
}
