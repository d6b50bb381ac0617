// module_instance - the plug-in's instance record: what one configuration of
// the module evaluates with
//
// tlvModInitModule (regex_filter.h) makes a ModuleInstance, read_module_settings
// (module_settings.h) fills its path, key and limits, the rule loader its rule
// base; tlvModFreeModule frees it with everything it owns. While messages are
// evaluated the record is read-only and may be shared by any number of threads.
// A host reads its limits (hdrw_host_limits) but never changes it.
#ifndef MODULE_MODULE_INSTANCE_H
#define MODULE_MODULE_INSTANCE_H

#include <stdint.h>

#include "tvr_mds.h"

#ifdef __cplusplus
extern "C" {
#endif

struct RuleBase;

// Below this maxBackTracks a "Subject:.*word" rule gives up on an ordinary
// header line: a repetition takes about one backtrack per byte it gives back.
// Such a value is kept, but logged at level 3 when the settings are read.
enum { TLVMOD_FEWEST_USEFUL_BACKTRACKS = 100 };

typedef struct ModuleInstance {
  struct RuleBase *rule_base;          // owned; null until the loader succeeds
  char *rule_file_path;                // owned: load point, separator, "kelv"
  char *key;                           // owned, may be null: 32 hexadecimal digits
  int32_t key_type;                    // -1 = no key; 2 = key from the client certificate
  const HostCallbackTable *callbacks;  // borrowed from the host
  uint32_t max_header_length;          // longest header line checked; 0 = no limit
  uint32_t max_total_headers_length;   // longest header block read; 0 = no limit
  uint32_t max_back_tracks;            // backtracking limit of every match
  int64_t rule_file_mtime;             // seconds since 1970, of the opened rule file
  int64_t rule_file_size;              // bytes, of the opened rule file
} ModuleInstance;

#ifdef __cplusplus
}
#endif

#endif
