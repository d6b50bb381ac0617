// Sources: regex/*.cpp tlvpr/*.cpp shareddata/tvrshareddata.cpp (include regex/ tlvpr/
// shareddata/). Regex fuzz target: arbitrary bytes compiled in basic and extended syntax and
// matched against arbitrary subjects with a small backtrack limit: no crash, no
// leak, results in range, and the matcher's shortcuts agree with the plain
// interpreter on result and count. Input: one byte of compile and execution
// flags, the pattern up to the first NUL (at most 512 bytes), then subjects
// separated by NUL (at most 8 of at most 4096 bytes).
#include <stdint.h>
#include <string.h>

#include <string>

#include "regx.h"
#include "regx_internal.h"

// regx_fuzz_run - one pattern in one syntax against every subject
static void regx_fuzz_run(const std::string &pattern, int cflags, int eflags,
                          const std::string *subjects, int nsubjects) {
  RegxPattern p;
  memset(&p, 0, sizeof p);
  int rc = regx_compile(&p, pattern.c_str(), cflags);
  char text[80];
  size_t need = regx_error(rc, &p, text, sizeof text);
  if (need < 1 || text[sizeof text - 1] != 0) {
    __builtin_trap();
  }
  if (rc != REGX_OK) {
    if (p.arena != nullptr || p.program != nullptr || p.plan != nullptr || rc == 4 || rc == 5 ||
        rc == 17 || rc == 19 || rc < 0 || rc > 16) {
      __builtin_trap();
    }
    regx_free(&p);
    return;
  }
  for (int i = 0; i < nsubjects; i++) {
    const uint32_t limits[] = {5000, 37, 0};
    for (uint32_t limit : limits) {
      uint32_t fast_count = 0xFFFFFFFF;
      uint32_t plain_count = 0xFFFFFFFF;
      int fast = regx_exec(&p, subjects[i].c_str(), limit, &fast_count, eflags);
      int plain = regx_exec_plain(&p, subjects[i].c_str(), limit, &plain_count, eflags);
      if (fast != plain || fast_count != plain_count) {
        __builtin_trap();
      }
      if (fast != REGX_OK && fast != REGX_NOMATCH && fast != REGX_ESTACK && fast != REGX_ETOOMANY) {
        __builtin_trap();
      }
      if ((fast == REGX_OK || fast == REGX_NOMATCH) ? fast_count > limit
                                                    : fast_count != 0xFFFFFFFF) {
        __builtin_trap();
      }
      int bare = regx_exec(&p, subjects[i].c_str(), limit, nullptr, eflags);
      if (bare != fast) {
        __builtin_trap();
      }
    }
  }
  regx_free(&p);
  regx_free(&p);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  uint8_t sel = data[0];
  int cflags = ((sel & 1) ? REGX_ICASE : 0) | ((sel & 2) ? REGX_NEWLINE : 0) |
               ((sel & 4) ? REGX_FULLMATCH : 0);
  int eflags = ((sel & 8) ? REGX_NOTBOL : 0) | ((sel & 16) ? REGX_NOTEOL : 0);
  const char *p = (const char *)data + 1;
  const char *end = (const char *)data + size;
  const char *nul = (const char *)memchr(p, 0, (size_t)(end - p));
  std::string pattern(p, nul != nullptr ? nul : end);
  if (pattern.size() > 512) {
    pattern.resize(512);
  }
  std::string subjects[8];
  int nsubjects = 0;
  const char *at = nul != nullptr ? nul + 1 : end;
  while (at < end && nsubjects < 8) {
    const char *stop = (const char *)memchr(at, 0, (size_t)(end - at));
    if (stop == nullptr) {
      stop = end;
    }
    subjects[nsubjects].assign(at, (size_t)(stop - at) < 4096 ? (size_t)(stop - at) : 4096);
    nsubjects++;
    at = stop + 1;
  }
  if (nsubjects == 0) {
    subjects[nsubjects++] = pattern;
  }
  regx_fuzz_run(pattern, cflags | REGX_EXTENDED, eflags, subjects, nsubjects);
  regx_fuzz_run(pattern, cflags, eflags, subjects, nsubjects);
  return 0;
}
