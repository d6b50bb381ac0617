// tvr_log_levels - what a log record is filed under: its level, the level's
// name and the system-log facility
//
// Levels are syslog severities, TVR_LOG_ALERT 1 .. TVR_LOG_DEBUG 7; a record
// of level L is written when L <= the shared threshold. TVR_LOG_NO_CODE (-1)
// is the code of a record that carries no code field (the debug trace).
//
// tvr_log_level_name(level): "ALERT" 1, "ERROR" 3, "WARNING" 4, "NOTICE" 5,
// "INFO" 6, "DEBUG" for every other number. A static text.
//
// tvr_log_facility(): the system-log facility (a LOG_* value, LOG_MAIL until a
// facility is selected); it is kept in the shared record (syslog_facility,
// shareddata/tvrshareddata.h), so the host's choice also holds for the module's
// records. The settings (tvr_log_settings.h) select it.
//
// This unit sits below the log call, the record writer and the settings, which
// all use it. Neither call logs, allocates or fails; both may run on any thread.
#ifndef COMMON_UTILS_SRC_TVR_LOG_LEVELS_H
#define COMMON_UTILS_SRC_TVR_LOG_LEVELS_H

#ifdef __cplusplus
extern "C" {
#endif

enum {
  TVR_LOG_ALERT = 1,
  TVR_LOG_ERR = 3,
  TVR_LOG_WARNING = 4,
  TVR_LOG_NOTICE = 5,
  TVR_LOG_INFO = 6,
  TVR_LOG_DEBUG = 7
};

#define TVR_LOG_NO_CODE 0xFFFFFFFFu

const char *tvr_log_level_name(int level);
int tvr_log_facility(void);

#ifdef __cplusplus
}
#endif

#endif
