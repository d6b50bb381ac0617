// milter_log - the milter's log lines (see the header). The text is made with
// vsnprintf and handed to the record writer as the argument of "%s", so a
// per-cent sign in it (a path, a reply text) prints as itself.
#include "milter_log.h"

#include <stdarg.h>
#include <stdio.h>

#include "tvr_log_levels.h"
#include "tvr_log_write.h"

namespace {

constexpr size_t kLineMax = 2048;

// milter_log_text - hands one ready text to the record writer
void milter_log_text(int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  tvr_log_write(format, args, level, TVR_LOG_NO_CODE);
  va_end(args);
}

}  // namespace

// milter_log - one record without a catalog code
void milter_log(int level, const char *format, ...) {
  char text[kLineMax];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  milter_log_text(level, "%s", text);
}

// milter_reason - one line of reason into the caller's buffer
int milter_reason(char *why, size_t why_size, const char *format, ...) {
  if (why != nullptr && why_size > 0) {
    va_list args;
    va_start(args, format);
    vsnprintf(why, why_size, format, args);
    va_end(args);
  }
  return 1;
}
