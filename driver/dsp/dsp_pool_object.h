// CDspPoolObject: pool new and delete for the plain DSP classes that own one another, so an
// owner deletes what it created with the block's own tag and nothing reaches the C++ runtime's
// heap. `new (NonPagedPool, Tag) CFoo(...)` gives zeroed memory or null.
#pragma once

#include "ntddk.h"

class CDspPoolObject
{
public:
    static void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
    {
        PVOID pBlock = ExAllocatePoolWithTag(PoolType, Size, Tag);
        if (pBlock)
        {
            RtlZeroMemory(pBlock, Size);
        }
        return pBlock;
    }
    static void operator delete(void* Block) noexcept
    {
        if (Block)
        {
            ExFreePool(Block);
        }
    }
    static void operator delete(void* Block, POOL_TYPE, ULONG) noexcept { operator delete(Block); }
};
