// Float square-root kernel of the level builds, written once and instantiated by each level's
// build file. Blocks of 16 positive normal elements take the reciprocal-square-root estimate
// refined by one Newton step folded into the root (within 3 ulp); a block holding anything else
// (zero, negative, denormal, infinity, NaN), the alignment steps and the tail take the correctly
// rounded root. A NaN is never counted as negative, on any path.
#pragma once

#include <emmintrin.h>
#include <smmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

template <class P> struct SpSqrtKernels
{
    static uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

    // Correctly rounded roots of a group (negative elements give the default NaN 0xFFC00000,
    // -0 stays -0, NaN comes back quiet); the mask of elements below zero is the flag.
    static uint32_t Exact(__m128 x, __m128* root)
    {
        *root = _mm_sqrt_ps(x);
        return uint32_t(_mm_movemask_ps(_mm_cmplt_ps(x, _mm_setzero_ps())));
    }

    static __m128 Refine(__m128 x, __m128* screen)
    {
        const __m128 y0 = _mm_rsqrt_ps(x);
        const __m128 t = _mm_mul_ps(x, y0);
        const __m128 u = _mm_mul_ps(y0, t);
        if constexpr (P::kLevel >= 3)
        {
            const __m128 h = _mm_mul_ps(_mm_set1_ps(-0.5f), t);
            *screen = h;
            return _mm_mul_ps(_mm_sub_ps(u, _mm_set1_ps(3.0f)), h);
        }
        else
        {
            *screen = u;
            return _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(3.0f), u), _mm_mul_ps(_mm_set1_ps(0.5f), t));
        }
    }

    static uint32_t Kernel(const float* src, float* dst, int32_t len)
    {
        // The caller's mode is kept but for denormals-are-zero (the estimate would see a denormal
        // as zero) and the exception masks; the word is put back exactly on the way out.
        const uint32_t saved = _mm_getcsr();
        _mm_setcsr((saved & 0xFFBFu) | 0x1F80u);
        uint32_t flag = 0;
        int32_t i = 0;
        auto one = [&](int32_t at)
        {
            __m128 root;
            float x;
            memcpy(&x, src + at, 4);
            flag |= Exact(_mm_set_ss(x), &root);
            x = _mm_cvtss_f32(root);
            memcpy(dst + at, &x, 4);
        };
        for (; i < len && (Address(dst + i) & 12) != 0; ++i)
        {
            one(i);
        }
        const bool alignedDst = (Address(dst + i) & 15) == 0;
        const bool alignedSrc = alignedDst && (Address(src + i) & 15) == 0;
        for (; len - i >= 16; i += 16)
        {
            __m128 x[4], r[4], screen[4];
            for (int32_t k = 0; k < 4; ++k)
            {
                x[k] = alignedSrc ? _mm_load_ps(src + i + 4 * k) : _mm_loadu_ps(src + i + 4 * k);
                r[k] = Refine(x[k], &screen[k]);
            }
            bool exact;
            if constexpr (P::kLevel >= 3)
            {
                __m128i bad = _mm_setzero_si128();
                for (int32_t k = 0; k < 4; ++k)
                {
                    const __m128i bits = _mm_castps_si128(x[k]);
                    const __m128i exponent = _mm_and_si128(bits, _mm_set1_epi32(0x7F800000));
                    const __m128i fraction = _mm_and_si128(bits, _mm_set1_epi32(0x007FFFFF));
                    const __m128i denormal = _mm_andnot_si128(_mm_cmpeq_epi32(fraction, _mm_setzero_si128()),
                                                              _mm_cmpeq_epi32(exponent, _mm_setzero_si128()));
                    bad = _mm_or_si128(bad, _mm_castps_si128(_mm_cmpunord_ps(screen[k], screen[k])));
                    bad = _mm_or_si128(bad, denormal);
                }
                exact = !_mm_testz_si128(bad, bad);
            }
            else
            {
                const __m128 low = _mm_min_ps(_mm_min_ps(x[0], x[1]), _mm_min_ps(x[2], x[3]));
                __m128 nan = _mm_cmplt_ps(low, _mm_castsi128_ps(_mm_set1_epi32(0x00800000)));
                for (int32_t k = 0; k < 4; ++k)
                {
                    nan = _mm_or_ps(nan, _mm_cmpunord_ps(screen[k], screen[k]));
                }
                exact = _mm_movemask_ps(nan) != 0;
            }
            if (exact)
            {
                for (int32_t k = 0; k < 4; ++k)
                {
                    flag |= Exact(x[k], &r[k]);
                }
            }
            for (int32_t k = 0; k < 4; ++k)
            {
                alignedDst ? _mm_store_ps(dst + i + 4 * k, r[k]) : _mm_storeu_ps(dst + i + 4 * k, r[k]);
            }
        }
        for (int32_t step = 8; step >= 4; step /= 2)
        {
            if (len - i >= step)
            {
                __m128 r[2];
                for (int32_t k = 0; k < step / 4; ++k)
                {
                    flag |= Exact(_mm_loadu_ps(src + i + 4 * k), &r[k]);
                }
                for (int32_t k = 0; k < step / 4; ++k)
                {
                    _mm_storeu_ps(dst + i + 4 * k, r[k]);
                }
                i += step;
            }
        }
        for (; i < len; ++i)
        {
            one(i);
        }
        _mm_setcsr(saved);
        return flag;
    }
};
