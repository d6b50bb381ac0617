// hdrw_host - the reference host: loads the filter plug-in and drives it as the
// mail-filtering server does
//
// Plug-in. hdrw_plugin_load(path, &plugin, why, why_size) maps the library with
// dlopen and resolves the seven tlvMod* entry points once (no lookup per message).
// Results: 0 with *plugin set; 10040 null path or output; 10013 no memory; 10019
// the library cannot be mapped or lacks an entry point (the loader's reason,
// which names the library, or the entry point's name and the reason, is copied
// into why when why is non-null and why_size > 0; why is always terminated
// then). hdrw_plugin_unload(plugin) unmaps it; null is ignored. The
// caller owns the plugin and unloads it after every host made on it is freed.
// hdrw_plugin_version(plugin, buffer, &size) calls tlvModGetVersion unchanged.
//
// Host context. hdrw_host_create(&host, plugin, load_point, config_path,
// threshold) makes the context the module sees through its callback table:
//   - load_point: directory holding the rule file "kelv"; copied. A null
//     load_point is handed to the module as a null directory (it then refuses to
//     initialise).
//   - config_path: the server's XML configuration, opened with tvr_config_open and
//     owned by the host; null hands the module a null configuration handle.
//   - threshold: the weight threshold answered for every message (signed).
// Results: 0 with *host set; 10040 null output or plugin; 10013 no memory; any
// code of tvr_config_open (21020 unreadable, 21016 not well-formed). Nothing is
// handed out on failure. hdrw_host_free(host) closes the configuration and frees
// the context (not the plugin, not instances); null is ignored.
//
// Message stores are made the way the server makes them: the message's first
// whole read blocks lie in a spool file (a self-deleting temporary file), the rest
// in memory. hdrw_host_set_store_layout(host, block_size, memory_capacity): a
// message of at most memory_capacity bytes is held wholly in memory; a longer one
// spools as many whole blocks of block_size bytes as needed to leave at most
// memory_capacity bytes in memory (never more blocks than the message fills).
// Defaults: block size 4096, memory capacity 1 MiB. Results: 0; 10040 null host
// or a block size of 0. Call it before evaluating messages.
//
// Instances. hdrw_host_init(host, previous) calls tlvModInitModule with the host's
// callback table and previous (may be null) and returns its result: a new
// instance, previous itself when the module reuses it, or null when it cannot
// initialise (the module logs why; previous stays valid and in service).
// hdrw_host_free_instance(host, instance) calls tlvModFreeModule; null is ignored.
// When hdrw_host_init returns a new instance, freeing the previous one is the
// caller's business. hdrw_host_free_instance must not overlap with evaluations
// on the instance it frees; hdrw_host_init only reads previous, so evaluations
// on previous may go on while a new host initialises (the milter reloads so).
//
// Evaluation. hdrw_host_evaluate(host, instance, message, message_len, header_len,
// verdict) builds a message data store over message (message_len bytes; the
// header block is its first header_len bytes, header_len <= message_len), runs
// tlvModInitMessage, tlvModEndMessage with an empty hit list, reads the hit list
// into verdict and frees it, and tlvModFreeMessage. A message held wholly in
// memory is not copied (the store borrows message for the call). verdict->spam
// is 1 when the module answered "spam"; score is the sum of the hit weights;
// hits holds (rule ID, weight) in the module's order. The hit array grows with
// tlvpr_realloc and is kept between calls, so one verdict reused per thread
// allocates nothing in the steady state. verdict->error is 0 when the module
// evaluated the message; when it gave no verdict and logged an error (level 3
// or worse) on the way, error is the code of the first such record (10047 a
// header block whose last line lacks its LF, 11007/11008 the store cannot be
// read, 10001/10013 no memory, ...), with spam 0 and no hits: the message was
// not judged. The host learns it from the log call itself (tvrshareddata.h),
// whatever the log threshold, on the evaluating thread. Results: 0 (whatever
// the verdict, also when verdict->error is set: the host itself did not fail;
// a server sees such a message as not spam); 10040 null host, instance, verdict, or message with a
// non-zero length, or header_len > message_len, or message_len above 4294967295; 10013 no memory
// (verdict emptied); 10056 the spool file cannot be made or written; 10013 also when the module
// cannot make a message context. On failure verdict holds no hits. hdrw_verdict_init(verdict)
// zero-fills a verdict; hdrw_verdict_free(verdict) frees its hit array and empties it (null
// ignored). hdrw_host_error_text(code, buffer, size) writes the one-line reason of a verdict's
// error code into buffer: its catalog text, with the places of the record's arguments shown as
// "...", and for 10047 what it means for a header block; "code N" for a code without text. Cut to
// size (HDRW_HOST_ERROR_TEXT always suffices) and terminated; nothing is written when buffer is
// null or size is 0. Reads constant tables only.
//
// hdrw_host_limits(instance, &limits) copies the limits an instance evaluates
// with, as its settings gave them: max_total_headers_length is the longest
// header block it reads (0 = no limit); a longer block is answered "spam"
// unread, so a host need not hold more than that limit + 1 bytes of it.
// Results: 0; 10040 null argument (limits untouched).
//
// Threads: any number of threads may call hdrw_host_evaluate at once with one host
// and one instance (each with its own verdict); the host is read-only then.
// hdrw_host_set_store_layout, hdrw_host_init and hdrw_host_free on a host must not
// overlap with evaluations through that host, nor hdrw_host_free_instance with
// evaluations of its instance.
//
// Log settings. hdrw_host_log_level(text, &level) reads a threshold: a keyword
// "TVR_LOG_ALERT" 1, "TVR_LOG_ERR" 3, "TVR_LOG_WARNING" 4, "TVR_LOG_NOTICE" 5,
// "TVR_LOG_INFO" 6, "TVR_LOG_DEBUG" 7, the same without the prefix in any letter
// case ("debug"), or a number 0 to 7. Results: 0 with *level set; 10040 null
// argument; 21017 anything else. hdrw_host_configure_log(destination, level)
// fills the process-wide log settings with tvr_log_configure: destination null,
// "syslog..." (system log), "stderr" or a log file path; level 0 to 7. Results:
// 0; 10040 level out of range; 10056 destination is a log file that cannot be
// opened (records then go to the system log, where 10056 and 10070 say why).
// It logs what tvr_log_configure logs; call it before starting threads that log.
#ifndef HOST_HDRW_HOST_H
#define HOST_HDRW_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HdrwPlugin HdrwPlugin;  // a mapped plug-in and its entry points
typedef struct HdrwHost HdrwHost;      // the context the module's callbacks answer from

