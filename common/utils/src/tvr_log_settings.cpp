// tvr_log_settings - the settings text is cut into fields on a heap copy; every
// change of the shared record happens under its lock, and the two fields that
// log calls read without the lock (threshold, stream) are stored atomically.
// Tests: tests/tvr_log_settings_test.cpp.
#include "tvr_log_settings.h"

#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "tlv_str.h"
#include "tlvpr_errno.h"
#include "tlvpr_fileio.h"
#include "tlvpr_format.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tlvpr_sync.h"
#include "tlvpr_time.h"
#include "tvr_log.h"
#include "tvr_log_roll.h"
#include "tvr_parse_num.h"
#include "tvr_status.h"
#include "tvrshareddata.h"

namespace {

constexpr size_t TVR_LOG_SETTINGS_MAX = 1024;  // composed settings text
constexpr size_t TVR_LOG_ROLL_UNIT_MAX = 10;   // characters of roll_unit stored

struct TvrLogKeyword {
  const char *word;
  int32_t level;
};

// Compared in this order as prefixes of the settings text.
constexpr TvrLogKeyword tvr_log_keywords[] = {
    {"TVR_LOG_ALERT", TVR_LOG_ALERT},     {"TVR_LOG_ERR", TVR_LOG_ERR},
    {"TVR_LOG_WARNING", TVR_LOG_WARNING}, {"TVR_LOG_NOTICE", TVR_LOG_NOTICE},
    {"TVR_LOG_INFO", TVR_LOG_INFO},       {"TVR_LOG_DEBUG", TVR_LOG_DEBUG},
};

struct TvrLogFacility {
  const char *name;
  int value;
};

constexpr TvrLogFacility tvr_log_facilities[] = {
    {"kern", LOG_KERN},     {"user", LOG_USER},     {"mail", LOG_MAIL},     {"daemon", LOG_DAEMON},
    {"auth", LOG_AUTH},     {"lpr", LOG_LPR},       {"news", LOG_NEWS},     {"uucp", LOG_UUCP},
    {"cron", LOG_CRON},     {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2},
    {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6},
    {"local7", LOG_LOCAL7},
};

struct TvrLogUnit {
  const char *word;
  int64_t seconds;
};

constexpr TvrLogUnit tvr_log_units[] = {{"DAY", 86400}, {"HOUR", 3600}, {"MINUTE", 60}};

// tvr_log_number - the leading decimal number of a field; 0 when there is none
int32_t tvr_log_number(const char *field) {
  int32_t value = 0;
  if (tvr_parse_int_prefix(field, nullptr, &value) != 0) {
    return 0;
  }
  return value;
}

// tvr_log_parse_settings - a keyword or a field settings text into the record
void tvr_log_parse_settings(TvrLogSettings *s, const char *text) {
  if (strncmp(text, "TVR_LOG_", 8) == 0) {
    for (const TvrLogKeyword &k : tvr_log_keywords) {
      if (strncmp(text, k.word, strlen(k.word)) == 0) {
        __atomic_store_n(&s->threshold, k.level, __ATOMIC_RELAXED);
        break;
      }
    }
    return;
  }
  char *copy = tlvpr_strdup(text);
  if (copy == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_MALLOC_FAILED, (int)(strlen(text) + 1));
    return;
  }
  char *cursor = nullptr;
  char *field = tlv_strtok(copy, ",", &cursor);
  if (field != nullptr && (field = tlv_strtok(nullptr, ",", &cursor)) != nullptr) {
    __atomic_store_n(&s->threshold, tvr_log_number(field), __ATOMIC_RELAXED);
    if ((field = tlv_strtok(nullptr, "|", &cursor)) != nullptr) {
      s->roll_count = tvr_log_number(field);
      if ((field = tlv_strtok(nullptr, "|", &cursor)) != nullptr) {
        tlvpr_snprintf(s->roll_unit, TVR_LOG_ROLL_UNIT_MAX + 1, "%s", field);
        if ((field = tlv_strtok(nullptr, " ", &cursor)) != nullptr) {
          s->keep_count = tvr_log_number(field);
        }
      }
    }
  }
  tlvpr_free(copy);
}

// tvr_log_select_facility - "syslog|name": the facility of a known name
void tvr_log_select_facility(const char *destination) {
  if (strstr(destination, "syslog|") == nullptr) {
    return;
  }
  const char *name = strchr(destination, '|') + 1;
  for (const TvrLogFacility &f : tvr_log_facilities) {
    if (strcmp(name, f.name) == 0) {
      __atomic_store_n(&tvr_shared_log_settings.syslog_facility, f.value + 1, __ATOMIC_RELAXED);
      return;
    }
  }
  tvr_log(TVR_LOG_WARNING, TVR_BAD_SYSLOG_FACILITY, name);
}

