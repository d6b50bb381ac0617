// tlv_tmpfile - a tlvpr_tmpfile stream whose status is checked before it is
// handed out: decrypted rule text must never land in a file that still has a
// name or that someone else may open. Tests: tests/tlv_tmpfile_test.cpp.
#include "tlv_tmpfile.h"

#include "tlvpr_fileio.h"
#include "tlvpr_tmpfile.h"

// tlv_tmpfile_open - a new self-deleting, owner-only "w+b" stream
uint32_t tlv_tmpfile_open(FILE **stream) {
  if (stream == nullptr) {
    return 10040;
  }
  char path[TLVPR_PATH_MAX];
  FILE *file = tlvpr_tmpfile(path);
  if (file == nullptr) {
    return 10003;
  }
  TlvprStat status;
  if (tlvpr_fstat(tlvpr_stream_handle(file), &status) != 0) {
    fclose(file);
    return 10044;
  }
  if (status.st_nlink != 0 || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    fclose(file);
    return 10003;
  }
  *stream = file;
  return 0;
}
