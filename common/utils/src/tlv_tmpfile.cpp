// tlv_tmpfile - a tlvpr_tmpfile stream whose status is checked before it is
// handed out: decrypted rule text must never land in a file that still has a
// name or that someone else may open. Tests: tests/tlv_tmpfile_test.cpp.
#include "tlv_tmpfile.h"

#include "tlvpr_fileio.h"
#include "tlvpr_tmpfile.h"
#include "tvr_status.h"

// tlv_tmpfile_open - a new self-deleting, owner-only "w+b" stream
uint32_t tlv_tmpfile_open(FILE **stream) {
  if (stream == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  char path[TLVPR_PATH_MAX];
  FILE *file = tlvpr_tmpfile(path);
  if (file == nullptr) {
    return TVR_FILE_OPEN_ERROR;
  }
  TlvprStat status;
  if (tlvpr_fstat(tlvpr_stream_handle(file), &status) != 0) {
    fclose(file);
    return TVR_FILE_STATUS_ERROR;
  }
  if (status.st_nlink != 0 || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    fclose(file);
    return TVR_FILE_OPEN_ERROR;
  }
  *stream = file;
  return 0;
}
