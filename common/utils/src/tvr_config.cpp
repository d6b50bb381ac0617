// tvr_config - configuration documents on libxml2. Every query makes its own
// XPath context and result and frees both before it returns; what a getter
// hands out is built in locals and assigned last, so a failing getter leaves
// its outputs as they were. Tests: tests/tvr_config_test.cpp.
#include "tvr_config.h"

#include <string.h>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlstring.h>
#include <libxml/xpath.h>

#include "tlvpr_fileio.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tvr_log.h"
#include "tvr_parse_num.h"
#include "tvr_status.h"

// Configuration files never reach the network, and neither XML_PARSE_NOENT
// nor XML_PARSE_DTDLOAD is given: external entities stay unresolved
// references and no external DTD or parameter entity is read.
static constexpr int TVR_CONFIG_PARSE_OPTIONS = XML_PARSE_NONET;

// The pruning trace names a fixed location so that log readers can grep for it.
static constexpr const char *TVR_CONFIG_TRACE_UNIT = "tvr_config";
static constexpr unsigned TVR_CONFIG_PRUNE_TRACE_LINE = 245;
static constexpr unsigned TVR_CONFIG_XML_TRACE_LINE = 246;

// One evaluated expression: the context and the result object, freed together.
typedef struct TvrConfigQuery {
  xmlXPathContextPtr context;  // owned; null once ended
  xmlXPathObjectPtr result;    // owned; null once ended
} TvrConfigQuery;

// tvr_config_init - initialises the XML parser library
void tvr_config_init(void) { xmlInitParser(); }

// tvr_config_prune_platform_nodes - removes the elements meant for other platforms
//
// Depth first from node. The next sibling is taken before a child is visited,
// so unlinking that child does not break the walk. Depth is bounded by the
// parser's own nesting limit.
static void tvr_config_prune_platform_nodes(xmlNodePtr node) {
  xmlChar *control = xmlGetProp(node, BAD_CAST "platformControl");
  if (control != nullptr) {
    bool ours = xmlStrcasestr(control, BAD_CAST "WIN32") != nullptr;
    xmlFree(control);
    if (!ours) {
      tvr_log_trace(TVR_CONFIG_TRACE_UNIT, TVR_CONFIG_PRUNE_TRACE_LINE, nullptr,
                    "removing node %s because it is not for the current platform",
                    (const char *)node->name);
      xmlUnlinkNode(node);
      xmlFreeNode(node);
      return;
    }
  }
  xmlNodePtr child = node->children;
  while (child != nullptr) {
    xmlNodePtr next = child->next;
    if (child->type == XML_ELEMENT_NODE) {
      tvr_config_prune_platform_nodes(child);
    }
    child = next;
  }
}

// tvr_config_xml_error - libxml2's report of a parse or XPath error, as a debug
// trace instead of a line on standard error (the caller's result code says
// that the call failed; the trace says where and why)
static void tvr_config_xml_error(void *unused, xmlErrorPtr error) {
  (void)unused;
  if (error == nullptr) {
    return;
  }
  if (error->message == nullptr) {
    // XPath errors come as a code and the expression, without a message.
    tvr_log_trace(TVR_CONFIG_TRACE_UNIT, TVR_CONFIG_XML_TRACE_LINE, nullptr,
                  "libxml2: error %d in \"%s\" at %d", error->code,
                  error->str1 != nullptr ? error->str1 : "", error->int1);
    return;
  }
  size_t len = strlen(error->message);
  while (len > 0 && (error->message[len - 1] == '\n' || error->message[len - 1] == '\r')) {
    len--;
  }
  tvr_log_trace(TVR_CONFIG_TRACE_UNIT, TVR_CONFIG_XML_TRACE_LINE, nullptr, "libxml2: %s:%d: %.*s",
                error->file != nullptr ? error->file : "-", error->line, (int)len, error->message);
}

