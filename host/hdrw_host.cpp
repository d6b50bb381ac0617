// hdrw_host - the reference host (see the header).
// The host context is read-only while messages are evaluated; everything per
// message (the store, its spool file and block buffer, the module's context and
// hit list) lives in the evaluating call, so threads share nothing mutable.
// Tests: tests/host_test.cpp and the end-to-end suites.
#include "hdrw_host.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "regex_filter.h"
#include "rule_hit.h"
#include "tlvpr_fileio.h"
#include "tlvpr_format.h"
#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tlvpr_tmpfile.h"
#include "tvr_config.h"
#include "tvr_log_settings.h"
#include "tvr_mds.h"
#include "tvr_messages.h"
#include "tvr_status.h"
#include "tvrshareddata.h"

namespace {

struct LevelName {
  const char *name;  // threshold keyword without its "TVR_LOG_" prefix
  int32_t level;
};

constexpr LevelName kLevelNames[] = {{"ALERT", 1},  {"ERR", 3},  {"ERROR", 3}, {"WARNING", 4},
                                     {"NOTICE", 5}, {"INFO", 6}, {"DEBUG", 7}};

// The memory part of an empty message: a store needs a non-null buffer to be usable.
unsigned char kEmptyMessage[1];

}  // namespace

struct HdrwPlugin {
  void *library;                   // dlopen handle
  TlvModInitModuleFn init_module;  // the seven entry points, resolved once
  TlvModQueryModuleFn query_module;
  TlvModInitMessageFn init_message;
  TlvModEndMessageFn end_message;
  TlvModFreeMessageFn free_message;
  TlvModFreeModuleFn free_module;
  TlvModGetVersionFn get_version;
};

struct HdrwHost {
  const HdrwPlugin *plugin;     // borrowed
  char *load_point;             // owned copy, may be null
  ConfigHandle *config;         // owned, may be null
  int32_t threshold;            // answered for every message
  uint32_t block_size;          // read block size of message stores
  uint32_t memory_capacity;     // bytes of a message kept in memory
  HostCallbackTable callbacks;  // what the module calls; unused entries null
};

// One message under evaluation; its address is the module's message handle.
struct HdrwMessage {
  MessageDataStore store;  // the module reads the message from here
  uint32_t header_length;  // answered by getHeaderLength
  FILE *spool;             // spool file of the file part, or null
  char spool_path[TLVPR_PATH_MAX];
};

// hdrw_host_copy_reason - copies a loader's reason into the caller's buffer,
// prefixed by what it concerns unless the reason begins with that already
static void hdrw_host_copy_reason(char *why, size_t why_size, const char *what,
                                  const char *reason) {
  if (why == nullptr || why_size == 0) return;
  if (reason == nullptr) reason = "unknown error";
  if (strncmp(reason, what, strlen(what)) == 0) {
    tlvpr_snprintf(why, why_size, "%s", reason);
  } else {
    tlvpr_snprintf(why, why_size, "%s: %s", what, reason);
  }
}

// hdrw_plugin_load - maps the plug-in and resolves its entry points
uint32_t hdrw_plugin_load(const char *path, HdrwPlugin **plugin, char *why, size_t why_size) {
  if (why != nullptr && why_size > 0) why[0] = '\0';
  if (path == nullptr || plugin == nullptr) return TVR_BAD_ARGUMENT;
  void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    hdrw_host_copy_reason(why, why_size, path, dlerror());
    return TVR_CANNOT_OPEN_FILE;
  }
  HdrwPlugin loaded = {};
  const struct {
    const char *name;
    void **slot;
  } symbols[] = {
      {"tlvModInitModule", (void **)&loaded.init_module},
      {"tlvModQueryModule", (void **)&loaded.query_module},
      {"tlvModInitMessage", (void **)&loaded.init_message},
      {"tlvModEndMessage", (void **)&loaded.end_message},
      {"tlvModFreeMessage", (void **)&loaded.free_message},
      {"tlvModFreeModule", (void **)&loaded.free_module},
      {"tlvModGetVersion", (void **)&loaded.get_version},
  };
  for (const auto &symbol : symbols) {
    *symbol.slot = dlsym(library, symbol.name);
    if (*symbol.slot == nullptr) {
      hdrw_host_copy_reason(why, why_size, symbol.name, dlerror());
      dlclose(library);
      return TVR_CANNOT_OPEN_FILE;
    }
  }
  HdrwPlugin *made = (HdrwPlugin *)tlvpr_calloc(1, sizeof(HdrwPlugin));
  if (made == nullptr) {
    dlclose(library);
    return TVR_NO_MEMORY;
  }
  *made = loaded;
  made->library = library;
  *plugin = made;
  return 0;
}

