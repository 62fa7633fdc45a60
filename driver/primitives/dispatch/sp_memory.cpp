// Zero, copy and fill kernels shared by the library's checked operations.
#include "sp_memory.h"

#include <string.h>

SpStatus SpZeroBuffer(void* buffer, int32_t byteCount)
{
    if (buffer == nullptr)
    {
        return SpErrNullPointer;
    }
    if (byteCount < 1)
    {
        return SpErrBadLength;
    }
    SpZeroBytes(buffer, byteCount);
    return SpOk;
}

void* SpZeroBytes(void* buffer, int32_t byteCount)
{
    if (byteCount > 0)
    {
        memset(buffer, 0, static_cast<size_t>(byteCount));
    }
    return buffer;
}

void* SpCopyBytes(const void* src, void* dst, int32_t byteCount)
{
    // memmove rather than memcpy: a caller that breaks the no-overlap rule gets its bytes intact
    // instead of undefined behaviour, at no cost for the disjoint buffers the callers pass.
    if (byteCount > 0)
    {
        memmove(dst, src, static_cast<size_t>(byteCount));
    }
    return dst;
}

SpStatus SpSetI32(int32_t value, int32_t* dst, int32_t len)
{
    if (dst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    SpFill32(static_cast<uint32_t>(value), dst, len);
    return SpOk;
}

void SpFill32(uint32_t bits, void* dst, int32_t len)
{
    uint32_t* words = static_cast<uint32_t*>(dst);
    for (int32_t i = 0; i < len; ++i)
    {
        words[i] = bits;
    }
}