typedef struct HdrwHit {
  int32_t rule_id;  // ID of the matching rule
  int32_t weight;   // its weight
} HdrwHit;

typedef struct HdrwVerdict {
  int32_t spam;           // 1 = the module answered "spam"; 0 = no verdict
  int32_t score;          // sum of the weights of hits
  uint32_t hit_count;     // records in hits
  uint32_t hit_capacity;  // records hits has room for
  HdrwHit *hits;          // tlvpr heap, owned by the verdict; freed by hdrw_verdict_free
  uint32_t error;         // 0 = evaluated; else the code of the failure the module logged
} HdrwVerdict;

typedef struct HdrwLimits {
  uint32_t max_header_length;         // longest header line checked; 0 = no limit
  uint32_t max_total_headers_length;  // longest header block read; 0 = no limit
  uint32_t max_back_tracks;           // backtracking limit of every match
} HdrwLimits;

enum {
  HDRW_HOST_BLOCK_SIZE = 4096,           // default read block size of message stores
  HDRW_HOST_MEMORY_CAPACITY = 1u << 20,  // default bytes of a message held in memory
  HDRW_HOST_CALLBACKS = 26,              // entries of the host's callback table
  HDRW_HOST_ERROR_TEXT = 256             // room for any text of hdrw_host_error_text
};

uint32_t hdrw_plugin_load(const char *path, HdrwPlugin **plugin, char *why, size_t why_size);
void hdrw_plugin_unload(HdrwPlugin *plugin);
uint32_t hdrw_plugin_version(const HdrwPlugin *plugin, char *buffer, uint32_t *size);

uint32_t hdrw_host_create(HdrwHost **host, const HdrwPlugin *plugin, const char *load_point,
                          const char *config_path, int32_t threshold);
void hdrw_host_free(HdrwHost *host);
uint32_t hdrw_host_set_store_layout(HdrwHost *host, uint32_t block_size, uint32_t memory_capacity);

void *hdrw_host_init(HdrwHost *host, void *previous);
void hdrw_host_free_instance(HdrwHost *host, void *instance);

void hdrw_verdict_init(HdrwVerdict *verdict);
void hdrw_verdict_free(HdrwVerdict *verdict);
uint32_t hdrw_host_evaluate(const HdrwHost *host, void *instance, const void *message,
                            size_t message_len, size_t header_len, HdrwVerdict *verdict);
uint32_t hdrw_host_limits(const void *instance, HdrwLimits *limits);
void hdrw_host_error_text(uint32_t code, char *buffer, size_t size);

uint32_t hdrw_host_log_level(const char *text, int32_t *level);
uint32_t hdrw_host_configure_log(const char *destination, int32_t level);

#ifdef __cplusplus
}
#endif

#endif
