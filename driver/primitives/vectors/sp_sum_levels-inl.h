// Float summation and dot-product kernels of the level builds, written once and instantiated by each level's
// build file. Two accumulation orders, chosen by the caller's hint: the fast one sums blocks of
// 32,768 elements in sixteen single-precision partials and adds the blocks in double; the
// accurate one widens every element into eight double partials. Both round once at the end, and
// the order is fixed (not left to the compiler), so a level's result is reproducible.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <tmmintrin.h>
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

// Float dot-product kernels of the level builds: sixteen single-precision partials, summed in a
// fixed order. Level 1 aligns one source by single products and reads the other unaligned; levels
// 2 and 3 align one source without peeling when the other already is, and read a misaligned
// partner in rounds of 12. Every partial order is part of the contract (tests model it).
template <class P> struct SpDotKernels
{
    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
    static bool Aligned16(const void* p) { return (Address(p) & 15) == 0; }
    static float Get(const float* p)
    {
        float v;
        memcpy(&v, p, sizeof(v));
        return v;
    }

    struct Acc
    {
        __m128 v[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};

        void Single(const float* a, const float* b)
        {
            v[0] = _mm_add_ss(v[0], _mm_mul_ss(_mm_set_ss(Get(a)), _mm_set_ss(Get(b))));
        }
        // Lanes 0 and 1 of V0 take a pair of products; lanes 2 and 3 are left as they are.
        void Pair(const float* a, const float* b)
        {
            const __m128 x = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)));
            const __m128 y = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
            const __m128 sum = _mm_add_ps(v[0], _mm_mul_ps(x, y));
            v[0] = _mm_shuffle_ps(sum, v[0], _MM_SHUFFLE(3, 2, 1, 0));
        }
        void Group(int32_t k, __m128 x, __m128 y) { v[k] = _mm_add_ps(v[k], _mm_mul_ps(x, y)); }

        // Fewer than 16 left: pairs, then one.
        void Tail(const float* a, const float* b, int32_t n)
        {
            int32_t i = 0;
            for (; n - i >= 2; i += 2)
            {
                Pair(a + i, b + i);
            }
            if (i < n)
            {
                Single(a + i, b + i);
            }
        }

        float Combine() const
        {
            const __m128 w = _mm_add_ps(_mm_add_ps(v[0], v[1]), _mm_add_ps(v[2], v[3]));
            float lanes[4];
            _mm_storeu_ps(lanes, w);
            const float x0 = lanes[0] + lanes[2];
            const float x1 = lanes[1] + lanes[3];
            return x1 + x0;
        }
    };

    // Rounds of 16 with p aligned; q aligned or not. Returns the elements consumed.
    static int32_t Rounds16(Acc& acc, const float* p, const float* q, int32_t n)
    {
        const bool alignedQ = Aligned16(q);
        int32_t i = 0;
        for (; n - i >= 16; i += 16)
        {
            for (int32_t k = 0; k < 4; ++k)
            {
                const __m128 y = alignedQ ? _mm_load_ps(q + i + 4 * k) : _mm_loadu_ps(q + i + 4 * k);
                acc.Group(k, _mm_load_ps(p + i + 4 * k), y);
            }
        }
        return i;
    }

    static float Short(const float* a, const float* b, int32_t n)
    {
        if (n == 1)
        {
            return Get(a) * Get(b);
        }
        float s0 = 0.0f, s1 = 0.0f;
        int32_t i = 0;
        for (; n - i >= 2; i += 2)
        {
            s0 += Get(a + i) * Get(b + i);
            s1 += Get(a + i + 1) * Get(b + i + 1);
        }
        return i < n ? (s1 + Get(a + i) * Get(b + i)) + s0 : s1 + s0;
    }

    static float Level1(const float* a, const float* b, int32_t n)
    {
        Acc acc;
        int32_t i = 0;
        if (!(Aligned16(a) && Aligned16(b)))
        {
            if ((Address(b) & 3) != 0 && (Address(a) & 3) == 0)
            {
                const float* t = a;
                a = b;
                b = t;
            }
            // b is the source to align; one not on a 4-byte boundary never gets there.
            for (; i < n && !Aligned16(b + i); ++i)
            {
                acc.Single(a + i, b + i);
            }
        }
        i += Rounds16(acc, b + i, a + i, n - i);
        acc.Tail(a + i, b + i, n - i);
        return acc.Combine();
    }

    // q misaligned, p aligned: one group of four, then rounds of 12 into V0..V2 while 16 or
    // more remain, the partner read as the aligned blocks that hold it, shifted into place.
    static int32_t Rounds12(Acc& acc, const float* p, const float* q, int32_t n)
    {
        acc.Group(0, _mm_load_ps(p), _mm_loadu_ps(q));
        int32_t i = 4;
        const uintptr_t shift = Address(q + i) & 15;
        const __m128i* block = reinterpret_cast<const __m128i*>(Address(q + i) - shift);
        for (; n - i >= 16; i += 12, block += 3)
        {
            const __m128i b0 = _mm_load_si128(block), b1 = _mm_load_si128(block + 1);
            const __m128i b2 = _mm_load_si128(block + 2), b3 = _mm_load_si128(block + 3);
            __m128i y[3];
            switch (shift)
            {
            case 4:
                y[0] = _mm_alignr_epi8(b1, b0, 4), y[1] = _mm_alignr_epi8(b2, b1, 4),
                y[2] = _mm_alignr_epi8(b3, b2, 4);
                break;
            case 8:
                y[0] = _mm_alignr_epi8(b1, b0, 8), y[1] = _mm_alignr_epi8(b2, b1, 8),
                y[2] = _mm_alignr_epi8(b3, b2, 8);
                break;
            default:
                y[0] = _mm_alignr_epi8(b1, b0, 12), y[1] = _mm_alignr_epi8(b2, b1, 12),
                y[2] = _mm_alignr_epi8(b3, b2, 12);
                break;
            }
            for (int32_t k = 0; k < 3; ++k)
            {
                acc.Group(k, _mm_load_ps(p + i + 4 * k), _mm_castsi128_ps(y[k]));
            }
        }
        return i;
    }

    static float Level2(const float* a, const float* b, int32_t n)
    {
        Acc acc;
        if (((Address(a) | Address(b)) & 3) != 0)
        {
            acc.Tail(a, b, n);
            return acc.Combine();
        }
        int32_t i = 0;
        if (!Aligned16(b))
        {
            if (Aligned16(a))
            {
                const float* t = a;
                a = b;
                b = t;
            }
            else
            {
                for (; !Aligned16(b + i); ++i)
                {
                    acc.Single(a + i, b + i);
                }
            }
        }
        if (Aligned16(a + i))
        {
            i += Rounds16(acc, b + i, a + i, n - i);
        }
        else
        {
            i += Rounds12(acc, b + i, a + i, n - i);
        }
        acc.Tail(a + i, b + i, n - i);
        return acc.Combine();
    }

    static void Dot(const float* a, const float* b, int32_t n, float* pDp)
    {
        if (n <= 15)
        {
            *pDp = Short(a, b, n);
        }
        else if constexpr (P::kLevel >= 2)
        {
            *pDp = Level2(a, b, n);
        }
        else
        {
            *pDp = Level1(a, b, n);
        }
    }
};
