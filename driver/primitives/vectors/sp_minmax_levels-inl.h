// Kernels of the minimum/maximum family and of the add-product-of-constant row for the level
// builds, written once and instantiated by each level's build file.
//
// A reduction step is op(a, b) with a the value held and b the newcomer: the maximum keeps a
// when a > b, else takes b (the minimum: a < b), which is the processor's packed rule. So b wins
// on equality (of +0 and -0 the later one) and whenever either side is NaN; the result of a
// vector with NaN or mixed zeros therefore depends on which lane saw which element, and the
// lane order below is part of the contract.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

template <class P> struct SpMinMaxKernels
{
    struct MaxOp
    {
        static __m128 V(__m128 a, __m128 b) { return _mm_max_ps(a, b); }
        static __m128 Lane0(__m128 a, __m128 b) { return _mm_max_ss(a, b); }
        static __m128d V(__m128d a, __m128d b) { return _mm_max_pd(a, b); }
        static __m128i V(__m128i a, __m128i b) { return _mm_max_epi16(a, b); }
        template <class T> static T S(T a, T b) { return a > b ? a : b; }
    };
    struct MinOp
    {
        static __m128 V(__m128 a, __m128 b) { return _mm_min_ps(a, b); }
        static __m128 Lane0(__m128 a, __m128 b) { return _mm_min_ss(a, b); }
        static __m128d V(__m128d a, __m128d b) { return _mm_min_pd(a, b); }
        static __m128i V(__m128i a, __m128i b) { return _mm_min_epi16(a, b); }
        template <class T> static T S(T a, T b) { return a < b ? a : b; }
    };

    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
    static float Get(const float* p)
    {
        float v;
        memcpy(&v, p, sizeof(v));
        return v;
    }
    static void Put(float* p, float v) { memcpy(p, &v, sizeof(v)); }

    // Float reduction: accumulator S0 starts as src[0] in every lane; a head brings src to a
    // 16-byte boundary in lane 0, one group evens it to 32 bytes, then four accumulators take
    // the four groups of each 16-element block; lanes reduce as op(op(l0, l2), op(l1, l3)) and
    // the last 0-3 elements follow in order.
    template <class Op> static void ReduceF32(const float* src, int32_t len, float* pOut)
    {
        __m128 s0 = _mm_set1_ps(Get(src));
        int32_t n = len;
        float value;
        if ((Address(src) & 3) != 0)
        {
            for (; n >= 4; n -= 4, src += 4)
            {
                s0 = Op::V(s0, _mm_loadu_ps(src));
            }
        }
        else
        {
            while ((Address(src) & 15) != 0)
            {
                s0 = Op::Lane0(s0, _mm_set_ss(*src++));
                if (--n == 0)
                {
                    *pOut = _mm_cvtss_f32(s0);
                    return;
                }
            }
            bool reduced = false;
            if ((Address(src) & 31) == 16)
            {
                if (n < 4)
                {
                    value = _mm_cvtss_f32(s0);
                    reduced = true;
                }
                else
                {
                    s0 = Op::V(s0, _mm_load_ps(src));
                    src += 4;
                    n -= 4;
                }
            }
            if (!reduced && n >= 16)
            {
                __m128 s1 = s0, s2 = s0, s3 = s0;
                for (; n >= 16; n -= 16, src += 16)
                {
                    s0 = Op::V(s0, _mm_load_ps(src));
                    s1 = Op::V(s1, _mm_load_ps(src + 4));
                    s2 = Op::V(s2, _mm_load_ps(src + 8));
                    s3 = Op::V(s3, _mm_load_ps(src + 12));
                }
                s0 = Op::V(Op::V(s0, s2), Op::V(s1, s3));
            }
            if (!reduced)
            {
                for (; n >= 4; n -= 4, src += 4)
                {
                    s0 = Op::V(s0, _mm_load_ps(src));
                }
            }
            if (reduced)
            {
                for (; n > 0; --n)
                {
                    value = Op::S(value, *src++);
                }
                *pOut = value;
                return;
            }
        }
        float lanes[4];
        _mm_storeu_ps(lanes, s0);
        value = Op::S(Op::S(lanes[0], lanes[2]), Op::S(lanes[1], lanes[3]));
        for (; n > 0; --n)
        {
            value = Op::S(value, Get(src++));
        }
        *pOut = value;
    }

    // Double reduction: two lanes, one element of alignment, four accumulators of pairs.
    template <class Op> static void ReduceF64(const double* src, int32_t len, double* pOut)
    {
        double first;
        memcpy(&first, src, sizeof(first));
        __m128d s0 = _mm_set1_pd(first);
        int32_t n = len;
        if ((Address(src) & 15) == 8)
        {
            ++src;
            --n;
        }
        if (n > 0)
        {
            const bool aligned = (Address(src) & 15) == 0;
            auto load = [aligned](const double* p) { return aligned ? _mm_load_pd(p) : _mm_loadu_pd(p); };
            if (n >= 8)
            {
                __m128d s1 = s0, s2 = s0, s3 = s0;
                for (; n >= 8; n -= 8, src += 8)
                {
                    s0 = Op::V(s0, load(src));
                    s1 = Op::V(s1, load(src + 2));
                    s2 = Op::V(s2, load(src + 4));
                    s3 = Op::V(s3, load(src + 6));
                }
                s0 = Op::V(Op::V(s0, s1), Op::V(s2, s3));
            }
            for (; n >= 2; n -= 2, src += 2)
            {
                s0 = Op::V(s0, load(src));
            }
            if (n == 1)
            {
                double x;
                memcpy(&x, src, sizeof(x));
                s0 = _mm_move_sd(s0, Op::V(s0, _mm_set_sd(x)));
            }
        }
        double lanes[2];
        _mm_storeu_pd(lanes, s0);
        *pOut = Op::S(lanes[1], lanes[0]);
    }

    // 16-bit reduction: signed and exact, so overlapping loads that see an element twice are
    // harmless; nothing outside the vector is read.
    template <class Op> static void ReduceI16(const int16_t* src, int32_t len, int16_t* pOut)
    {
        auto reduce8 = [](__m128i v)
        {
            v = Op::V(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
            v = Op::V(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
            v = Op::V(v, _mm_srli_epi32(v, 16));
            return int16_t(_mm_cvtsi128_si32(v));
        };
        if (len < 8)
        {
            int16_t value;
            memcpy(&value, src, sizeof(value));
            if (len >= 4)
            {
                const __m128i v = Op::V(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src)),
                                        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + len - 4)));
                value = reduce8(_mm_unpacklo_epi64(v, v));
            }
            else if (len >= 2)
            {
                int32_t a, b;
                memcpy(&a, src, 4);
                memcpy(&b, src + len - 2, 4);
                const __m128i v = Op::V(_mm_set1_epi32(a), _mm_set1_epi32(b));
                value = reduce8(v);
            }
            *pOut = value;
            return;
        }
        const int16_t* end = src + len;
        __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        if ((Address(src) & 1) == 0)
        {
            // The elements skipped to reach the boundary are all inside S0 already.
            src = reinterpret_cast<const int16_t*>((Address(src) + 15) & ~uintptr_t(15));
        }
        else
        {
            src += 8;
        }
        int32_t n = int32_t(end - src);
        auto load = [](const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        if (n >= 32)
        {
            __m128i s1 = s0, s2 = s0, s3 = s0;
            for (; n >= 32; n -= 32, src += 32)
            {
                s0 = Op::V(s0, load(src));
                s1 = Op::V(s1, load(src + 8));
                s2 = Op::V(s2, load(src + 16));
                s3 = Op::V(s3, load(src + 24));
            }
            s0 = Op::V(Op::V(s0, s1), Op::V(s2, s3));
        }
        for (; n >= 8; n -= 8, src += 8)
        {
            s0 = Op::V(s0, load(src));
        }
        if (n > 0)
        {
            s0 = Op::V(s0, load(end - 8));
        }
        *pOut = reduce8(s0);
    }

    // Element-wise: srcDst[i] = op(src[i], srcDst[i]) with src first, so srcDst keeps its value
    // on equality and whenever either side is NaN.
    template <class Op> static void Every(const float* src, float* srcDst, int32_t len)
    {
        int32_t i = 0;
        if ((Address(srcDst) & 3) == 0)
        {
            const int32_t lead = int32_t(((16 - (Address(srcDst) & 15)) & 15) / 4);
            if (lead <= len)
            {
                for (; i < lead; ++i)
                {
                    Put(srcDst + i, Op::S(Get(src + i), Get(srcDst + i)));
                }
            }
            if ((Address(srcDst + i) & 15) == 0)
            {
                const bool alignedSrc = (Address(src + i) & 15) == 0;
                auto step = [&](int32_t count)
                {
                    for (int32_t k = 0; k < count; k += 4)
                    {
                        const __m128 s = alignedSrc ? _mm_load_ps(src + i + k) : _mm_loadu_ps(src + i + k);
                        _mm_store_ps(srcDst + i + k, Op::V(s, _mm_load_ps(srcDst + i + k)));
                    }
                    i += count;
                };
                while (len - i >= 32)
                {
                    step(32);
                }
                for (int32_t count = 16; count >= 4; count /= 2)
                {
                    if (len - i >= count)
                    {
                        step(count);
                    }
                }
            }
        }
        for (; i < len; ++i)
        {
            Put(srcDst + i, Op::S(Get(src + i), Get(srcDst + i)));
        }
    }

    // srcDst[i] = (src[i] * value) + srcDst[i], both operations rounded; from 11 elements on,
    // blocks of 8 with streaming stores when srcDst is float-aligned, fenced at the end.
    static void AddProductConst(const float* src, float value, float* srcDst, int32_t len)
    {
        int32_t i = 0;
        if (len >= 11)
        {
            const __m128 v = _mm_set1_ps(value);
            const bool floatAligned = (Address(srcDst) & 3) == 0;
            if (floatAligned)
            {
                for (; (Address(srcDst + i) & 15) != 0; ++i)
                {
                    Put(srcDst + i, Get(src + i) * value + Get(srcDst + i));
                }
            }
            const bool alignedSrc = (Address(src + i) & 15) == 0;
            for (; len - i >= 8; i += 8)
            {
                _mm_prefetch(reinterpret_cast<const char*>(src + i) + 64, _MM_HINT_T0);
                _mm_prefetch(reinterpret_cast<const char*>(srcDst + i) + 64, _MM_HINT_T0);
                for (int32_t k = 0; k < 8; k += 4)
                {
                    const __m128 s = alignedSrc ? _mm_load_ps(src + i + k) : _mm_loadu_ps(src + i + k);
                    if (floatAligned)
                    {
                        _mm_stream_ps(srcDst + i + k,
                                      _mm_add_ps(_mm_mul_ps(s, v), _mm_load_ps(srcDst + i + k)));
                    }
                    else
                    {
                        _mm_storeu_ps(srcDst + i + k,
                                      _mm_add_ps(_mm_mul_ps(s, v), _mm_loadu_ps(srcDst + i + k)));
                    }
                }
            }
            if (floatAligned)
            {
                // Streaming stores are weakly ordered: make them visible before returning.
                _mm_sfence();
            }
        }
        for (; i < len; ++i)
        {
            Put(srcDst + i, Get(src + i) * value + Get(srcDst + i));
        }
    }
};
