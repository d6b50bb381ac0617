// tlvpr_dir - directory listing
//
// tlvpr_opendir(path) gives a new listing of an existing directory, or null (not
// a directory, no memory). tlvpr_readdir(listing, &entry, skip) frees the entry
// held in *entry (except before the first read), sets it to null, then fetches
// the next name: result 0 with a new entry, result 0 with a null entry at the end
// of the listing, -1 on a listing error or when memory runs out. Skip flags:
// TLVPR_SKIP_DOT skips ".", TLVPR_SKIP_DOTDOT "..", TLVPR_SKIP_HIDDEN every name
// beginning with "."; the system passes 3. Entries come in the file system's
// order. tlvpr_dirent_name(entry) is the entry's name (owned by the entry; null
// for a null entry); tlvpr_free_dirent(entry) frees it (null ignored);
// tlvpr_closedir(listing) frees the listing: 0, or -1 when closing failed; a
// null listing gives 0. The caller owns listings and entries; no shared state.
#ifndef TLVPR_TLVPR_DIR_H
#define TLVPR_TLVPR_DIR_H

#ifdef __cplusplus
extern "C" {
#endif

enum { TLVPR_SKIP_DOT = 1, TLVPR_SKIP_DOTDOT = 2, TLVPR_SKIP_HIDDEN = 4 };

typedef struct TlvprDir TlvprDir;
typedef struct TlvprDirent TlvprDirent;

TlvprDir *tlvpr_opendir(const char *path);
int tlvpr_readdir(TlvprDir *listing, TlvprDirent **entry, int skip);
const char *tlvpr_dirent_name(const TlvprDirent *entry);
void tlvpr_free_dirent(TlvprDirent *entry);
int tlvpr_closedir(TlvprDir *listing);

#ifdef __cplusplus
}
#endif

#endif
