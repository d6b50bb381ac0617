// Configuration fuzz target: arbitrary bytes written to a configuration file,
// opened with tvr_config_open (parse and platform pruning), then every getter
// with a handful of fixed XPath expressions (the module's own settings, element,
// attribute, text, namespace and non-node-set results, a malformed query), on
// the document handle and on every sub-handle of a node list. Outputs must stay
// untouched on failure, and everything handed out is freed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libxml/xmlerror.h>

#include "tlvpr_mem.h"
#include "tvr_config.h"

namespace {

const char *const config_fuzz_document_queries[] = {
    "//package[@name='serverPackage']/clientCert",
    "//module[@name='hdrweights']/maxHeaderLength",
    "//module[@name='hdrweights']/maxBackTracks",
    "//module/@name",
    "//*",
    "//@*",
    "/*/*[2]",
    "//text()",
    "//namespace::*",
    "count(//*)",
    "//*[",
};

const char *const config_fuzz_node_queries[] = {
    ".", "*", "@*", "..", "node()", "*[1]/@platformControl",
};

char config_fuzz_path[64];

// config_fuzz_cleanup - removes the scratch file when the fuzzer ends
void config_fuzz_cleanup() {
  if (config_fuzz_path[0] != '\0') {
    unlink(config_fuzz_path);
  }
}

// config_fuzz_write - replaces the scratch file's content with the input
bool config_fuzz_write(const uint8_t *data, size_t size) {
  if (config_fuzz_path[0] == '\0') {
    snprintf(config_fuzz_path, sizeof config_fuzz_path, "/tmp/hdrw-config-fuzz-XXXXXX");
    int fd = mkstemp(config_fuzz_path);
    if (fd < 0) {
      config_fuzz_path[0] = '\0';
      return false;
    }
    close(fd);
    atexit(config_fuzz_cleanup);
  }
  FILE *f = fopen(config_fuzz_path, "wb");
  if (f == nullptr) {
    return false;
  }
  bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

// config_fuzz_check - an output written on failure is a broken contract
void config_fuzz_check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// config_fuzz_single - every getter on one expression of one handle
void config_fuzz_single(const char *expr, const ConfigHandle *handle) {
  char *text = nullptr;
  uint32_t rc = tvr_config_get_string(&text, expr, handle);
  config_fuzz_check((rc == 0) == (text != nullptr));
  tlvpr_free(text);

  uint32_t u = 0xDEADBEEF;
  rc = tvr_config_get_uint(&u, expr, handle);
  config_fuzz_check(rc == 0 || u == 0xDEADBEEF);
  int32_t i = -12345;
  rc = tvr_config_get_int(&i, expr, handle);
  config_fuzz_check(rc == 0 || i == -12345);
  int flag = 7;
  rc = tvr_config_get_bool(&flag, expr, handle);
  config_fuzz_check(rc == 0 ? (flag == 0 || flag == 1) : flag == 7);

  char **array = nullptr;
  uint32_t count = 77;
  rc = tvr_config_get_string_array(&array, &count, expr, handle);
  config_fuzz_check(rc == 0 ? array != nullptr && count > 0 : array == nullptr && count == 77);
  if (rc == 0) {
    for (uint32_t k = 0; k < count; k++) {
      config_fuzz_check(array[k] != nullptr);
    }
    tvr_config_free_string_array(array, count);
  }

  TextList *list = nullptr;
  rc = tvr_config_get_text_list(&list, expr, handle);
  config_fuzz_check((rc == 0) == (list != nullptr));
  tlvpr_free(list);

  ConfigHandle *sub = nullptr;
  rc = tvr_config_get_subconfig(&sub, expr, handle);
  config_fuzz_check((rc == 0) == (sub != nullptr));
  if (sub != nullptr) {
    tlvpr_free(tvr_config_node_to_text(sub));
  }
  tvr_config_free(sub);
}

// config_fuzz_quiet - drops libxml2's parser messages (they would cost more than the parse)
void config_fuzz_quiet(void *, const char *, ...) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tvr_config_init();
  xmlSetGenericErrorFunc(nullptr, config_fuzz_quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 16384 || !config_fuzz_write(data, size)) {
    return 0;
  }
  ConfigHandle *config = nullptr;
  uint32_t rc = tvr_config_open(&config, config_fuzz_path);
  config_fuzz_check((rc == 0) == (config != nullptr));
  if (rc != 0) {
    return 0;
  }
  config_fuzz_check(tvr_config_node_to_text(config) == nullptr);  // a document has no node
  for (const char *expr : config_fuzz_document_queries) {
    config_fuzz_single(expr, config);
  }
  ConfigHandle **nodes = nullptr;
  uint32_t count = 0;
  rc = tvr_config_get_node_list(&nodes, &count, "//*|//@*", config);
  config_fuzz_check(rc == 0 ? nodes != nullptr && count > 0 : nodes == nullptr && count == 0);
  // A few sub-handles are enough: every node runs the same code, and a large
  // document would otherwise make one input cost seconds.
  for (uint32_t k = 0; k < count && k < 6; k++) {
    tlvpr_free(tvr_config_node_to_text(nodes[k]));
    for (const char *expr : config_fuzz_node_queries) {
      config_fuzz_single(expr, nodes[k]);
    }
  }
  tvr_config_free_node_list(nodes, count);
  tvr_config_free(config);
  return 0;
}
