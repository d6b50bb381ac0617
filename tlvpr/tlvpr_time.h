// tlvpr_time - clock, local time, zone offset and sleeping
//
// tlvpr_time() is the current time in seconds since 1970-01-01 UTC (through the
// clock hook of tlvpr_hooks.h when set). Times are 64-bit so that they stay right
// after 2038.
// tlvpr_localtime(t, out) fills out with the local broken-down time of t: full
// year (2004, not 104), month 0 to 11; returns 0 (-1 only when the C library
// cannot convert t, and out is then untouched).
// tlvpr_zone_offset(t) is the local zone's offset from UTC at t in seconds west
// of UTC, daylight saving included (-tm_gmtoff of localtime_r).
// tlvpr_sleep(seconds) sleeps seconds*1000 milliseconds, truncated to whole
// milliseconds (through the sleep hook when set). No shared state of their own.
#ifndef TLVPR_TLVPR_TIME_H
#define TLVPR_TLVPR_TIME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TlvprTm {
  int tm_sec;    // 0 to 60
  int tm_min;    // 0 to 59
  int tm_hour;   // 0 to 23
  int tm_mday;   // 1 to 31
  int tm_mon;    // 0 to 11
  int tm_year;   // full year, e.g. 2004
  int tm_wday;   // 0 = Sunday
  int tm_yday;   // 0 to 365
  int tm_isdst;  // > 0 when daylight saving time is in force
} TlvprTm;

int64_t tlvpr_time(void);
int tlvpr_localtime(int64_t t, TlvprTm *out);
int32_t tlvpr_zone_offset(int64_t t);
void tlvpr_sleep(double seconds);

#ifdef __cplusplus
}
#endif

#endif
