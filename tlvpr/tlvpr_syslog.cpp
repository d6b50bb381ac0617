// tlvpr_syslog - thin wrappers over openlog(3), syslog(3) and closelog(3).
// Exercised through the event-log sink's default reporter (tests/tvr_log_test.cpp).
#include "tlvpr_syslog.h"

#include <syslog.h>

// tlvpr_syslog_open - openlog with the process id in every entry
void tlvpr_syslog_open(const char *ident, int facility) { openlog(ident, LOG_PID, facility); }

// tlvpr_syslog_write - one entry, the text passed as an argument of "%s"
void tlvpr_syslog_write(int priority, const char *text) {
  syslog(priority, "%s", text != nullptr ? text : "");
}

// tlvpr_syslog_close - closelog
void tlvpr_syslog_close(void) { closelog(); }
