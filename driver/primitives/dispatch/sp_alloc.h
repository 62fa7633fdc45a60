// Aligned allocation of the signal-primitives library. Every block the library hands out
// (buffers, filter states, FFT spec records) is 32-byte aligned, comes from the allocate hook
// and goes back through SpAlignedFree, which finds the hook's raw address stored just before it.
// All of it runs at IRQL <= DISPATCH_LEVEL: the default hooks take non-paged pool.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The allocator hooks, in this order. The library itself only calls Allocate and Free.
struct SpAllocatorHookTable
{
    void* (*Allocate)(size_t sizeBytes);                       // null on failure
    void* (*AllocateArray)(size_t count, size_t elementBytes); // count x elementBytes, not zeroed
    void* (*Reallocate)(void* block, size_t sizeBytes);        // always null
    void (*Free)(void* block);
};

// The build-time hooks: non-paged pool tagged "SPL ".
extern const SpAllocatorHookTable SpAllocatorHooks;

// A 32-byte aligned block of sizeBytes, or null when sizeBytes < 1 or the allocation fails.
// IRQL <= DISPATCH_LEVEL.
void* SpAlignedMalloc(int32_t sizeBytes);

// Releases a block from SpAlignedMalloc / SpMallocF32 (or any library create); null does nothing.
// IRQL <= DISPATCH_LEVEL.
void SpAlignedFree(void* block);

// A 32-byte aligned array of count floats (not zeroed), or null when count < 1 or the
// allocation fails. One build serves every level. IRQL <= DISPATCH_LEVEL.
float* SpMallocF32(int32_t count);
float* SpMallocF32_L0(int32_t count);

// Entry stub of the free row; every column holds SpAlignedFree. IRQL <= DISPATCH_LEVEL.
void SpFree(void* block);

// Test only: route the library's allocations through `hooks` (failure injection, counting).
// Null restores SpAllocatorHooks. Returns the hooks that were in force. Not for driver code.
const SpAllocatorHookTable* SpSetAllocatorHooksForTest(const SpAllocatorHookTable* hooks);
