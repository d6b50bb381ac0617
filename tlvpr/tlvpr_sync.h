// tlvpr_sync - locks and thread and process ids
//
// TlvprLock (shareddata/tlvpr_lock.h) is a recursive mutex: the thread that
// holds it may take it again and must release it as often. tlvpr_lock_init
// gives 0, or non-zero when the lock cannot be made (the caller then must not
// use or destroy it); tlvpr_lock_destroy, tlvpr_lock and tlvpr_unlock give 0. A lock is embedded in
// its owner's record. tlvpr_getpid() is the process id, tlvpr_thread_id() the kernel's id of the
// calling thread (gettid).
#ifndef TLVPR_TLVPR_SYNC_H
#define TLVPR_TLVPR_SYNC_H

#include <stdint.h>

#include "tlvpr_lock.h"

#ifdef __cplusplus
extern "C" {
#endif

int tlvpr_lock_init(TlvprLock *lock);
int tlvpr_lock_destroy(TlvprLock *lock);
int tlvpr_lock(TlvprLock *lock);
int tlvpr_unlock(TlvprLock *lock);

uint32_t tlvpr_getpid(void);
uint32_t tlvpr_thread_id(void);

#ifdef __cplusplus
}
#endif

#endif
