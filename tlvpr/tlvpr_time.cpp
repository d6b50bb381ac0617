// tlvpr_time - clock, local time and sleep over time(2), localtime_r(3) and
// nanosleep(2), each replaceable through tlvpr_hooks. Tests: tests/tlvpr_test.cpp.
#include "tlvpr_time.h"

#include <errno.h>
#include <time.h>

#include "tlvpr_hooks.h"

// tlvpr_time - seconds since 1970 UTC, from the clock hook when one is set
int64_t tlvpr_time(void) {
  if (tlvpr_hooks.time != nullptr) {
    return tlvpr_hooks.time();
  }
  return (int64_t)time(nullptr);
}

// tlvpr_localtime - local broken-down time with the full year
int tlvpr_localtime(int64_t t, TlvprTm *out) {
  time_t tt = (time_t)t;
  struct tm tm;
  if (out == nullptr || localtime_r(&tt, &tm) == nullptr) {
    return -1;
  }
  out->tm_sec = tm.tm_sec;
  out->tm_min = tm.tm_min;
  out->tm_hour = tm.tm_hour;
  out->tm_mday = tm.tm_mday;
  out->tm_mon = tm.tm_mon;
  out->tm_year = tm.tm_year + 1900;
  out->tm_wday = tm.tm_wday;
  out->tm_yday = tm.tm_yday;
  out->tm_isdst = tm.tm_isdst;
  return 0;
}

// tlvpr_zone_offset - seconds west of UTC in force at t, daylight saving included
int32_t tlvpr_zone_offset(int64_t t) {
  time_t tt = (time_t)t;
  struct tm tm;
  if (localtime_r(&tt, &tm) == nullptr) {
    return 0;
  }
  return (int32_t)-tm.tm_gmtoff;
}

// tlvpr_sleep - sleeps whole milliseconds (seconds * 1000, truncated)
void tlvpr_sleep(double seconds) {
  double ms = seconds * 1000.0;
  // !(ms > 0) also catches NaN, whose conversion to an integer is undefined.
  uint32_t whole = !(ms > 0) ? 0 : (ms >= 4294967295.0 ? 0xFFFFFFFFu : (uint32_t)ms);
  if (tlvpr_hooks.sleep_ms != nullptr) {
    tlvpr_hooks.sleep_ms(whole);
    return;
  }
  struct timespec rest = {(time_t)(whole / 1000), (long)(whole % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}