// tvr_log_open_file - a log file destination; returns whether it existed and
// its modification time then
bool tvr_log_open_file(TvrLogSettings *s, const char *destination, int64_t *mtime) {
  tlvpr_snprintf(s->path, sizeof s->path, "%s", destination);
  if (tvr_config_set_log_path(s->path) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_CANNOT_SPLIT_LOG_PATH, s->path);
  }
  bool existed = tlvpr_file_test(s->path, TLVPR_FT_EXISTS) == 0;
  *mtime = 0;
  FILE *stream = fopen(s->path, "a+");
  if (stream == nullptr) {
    int error = tlvpr_last_error(TLVPR_ERR_RUNTIME);
    tvr_log(TVR_LOG_ERR, TVR_UNABLE_TO_OPEN_FILE, destination);
    tvr_log(TVR_LOG_ERR, TVR_ERRNO, error, tlvpr_error_text(error, TLVPR_ERR_RUNTIME));
    return false;
  }
  TlvprStat status;
  if (existed && tlvpr_fstat(tlvpr_stream_handle(stream), &status) == 0) {
    *mtime = tlvpr_stat_mtime(&status);
  } else {
    existed = false;
  }
  __atomic_store_n(&s->stream, stream, __ATOMIC_RELAXED);
  return existed;
}

// tvr_log_start_rolling - roll_seconds from the unit, and the current period
void tvr_log_start_rolling(TvrLogSettings *s, bool existed, int64_t mtime) {
  s->roll_seconds = 0;
  s->period_start = 0;
  tvr_log_roll_reset();
  if (s->roll_count > 0) {
    for (const TvrLogUnit &u : tvr_log_units) {
      if (tlvpr_strnicmp(s->roll_unit, u.word, strlen(u.word)) == 0) {
        int64_t seconds = (int64_t)s->roll_count * u.seconds;
        s->roll_seconds = seconds > INT32_MAX ? INT32_MAX : (int32_t)seconds;
        break;
      }
    }
  }
  if (s->roll_seconds > 0) {
    int64_t now = tlvpr_time();
    s->period_start = existed && mtime < now ? mtime : now;
    s->period_zone_offset = tlvpr_zone_offset(s->period_start);
  }
}

}  // namespace

// tvr_log_configure - composes the settings text and applies it
void tvr_log_configure(const char *destination, const char *threshold, const char *roll_count,
                       const char *roll_unit, const char *keep_count) {
  if (threshold == nullptr) {
    tvr_log_apply_settings(destination, nullptr);
    return;
  }
  char settings[TVR_LOG_SETTINGS_MAX];
  if (roll_count != nullptr && roll_unit != nullptr && keep_count != nullptr) {
    tlvpr_snprintf(settings, sizeof settings, "ALL,%s,%s|%s|%s", threshold, roll_count, roll_unit,
                   keep_count);
  } else {
    tlvpr_snprintf(settings, sizeof settings, "ALL,%s", threshold);
  }
  tvr_log_apply_settings(destination, settings);
}

// tvr_log_apply_settings - destination and settings text into the shared record
void tvr_log_apply_settings(const char *destination, const char *settings) {
  TvrLogSettings *s = &tvr_shared_log_settings;
  if (__atomic_load_n(&s->initialised, __ATOMIC_ACQUIRE) == 0) {
    if (tlvpr_lock_init(&s->lock) != 0) {
      return;  // without a lock the record cannot be changed safely
    }
    __atomic_store_n(&s->initialised, 1, __ATOMIC_RELEASE);
  }
  tlvpr_lock(&s->lock);
  FILE *old = __atomic_load_n(&s->stream, __ATOMIC_RELAXED);
  if (old != nullptr && old != stderr) {
    __atomic_store_n(&s->stream, (FILE *)nullptr, __ATOMIC_RELAXED);
    fclose(old);
  }
  tvr_log_parse_settings(s, settings != nullptr ? settings : "TVR_LOG_NOTICE");

  bool existed = false;
  int64_t mtime = 0;
  if (destination == nullptr || destination[0] == '\0' || strncmp(destination, "syslog", 6) == 0) {
    __atomic_store_n(&s->stream, (FILE *)nullptr, __ATOMIC_RELAXED);
    if (destination != nullptr) {
      tvr_log_select_facility(destination);
    }
  } else if (strcmp(destination, "stderr") == 0) {
    __atomic_store_n(&s->stream, stderr, __ATOMIC_RELAXED);
  } else {
    __atomic_store_n(&s->stream, (FILE *)nullptr, __ATOMIC_RELAXED);
    existed = tvr_log_open_file(s, destination, &mtime);
  }
  tvr_log_start_rolling(s, existed, mtime);
  tlvpr_unlock(&s->lock);
}

// tvr_config_set_log_path - directory, base_name and extension from path
uint32_t tvr_config_set_log_path(const char *path) {
  TvrLogSettings *s = &tvr_shared_log_settings;
  char *copy = tlvpr_strdup(path);
  if (copy == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_MALLOC_FAILED, (int)(strlen(path) + 1));
    return TVR_ERROR;
  }
  char *directory = nullptr;
  char *name = nullptr;
  tlv_split_path(copy, &directory, &name);
  if (name == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_MALFORMED_PATH, path);
    tlvpr_free(copy);
    return TVR_ERROR;
  }
  const char *dot = strrchr(name, '.');
  tlvpr_snprintf(s->extension, sizeof s->extension, "%s", dot != nullptr ? dot : "");
  tlvpr_snprintf(s->directory, sizeof s->directory, "%s", directory);
  tlvpr_snprintf(s->base_name, sizeof s->base_name, "%s", name);
  tlvpr_free(copy);
  return 0;
}

// tvr_log_is_special_destination - 1 for the system log and standard error
int tvr_log_is_special_destination(const char *destination) {
  if (destination == nullptr || destination[0] == '\0' || strncmp(destination, "syslog", 6) == 0 ||
      strcmp(destination, "stderr") == 0) {
    return 1;
  }
  return 0;
}
