// tlv_fgetl - whole lines of any length from a stream
//
// tlv_fgetl_read(&line, maximum, stream) reads the next line (up to and
// including its LF, or to the end of the stream) into a heap block that starts
// at 256 bytes and doubles while the line does not fit. On 0, line is a new
// NUL-terminated block the caller frees with tlvpr_free; it still ends in its
// LF when the line had one. maximum bounds the buffer: when the buffer has
// reached maximum bytes and the line still does not fit, the call fails with
// 10035 (the partial line is dropped; the stream is left inside the line).
// TLV_FGETL_UNLIMITED (all bits set, also what -1 converts to) means no limit.
//
// tlv_fgetl_strip(&line, &had_lf, maximum, stream) does the same, then removes
// the LF that ends the line and sets had_lf to 1, or sets it to 0 for a last
// line without LF; had_lf may be null. A CR before the LF stays.
//
// Results: 0; 1 null line argument or null stream; 10034 nothing left to read
// (the stream's end-of-file indicator was set, or not one byte could be read
// at the end); 10035 read error, or a line longer than the maximum allows;
// 10013 no memory. line (and had_lf) are written only on 0.
//
// The stream is read with tlvpr_fgets. A line whose bytes include a NUL is
// consumed whole up to its LF; the caller sees the text up to the first NUL
// (so a line starting with NUL reads as the empty text), and had_lf still says
// whether the consumed line ended in LF. The reader keeps no state of its own:
// after a last line without LF the next call gives 10034. Nothing is logged;
// calls on different streams may run on any thread.
#ifndef COMMON_UTILS_SRC_TLV_FGETL_H
#define COMMON_UTILS_SRC_TLV_FGETL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TLV_FGETL_UNLIMITED ((size_t)-1)

uint32_t tlv_fgetl_read(char **line, size_t maximum, FILE *stream);
uint32_t tlv_fgetl_strip(char **line, int *had_lf, size_t maximum, FILE *stream);

#ifdef __cplusplus
}
#endif

#endif
