// tlv_tmpfile - self-deleting, owner-only temporary files for decrypted text
//
// tlv_tmpfile_open(&stream) creates a new file with a unique name in the
// system's temporary directory (tlvpr_tmpfile), opened for binary reading and
// writing ("w+b"). The file has no name left on disk and only its owner may
// access it: its content disappears when the stream is closed (or the process
// ends) and no other process can open it. The caller closes the stream.
//
// Results: 0 (stream written); 10040 null argument; 10003 no temporary file
// could be created, or the new file still has a name or is accessible to
// others (it is then closed); 10044 its status cannot be read (it is then
// closed). stream is written only on 0. Logs nothing. Any thread.
#ifndef COMMON_UTILS_SRC_TLV_TMPFILE_H
#define COMMON_UTILS_SRC_TLV_TMPFILE_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t tlv_tmpfile_open(FILE **stream);

#ifdef __cplusplus
}
#endif

#endif
