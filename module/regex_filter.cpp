// regex_filter - the plug-in's entry points (see the header).
// The instance is read-only once tlvModInitModule has returned it, and every
// per-message object lives in the call or in the message's own context, so the
// entry points take no lock; the engine serialises its use of shared patterns.
// Tests: tests/e2e_module_test.cpp, tests/e2e_settings_test.cpp,
// tests/module_exports_test.cpp, tests/module_stress_test.cpp.
#include "regex_filter.h"

#include <stdio.h>
#include <string.h>

#include "kelh_engine.h"
#include "load_rules.h"
#include "module_settings.h"
#include "regx.h"
#include "tlv_rule_file.h"
#include "tlvpr_fileio.h"
#include "tlvpr_mem.h"
#include "tvr_log.h"
#include "tvr_mds.h"
#include "tvr_status.h"

namespace {

// The verdict text: tlvModEndMessage returns this very object, and the query
// record lists it, so a host may compare addresses.
constexpr char kSpam[] = "spam";
constexpr char kQueryName[] = "spam";
constexpr const char *kVerdicts[] = {kSpam};

constexpr ModuleQueryInfo kQueryInfo = {kQueryName, 1, kVerdicts, 0};

// The callback entries the module calls; a table lacking one is refused at
// initialisation instead of failing on the first message.
constexpr int kUsedCallbacks[] = {TVR_HOST_GET_MESSAGE_STORE, TVR_HOST_GET_LOAD_POINT_DIRECTORY,
                                  TVR_HOST_GET_WEIGHT_THRESHOLD, TVR_HOST_GET_HEADER_LENGTH,
                                  TVR_HOST_GET_CONFIGURATION};

}  // namespace

// regex_filter_callbacks_complete - whether the table has every entry the module calls
static bool regex_filter_callbacks_complete(const HostCallbackTable *callbacks) {
  if (callbacks == nullptr) return false;
  for (int position : kUsedCallbacks)
    if (callbacks->entry[position] == nullptr) return false;
  return true;
}

// regex_filter_same_text - equal texts: both null, or both set with equal bytes
static bool regex_filter_same_text(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return a == b;
  return strcmp(a, b) == 0;
}

// regex_filter_reusable - whether previous has the new instance's identity
// Path, key, the three limits and the rule file's time and size; the key type and
// the callback table do not count.
static bool regex_filter_reusable(const ModuleInstance *previous, const ModuleInstance *fresh) {
  return regex_filter_same_text(previous->rule_file_path, fresh->rule_file_path) &&
         regex_filter_same_text(previous->key, fresh->key) &&
         previous->max_header_length == fresh->max_header_length &&
         previous->max_total_headers_length == fresh->max_total_headers_length &&
         previous->max_back_tracks == fresh->max_back_tracks &&
         previous->rule_file_mtime == fresh->rule_file_mtime &&
         previous->rule_file_size == fresh->rule_file_size;
}

// regex_filter_free_hits - unlinks and frees every record of a hit list
static void regex_filter_free_hits(RuleHit **hits) {
  if (hits == nullptr) return;
  RuleHit *hit = *hits;
  *hits = nullptr;
  kelh_free_hits(hit);
}

extern "C" {

// tlvModInitModule - makes or reuses the instance for the host's configuration
ModuleInstance *tlvModInitModule(uintptr_t reserved, uintptr_t host,
                                 const HostCallbackTable *callbacks,
                                 ModuleInstance *previous) noexcept {
  (void)reserved;
  if (host == 0 || !regex_filter_callbacks_complete(callbacks)) {
    tvr_log(TVR_LOG_ERR, TVR_ENTRY_NULL_ARGUMENT, "tlvModInitModule: (regex filter)");
    return nullptr;
  }
  ModuleInstance *instance = (ModuleInstance *)tlvpr_calloc(1, sizeof(ModuleInstance));
  if (instance == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_CALLOC_FAILED, (int)sizeof(ModuleInstance));
    return nullptr;
  }
  instance->callbacks = callbacks;

  FILE *file = nullptr;
  TlvprStat status;
  if (read_module_settings(host, instance) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_FILTER_CANNOT_CONFIGURE);
    goto failed;
  }
  file = tlv_rule_file_open(instance->rule_file_path);
  if (file == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_CANNOT_OPEN_FILE, instance->rule_file_path);
    goto failed;
  }
  if (tlvpr_fstat(tlvpr_stream_handle(file), &status) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_FILE_STATUS_ERROR);
    goto failed;
  }
  instance->rule_file_mtime = tlvpr_stat_mtime(&status);
  instance->rule_file_size = tlvpr_stat_size(&status);

  if (previous != nullptr && regex_filter_reusable(previous, instance)) {
    tlvModFreeModule(instance, host);
    fclose(file);
    return previous;
  }
  if (regx_init() != 0) {
    tvr_log(TVR_LOG_ERR, TVR_FILTER_ENGINE_INIT_FAILED);
    goto failed;
  }
  if (rulebase_load(&instance->rule_base, file, instance->key, instance->key_type, 0) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_FILTER_CANNOT_READ_RULES);
    goto failed;
  }
  fclose(file);
  return instance;

