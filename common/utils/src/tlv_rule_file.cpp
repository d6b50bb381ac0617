// tlv_rule_file - the rule file's open with retries, shared by the module's
// initialisation and the rule base loader. Tests: tests/e2e_module_test.cpp
// (the attempts and sleeps, through the module).
#include "tlv_rule_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tlvpr_time.h"

namespace {

constexpr int kOpenAttempts = 5;
constexpr double kOpenSleeps[kOpenAttempts - 1] = {0.5, 1, 2, 4};  // seconds

}  // namespace

// tlv_rule_file_open - the rule file for reading, after up to five attempts
FILE *tlv_rule_file_open(const char *path) {
  if (path == nullptr) {
    return nullptr;
  }
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    // Without blocking: a FIFO without a writer would hold the caller for ever.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      struct stat st;
      FILE *file = nullptr;
      if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= TLV_RULE_FILE_MAX &&
          fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        file = fdopen(fd, "r");
      }
      if (file == nullptr) {
        close(fd);
      }
      return file;
    }
    if (attempt + 1 < kOpenAttempts) {
      tlvpr_sleep(kOpenSleeps[attempt]);
    }
  }
  return nullptr;
}
