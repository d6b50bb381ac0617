// tvr_log_roll - rolling the log file over at period boundaries of local time,
// and deleting the oldest rolled files
//
// Both calls work on the shared log settings record
// (shareddata/tvrshareddata.h) and run only with its lock held (the file sink of tvr_log_write.h
// calls them).
//
// tvr_log_roll(&renamed): when now lies in a later period than period_start
// (periods of roll_seconds, counted from 1970-01-01 00:00 local time), closes the
// stream, renames path to the rolled name and reopens path for appending ("a+";
// stream null when that fails). The rolled name is path's directory, '/',
// base_name, the start of the closed period as YYYYMMDDhhmm (local time) and
// extension, e.g. /var/log/filter.log -> /var/log/filter.log202612070000.log; with
// no extension it is path followed by the time. When that name already exists
// nothing is renamed; a name that would not fit in 259 characters is not renamed
// either and gives ENAMETOOLONG. Result: 0, or the errno of the failed rename.
// renamed is set to 1 only after a successful rename (always written); with
// roll_seconds 0 or less nothing rolls and the result is 0. The
// period bookkeeping (period_start, period_zone_offset and the cached zone
// offset of now) moves to now at every roll, also a failed one; a check that
// does not roll changes only the cached zone offset, which it takes afresh once
// per quarter hour.
//
// tvr_log_roll_reset() forgets the cached zone offset (the next check takes it
// afresh); the settings call it whenever they are applied.
//
// tvr_log_cleanup(directory, name): lists directory (null: the current working
// directory) and deletes the oldest rolled files of the log beyond keep_count.
// A rolled file is an entry whose stem (before its last dot) starts with
// base_name and is exactly 12 characters longer, and whose extension equals
// extension (none when extension is empty), both ignoring case; the oldest are
// the first in byte order. name is not used for matching. Failed deletions are
// ignored. With keep_count 0 or less nothing is listed or deleted (result 0).
// Results: 0; 10055 no memory; 1003 no current directory; 10024 the directory
// cannot be listed (nothing is deleted then).
#ifndef COMMON_UTILS_SRC_TVR_LOG_ROLL_H
#define COMMON_UTILS_SRC_TVR_LOG_ROLL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int tvr_log_roll(int *renamed);
void tvr_log_roll_reset(void);
uint32_t tvr_log_cleanup(const char *directory, const char *name);

#ifdef __cplusplus
}
#endif

#endif