failed:
  tlvModFreeModule(instance, host);
  if (file != nullptr) fclose(file);
  return nullptr;
}

// tlvModQueryModule - the static record naming the one verdict
const ModuleQueryInfo *tlvModQueryModule(void) noexcept { return &kQueryInfo; }

// tlvModInitMessage - a fresh per-message context
MessageContext *tlvModInitMessage(uintptr_t unused, uintptr_t required) noexcept {
  (void)unused;
  if (required == 0) {
    tvr_log(TVR_LOG_ERR, TVR_ENTRY_NULL_ARGUMENT, "tlvModInitMessage: (regex filter)");
    return nullptr;
  }
  MessageContext *context = (MessageContext *)tlvpr_calloc(1, sizeof(MessageContext));
  if (context == nullptr) tvr_log(TVR_LOG_ERR, TVR_CALLOC_FAILED, (int)sizeof(MessageContext));
  return context;
}

// tlvModEndMessage - reads the header block and gives the verdict
const char *tlvModEndMessage(RuleHit **hits, MessageContext *context, uintptr_t message,
                             const ModuleInstance *instance, uintptr_t threshold_value) noexcept {
  if (hits == nullptr || context == nullptr || instance == nullptr ||
      !regex_filter_callbacks_complete(instance->callbacks)) {
    tvr_log(TVR_LOG_ERR, TVR_ENTRY_NULL_ARGUMENT, "tlvModEndMessage: (regex filter)");
    regex_filter_free_hits(hits);
    return nullptr;
  }
  const HostCallbackTable *callbacks = instance->callbacks;
  MessageDataStore *store =
      (MessageDataStore *)callbacks->entry[TVR_HOST_GET_MESSAGE_STORE](message);
  uint32_t length = (uint32_t)callbacks->entry[TVR_HOST_GET_HEADER_LENGTH](message);
  context->header_length = length;
  if (length == 0) return nullptr;
  if (instance->max_total_headers_length != 0 && length > instance->max_total_headers_length) {
    tvr_log(TVR_LOG_NOTICE, TVR_FILTER_HEADERS_TOO_LONG, length,
            instance->max_total_headers_length);
    return kSpam;
  }

  // A context given a second message drops the first one's block.
  tlvpr_free(context->header);
  context->header = (char *)tlvpr_malloc(length);
  if (context->header == nullptr) {
    tvr_log(TVR_LOG_ERR, TVR_MALLOC_FAILED, (int)length);
    regex_filter_free_hits(hits);
    return nullptr;
  }
  if (tvr_mds_seek(store, 0, TVR_MDS_SEEK_SET) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_FILTER_CANNOT_SEEK_STORE);
    regex_filter_free_hits(hits);
    return nullptr;
  }
  if (tvr_mds_read(store, context->header, &context->header_length) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_FILTER_CANNOT_READ_STORE);
    regex_filter_free_hits(hits);
    return nullptr;
  }
  int32_t threshold = (int32_t)callbacks->entry[TVR_HOST_GET_WEIGHT_THRESHOLD](threshold_value);
  int spam = 0;
  if (rulebase_evaluate(context->header, context->header_length, hits, instance->rule_base,
                        threshold, instance->max_header_length, instance->max_back_tracks,
                        &spam) != 0) {
    tvr_log(TVR_LOG_ERR, TVR_FILTER_ENGINE_ERROR);
    regex_filter_free_hits(hits);
    return nullptr;
  }
  return spam == 1 ? kSpam : nullptr;
}

// tlvModFreeMessage - frees a context and its header block
void tlvModFreeMessage(MessageContext *context) noexcept {
  if (context == nullptr) return;
  tlvpr_free(context->header);
  tlvpr_free(context);
}

// tlvModFreeModule - frees an instance with its rule base, path and key
void tlvModFreeModule(ModuleInstance *instance, uintptr_t host) noexcept {
  (void)host;
  if (instance == nullptr) return;
  if (instance->rule_base != nullptr) rulebase_free(instance->rule_base);
  tlvpr_free(instance->rule_file_path);
  tlvpr_free(instance->key);
  tlvpr_free(instance);
}

// tlvModGetVersion - the module's version text, which is empty
uint32_t tlvModGetVersion(char *buffer, uint32_t *size) noexcept {
  if (size == nullptr) return TVR_BAD_ARGUMENT;
  if (*size == 0) {
    *size = 1;
    return TVR_BUFFER_TOO_SMALL;
  }
  if (buffer == nullptr) return TVR_BAD_ARGUMENT;
  buffer[0] = '\0';
  *size = 1;
  return 0;
}

}  // extern "C"
