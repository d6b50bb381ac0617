// tlvpr_mem - heap wrappers over the C library allocator, with the optional
// failure injection counted in the shared tlvpr_hooks record. Tests: tests/tlvpr_test.cpp.
#include "tlvpr_mem.h"

#include <stdlib.h>

#include "tlvpr_hooks.h"

#ifdef TLVPR_FAULT_INJECTION
// tlvpr_mem_should_fail - counts one allocation while armed; true for the n-th
static bool tlvpr_mem_should_fail(void) {
  uint64_t at = __atomic_load_n(&tlvpr_hooks.alloc_fail_at, __ATOMIC_RELAXED);
  if (at == 0) {
    return false;
  }
  uint64_t n = __atomic_add_fetch(&tlvpr_hooks.alloc_count, 1, __ATOMIC_RELAXED);
  return n == at;
}
#else
static inline bool tlvpr_mem_should_fail(void) { return false; }
#endif

// tlvpr_malloc - uninitialised block; 0 bytes are allocated as 1
void *tlvpr_malloc(size_t size) {
  if (tlvpr_mem_should_fail()) {
    return nullptr;
  }
  return malloc(size == 0 ? 1 : size);
}

// tlvpr_calloc - zero-filled block of count*size bytes; null when the product wraps
void *tlvpr_calloc(size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) {
    return nullptr;
  }
  if (tlvpr_mem_should_fail()) {
    return nullptr;
  }
  if (count == 0 || size == 0) {
    count = 1;
    size = 1;
  }
  return calloc(count, size);
}

// tlvpr_realloc - resizes a block; a null block allocates; the old block survives failure
void *tlvpr_realloc(void *block, size_t size) {
  if (tlvpr_mem_should_fail()) {
    return nullptr;
  }
  return realloc(block, size == 0 ? 1 : size);
}

// tlvpr_free - returns a block; null is ignored
void tlvpr_free(void *block) { free(block); }

// tlvpr_fault_arm - the n-th allocation from now fails once
void tlvpr_fault_arm(uint64_t n) {
#ifdef TLVPR_FAULT_INJECTION
  __atomic_store_n(&tlvpr_hooks.alloc_fail_at, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&tlvpr_hooks.alloc_count, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&tlvpr_hooks.alloc_fail_at, n, __ATOMIC_RELAXED);
#else
  (void)n;
#endif
}

// tlvpr_fault_disarm - stops injecting; gives the allocations counted since arming
uint64_t tlvpr_fault_disarm(void) {
#ifdef TLVPR_FAULT_INJECTION
  __atomic_store_n(&tlvpr_hooks.alloc_fail_at, 0, __ATOMIC_RELAXED);
  return __atomic_load_n(&tlvpr_hooks.alloc_count, __ATOMIC_RELAXED);
#else
  return 0;
#endif
}
