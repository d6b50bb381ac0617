// tvrshareddata - definitions of the process-wide shared objects (see the header).
// Tested through the logging and end-to-end suites, which share these objects
// with the module they load.
#include "tvrshareddata.h"

#include <stddef.h>

static_assert(offsetof(TvrLogSettings, initialised) == 0, "settings layout");
static_assert(offsetof(TvrLogSettings, period_start) == 16, "settings layout");
static_assert(offsetof(TvrLogSettings, path) == 24, "settings layout");

extern "C" {
TLVPR_SHARED_API TvrLogSettings tvr_shared_log_settings = {};
TLVPR_SHARED_API TlvprHooks tlvpr_hooks = {};
TLVPR_SHARED_API __thread uint32_t tvr_shared_thread_error = 0;
TLVPR_SHARED_API __thread uint32_t tvr_shared_thread_match_limits = 0;
}
