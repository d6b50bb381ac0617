// Formatter fuzz target: one directive built from the input (flags, width,
// precision, length modifier, conversion) applied to one argument of the right
// kind taken from the input (any double, integer, text or address), into
// buffers of every size from 0 to 64: the output must stay inside the buffer,
// be terminated, and agree with a count-only run.
#include <stdint.h>
#include <string.h>

#include <string>

#include "tlvpr_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 12 || size > 256) {
    return 0;
  }
  static const char flags[] = "-+# 0";
  static const char convs[] = "diuoxXcseEfgGpp%k";
  std::string directive = "<%";
  for (int i = 0; i < 5; i++) {
    if (data[0] & (1 << i)) directive += flags[i];
  }
  if (data[1] & 1) directive += std::to_string(data[2] % 128);
  if (data[1] & 2) directive += "." + std::to_string(data[3] % 128);
  if (data[1] & 4) directive += (data[1] & 8) ? "h" : "l";
  char conv = convs[data[4] % (sizeof convs - 1)];
  directive += conv;
  if (conv == 'p') directive += "ApIpx"[data[5] % 5];
  directive += ">";
  double d;
  memcpy(&d, data + 4, sizeof d);
  int n;
  memcpy(&n, data + 8, sizeof n);
  std::string text((const char *)data + 12, size - 12);
  unsigned char addr[8] = {0, 25, data[8], data[9], data[10], data[11], 0, 0};
  const char *fmt = directive.c_str();

  auto run = [&](char *buf, size_t cap) {
    if (strchr("eEfgG", conv)) return tlvpr_snprintf(buf, cap, fmt, d);
    if (conv == 's') return tlvpr_snprintf(buf, cap, fmt, text.c_str());
    if (conv == 'p') {
      return tlvpr_snprintf(buf, cap, fmt, (data[5] % 5 == 2) ? (void *)addr : (void *)(addr + 2));
    }
    return tlvpr_snprintf(buf, cap, fmt, n);
  };
  int full = run(nullptr, 0);  // count only
  if (full < 0) __builtin_trap();
  char buf[80];
  for (size_t cap = 0; cap <= 64; cap++) {
    memset(buf, 'Z', sizeof buf);
    int rc = run(buf, cap);
    for (size_t i = cap; i < sizeof buf; i++) {
      if (buf[i] != 'Z') __builtin_trap();  // wrote past the buffer
    }
    if (cap == 0) continue;
    // A text that fits gives its length and ends there; a cut one gives the size.
    size_t end = (size_t)full < cap ? (size_t)full : cap - 1;
    if (rc != ((size_t)full < cap ? full : (int)cap) || buf[end] != '\0') __builtin_trap();
  }
  return 0;
}
