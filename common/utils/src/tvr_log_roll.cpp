// tvr_log_roll - periods are counted with the zone offset that was in force when
// they began, so a daylight-saving change moves neither the boundary of the
// running period nor the time in its rolled name. The zone offset of now is
// cached, taken afresh at a roll and once per quarter hour (so that the first
// boundary after a daylight-saving change is not an hour early or late); most
// checks cost two divisions. Tests:
// tests/tvr_log_roll_test.cpp.
#include "tvr_log_roll.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tlvpr_dir.h"
#include "tlvpr_errno.h"
#include "tlvpr_fileio.h"
#include "tlvpr_format.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tlvpr_time.h"
#include "tvr_status.h"
#include "tvrshareddata.h"

namespace {

constexpr size_t TVR_LOG_SUFFIX_LEN = 12;  // YYYYMMDDhhmm
constexpr size_t TVR_LOG_NAME_MAX = TVR_LOG_PATH_MAX;
constexpr int TVR_LOG_CLEANUP_GROW = 10;  // names added to a full list

constexpr int64_t TVR_LOG_ZONE_SLOT = 900;  // seconds a cached zone offset is trusted

// Zone offset of now, -1 = not yet known, and the quarter hour it was taken in;
// used under the shared lock only. Zone changes happen on quarter hours, so a
// cache that is refreshed once per quarter hour is never stale at a boundary.
int32_t tvr_log_zone_cache = -1;
int64_t tvr_log_zone_slot = 0;

// tvr_log_zone_refresh - takes the zone offset of now into the cache
void tvr_log_zone_refresh(int64_t now) {
  tvr_log_zone_cache = tlvpr_zone_offset(now);
  tvr_log_zone_slot = now / TVR_LOG_ZONE_SLOT;
}

// tvr_log_period - period index of t with zone offset z
int64_t tvr_log_period(int64_t t, int32_t z, int32_t seconds) { return (t - z) / seconds; }

// tvr_log_cleanup_matches - whether entry is a rolled file of the log's name
bool tvr_log_cleanup_matches(const char *entry, const char *base, const char *ext) {
  size_t base_len = strlen(base);
  if (base_len == 0) {
    return false;  // a log name without a file part has no rolled files
  }
  const char *dot = strrchr(entry, '.');
  size_t stem_len = dot != nullptr ? (size_t)(dot - entry) : strlen(entry);
  if (stem_len != base_len + TVR_LOG_SUFFIX_LEN || tlvpr_strnicmp(entry, base, base_len) != 0) {
    return false;
  }
  if (ext[0] != '\0') {
    return dot != nullptr && tlvpr_stricmp(dot, ext) == 0;
  }
  return dot == nullptr;
}

// tvr_log_cleanup_compare - byte order of two names (qsort)
int tvr_log_cleanup_compare(const void *a, const void *b) {
  return tlvpr_strcmp(*(char *const *)a, *(char *const *)b);
}

// tvr_log_cleanup_delete - deletes the oldest names beyond keep, newest of them first
void tvr_log_cleanup_delete(const char *directory, char **names, size_t count, size_t keep) {
  qsort(names, count, sizeof(char *), tvr_log_cleanup_compare);
  char victim[TVR_LOG_NAME_MAX];
  for (size_t i = count - keep; i-- > 0;) {
    int len = tlvpr_snprintf(victim, sizeof victim, "%s%c%s", directory, tlvpr_path_separator(),
                             names[i]);
    // A cut path names some other file: leave it alone.
    if (len > 0 && (size_t)len < sizeof victim) {
      tlvpr_unlink(victim);
    }
  }
}

}  // namespace

