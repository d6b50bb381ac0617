// tvr_log_levels - level names and the facility in use (see the header).
// Tests: tests/tvr_log_test.cpp, tests/tvr_log_settings_test.cpp.
#include "tvr_log_levels.h"

#include <stdint.h>
#include <syslog.h>

#include "tvrshareddata.h"

// tvr_log_level_name - the level field of a record
const char *tvr_log_level_name(int level) {
  switch (level) {
    case TVR_LOG_ALERT:
      return "ALERT";
    case TVR_LOG_ERR:
      return "ERROR";
    case TVR_LOG_WARNING:
      return "WARNING";
    case TVR_LOG_NOTICE:
      return "NOTICE";
    case TVR_LOG_INFO:
      return "INFO";
    default:
      return "DEBUG";
  }
}

// tvr_log_facility - the system-log facility in use; the shared record holds it
// so that every copy of the logging code in the process uses the one chosen
int tvr_log_facility(void) {
  int32_t stored = __atomic_load_n(&tvr_shared_log_settings.syslog_facility, __ATOMIC_RELAXED);
  return stored == 0 ? LOG_MAIL : stored - 1;
}
