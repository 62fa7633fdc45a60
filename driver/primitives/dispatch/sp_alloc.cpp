// Aligned allocation over the allocator hooks. The hooks are the library's only way to pool
// memory, so tests can swap them to count blocks or make allocations fail.
#include "sp_alloc.h"

#include "ntddk.h"

#include "sp_level_tables.h"

namespace
{

// The bytes "SPL " as pool tag.
constexpr ULONG kSpPoolTag = MAKE_POOL_TAG('S', 'P', 'L', ' ');

// Every block starts 8 to 39 bytes after the hook's address: room for the stored raw address
// and for rounding up to 32.
constexpr uint64_t kSpAlignSlackBytes = 40;
constexpr uintptr_t kSpAlignBytes = 32;

void* SpPoolAllocate(size_t sizeBytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, sizeBytes, kSpPoolTag);
}

void* SpPoolAllocateArray(size_t count, size_t elementBytes)
{
    if (elementBytes != 0 && count > SIZE_MAX / elementBytes)
    {
        return nullptr;
    }
    return ExAllocatePoolWithTag(NonPagedPool, count * elementBytes, kSpPoolTag);
}

void* SpPoolReallocate(void* block, size_t sizeBytes)
{
    return nullptr;
}

void SpPoolFree(void* block)
{
    ExFreePoolWithTag(block, kSpPoolTag);
}

const SpAllocatorHookTable* g_pSpHooks = &SpAllocatorHooks;

// Sizes arrive in 64 bits so that a large count can never wrap into a small block.
void* SpAlignedAllocate(uint64_t payloadBytes)
{
    const uint64_t totalBytes = payloadBytes + kSpAlignSlackBytes;
    if (totalBytes > SIZE_MAX)
    {
        return nullptr;
    }
    void* raw = g_pSpHooks->Allocate(static_cast<size_t>(totalBytes));
    if (raw == nullptr)
    {
        return nullptr;
    }
    const uintptr_t aligned =
        (reinterpret_cast<uintptr_t>(raw) + kSpAlignSlackBytes - 1) & ~(kSpAlignBytes - 1);
    reinterpret_cast<void**>(aligned)[-1] = raw;
    return reinterpret_cast<void*>(aligned);
}

} // namespace

const SpAllocatorHookTable SpAllocatorHooks = {
    SpPoolAllocate,      // Allocate
    SpPoolAllocateArray, // AllocateArray
    SpPoolReallocate,    // Reallocate
    SpPoolFree,          // Free
};

void* SpAlignedMalloc(int32_t sizeBytes)
{
    if (sizeBytes < 1)
    {
        return nullptr;
    }
    return SpAlignedAllocate(static_cast<uint64_t>(sizeBytes));
}

void SpAlignedFree(void* block)
{
    if (block == nullptr)
    {
        return;
    }
    g_pSpHooks->Free(static_cast<void**>(block)[-1]);
}

float* SpMallocF32_L0(int32_t count)
{
    if (count < 1)
    {
        return nullptr;
    }
    return static_cast<float*>(SpAlignedAllocate(static_cast<uint64_t>(count) * sizeof(float)));
}

float* SpMallocF32(int32_t count)
{
    return SpLevelEntry<float* (*)(int32_t)>(SpLevelTable2, SP_T2_MALLOC_F32)(count);
}

void SpFree(void* block)
{
    SpLevelEntry<void (*)(void*)>(SpLevelTable2, SP_T2_FREE)(block);
}

const SpAllocatorHookTable* SpSetAllocatorHooksForTest(const SpAllocatorHookTable* hooks)
{
    const SpAllocatorHookTable* previous = g_pSpHooks;
    g_pSpHooks = hooks != nullptr ? hooks : &SpAllocatorHooks;
    return previous;
}
