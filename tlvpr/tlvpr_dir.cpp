// tlvpr_dir - directory listing over opendir(3)/readdir(3); the end of the
// listing is told from an error by errno, which readdir leaves unchanged at the
// end. Tests: tests/tlvpr_test.cpp.
#include "tlvpr_dir.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>

#include "tlvpr_fileio.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"

struct TlvprDir {
  int first;  // 1 before the first entry is read
  DIR *dir;   // the open directory stream
};

struct TlvprDirent {
  char *name;  // heap copy of the entry's name
};

// tlvpr_opendir - starts a listing of an existing directory
TlvprDir *tlvpr_opendir(const char *path) {
  if (tlvpr_file_test(path, TLVPR_FT_DIRECTORY) != 0) {
    return nullptr;
  }
  TlvprDir *listing = (TlvprDir *)tlvpr_calloc(1, sizeof(TlvprDir));
  if (listing == nullptr) {
    return nullptr;
  }
  listing->dir = opendir(path);
  if (listing->dir == nullptr) {
    tlvpr_free(listing);
    return nullptr;
  }
  listing->first = 1;
  return listing;
}

// tlvpr_readdir - frees the previous entry and fetches the next wanted name
int tlvpr_readdir(TlvprDir *listing, TlvprDirent **entry, int skip) {
  if (listing == nullptr || entry == nullptr) {
    return -1;
  }
  if (!listing->first) {
    tlvpr_free_dirent(*entry);
  }
  *entry = nullptr;
  listing->first = 0;
  for (;;) {
    errno = 0;
    struct dirent *d = readdir(listing->dir);
    if (d == nullptr) {
      return errno == 0 ? 0 : -1;
    }
    const char *name = d->d_name;
    if ((skip & TLVPR_SKIP_HIDDEN) && name[0] == '.') continue;
    if ((skip & TLVPR_SKIP_DOT) && strcmp(name, ".") == 0) continue;
    if ((skip & TLVPR_SKIP_DOTDOT) && strcmp(name, "..") == 0) continue;
    TlvprDirent *e = (TlvprDirent *)tlvpr_calloc(1, sizeof(TlvprDirent));
    if (e == nullptr) {
      return -1;
    }
    e->name = tlvpr_strdup(name);
    if (e->name == nullptr) {
      tlvpr_free(e);
      return -1;
    }
    *entry = e;
    return 0;
  }
}

// tlvpr_dirent_name - the name of an entry (owned by the entry)
const char *tlvpr_dirent_name(const TlvprDirent *entry) {
  return entry == nullptr ? nullptr : entry->name;
}

// tlvpr_free_dirent - frees an entry and its name
void tlvpr_free_dirent(TlvprDirent *entry) {
  if (entry != nullptr) {
    tlvpr_free(entry->name);
    tlvpr_free(entry);
  }
}

// tlvpr_closedir - ends a listing and frees it
int tlvpr_closedir(TlvprDir *listing) {
  if (listing == nullptr) {
    return 0;
  }
  int rc = closedir(listing->dir) == 0 ? 0 : -1;
  tlvpr_free(listing);
  return rc;
}