// tvr_config_parse_file - parses a file with exactly TVR_CONFIG_PARSE_OPTIONS
//
// A new parser context starts from the process-wide parser defaults, which a
// host may have set for its own documents (entity substitution, DTD loading
// or validation), and the read call adds its options to those. Clearing them
// first keeps such a default from making the parser fetch external entities
// and parameter entities.
static uint32_t tvr_config_parse_file(const char *path, xmlDocPtr *doc) {
  xmlParserCtxtPtr parser = xmlNewParserCtxt();
  if (parser == nullptr) {
    return TVR_NO_MEMORY;
  }
  parser->options = 0;
  parser->sax->serror = tvr_config_xml_error;  // the context's own copy of the handlers
  xmlDocPtr parsed = xmlCtxtReadFile(parser, path, nullptr, TVR_CONFIG_PARSE_OPTIONS);
  xmlFreeParserCtxt(parser);
  if (parsed == nullptr) {
    return TVR_CONFIG_PARSE_ERROR;
  }
  *doc = parsed;
  return 0;
}

// tvr_config_open - checks, parses and prunes a configuration file
uint32_t tvr_config_open(ConfigHandle **handle, const char *path) {
  if (handle == nullptr || path == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  // A directory passes the readable test but can never be parsed; it is
  // reported as unreadable rather than as malformed XML.
  if (tlvpr_file_test(path, TLVPR_FT_EXISTS | TLVPR_FT_READ) != 0 ||
      tlvpr_file_test(path, TLVPR_FT_DIRECTORY) == 0) {
    return TVR_CONFIG_UNREADABLE;
  }
  xmlDocPtr doc = nullptr;
  uint32_t rc = tvr_config_parse_file(path, &doc);
  if (rc != 0) {
    return rc;
  }
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root != nullptr) {
    tvr_config_prune_platform_nodes(root);
  }
  ConfigHandle *made = (ConfigHandle *)tlvpr_calloc(1, sizeof(ConfigHandle));
  if (made == nullptr) {
    xmlFreeDoc(doc);
    return TVR_NO_MEMORY;
  }
  made->document = doc;
  *handle = made;
  return 0;
}

// tvr_config_free - frees an owned document and the handle
void tvr_config_free(ConfigHandle *handle) {
  if (handle == nullptr) {
    return;
  }
  if (handle->document != nullptr) {
    xmlFreeDoc(handle->document);
  }
  tlvpr_free(handle);
}

// tvr_config_new_xpath_context - a context on the handle's document, at its node
//
// Every caller has checked the handle for null.
static xmlXPathContextPtr tvr_config_new_xpath_context(const ConfigHandle *handle) {
  if (handle->document != nullptr) {
    return xmlXPathNewContext(handle->document);
  }
  if (handle->node == nullptr || handle->node->doc == nullptr) {
    return nullptr;
  }
  xmlXPathContextPtr context = xmlXPathNewContext(handle->node->doc);
  if (context != nullptr) {
    context->node = handle->node;
  }
  return context;
}

// tvr_config_node_text - the content of the node's first child, or null
//
// A namespace node is a copy of a different record that has no children; it
// has no text.
static const char *tvr_config_node_text(const xmlNode *node) {
  if (node == nullptr || node->type == XML_NAMESPACE_DECL || node->children == nullptr) {
    return nullptr;
  }
  return (const char *)node->children->content;
}

// tvr_config_query_end - frees the query's result and context
static void tvr_config_query_end(TvrConfigQuery *query) {
  xmlXPathFreeObject(query->result);
  xmlXPathFreeContext(query->context);
  query->result = nullptr;
  query->context = nullptr;
}

// tvr_config_query_size - number of nodes in an evaluated query's node set
static int tvr_config_query_size(const TvrConfigQuery *query) {
  return query->result->nodesetval->nodeNr;
}

// tvr_config_query_node - the index-th node of an evaluated query's node set
static xmlNodePtr tvr_config_query_node(const TvrConfigQuery *query, int index) {
  return query->result->nodesetval->nodeTab[index];
}

