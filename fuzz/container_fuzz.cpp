// Container fuzz target: arbitrary stored rule files decrypted with a fixed
// two-key triple-DES key as Base64 text (type 2) and as raw container (type 3),
// and arbitrary plain texts encrypted then decrypted (round trip), with single,
// two-key and three-key DES.
#include <stdint.h>
#include <string.h>

#include "encryption.h"
#include "tlvpr_mem.h"

static const char *const container_fuzz_keys[] = {
    "0123456789ABCDEF",
    "00112233445566778899AABBCCDDEEFF",
    "0123456789abcdef0011223344556677FEDCBA9876543210",
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) {
    return 0;
  }
  const char *key = container_fuzz_keys[1];
  for (int type = 0; type <= 3; type++) {
    unsigned char *out = nullptr;
    size_t out_len = 0;
    if (tlvDecryptBuffer(data, size, key, type, &out, &out_len) == 0) {
      tlvpr_free(out);
    }
  }
  const char *round_key = container_fuzz_keys[size % 3];
  for (int type = 0; type <= 3; type++) {
    unsigned char *enc = nullptr;
    size_t enc_len = 0;
    if (tlvEncryptBuffer(data, size, round_key, type, &enc, &enc_len) != 0) {
      continue;
    }
    unsigned char *dec = nullptr;
    size_t dec_len = 0;
    uint32_t rc = tlvDecryptBuffer(enc, enc_len, round_key, type, &dec, &dec_len);
    if (rc == 0 && (dec_len != size || (size != 0 && memcmp(dec, data, size) != 0))) {
      __builtin_trap();  // a container does not decrypt to what was encrypted
    }
    tlvpr_free(dec);
    tlvpr_free(enc);
  }
  return 0;
}
