// tvrshareddata - the host's process-wide shared data: the log settings record
//
// The bottom of the system: the runtime and everything above it build on this
// library, which builds on nothing of ours (its headers need only the system's).
//
// libtvrshareddata.so defines exactly one TvrLogSettings, tvr_shared_log_settings,
// shared by every module of the process and by the host (it also defines the
// runtime's test seams, tlvpr_hooks, see tlvpr_hooks.h beside it). The record starts
// all zero: threshold 0 lets no record through until settings are applied.
// The host fills it (tvr_log_configure / tvr_log_apply_settings, which also
// initialise the lock); the log call reads threshold and stream without the lock;
// the file sink and the settings parser change stream and the rolling fields only
// while holding lock. The layout is a binary interface between host and module.
//
// tvr_shared_thread_error is per thread: the log call stores in it the code of
// the first record of level 3 (error) or worse logged on the calling thread
// since it was last cleared, whether or not the threshold lets the record
// through; 0 = none. A host clears it before it hands a message to a module
// and reads it afterwards, which tells it that the module failed on this
// message without parsing log output (a module evaluates on the host's thread).
//
// tvr_shared_thread_match_limits is per thread too: the log call adds one for
// every record of code 29001 (a match that gave up at the backtrack or stack
// limit) logged on the calling thread, whatever the threshold. It is never
// reset; a host reads it before and after a message and takes the difference.
#ifndef SHAREDDATA_TVRSHAREDDATA_H
#define SHAREDDATA_TVRSHAREDDATA_H

#include <stdint.h>
#include <stdio.h>

#include "tlvpr_hooks.h"
#include "tlvpr_lock.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { TVR_LOG_PATH_MAX = 260 };

typedef struct TvrLogSettings {
  int32_t initialised;               // non-zero once lock is initialised
  int32_t threshold;                 // highest level written (signed)
  int32_t period_zone_offset;        // seconds west of UTC when period_start was set
  int64_t period_start;              // a time inside the current log period (seconds since 1970)
  char path[TVR_LOG_PATH_MAX];       // log file's full path
  char roll_unit[12];                // "DAY", "HOUR" or "MINUTE" (at most 10 characters stored)
  int32_t roll_count;                // roll units per period
  int32_t keep_count;                // rolled files kept; <= 0 = never delete
  int32_t rename_failures;           // failed rolls since the last report
  int32_t roll_seconds;              // period length; <= 0 = no rolling
  char directory[TVR_LOG_PATH_MAX];  // directory part of path, no final separator
  char base_name[TVR_LOG_PATH_MAX];  // file name part of path, extension included
  char extension[TVR_LOG_PATH_MAX];  // extension from the last dot, or empty
  FILE *stream;                      // null = system log; stderr or the log file
  TlvprLock lock;                    // guards stream, rolling fields and file writes
  int32_t syslog_facility;           // system-log facility (LOG_*) + 1; 0 = none chosen (mail)
} TvrLogSettings;

extern TLVPR_SHARED_API TvrLogSettings tvr_shared_log_settings;
extern TLVPR_SHARED_API __thread uint32_t tvr_shared_thread_error;
extern TLVPR_SHARED_API __thread uint32_t tvr_shared_thread_match_limits;

#ifdef __cplusplus
}
#endif

#endif
