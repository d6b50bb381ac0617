// regex_filter - the plug-in's seven entry points and its message records
//
// libhdrweights.so exports exactly these seven names (C linkage, noexcept); the
// host finds them with dlsym and calls them with the types below. The instance
// record they hand out is in module_instance.h (included here).
//
// tlvModInitModule(reserved, host, callbacks, previous): reads the settings
// through the host's callbacks (entries 5 and 25 of the table), opens the rule
// file "<load point>/kelv" with up to five attempts (sleeps of 0.5, 1, 2 and 4
// seconds between them), and loads the rule base. Gives previous itself when the
// rule file path, key, the three limits and the rule file's size and modification
// time all equal its own (nothing is loaded then); otherwise a new instance, or
// null on failure (logged: 10018 null host handle or callback table or a table
// lacking an entry the module calls, 10008, 11010, 10019, 10044, 11011, 11012).
// previous is never changed or freed. reserved is unused. The call only reads
// previous and keeps no state of its own between calls (pattern compilation
// keeps its working state in the call), so messages may go on being evaluated
// on previous while it runs; a host reloads that way.
//
// tlvModQueryModule(): the static ModuleQueryInfo (one verdict, "spam"); read-only.
//
// tlvModInitMessage(unused, required): a zero-filled MessageContext, or null when
// required is 0 (logs 10018) or memory runs out (logs 10008).
//
// tlvModEndMessage(hits, context, message, instance, threshold_value): reads the
// message's header block from its data store (entries 1 and 22) into the
// context, asks for the threshold (entry 6 with threshold_value) and evaluates
// it. Gives the static "spam" text (the same object as the query record's
// verdict) or null. Hit records (RuleHit of rule_hit.h, tlvpr heap) are appended
// to *hits, which must be null on entry; the host frees them. A header length of
// 0 gives null without logging; a block longer than maxTotalHeadersLength (non-zero)
// gives "spam" unread (logs level 5, 11013). Every failure gives null with the
// list emptied and freed (logs 10018 null hit list address, context or instance;
// 10001, 11008, 11007, 11009). May run on many threads at once on one instance.
//
// tlvModFreeMessage(context) and tlvModFreeModule(instance, host) free what they
// are given (null ignored; host unused). tlvModGetVersion(buffer, &size): the
// version text is empty; size 0 gives 8089 and size 1 (buffer untouched); any
// other size gives 0, an empty text in buffer and size 1. Nothing is logged.
#ifndef MODULE_REGEX_FILTER_H
#define MODULE_REGEX_FILTER_H

#include <stdint.h>

#include "module_instance.h"
#include "rule_hit.h"
#include "tvr_mds.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MessageContext {
  char *header;            // owned: the header block as read, no terminator
  uint32_t header_length;  // reported length, then the bytes actually read
} MessageContext;

typedef struct ModuleQueryInfo {
  const char *name;             // "spam"
  uint32_t verdict_count;       // 1
  const char *const *verdicts;  // one entry: the "spam" tlvModEndMessage returns
  uintptr_t reserved;           // 0
} ModuleQueryInfo;

#if defined(__cplusplus)
#define TLVMOD_NOEXCEPT noexcept
#else
#define TLVMOD_NOEXCEPT
#endif

#if defined(__GNUC__)
#define TLVMOD_API __attribute__((visibility("default")))
#else
#define TLVMOD_API
#endif

TLVMOD_API ModuleInstance *tlvModInitModule(uintptr_t reserved, uintptr_t host,
                                            const HostCallbackTable *callbacks,
                                            ModuleInstance *previous) TLVMOD_NOEXCEPT;
TLVMOD_API const ModuleQueryInfo *tlvModQueryModule(void) TLVMOD_NOEXCEPT;
TLVMOD_API MessageContext *tlvModInitMessage(uintptr_t unused, uintptr_t required) TLVMOD_NOEXCEPT;
TLVMOD_API const char *tlvModEndMessage(struct RuleHit **hits, MessageContext *context,
                                        uintptr_t message, const ModuleInstance *instance,
                                        uintptr_t threshold_value) TLVMOD_NOEXCEPT;
TLVMOD_API void tlvModFreeMessage(MessageContext *context) TLVMOD_NOEXCEPT;
TLVMOD_API void tlvModFreeModule(ModuleInstance *instance, uintptr_t host) TLVMOD_NOEXCEPT;
TLVMOD_API uint32_t tlvModGetVersion(char *buffer, uint32_t *size) TLVMOD_NOEXCEPT;

// The entry points' types, for a host that resolves them with dlsym.
typedef ModuleInstance *(*TlvModInitModuleFn)(uintptr_t, uintptr_t, const HostCallbackTable *,
                                              ModuleInstance *);
typedef const ModuleQueryInfo *(*TlvModQueryModuleFn)(void);
typedef MessageContext *(*TlvModInitMessageFn)(uintptr_t, uintptr_t);
typedef const char *(*TlvModEndMessageFn)(struct RuleHit **, MessageContext *, uintptr_t,
                                          const ModuleInstance *, uintptr_t);
typedef void (*TlvModFreeMessageFn)(MessageContext *);
typedef void (*TlvModFreeModuleFn)(ModuleInstance *, uintptr_t);
typedef uint32_t (*TlvModGetVersionFn)(char *, uint32_t *);

#ifdef __cplusplus
}
#endif

#endif
