// tlvpr_hooks - the runtime's replaceable seams: clock, sleep, event reporter and
// allocation-failure injection
//
// One process-wide record, tlvpr_hooks, defined in the host's shared data library
// (libtvrshareddata.so) so that the module loaded with dlopen and the host that
// loads it see the same seams. Every field starts null or 0, which selects the
// real service. Tests set the fields; the module and the host never do.
//
// - time: replaces the clock behind tlvpr_time (seconds since 1970, UTC).
// - sleep_ms: replaces the sleep behind tlvpr_sleep; receives whole milliseconds.
// - report_event: replaces the system-log reporter of the event-log sink; receives
//   the event type, the category, the event id and the whole line.
// - alloc_fail_at: when non-zero, the allocation whose running number (counted in
//   alloc_count from the moment it was set) equals it fails; allocations are
//   counted only while it is non-zero. Use tlvpr_fault_arm/tlvpr_fault_disarm
//   (tlvpr_mem.h), which update both atomically.
// Thread rules: set the hooks before starting threads that use them; the
// allocation counters are updated atomically.
#ifndef SHAREDDATA_TLVPR_HOOKS_H
#define SHAREDDATA_TLVPR_HOOKS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TlvprHooks {
  int64_t (*time)(void);          // clock; null = time(2)
  void (*sleep_ms)(uint32_t ms);  // sleep; null = nanosleep(2)
  void (*report_event)(int type, int category, uint32_t event_id,
                       const char *text);  // event reporter; null = syslog(3)
  uint64_t alloc_fail_at;                  // running number of the allocation to fail; 0 = off
  uint64_t alloc_count;                    // allocations counted since arming
} TlvprHooks;

#if defined(__GNUC__)
#define TLVPR_SHARED_API __attribute__((visibility("default")))
#else
#define TLVPR_SHARED_API
#endif

extern TLVPR_SHARED_API TlvprHooks tlvpr_hooks;

#ifdef __cplusplus
}
#endif

#endif