// tvr_config_evaluate - evaluates expr on the handle; 0 only with at least one node
//
// On 0 the query is live and the caller ends it; on failure nothing is left.
static uint32_t tvr_config_evaluate(const ConfigHandle *handle, const char *expr,
                                    TvrConfigQuery *query) {
  query->result = nullptr;
  query->context = tvr_config_new_xpath_context(handle);
  if (query->context == nullptr) {
    return TVR_ERROR;
  }
  query->context->error = tvr_config_xml_error;
  query->result = xmlXPathEvalExpression(BAD_CAST expr, query->context);
  if (query->result == nullptr) {
    tvr_config_query_end(query);
    return TVR_CONFIG_BAD_QUERY;
  }
  if (query->result->nodesetval == nullptr || query->result->nodesetval->nodeNr <= 0) {
    tvr_config_query_end(query);
    return TVR_CONFIG_NO_DATA;
  }
  return 0;
}

// tvr_config_find_first - evaluates expr and gives the first match's text
//
// The text is borrowed from the document until the caller ends the query.
static uint32_t tvr_config_find_first(const ConfigHandle *handle, const char *expr,
                                      TvrConfigQuery *query, const char **text) {
  uint32_t rc = tvr_config_evaluate(handle, expr, query);
  if (rc != 0) {
    return rc;
  }
  const char *found = tvr_config_node_text(tvr_config_query_node(query, 0));
  if (found == nullptr) {
    tvr_config_query_end(query);
    return TVR_CONFIG_NO_DATA;
  }
  *text = found;
  return 0;
}

// tvr_config_find_all - evaluates expr for a multi-value getter
//
// The first match must be an element or an attribute; whether each match has
// text is checked by the getter as it copies.
static uint32_t tvr_config_find_all(const ConfigHandle *handle, const char *expr,
                                    TvrConfigQuery *query) {
  uint32_t rc = tvr_config_evaluate(handle, expr, query);
  if (rc != 0) {
    return rc;
  }
  xmlElementType type = tvr_config_query_node(query, 0)->type;
  if (type != XML_ELEMENT_NODE && type != XML_ATTRIBUTE_NODE) {
    tvr_config_query_end(query);
    return TVR_CONFIG_NO_DATA;
  }
  return 0;
}

// A converter turns the first match's text into a getter's output: it writes
// out only when it returns 0.
typedef uint32_t (*TvrConfigConvert)(const char *text, void *out);

