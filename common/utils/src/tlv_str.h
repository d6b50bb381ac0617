// tlv_str - splitting paths and cutting tokens, in place
//
// tlv_split_path(path, &directory, &name) cuts path at its last path separator
// (tlvpr_path_separator(), '/' here), looking at every character but the
// first: the separator becomes a terminator, directory is path (now the
// directory part) and name points behind it (empty when path ends in the
// separator). With no such separator (or only one as the first character),
// or with a null path, both outputs are null. Both outputs point into path.
// Null output pointers are ignored.
//
// tlv_strtok(text, delims, &cursor) is a re-entrant tokenizer: a non-null text
// starts a new scan, a null text continues at cursor. It skips leading bytes
// of delims, ends the token at the next delimiter (overwritten with a
// terminator) and leaves cursor behind it; the result points into the text,
// or is null when only delimiters remain (or delims or cursor is null). The
// caller owns the text; no state is kept between calls.
#ifndef COMMON_UTILS_SRC_TLV_STR_H
#define COMMON_UTILS_SRC_TLV_STR_H

#ifdef __cplusplus
extern "C" {
#endif

void tlv_split_path(char *path, char **directory, char **name);
char *tlv_strtok(char *text, const char *delims, char **cursor);

#ifdef __cplusplus
}
#endif

#endif
