// tlvpr_syslog - the system log (syslog(3))
//
// tlvpr_syslog_open(ident, facility) connects the process to the system log
// under ident with the process id in every entry (openlog with LOG_PID); ident
// must stay valid until the next open or close. tlvpr_syslog_write(priority,
// text) logs text as it stands (never as a format) at priority, a LOG_* facility
// OR'd with a LOG_* severity; without an open the C library opens with defaults.
// tlvpr_syslog_close() disconnects. No results: the system log reports nothing
// back. Thread-safe as the C library is; opening and closing should not overlap.
#ifndef TLVPR_TLVPR_SYSLOG_H
#define TLVPR_TLVPR_SYSLOG_H

#ifdef __cplusplus
extern "C" {
#endif

void tlvpr_syslog_open(const char *ident, int facility);
void tlvpr_syslog_write(int priority, const char *text);
void tlvpr_syslog_close(void);

#ifdef __cplusplus
}
#endif

#endif