// hdrw_plugin_unload - unmaps the plug-in and frees its record
void hdrw_plugin_unload(HdrwPlugin *plugin) {
  if (plugin == nullptr) return;
  dlclose(plugin->library);
  tlvpr_free(plugin);
}

// hdrw_plugin_version - the plug-in's version text
uint32_t hdrw_plugin_version(const HdrwPlugin *plugin, char *buffer, uint32_t *size) {
  if (plugin == nullptr) return TVR_BAD_ARGUMENT;
  return plugin->get_version(buffer, size);
}

// The callbacks the module calls. The host handle and the threshold value are the
// host context; the message handle is the HdrwMessage under evaluation.

// hdrw_host_message_store - entry 1: the message's data store
static uintptr_t hdrw_host_message_store(uintptr_t message) {
  return message == 0 ? 0 : (uintptr_t) & ((HdrwMessage *)message)->store;
}

// hdrw_host_load_point - entry 5: the directory holding the rule file
static uintptr_t hdrw_host_load_point(uintptr_t host) {
  return host == 0 ? 0 : (uintptr_t)((const HdrwHost *)host)->load_point;
}

// hdrw_host_weight_threshold - entry 6: the message's weight threshold
static uintptr_t hdrw_host_weight_threshold(uintptr_t host) {
  // Sign-extended, so the module's 32-bit view is the threshold itself.
  return host == 0 ? 0 : (uintptr_t)(intptr_t)((const HdrwHost *)host)->threshold;
}

// hdrw_host_header_length - entry 22: bytes of the message's header block
static uintptr_t hdrw_host_header_length(uintptr_t message) {
  return message == 0 ? 0 : ((const HdrwMessage *)message)->header_length;
}

// hdrw_host_configuration - entry 25: the server configuration's handle
static uintptr_t hdrw_host_configuration(uintptr_t host) {
  return host == 0 ? 0 : (uintptr_t)((const HdrwHost *)host)->config;
}

// hdrw_host_create - makes the host context (see the header)
uint32_t hdrw_host_create(HdrwHost **host, const HdrwPlugin *plugin, const char *load_point,
                          const char *config_path, int32_t threshold) {
  if (host == nullptr || plugin == nullptr) return TVR_BAD_ARGUMENT;
  HdrwHost *made = (HdrwHost *)tlvpr_calloc(1, sizeof(HdrwHost));
  if (made == nullptr) return TVR_NO_MEMORY;
  if (load_point != nullptr && (made->load_point = tlvpr_strdup(load_point)) == nullptr) {
    tlvpr_free(made);
    return TVR_NO_MEMORY;
  }
  if (config_path != nullptr) {
    tvr_config_init();
    uint32_t rc = tvr_config_open(&made->config, config_path);
    if (rc != 0) {
      tlvpr_free(made->load_point);
      tlvpr_free(made);
      return rc;
    }
  }
  tlvpr_temp_dir();  // read once, here: evaluating threads then only see the cached text
  made->plugin = plugin;
  made->threshold = threshold;
  made->block_size = HDRW_HOST_BLOCK_SIZE;
  made->memory_capacity = HDRW_HOST_MEMORY_CAPACITY;
  made->callbacks.entry[TVR_HOST_GET_MESSAGE_STORE] = hdrw_host_message_store;
  made->callbacks.entry[TVR_HOST_GET_LOAD_POINT_DIRECTORY] = hdrw_host_load_point;
  made->callbacks.entry[TVR_HOST_GET_WEIGHT_THRESHOLD] = hdrw_host_weight_threshold;
  made->callbacks.entry[TVR_HOST_GET_HEADER_LENGTH] = hdrw_host_header_length;
  made->callbacks.entry[TVR_HOST_GET_CONFIGURATION] = hdrw_host_configuration;
  *host = made;
  return 0;
}

// hdrw_host_free - frees the context and its configuration
void hdrw_host_free(HdrwHost *host) {
  if (host == nullptr) return;
  tvr_config_free(host->config);
  tlvpr_free(host->load_point);
  tlvpr_free(host);
}

// hdrw_host_set_store_layout - sets how message stores split a message
uint32_t hdrw_host_set_store_layout(HdrwHost *host, uint32_t block_size, uint32_t memory_capacity) {
  if (host == nullptr || block_size == 0) return TVR_BAD_ARGUMENT;
  host->block_size = block_size;
  host->memory_capacity = memory_capacity;
  return 0;
}

// hdrw_host_init - asks the module for an instance (see the header)
void *hdrw_host_init(HdrwHost *host, void *previous) {
  if (host == nullptr) return nullptr;
  return host->plugin->init_module(0, (uintptr_t)host, &host->callbacks,
                                   (ModuleInstance *)previous);
}

