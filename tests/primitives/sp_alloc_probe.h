// Test double of the library's allocator hooks: counts blocks and bytes, and can refuse chosen
// allocations, so tests see exactly what an operation allocates, frees and leaves behind.
#pragma once

#include <stdlib.h>

#include <vector>

#include "driver/primitives/dispatch/sp_alloc.h"

class SpAllocProbe
{
public:
    SpAllocProbe() : m_pPrevious(SpSetAllocatorHooksForTest(&kHooks)) { s_pActive = this; }
    ~SpAllocProbe()
    {
        SpSetAllocatorHooksForTest(m_pPrevious == &SpAllocatorHooks ? nullptr : m_pPrevious);
        s_pActive = nullptr;
    }
    SpAllocProbe(const SpAllocProbe&) = delete;
    SpAllocProbe& operator=(const SpAllocProbe&) = delete;

    // Allocation number n (counting from 1) and every later one fail; 0 fails none.
    void FailFrom(int n) { m_nFailFrom = n; }

    int Allocations() const { return m_nAllocations; } // attempts, failed ones included
    int Frees() const { return m_nFrees; }
    int Live() const { return m_nLive; }
    const std::vector<size_t>& RequestedBytes() const { return m_requested; }

private:
    static void* Allocate(size_t bytes)
    {
        SpAllocProbe* self = s_pActive;
        ++self->m_nAllocations;
        self->m_requested.push_back(bytes);
        if (self->m_nFailFrom > 0 && self->m_nAllocations >= self->m_nFailFrom)
        {
            return nullptr;
        }
        ++self->m_nLive;
        return malloc(bytes);
    }
    static void* AllocateArray(size_t count, size_t bytes) { return Allocate(count * bytes); }
    static void* Reallocate(void*, size_t) { return nullptr; }
    static void Free(void* block)
    {
        ++s_pActive->m_nFrees;
        --s_pActive->m_nLive;
        free(block);
    }

    static constexpr SpAllocatorHookTable kHooks = {Allocate, AllocateArray, Reallocate, Free};
    static inline SpAllocProbe* s_pActive = nullptr;

    const SpAllocatorHookTable* m_pPrevious;
    int m_nFailFrom = 0;
    int m_nAllocations = 0;
    int m_nFrees = 0;
    int m_nLive = 0;
    std::vector<size_t> m_requested;
};
