// Float exponential kernel of the level builds, written once and instantiated by each level's
// build file: e^x = 2^k e^r with k = round(x log2 e), r reduced by a two-part ln 2, e^r by the
// degree-3 Pade approximant P/Q whose denominator is inverted by the reciprocal estimate and one
// Newton step. No division, no table.
//
// Special lanes: x <= -87.33650207519531 gives +0; a positive x whose e^x exceeds the float
// range (88.72284 and above, +infinity) gives +infinity; every NaN comes back quiet. The scale
// 2^k is applied in two halves, so arguments up to the top of the range stay finite.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>
#include <xmmintrin.h>

template <class P> struct SpExpKernels
{
    static __m128 F(uint32_t bits) { return _mm_castsi128_ps(_mm_set1_epi32(int32_t(bits))); }

    // 2^k for -63 <= k <= 64, built in the exponent field.
    static __m128 Pow2(__m128i k)
    {
        return _mm_castsi128_ps(_mm_add_epi32(_mm_slli_epi32(k, 23), _mm_set1_epi32(0x3F800000)));
    }

    static __m128 Compute(__m128 x)
    {
        const __m128 round = _mm_set1_ps(12582912.0f);
        const __m128 s = _mm_add_ps(_mm_mul_ps(x, F(0x3FB8AA3Bu)), round);
        const __m128i k = _mm_srai_epi32(_mm_slli_epi32(_mm_castps_si128(s), 16), 16);
        const __m128 kf = _mm_sub_ps(s, round);
        const __m128 r = _mm_add_ps(_mm_add_ps(_mm_mul_ps(kf, _mm_set1_ps(-0.693359375f)), x),
                                    _mm_mul_ps(kf, F(0x395E8083u)));
        const __m128 t = _mm_mul_ps(r, r);
        const __m128 a = _mm_add_ps(t, _mm_set1_ps(10.0f));
        const __m128 b = _mm_mul_ps(_mm_add_ps(a, _mm_set1_ps(50.0f)), r);
        const __m128 c = _mm_mul_ps(a, _mm_set1_ps(12.0f));
        const __m128 p = _mm_add_ps(b, c);
        const __m128 q = _mm_sub_ps(c, b);
        const __m128 y0 = _mm_rcp_ps(q);
        const __m128 y = _mm_mul_ps(y0, _mm_sub_ps(_mm_set1_ps(2.0f), _mm_mul_ps(q, y0)));
        const __m128i half = _mm_srai_epi32(k, 1);
        __m128 result = _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(y, p), Pow2(half)), Pow2(_mm_sub_epi32(k, half)));

        // Special lanes, from the input.
        const __m128 low = _mm_cmple_ps(x, F(0xC2AEAC4Au));
        const __m128 high =
            _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_castps_si128(x), _mm_set1_epi32(0x42B17217)));
        const __m128 nan = _mm_cmpunord_ps(x, x);
        result = _mm_andnot_ps(low, result);
        result = _mm_or_ps(_mm_andnot_ps(high, result), _mm_and_ps(high, F(0x7F800000u)));
        const __m128 quiet = _mm_or_ps(x, F(0x00400000u));
        return _mm_or_ps(_mm_andnot_ps(nan, result), _mm_and_ps(nan, quiet));
    }

    static void Kernel(const float* src, float* dst, int32_t len)
    {
        int32_t i = 0;
        for (; len - i >= 4; i += 4)
        {
            _mm_storeu_ps(dst + i, Compute(_mm_loadu_ps(src + i)));
        }
        const int32_t left = len - i;
        if (left > 0)
        {
            // One to three elements repeated to a full vector; only the real ones are stored.
            float in[4], out[4];
            memcpy(in, src + i, sizeof(float) * size_t(left));
            for (int32_t k = left; k < 4; ++k)
            {
                in[k] = in[k == 3 && left == 3 ? 2 : k % left];
            }
            _mm_storeu_ps(out, Compute(_mm_loadu_ps(in)));
            memcpy(dst + i, out, sizeof(float) * size_t(left));
        }
        // The flags of the overflow and underflow the kernel produced by design are dropped.
        const uint32_t word = _mm_getcsr();
        if ((word & 0x1Fu) != 0)
        {
            _mm_setcsr(word & 0xFFE0u);
        }
    }
};