// tvr_log_roll - the roll check and, at a period boundary, the roll
int tvr_log_roll(int *renamed) {
  TvrLogSettings *s = &tvr_shared_log_settings;
  *renamed = 0;
  int error = 0;
  if (s->roll_seconds <= 0) {
    return 0;  // no periods: nothing ever rolls (and no division by zero)
  }
  int64_t now = tlvpr_time();
  if (tvr_log_zone_cache == -1 || now / TVR_LOG_ZONE_SLOT != tvr_log_zone_slot) {
    tvr_log_zone_refresh(now);
  }
  int64_t current = tvr_log_period(s->period_start, s->period_zone_offset, s->roll_seconds);
  if (tvr_log_period(now, tvr_log_zone_cache, s->roll_seconds) <= current) {
    return 0;
  }
  s->period_start = current * s->roll_seconds + s->period_zone_offset;

  TlvprTm tm = {};
  tlvpr_localtime(s->period_start, &tm);
  char suffix[TVR_LOG_NAME_MAX];
  char rolled[TVR_LOG_NAME_MAX];
  tlvpr_snprintf(suffix, sizeof suffix, "%u%.02u%.02u%.02u%.02u", (unsigned)tm.tm_year,
                 (unsigned)(tm.tm_mon + 1), (unsigned)tm.tm_mday, (unsigned)tm.tm_hour,
                 (unsigned)tm.tm_min);
  int len;
  if (s->extension[0] != '\0') {
    len = tlvpr_snprintf(rolled, sizeof rolled, "%s%c%s%s%s", s->directory, tlvpr_path_separator(),
                         s->base_name, suffix, s->extension);
  } else {
    len = tlvpr_snprintf(rolled, sizeof rolled, "%s%s", s->path, suffix);
  }
  if (len <= 0 || (size_t)len >= sizeof rolled) {
    // A cut name could lie in another directory or belong to another file.
    error = ENAMETOOLONG;
  } else if (tlvpr_file_test(rolled, TLVPR_FT_EXISTS) != 0) {
    FILE *stream = __atomic_load_n(&s->stream, __ATOMIC_RELAXED);
    if (stream != nullptr) {
      fclose(stream);
    }
    if (tlvpr_rename(s->path, rolled) != 0) {
      error = tlvpr_last_error(TLVPR_ERR_RUNTIME);
    } else {
      *renamed = 1;
    }
    __atomic_store_n(&s->stream, fopen(s->path, "a+"), __ATOMIC_RELAXED);
  }

  tvr_log_zone_refresh(now);
  s->period_start = now;
  s->period_zone_offset = tvr_log_zone_cache;
  return error;
}

// tvr_log_roll_reset - the next roll check takes the zone offset afresh
void tvr_log_roll_reset(void) { tvr_log_zone_cache = -1; }

// tvr_log_cleanup - deletes the rolled files of the log beyond keep_count
uint32_t tvr_log_cleanup(const char *directory, const char *name) {
  (void)name;
  TvrLogSettings *s = &tvr_shared_log_settings;
  if (s->keep_count <= 0) {
    return 0;  // old files are kept for ever: none is a candidate for deletion
  }
  size_t keep = (size_t)s->keep_count;
  size_t capacity = keep + 1;
  char **names = (char **)tlvpr_malloc(capacity * sizeof(char *));
  if (names == nullptr) {
    return TVR_CLEANUP_NO_MEMORY;
  }
  char cwd[TVR_LOG_PATH_MAX];
  if (directory == nullptr) {
    directory = tlvpr_getcwd(cwd, sizeof cwd);
    if (directory == nullptr) {
      tlvpr_free(names);
      return TVR_INTERNAL_ERROR;
    }
  }
  uint32_t status = 0;
  size_t count = 0;
  TlvprDir *listing = tlvpr_opendir(directory);
  TlvprDirent *entry = nullptr;
  if (listing == nullptr) {
    status = TVR_CANNOT_LIST_DIRECTORY;
  }
  while (status == 0) {
    if (tlvpr_readdir(listing, &entry, TLVPR_SKIP_DOT | TLVPR_SKIP_DOTDOT) != 0) {
      status = TVR_CANNOT_LIST_DIRECTORY;
      break;
    }
    if (entry == nullptr) {
      break;
    }
    const char *entry_name = tlvpr_dirent_name(entry);
    if (!tvr_log_cleanup_matches(entry_name, s->base_name, s->extension)) {
      continue;
    }
    if (count == capacity) {
      char **grown =
          (char **)tlvpr_realloc(names, (capacity + TVR_LOG_CLEANUP_GROW) * sizeof(char *));
      if (grown == nullptr) {
        status = TVR_CLEANUP_NO_MEMORY;
        break;
      }
      names = grown;
      capacity += TVR_LOG_CLEANUP_GROW;
    }
    names[count] = tlvpr_strdup(entry_name);
    if (names[count] == nullptr) {
      status = TVR_CLEANUP_NO_MEMORY;
      break;
    }
    count++;
  }
  if (status == 0 && count > keep) {
    tvr_log_cleanup_delete(directory, names, count, keep);
  }
  for (size_t i = 0; i < count; i++) {
    tlvpr_free(names[i]);
  }
  tlvpr_free(names);
  tlvpr_free_dirent(entry);
  tlvpr_closedir(listing);
  return status;
}