// tvr_config_get_single - common body of the single-value getters
static uint32_t tvr_config_get_single(void *out, const char *expr, const ConfigHandle *handle,
                                      TvrConfigConvert convert) {
  if (out == nullptr || expr == nullptr || handle == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  TvrConfigQuery query;
  const char *found = nullptr;
  uint32_t rc = tvr_config_find_first(handle, expr, &query, &found);
  if (rc != 0) {
    return rc;
  }
  rc = convert(found, out);
  tvr_config_query_end(&query);
  return rc;
}

// tvr_config_convert_string - a heap copy of the text
static uint32_t tvr_config_convert_string(const char *text, void *out) {
  char *copy = tlvpr_strdup(text);
  if (copy == nullptr) {
    return TVR_NO_MEMORY;
  }
  *(char **)out = copy;
  return 0;
}

// tvr_config_convert_uint - the text as an unsigned number, white space may follow
static uint32_t tvr_config_convert_uint(const char *text, void *out) {
  uint32_t number = 0;
  if (tvr_parse_uint(text, PARSE_ALLOW_TRAILING_SPACE, &number) != 0) {
    return TVR_CONFIG_WRONG_TYPE;
  }
  *(uint32_t *)out = number;
  return 0;
}

// tvr_config_convert_int - the text as a signed number, white space may follow
static uint32_t tvr_config_convert_int(const char *text, void *out) {
  int32_t number = 0;
  if (tvr_parse_int(text, PARSE_ALLOW_TRAILING_SPACE, &number) != 0) {
    return TVR_CONFIG_WRONG_TYPE;
  }
  *(int32_t *)out = number;
  return 0;
}

// tvr_config_convert_bool - 1 for a text beginning with "true", 0 for "false"
//
// Only the beginning is compared, so "TrueColor" counts as true.
static uint32_t tvr_config_convert_bool(const char *text, void *out) {
  if (tlvpr_strnicmp(text, "true", 4) == 0) {
    *(int *)out = 1;
  } else if (tlvpr_strnicmp(text, "false", 5) == 0) {
    *(int *)out = 0;
  } else {
    return TVR_CONFIG_WRONG_TYPE;
  }
  return 0;
}

// tvr_config_get_string - heap copy of the first match's text
uint32_t tvr_config_get_string(char **text, const char *expr, const ConfigHandle *handle) {
  return tvr_config_get_single(text, expr, handle, tvr_config_convert_string);
}

// tvr_config_get_uint - the first match's text as an unsigned 32-bit number
uint32_t tvr_config_get_uint(uint32_t *value, const char *expr, const ConfigHandle *handle) {
  return tvr_config_get_single(value, expr, handle, tvr_config_convert_uint);
}

// tvr_config_get_int - the first match's text as a signed 32-bit number
uint32_t tvr_config_get_int(int32_t *value, const char *expr, const ConfigHandle *handle) {
  return tvr_config_get_single(value, expr, handle, tvr_config_convert_int);
}

// tvr_config_get_bool - the first match's text as a flag, 1 or 0
uint32_t tvr_config_get_bool(int *flag, const char *expr, const ConfigHandle *handle) {
  return tvr_config_get_single(flag, expr, handle, tvr_config_convert_bool);
}

// tvr_config_get_string_array - heap copies of every match's text
uint32_t tvr_config_get_string_array(char ***array, uint32_t *count, const char *expr,
                                     const ConfigHandle *handle) {
  if (array == nullptr || count == nullptr || expr == nullptr || handle == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  TvrConfigQuery query;
  uint32_t rc = tvr_config_find_all(handle, expr, &query);
  if (rc != 0) {
    return rc;
  }
  int n = tvr_config_query_size(&query);
  char **copies = (char **)tlvpr_calloc((size_t)n, sizeof(char *));
  if (copies == nullptr) {
    rc = TVR_NO_MEMORY;
  }
  for (int i = 0; rc == 0 && i < n; i++) {
    const char *text = tvr_config_node_text(tvr_config_query_node(&query, i));
    if (text == nullptr) {
      rc = TVR_CONFIG_NO_DATA;
    } else if ((copies[i] = tlvpr_strdup(text)) == nullptr) {
      rc = TVR_NO_MEMORY;
    }
  }
  tvr_config_query_end(&query);
  if (rc != 0) {
    tvr_config_free_string_array(copies, (uint32_t)n);
    return rc;
  }
  *array = copies;
  *count = (uint32_t)n;
  return 0;
}

// tvr_config_free_string_array - frees each copy and the array
void tvr_config_free_string_array(char **array, uint32_t count) {
  if (array == nullptr) {
    return;
  }
  for (uint32_t i = 0; i < count; i++) {
    tlvpr_free(array[i]);
  }
  tlvpr_free(array);
}

// tvr_config_get_text_list - every match's text appended to a new TextList
uint32_t tvr_config_get_text_list(TextList **list, const char *expr, const ConfigHandle *handle) {
  if (list == nullptr || expr == nullptr || handle == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  TvrConfigQuery query;
  uint32_t rc = tvr_config_find_all(handle, expr, &query);
  if (rc != 0) {
    return rc;
  }
  TextList *made = nullptr;
  rc = tlv_textlist_create(&made);
  int n = tvr_config_query_size(&query);
  for (int i = 0; rc == 0 && i < n; i++) {
    const char *text = tvr_config_node_text(tvr_config_query_node(&query, i));
    if (text == nullptr) {
      rc = TVR_CONFIG_NO_DATA;
    } else {
      rc = tlv_textlist_append(&made, text, (uint32_t)strlen(text));
    }
  }
  tvr_config_query_end(&query);
  if (rc != 0) {
    tlvpr_free(made);
    return rc;
  }
  *list = made;
  return 0;
}

// tvr_config_get_node_list - one sub-handle per match
uint32_t tvr_config_get_node_list(ConfigHandle ***array, uint32_t *count, const char *expr,
                                  const ConfigHandle *handle) {
  if (array == nullptr || count == nullptr || expr == nullptr || handle == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  TvrConfigQuery query;
  uint32_t rc = tvr_config_evaluate(handle, expr, &query);
  ConfigHandle **subs = nullptr;
  int n = rc == 0 ? tvr_config_query_size(&query) : 0;
  // Namespace nodes live in the result object, not in the document: a
  // sub-handle on one would dangle once the result is freed.
  for (int i = 0; rc == 0 && i < n; i++) {
    if (tvr_config_query_node(&query, i)->type == XML_NAMESPACE_DECL) {
      rc = TVR_CONFIG_NO_DATA;
    }
  }
  if (rc == 0) {
    subs = (ConfigHandle **)tlvpr_calloc((size_t)n, sizeof(ConfigHandle *));
    if (subs == nullptr) {
      rc = TVR_NO_MEMORY;
    }
  }
  for (int i = 0; rc == 0 && i < n; i++) {
    subs[i] = (ConfigHandle *)tlvpr_calloc(1, sizeof(ConfigHandle));
    if (subs[i] == nullptr) {
      rc = TVR_NO_MEMORY;
    } else {
      subs[i]->node = tvr_config_query_node(&query, i);
    }
  }
  tvr_config_query_end(&query);
  if (rc != 0) {
    tvr_config_free_node_list(subs, (uint32_t)n);
    *array = nullptr;
    *count = 0;
    return rc;
  }
  *array = subs;
  *count = (uint32_t)n;
  return 0;
}

// tvr_config_free_node_list - frees each sub-handle and the array
void tvr_config_free_node_list(ConfigHandle **array, uint32_t count) {
  if (array == nullptr) {
    return;
  }
  for (uint32_t i = 0; i < count; i++) {
    tvr_config_free(array[i]);
  }
  tlvpr_free(array);
}

// tvr_config_get_subconfig - the sub-handle of the first match
uint32_t tvr_config_get_subconfig(ConfigHandle **sub, const char *expr,
                                  const ConfigHandle *handle) {
  if (sub == nullptr) {
    return TVR_BAD_ARGUMENT;
  }
  *sub = nullptr;
  ConfigHandle **subs = nullptr;
  uint32_t count = 0;
  uint32_t rc = tvr_config_get_node_list(&subs, &count, expr, handle);
  if (rc != 0) {
    return rc;
  }
  for (uint32_t i = 1; i < count; i++) {
    tvr_config_free(subs[i]);
  }
  *sub = subs[0];
  tlvpr_free(subs);
  return 0;
}

// tvr_config_node_to_text - XML text of the handle's node, unformatted
char *tvr_config_node_to_text(const ConfigHandle *handle) {
  if (handle == nullptr || handle->node == nullptr) {
    return nullptr;
  }
  xmlDocPtr doc = handle->document != nullptr ? handle->document : handle->node->doc;
  xmlBufferPtr buffer = xmlBufferCreate();
  if (buffer == nullptr) {
    return nullptr;
  }
  char *text = nullptr;
  if (xmlNodeDump(buffer, doc, handle->node, 0, 0) >= 0) {
    text = tlvpr_strdup((const char *)xmlBufferContent(buffer));
  }
  xmlBufferFree(buffer);
  return text;
}
