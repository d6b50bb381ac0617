// tlvpr_tmpfile - the temporary directory and self-deleting temporary files
//
// tlvpr_temp_dir() is the temporary directory without a trailing separator:
// $TMPDIR when set and non-empty, else "/tmp". It is read once per process and
// kept in a process-wide buffer (first call without a lock; call it early).
//
// tlvpr_tmpfile(path) creates a new file "<tempdir>/tmXXXXXX" with a unique
// suffix (mkstemp: created exclusively, mode 0600, so no other user can open it),
// unlinks it at once, and gives a "w+b" stream on it; the file vanishes with the
// stream, whatever happens to the process. The 260-byte path buffer receives the
// name the file had. A null buffer, a name longer than the buffer or any failure
// gives null (nothing is left behind). The caller closes the stream.
#ifndef TLVPR_TLVPR_TMPFILE_H
#define TLVPR_TLVPR_TMPFILE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { TLVPR_PATH_MAX = 260 };  // the size of every fixed path buffer of the system

const char *tlvpr_temp_dir(void);
FILE *tlvpr_tmpfile(char *path);

#ifdef __cplusplus
}
#endif

#endif
