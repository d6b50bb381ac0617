// tlvpr_mem - heap allocation for the whole system
//
// tlvpr_malloc(size) gives an uninitialised block, tlvpr_calloc(count, size) a
// zero-filled one of count*size bytes (null when the product wraps), and
// tlvpr_realloc(block, size) resizes (a null block allocates; on failure the old
// block stays valid and still the caller's). All give null when memory runs out.
// tlvpr_free(block) returns a block; null is ignored. Blocks from these calls are
// freed only with tlvpr_free. A size of 0 is allocated as 1 byte, so success is
// never a null pointer.
//
// Allocation-failure injection (builds with TLVPR_FAULT_INJECTION, the default for
// tests): tlvpr_fault_arm(n) makes the n-th allocation from now (malloc, calloc
// or realloc, on any thread) fail once; tlvpr_fault_disarm() switches it off and
// returns how many allocations were counted since arming. Looping n from 1 until
// an operation succeeds exercises every one of its out-of-memory paths. Without
// the build flag the calls do nothing and tlvpr_fault_disarm returns 0.
#ifndef TLVPR_TLVPR_MEM_H
#define TLVPR_TLVPR_MEM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void *tlvpr_malloc(size_t size);
void *tlvpr_calloc(size_t count, size_t size);
void *tlvpr_realloc(void *block, size_t size);
void tlvpr_free(void *block);

void tlvpr_fault_arm(uint64_t n);
uint64_t tlvpr_fault_disarm(void);

#ifdef __cplusplus
}
#endif

#endif
