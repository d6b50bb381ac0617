// tlvpr_sync - recursive pthread mutexes and process and thread ids.
// Tests: tests/tlvpr_test.cpp.
#include "tlvpr_sync.h"

#include <sys/syscall.h>
#include <unistd.h>

// tlvpr_lock_init - makes a recursive mutex; non-zero when the system refuses
int tlvpr_lock_init(TlvprLock *lock) {
  if (lock == nullptr) {
    return -1;
  }
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    return -1;
  }
  int rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) {
    rc = pthread_mutex_init(&lock->mutex, &attr);
  }
  pthread_mutexattr_destroy(&attr);
  return rc == 0 ? 0 : -1;
}

// tlvpr_lock_destroy - deletes a lock made by tlvpr_lock_init
int tlvpr_lock_destroy(TlvprLock *lock) {
  pthread_mutex_destroy(&lock->mutex);
  return 0;
}

// tlvpr_lock - enters the lock (again, when the caller holds it)
int tlvpr_lock(TlvprLock *lock) {
  pthread_mutex_lock(&lock->mutex);
  return 0;
}

// tlvpr_unlock - leaves the lock once
int tlvpr_unlock(TlvprLock *lock) {
  pthread_mutex_unlock(&lock->mutex);
  return 0;
}

// tlvpr_getpid - the process id
uint32_t tlvpr_getpid(void) { return (uint32_t)getpid(); }

// tlvpr_thread_id - the kernel's id of the calling thread
uint32_t tlvpr_thread_id(void) { return (uint32_t)syscall(SYS_gettid); }
