// tlv_rule_file - the rule file's open with retries, shared by the module's
// initialisation and the rule base loader. Tests: tests/e2e_module_test.cpp
// (the attempts and sleeps, through the module).
#include "tlv_rule_file.h"

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
    FILE *file = fopen(path, "r");
    if (file != nullptr) {
      return file;
    }
    if (attempt + 1 < kOpenAttempts) {
      tlvpr_sleep(kOpenSleeps[attempt]);
    }
  }
  return nullptr;
}
