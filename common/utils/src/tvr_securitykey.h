// tvr_securitykey - the rule key text derived from the client certificate
//
// tvr_securitykey_from_file(path, &key) reads the certificate file's exact
// bytes (binary, not parsed: any change, even of line ends, changes the key)
// and gives its MD5 digest as key text: 32 upper-case hexadecimal digits
// ("0"-"9", "A"-"F"), byte k of the digest as characters 2k, 2k+1 (high nibble
// first), NUL-terminated, in a zero-filled 33-byte heap block the caller frees
// with tlvpr_free. An empty file gives the digest of empty input.
//
// Results: 0 (key written); 10040 null path or null key argument; 10003 the
// file cannot be opened (or its status cannot be read); 10013 no memory; 10011
// the file gives fewer bytes than its size. key is written only on 0; the file
// is always closed and the read buffer freed. Logs nothing (the caller reports
// a failure). No shared state.
#ifndef COMMON_UTILS_SRC_TVR_SECURITYKEY_H
#define COMMON_UTILS_SRC_TVR_SECURITYKEY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { TVR_SECURITYKEY_LEN = 32 };  // digits of a key text, without the NUL

uint32_t tvr_securitykey_from_file(const char *path, char **key);

#ifdef __cplusplus
}
#endif

#endif
