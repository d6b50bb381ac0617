// tvr_securitykey - the certificate is read whole with one read of its stated
// size and digested with one md5_update; the digest's bytes become two
// upper-case digits each. Tests: tests/tvr_securitykey_test.cpp.
#include "tvr_securitykey.h"

#include "md5.h"
#include "tlvpr_fileio.h"
#include "tlvpr_mem.h"
#include "tvr_status.h"

// tvr_securitykey_from_file - key text of the MD5 digest of a file's bytes
uint32_t tvr_securitykey_from_file(const char *path, char **key) {
  if (path == nullptr || key == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  int handle = tlvpr_open(path, O_RDONLY, 0);
  if (handle == 0) {
    return TVR_FILE_OPEN_ERROR;
  }
  uint32_t rc = 0;
  unsigned char *data = nullptr;
  char *text = nullptr;
  TlvprStat status;
  int64_t size = 0;
  if (tlvpr_fstat(handle, &status) != 0) {
    rc = TVR_FILE_OPEN_ERROR;
  } else {
    size = tlvpr_stat_size(&status);
    if (size < 0 || (uint64_t)size > SIZE_MAX) {
      rc = TVR_NO_MEMORY;
    }
  }
  if (rc == 0) {
    data = (unsigned char *)tlvpr_calloc((size_t)size, 1);
    if (data == nullptr) {
      rc = TVR_NO_MEMORY;
    }
  }
  if (rc == 0 && tlvpr_read(handle, data, (size_t)size) != (long)size) {
    rc = TVR_FILE_READ_ERROR;
  }
  if (rc == 0) {
    unsigned char digest[MD5_DIGEST_SIZE];
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, (size_t)size);
    md5_final(digest, &ctx);
    text = (char *)tlvpr_calloc(TVR_SECURITYKEY_LEN + 1, 1);
    if (text == nullptr) {
      rc = TVR_NO_MEMORY;
    } else {
      static constexpr char digits[] = "0123456789ABCDEF";
      for (int i = 0; i < MD5_DIGEST_SIZE; i++) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 15];
      }
      *key = text;
    }
  }
  tlvpr_free(data);
  tlvpr_close(handle);
  return rc;
}
