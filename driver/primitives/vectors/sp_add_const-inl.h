// The add-a-constant-in-place row of one level build, included by the level body after the
// vector rows: the entry's checks, then the level's kernel. The kernel has one build for level 1
// and one for level 2, which level 3 shares (the row's level-3 column holds the level-2 entry).
// Every sum is the single one of its element, so the shape below changes speed, never a result.
#pragma once

#include "driver/primitives/vectors/sp_arith_levels-inl.h"

template <class P> struct SpAddConstKernels
{
    using Arith = SpArithKernels<P>;

    // Past 256 Ki elements of whole blocks the vector is larger than the caches: each block hints
    // the next 32 bytes as not worth keeping.
    static constexpr int64_t kPrefetchElements = 262144;

    template <bool kAligned, bool kPrefetch> static void Blocks(__m128 v, float* p, int32_t count)
    {
        for (int32_t b = 0; b < count; ++b, p += 8)
        {
            const __m128 x0 = _mm_add_ps(kAligned ? _mm_load_ps(p) : _mm_loadu_ps(p), v);
            const __m128 x1 = _mm_add_ps(kAligned ? _mm_load_ps(p + 4) : _mm_loadu_ps(p + 4), v);
            kAligned ? _mm_store_ps(p, x0) : _mm_storeu_ps(p, x0);
            kAligned ? _mm_store_ps(p + 4, x1) : _mm_storeu_ps(p + 4, x1);
            if constexpr (kPrefetch)
            {
                _mm_prefetch(reinterpret_cast<const char*>(p + 8), _MM_HINT_NTA);
            }
        }
    }

    // Below 11 elements one by one; else single elements to a 16-byte boundary (none for a vector
    // off its 4-byte alignment, which goes unaligned), blocks of 8, and the rest one by one.
    static void AddConstInPlace(float value, float* srcDst, int32_t len)
    {
        const __m128 v = _mm_set1_ps(value);
        Arith::InPlaceShape(
            srcDst, len,
            [=](int32_t i)
            {
                // A vector off its 4-byte alignment is read and written a byte copy at a time.
                float x;
                __builtin_memcpy(&x, srcDst + i, sizeof(x));
                x = x + value;
                __builtin_memcpy(srcDst + i, &x, sizeof(x));
            },
            [=](int32_t i, int32_t count, bool aligned)
            {
                const bool prefetch = 8 * int64_t(count) > kPrefetchElements;
                if (aligned)
                    prefetch ? Blocks<true, true>(v, srcDst + i, count)
                             : Blocks<true, false>(v, srcDst + i, count);
                else
                    prefetch ? Blocks<false, true>(v, srcDst + i, count)
                             : Blocks<false, false>(v, srcDst + i, count);
            });
    }
};

void SpAddConstInPlaceKernelF32_L1(float value, float* srcDst, int32_t len);
void SpAddConstInPlaceKernelF32_L2(float value, float* srcDst, int32_t len);

#if SP_LEVEL_NUMBER != 3
void SP_LN(SpAddConstInPlaceKernelF32)(float value, float* srcDst, int32_t len)
{
    SpAddConstKernels<SP_LEVEL_PARAMS>::AddConstInPlace(value, srcDst, len);
}

// A zero adds nothing and returns at once.
SpStatus SP_LN(SpAddConstInPlaceF32)(float value, float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    if (value != 0.0f)
    {
        SP_LN(SpAddConstInPlaceKernelF32)(value, srcDst, len);
    }
    return SpOk;
}
#endif
