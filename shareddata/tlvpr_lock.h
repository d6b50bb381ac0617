// tlvpr_lock - the runtime's lock type
//
// TlvprLock is a recursive mutex embedded in its owner's record. The type
// lies down here, below the runtime, because the process-wide log settings
// record (tvrshareddata.h) embeds one and is shared across the plug-in
// boundary; the calls that make, take and release a lock are the runtime's
// (tlvpr/tlvpr_sync.h).
#ifndef SHAREDDATA_TLVPR_LOCK_H
#define SHAREDDATA_TLVPR_LOCK_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TlvprLock {
  pthread_mutex_t mutex;  // recursive
} TlvprLock;

#ifdef __cplusplus
}
#endif

#endif
