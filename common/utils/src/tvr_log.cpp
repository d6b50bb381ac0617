// tvr_log - the log call looks the code up before the threshold test, so an
// unknown code is always reported; the trace call escapes the caller's file and
// function names before they become part of a format. Tests:
// tests/tvr_log_test.cpp.
#include "tvr_log.h"

#include <stddef.h>

#include "tlvpr_format.h"
#include "tvr_log_write.h"
#include "tvr_messages.h"
#include "tvr_status.h"
#include "tvrshareddata.h"

namespace {

constexpr size_t TVR_LOG_TRACE_MAX = 1024;  // composed trace format, terminator included

// tvr_log_escape - copies text into out (room bytes, terminator included) with
// every '%' doubled; a pair that does not fit whole is left out, so the copy
// never ends in half an escape
void tvr_log_escape(const char *text, char *out, size_t room) {
  size_t pos = 0;
  for (const char *p = text; *p != '\0'; p++) {
    size_t need = *p == '%' ? 2 : 1;
    if (pos + need >= room) {
      break;
    }
    out[pos++] = *p;
    if (*p == '%') {
      out[pos++] = '%';
    }
  }
  out[pos] = '\0';
}

}  // namespace

// tvr_vlog - catalog lookup, then the record writer (which tests the threshold)
void tvr_vlog(int level, uint32_t code, va_list args) {
  const char *text = tvr_message_text(code);
  if (text == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_INTERNAL_ERROR, (int)code);
    return;
  }
  tvr_log_write(text, args, level, code);
}

// tvr_log - variadic form of tvr_vlog; a known code above the threshold returns
// before the argument list is touched. An error is noted for the thread before
// the threshold test, so a host learns of it even when the record is dropped;
// so is a match that gave up at a limit.
void tvr_log(int level, uint32_t code, ...) {
  if (level <= TVR_LOG_ERR && tvr_shared_thread_error == 0) {
    tvr_shared_thread_error = code;
  }
  if (code == TVR_RULE_REGEX_ERROR) {
    ++tvr_shared_thread_match_limits;
  }
  if (tvr_message_text(code) != nullptr &&
      level > __atomic_load_n(&tvr_shared_log_settings.threshold, __ATOMIC_RELAXED)) {
    return;
  }
  va_list args;
  va_start(args, code);
  tvr_vlog(level, code, args);
  va_end(args);
}

// tvr_log_trace - "[file:line:function] format" as the format of a level 7 record
void tvr_log_trace(const char *file, unsigned line, const char *function, const char *format, ...) {
  if (__atomic_load_n(&tvr_shared_log_settings.threshold, __ATOMIC_RELAXED) < TVR_LOG_DEBUG ||
      format == nullptr) {
    return;
  }
  char name[TVR_LOG_TRACE_MAX];
  char func[TVR_LOG_TRACE_MAX];
  char composed[TVR_LOG_TRACE_MAX];
  tvr_log_escape(file != nullptr ? file : "", name, sizeof name);
  if (function != nullptr) {
    tvr_log_escape(function, func, sizeof func);
    tlvpr_snprintf(composed, sizeof composed, "[%s:%u:%s] %s", name, line, func, format);
  } else {
    tlvpr_snprintf(composed, sizeof composed, "[%s:%u] %s", name, line, format);
  }
  va_list args;
  va_start(args, format);
  tvr_log_write(composed, args, TVR_LOG_DEBUG, TVR_LOG_NO_CODE);
  va_end(args);
}
