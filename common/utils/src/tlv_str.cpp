// tlv_str - both helpers work on the caller's text and never allocate.
// Tests: tests/tlv_str_test.cpp.

#include "tlv_str.h"

#include <string.h>

#include "tlvpr_fileio.h"

// tlv_split_path - cuts a path into directory and file name at its last separator.
void tlv_split_path(char *path, char **directory, char **name) {
  char *dir = nullptr;
  char *base = nullptr;
  if (path != nullptr) {
    char sep = tlvpr_path_separator();
    // The first character is never examined: a leading separator alone does
    // not make a directory part.
    for (char *p = path + strlen(path); p > path + 1;) {
      if (*--p == sep) {
        *p = '\0';
        dir = path;
        base = p + 1;
        break;
      }
    }
  }
  if (directory != nullptr) *directory = dir;
  if (name != nullptr) *name = base;
}

// tlv_strtok - the next token of text (or of the scan held in cursor).
char *tlv_strtok(char *text, const char *delims, char **cursor) {
  if (delims == nullptr || cursor == nullptr) return nullptr;
  char *p = text != nullptr ? text : *cursor;
  if (p == nullptr) return nullptr;
  p += strspn(p, delims);
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char *end = p + strcspn(p, delims);
  if (*end != '\0') *end++ = '\0';
  *cursor = end;
  return p;
}