// hdrw_host_free_instance - hands an instance back to the module
void hdrw_host_free_instance(HdrwHost *host, void *instance) {
  if (host == nullptr || instance == nullptr) return;
  host->plugin->free_module((ModuleInstance *)instance, (uintptr_t)host);
}

// hdrw_host_close_store - releases the spool file and block buffer of a message
static void hdrw_host_close_store(HdrwMessage *message) {
  if (message->spool != nullptr) fclose(message->spool);
  message->spool = nullptr;
  tlvpr_free(message->store.block);
  message->store.block = nullptr;
}

// hdrw_host_open_store - lays the message out as the server does
// The file part is the fewest whole blocks that leave at most memory_capacity
// bytes in memory (never more blocks than the message fills); the memory part
// borrows the caller's bytes, so only a spooled part is ever copied.
static uint32_t hdrw_host_open_store(const HdrwHost *host, HdrwMessage *message,
                                     const unsigned char *bytes, uint32_t len) {
  message->store = MessageDataStore{};
  message->spool = nullptr;
  message->spool_path[0] = '\0';
  MessageDataStore *store = &message->store;
  uint32_t block = host->block_size;
  uint64_t file_length = 0;
  if (len > host->memory_capacity) {
    uint64_t excess = len - host->memory_capacity;
    file_length = (excess + block - 1) / block * block;
    uint64_t whole = (uint64_t)len / block * block;
    if (file_length > whole) file_length = whole;
  }
  store->block_size = block;
  store->window_invalid = 1;
  store->file_length = (uint32_t)file_length;
  store->memory_length = len - (uint32_t)file_length;
  store->memory_capacity = store->memory_length;
  store->initial_capacity = host->memory_capacity;
  store->max_capacity = host->memory_capacity;
  store->memory = len > file_length ? (unsigned char *)bytes + file_length : kEmptyMessage;
  store->spool_directory = (char *)tlvpr_temp_dir();
  if (file_length == 0) return 0;

  store->block = (unsigned char *)tlvpr_malloc(block);
  if (store->block == nullptr) return TVR_NO_MEMORY;
  message->spool = tlvpr_tmpfile(message->spool_path);
  if (message->spool == nullptr ||
      fwrite(bytes, 1, (size_t)file_length, message->spool) != (size_t)file_length ||
      fflush(message->spool) != 0) {
    hdrw_host_close_store(message);
    return TVR_UNABLE_TO_OPEN_FILE;
  }
  store->spool_path = message->spool_path;
  store->spool_handle = tlvpr_stream_handle(message->spool);
  TlvprStat status;
  if (tlvpr_fstat(store->spool_handle, &status) == 0) {
    store->device = (uint32_t)status.st_dev;
    store->fs_block_size = (uint32_t)status.st_blksize;
  }
  return 0;
}

// hdrw_host_take_hits - moves the module's hit list into the verdict and frees it
static uint32_t hdrw_host_take_hits(RuleHit **hits, HdrwVerdict *verdict) {
  uint32_t rc = 0;
  uint32_t score = 0;  // summed unsigned: wrap-around, not overflow
  RuleHit *hit = *hits;
  *hits = nullptr;
  while (hit != nullptr) {
    if (rc == 0 && verdict->hit_count == verdict->hit_capacity) {
      uint32_t capacity = verdict->hit_capacity == 0 ? 16 : verdict->hit_capacity * 2;
      HdrwHit *grown = (HdrwHit *)tlvpr_realloc(verdict->hits, capacity * sizeof(HdrwHit));
      if (grown == nullptr) {
        rc = TVR_NO_MEMORY;
      } else {
        verdict->hits = grown;
        verdict->hit_capacity = capacity;
      }
    }
    if (rc == 0) {
      verdict->hits[verdict->hit_count++] = {hit->rule_id, hit->weight};
      score += (uint32_t)hit->weight;
    }
    RuleHit *next = hit->next;
    tlvpr_free(hit);
    hit = next;
  }
  if (rc != 0) verdict->hit_count = 0;
  verdict->score = rc == 0 ? (int32_t)score : 0;
  return rc;
}

// hdrw_verdict_init - an empty verdict without hit array
void hdrw_verdict_init(HdrwVerdict *verdict) {
  if (verdict != nullptr) memset(verdict, 0, sizeof(*verdict));
}

// hdrw_verdict_free - frees the hit array and empties the verdict
void hdrw_verdict_free(HdrwVerdict *verdict) {
  if (verdict == nullptr) return;
  tlvpr_free(verdict->hits);
  memset(verdict, 0, sizeof(*verdict));
}

