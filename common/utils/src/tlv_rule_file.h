// tlv_rule_file - opening the stored rule file, with retries
//
// tlv_rule_file_open(path) opens path for reading ("r") and gives the stream,
// which the caller closes. While the file cannot be opened it tries again, up
// to 5 attempts in all, sleeping 0.5, 1, 2 and 4 seconds between them
// (tlvpr_sleep, the runtime's clock seam): a rule file that the server's update
// is replacing is given time to reappear. Gives null when every attempt failed,
// or at once for a null path, and at once for what opens but is no rule file:
// anything but a regular file (a FIFO, a device: opened without blocking and
// never read) or a file above TLV_RULE_FILE_MAX bytes. Logs nothing; the caller reports the failure
// with its own code. Any thread (the sleeps block only the caller).
#ifndef COMMON_UTILS_SRC_TLV_RULE_FILE_H
#define COMMON_UTILS_SRC_TLV_RULE_FILE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { TLV_RULE_FILE_MAX = 64 << 20 };  // bytes of the largest rule file opened

FILE *tlv_rule_file_open(const char *path);

#ifdef __cplusplus
}
#endif

#endif
