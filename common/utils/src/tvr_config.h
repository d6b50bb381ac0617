// tvr_config - the server's XML configuration document and typed XPath queries
//
// A ConfigHandle is either a whole document (from tvr_config_open, which owns
// it) or a sub-handle on one node of a document (from tvr_config_get_node_list
// or tvr_config_get_subconfig, which owns nothing). Every query takes an XPath
// expression; on a sub-handle relative expressions start at its node, on a
// document handle they have no context node and match nothing, so document
// queries begin with "/" or "//". The text of a match is the content of the
// matched node's first child: an element's leading text, an attribute's value.
// A node without children, or whose first child has no content (an element
// child), has no text; so has a namespace node.
//
// tvr_config_init() initialises the XML parser library; call it once, on one
// thread, before handles are used from several threads.
//
// tvr_config_open(&handle, path): checks that path exists, is readable and is
// not a directory, parses it without network access and without reading an
// external DTD, external entity or parameter entity (whatever parser defaults
// the process has set), and removes every element whose "platformControl"
// attribute does not name "WIN32" (any letter case, anywhere in the value),
// with its sub-tree, writing a debug trace per removed element. Results: 0
// (handle written; free it with tvr_config_free); 10040 null argument; 21020
// missing, unreadable or a directory; 21016 not well-formed XML; 10013 no
// memory. Nothing is written on failure. libxml2's own reports of parse and
// XPath errors never reach standard error: each becomes a debug trace
// ("libxml2: FILE:LINE: message", or "libxml2: error CODE in "EXPR" at POS"
// for a query).
//
// Single-value getters (out, expression, handle): the text of the first match
// only (later matches are never looked at, even when the first has no text).
//   tvr_config_get_string: a heap copy the caller frees with tlvpr_free.
//   tvr_config_get_uint / _int: decimal, leading blanks and one sign ("+" for
//     unsigned, "+" or "-" for signed), full 32-bit range, then the end of the
//     text or a white-space character; anything else is 21017.
//   tvr_config_get_bool: 1 when the text begins with "true", 0 when it begins
//     with "false" (case-insensitive); anything else is 21017.
// Results: 0; 10040 null argument; 1 no XPath context for the handle; 21019
// the expression cannot be evaluated; 21018 no match, the result is not a node
// set, or the first match has no text; 21017 wrong type (numbers, bool); 10013
// no memory (string). The output is written only on 0.
//
// Multi-value getters: every match, in result order; the first match must be
// an element or an attribute and every match must have text, else 21018.
//   tvr_config_get_string_array(&array, &count, ...): an array of count heap
//     copies; free with tvr_config_free_string_array(array, count).
//   tvr_config_get_text_list(&list, ...): a TextList (tlv_textlist.h) holding
//     the texts; free with tlvpr_free. A text list code (10028, 10013) passes up.
// Results as above (0, 10040, 1, 21019, 21018, 10013); outputs written only on
// 0, nothing made on the way survives a failure.
//
//   tvr_config_get_node_list(&array, &count, ...): one sub-handle per match
//     (any node but a namespace node, which gives 21018), in result order; free
//     with tvr_config_free_node_list(array, count).
//   tvr_config_get_subconfig(&sub, ...): the sub-handle of the first match;
//     free with tvr_config_free.
// Results 0, 10040, 1, 21019, 21018, 10013. A failing node-list call with all
// four arguments present writes a null array and a count of 0; a failing
// subconfig call writes a null sub-handle (when its output is not null).
// Sub-handles borrow their node: use and free them before the document.
//
// tvr_config_node_to_text(handle): the XML text of a sub-handle's node, a heap
// copy the caller frees with tlvpr_free; null for a null handle, a document
// handle (no node) or when memory runs out.
//
// tvr_config_free(handle) frees an owned document and the handle; null is
// ignored. The getters log nothing and only read the document; each makes and
// frees its own XPath context, so a query leaves nothing behind but its
// output. No handle may be used while it or its document is being freed.
#ifndef COMMON_UTILS_SRC_TVR_CONFIG_H
#define COMMON_UTILS_SRC_TVR_CONFIG_H

#include <stdint.h>

#include <libxml/tree.h>

#include "tlv_textlist.h"
#include "tvr_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ConfigHandle {
  xmlDocPtr document;  // parsed document owned by the handle; null in a sub-handle
  xmlNodePtr node;     // context node of a sub-handle (not owned); null in a document handle
} ConfigHandle;

void tvr_config_init(void);

uint32_t tvr_config_open(ConfigHandle **handle, const char *path);
void tvr_config_free(ConfigHandle *handle);

uint32_t tvr_config_get_string(char **text, const char *expr, const ConfigHandle *handle);
uint32_t tvr_config_get_uint(uint32_t *value, const char *expr, const ConfigHandle *handle);
uint32_t tvr_config_get_int(int32_t *value, const char *expr, const ConfigHandle *handle);
uint32_t tvr_config_get_bool(int *flag, const char *expr, const ConfigHandle *handle);

uint32_t tvr_config_get_string_array(char ***array, uint32_t *count, const char *expr,
                                     const ConfigHandle *handle);
void tvr_config_free_string_array(char **array, uint32_t count);
uint32_t tvr_config_get_text_list(TextList **list, const char *expr, const ConfigHandle *handle);

uint32_t tvr_config_get_node_list(ConfigHandle ***array, uint32_t *count, const char *expr,
                                  const ConfigHandle *handle);
void tvr_config_free_node_list(ConfigHandle **array, uint32_t count);
uint32_t tvr_config_get_subconfig(ConfigHandle **sub, const char *expr, const ConfigHandle *handle);

char *tvr_config_node_to_text(const ConfigHandle *handle);

#ifdef __cplusplus
}
#endif

#endif
