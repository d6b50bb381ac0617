// tvr_log_settings - filling the shared log settings record from a destination
// and a settings text
//
// tvr_log_configure(destination, threshold, roll_count, roll_unit, keep_count),
// all texts, composes "ALL,threshold,roll_count|roll_unit|keep_count" (or
// "ALL,threshold" unless all three rolling fields are given) and applies it with
// destination; with no threshold it applies destination with no settings text.
//
// tvr_log_apply_settings(destination, settings):
// - makes the record's lock on first use, then works under it;
// - closes the previous log file (never standard error);
// - settings: "TVR_LOG_ALERT" 1, "TVR_LOG_ERR" 3, "TVR_LOG_WARNING" 4,
//   "TVR_LOG_NOTICE" 5, "TVR_LOG_INFO" 6, "TVR_LOG_DEBUG" 7 (prefixes of the
//   text; another "TVR_LOG_" text leaves the threshold) set only the threshold;
//   any other text is "first,threshold,roll_count|roll_unit|keep_count" with the
//   first field ignored, numbers read as leading decimals (no number: 0) and the
//   fields after the threshold optional from the right (a missing one leaves its
//   record field); null settings mean "TVR_LOG_NOTICE";
// - destination null, "" or "syslog...": the system log, "syslog|name" also
//   selects the facility name (kern user mail daemon auth lpr news uucp cron
//   local0..local7; an unknown name logs 2070 and keeps the facility);
//   "stderr": standard error; anything else a log file path, cut to 259
//   characters, split by tvr_config_set_log_path (10081 when that fails) and
//   opened for appending ("a+"; 10056 and 10070 when it cannot be opened, and
//   the records go to the system log);
// - rolling: roll_seconds = roll_count times 86400, 3600 or 60 for a roll_unit
//   beginning with DAY, HOUR or MINUTE (any case), else 0 (periods beyond
//   INT32_MAX seconds are held at INT32_MAX); the current period starts at the
//   log file's modification time when that is older than now, else now.
// rename_failures and the system-log registration are kept. Logs only the codes
// named; returns nothing. Call it before threads log, or accept that records
// written meanwhile wait on the lock (system-log records do not wait).
//
// tvr_config_set_log_path(path) fills directory, base_name (extension included)
// and extension (from the last dot, or empty) of the shared record from path
// split at its last '/': 0; 1 after logging 10001 (no memory for the copy) or
// 10098 (no separator after the first character). Fields change only on 0.
//
// tvr_log_is_special_destination(destination): 1 for the system log and
// "stderr", 0 for a file path.
//
// The facility selected here is read back with tvr_log_facility
// (tvr_log_levels.h).
#ifndef COMMON_UTILS_SRC_TVR_LOG_SETTINGS_H
#define COMMON_UTILS_SRC_TVR_LOG_SETTINGS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void tvr_log_configure(const char *destination, const char *threshold, const char *roll_count,
                       const char *roll_unit, const char *keep_count);
void tvr_log_apply_settings(const char *destination, const char *settings);
uint32_t tvr_config_set_log_path(const char *path);
int tvr_log_is_special_destination(const char *destination);

#ifdef __cplusplus
}
#endif

#endif