// hdrw_host_evaluate - one message through the module (see the header)
uint32_t hdrw_host_evaluate(const HdrwHost *host, void *instance, const void *message,
                            size_t message_len, size_t header_len, HdrwVerdict *verdict) {
  if (verdict == nullptr) return TVR_BAD_ARGUMENT;
  verdict->spam = 0;
  verdict->score = 0;
  verdict->hit_count = 0;
  verdict->error = 0;
  if (host == nullptr || instance == nullptr || (message == nullptr && message_len != 0) ||
      header_len > message_len || message_len > UINT32_MAX)
    return TVR_BAD_ARGUMENT;

  HdrwMessage held;
  uint32_t rc =
      hdrw_host_open_store(host, &held, (const unsigned char *)message, (uint32_t)message_len);
  if (rc != 0) return rc;
  held.header_length = (uint32_t)header_len;
  const HdrwPlugin *plugin = host->plugin;
  MessageContext *context = plugin->init_message(0, (uintptr_t)host);
  if (context == nullptr) {
    hdrw_host_close_store(&held);
    return TVR_NO_MEMORY;
  }
  RuleHit *hits = nullptr;
  // The module logs on this thread; the first error it logs is its failure.
  tvr_shared_thread_error = 0;
  const char *answer = plugin->end_message(&hits, context, (uintptr_t)&held,
                                           (const ModuleInstance *)instance, (uintptr_t)host);
  uint32_t failure = tvr_shared_thread_error;
  rc = hdrw_host_take_hits(&hits, verdict);
  if (rc == 0 && answer == nullptr && failure != 0) {
    verdict->hit_count = 0;
    verdict->score = 0;
    verdict->error = failure;
  } else if (rc == 0) {
    verdict->spam = answer != nullptr ? 1 : 0;
  }
  plugin->free_message(context);
  hdrw_host_close_store(&held);
  return rc;
}

// hdrw_host_limits - the limits of an instance
uint32_t hdrw_host_limits(const void *instance, HdrwLimits *limits) {
  if (instance == nullptr || limits == nullptr) return TVR_BAD_ARGUMENT;
  const ModuleInstance *made = (const ModuleInstance *)instance;
  limits->max_header_length = made->max_header_length;
  limits->max_total_headers_length = made->max_total_headers_length;
  limits->max_back_tracks = made->max_back_tracks;
  return 0;
}

// hdrw_host_error_text - the one-line reason of a verdict's error (see the header)
void hdrw_host_error_text(uint32_t code, char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  const char *text = tvr_message_text(code);
  if (text == nullptr) {
    tlvpr_snprintf(buffer, size, "code %u", (unsigned)code);
    return;
  }
  // The catalog text is a format: each conversion becomes "...", "%%" a '%'.
  size_t pos = 0;
  auto put = [&](const char *piece, size_t len) {
    for (size_t i = 0; i < len && pos + 1 < size; i++) buffer[pos++] = piece[i];
  };
  for (const char *p = text; *p != '\0'; p++) {
    if (*p != '%') {
      put(p, 1);
    } else if (p[1] == '%') {
      put(p, 1);
      p++;
    } else {
      while (p[1] != '\0' && strchr("diouxXcsfFeEgGaAp", p[1]) == nullptr) p++;
      if (p[1] != '\0') p++;
      put("...", 3);
    }
  }
  if (code == TVR_ILLEGAL_DATA) {
    static const char kMeaning[] = " (the header block's last line has no LF)";
    put(kMeaning, sizeof(kMeaning) - 1);
  }
  buffer[pos] = '\0';
}

// hdrw_host_log_level - reads a threshold keyword or number (see the header)
uint32_t hdrw_host_log_level(const char *text, int32_t *level) {
  if (text == nullptr || level == nullptr) return TVR_BAD_ARGUMENT;
  if (text[0] >= '0' && text[0] <= '7' && text[1] == '\0') {
    *level = text[0] - '0';
    return 0;
  }
  const char *name = tlvpr_strnicmp(text, "TVR_LOG_", 8) == 0 ? text + 8 : text;
  for (const LevelName &entry : kLevelNames) {
    if (tlvpr_stricmp(name, entry.name) == 0) {
      *level = entry.level;
      return 0;
    }
  }
  return TVR_CONFIG_WRONG_TYPE;
}

// hdrw_host_configure_log - fills the shared log settings (see the header)
uint32_t hdrw_host_configure_log(const char *destination, int32_t level) {
  if (level < 0 || level > 7) return TVR_BAD_ARGUMENT;
  char threshold[4];
  tlvpr_snprintf(threshold, sizeof(threshold), "%d", (int)level);
  tvr_log_configure(destination, threshold, nullptr, nullptr, nullptr);
  if (!tvr_log_is_special_destination(destination) &&
      __atomic_load_n(&tvr_shared_log_settings.stream, __ATOMIC_RELAXED) == nullptr) {
    return TVR_UNABLE_TO_OPEN_FILE;
  }
  return 0;
}
