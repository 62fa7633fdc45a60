// Float summation kernels of the level builds, written once and instantiated by each level's
// build file. Two accumulation orders, chosen by the caller's hint: the fast one sums blocks of
// 32,768 elements in sixteen single-precision partials and adds the blocks in double; the
// accurate one widens every element into eight double partials. Both round once at the end, and
// the order is fixed (not left to the compiler), so a level's result is reproducible.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

template <class P> struct SpSumKernels
{
    static constexpr int32_t kFastBlock = 32768;

    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
    static float Get(const float* p)
    {
        float v;
        memcpy(&v, p, sizeof(v));
        return v;
    }

    // Sixteen partials in V0..V3 over `count` floats from *cursor, folded to two: P0 = lane 0 +
    // lane 2, P1 = lane 1 + lane 3. The cursor ends past the last float read.
    template <bool kAligned> static void Block(const float*& cursor, int32_t count, float* p0, float* p1)
    {
        auto load = [](const float* p) { return kAligned ? _mm_load_ps(p) : _mm_loadu_ps(p); };
        const float* p = cursor;
        __m128 v0 = _mm_setzero_ps();
        if (count >= 16)
        {
            __m128 v1 = _mm_setzero_ps(), v2 = _mm_setzero_ps(), v3 = _mm_setzero_ps();
            for (; count >= 16; count -= 16, p += 16)
            {
                v0 = _mm_add_ps(v0, load(p));
                v1 = _mm_add_ps(v1, load(p + 4));
                v2 = _mm_add_ps(v2, load(p + 8));
                v3 = _mm_add_ps(v3, load(p + 12));
            }
            v0 = _mm_add_ps(v0, v2);
            v1 = _mm_add_ps(v1, v3);
            v0 = _mm_add_ps(v0, v1);
        }
        for (; count >= 4; count -= 4, p += 4)
        {
            v0 = _mm_add_ps(v0, _mm_loadu_ps(p));
        }
        if (count >= 2)
        {
            v0 = _mm_add_ps(v0, _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
            p += 2;
            count -= 2;
        }
        if (count == 1)
        {
            v0 = _mm_add_ss(v0, _mm_set_ss(Get(p++)));
        }
        float lanes[4];
        _mm_storeu_ps(lanes, v0);
        *p0 = lanes[0] + lanes[2];
        *p1 = lanes[1] + lanes[3];
        cursor = p;
    }

    template <bool kAligned> static double FastBlocks(const float* p, int32_t n, double d0, double d1)
    {
        float p0, p1;
        for (; n >= kFastBlock; n -= kFastBlock)
        {
            Block<kAligned>(p, kFastBlock, &p0, &p1);
            d0 += p0;
            d1 += p1;
        }
        Block<kAligned>(p, n, &p0, &p1);
        d0 += p0;
        d1 += p1;
        return d0 + d1;
    }

    static void SumFast(const float* src, int32_t n, double* pSum)
    {
        // The routine is chosen from the address given: a float-aligned vector reaches a 16-byte
        // boundary in the peel, any other never does.
        const bool aligned = (Address(src) & 3) == 0;
        double d0 = 0.0;
        for (; n > 0 && (Address(src) & 12) != 0; --n)
        {
            d0 += double(Get(src++));
        }
        if (n == 0)
        {
            *pSum = d0;
            return;
        }
        *pSum = aligned ? FastBlocks<true>(src, n, d0, 0.0) : FastBlocks<false>(src, n, d0, 0.0);
    }

    static __m128d Pair(const float* p)
    {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }

    static void SumAccurate(const float* src, int32_t n, double* pSum)
    {
        __m128d a0 = _mm_setzero_pd(), a1 = _mm_setzero_pd(), a2 = _mm_setzero_pd(), a3 = _mm_setzero_pd();
        if ((Address(src) & 4) != 0)
        {
            a0 = _mm_add_sd(a0, _mm_set_sd(double(Get(src++))));
            if (--n == 0)
            {
                *pSum = _mm_cvtsd_f64(a0);
                return;
            }
        }
        for (; n >= 8; n -= 8, src += 8)
        {
            a0 = _mm_add_pd(a0, Pair(src));
            a1 = _mm_add_pd(a1, Pair(src + 2));
            a2 = _mm_add_pd(a2, Pair(src + 4));
            a3 = _mm_add_pd(a3, Pair(src + 6));
        }
        a0 = _mm_add_pd(a0, a2);
        a1 = _mm_add_pd(a1, a3);
        if (n >= 4)
        {
            a0 = _mm_add_pd(a0, Pair(src));
            a1 = _mm_add_pd(a1, Pair(src + 2));
            src += 4;
            n -= 4;
        }
        if (n >= 2)
        {
            a0 = _mm_add_pd(a0, Pair(src));
            src += 2;
            n -= 2;
        }
        if (n == 1)
        {
            a0 = _mm_add_sd(a0, _mm_set_sd(double(Get(src))));
        }
        a0 = _mm_add_pd(a0, a1);
        double lanes[2];
        _mm_storeu_pd(lanes, a0);
        *pSum = lanes[0] + lanes[1];
    }

    // The sum rounded to float, carried in a double. Hint 1: fast; anything else: accurate.
    static double Sum(const float* src, int32_t len, int32_t hint)
    {
        double sum;
        hint == 1 ? SumFast(src, len, &sum) : SumAccurate(src, len, &sum);
        return double(float(sum));
    }

    // The float-rounded sum divided by the count in double, rounded once more.
    static float Mean(const float* src, int32_t len, int32_t hint)
    {
        return float(Sum(src, len, hint) / double(len));
    }
};
