// The direct-form FIR block kernel of the level builds, written once: output k is the sum over
// j of h(L - 1 - j) x window(k + j), each tap read as a ready 16-byte vector of its four copies
// (the state's tap quads). Every lane adds its products in the order of j, starting from 0, as
// the generic build does, so every level gives the generic build's bits.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

template <class P> struct SpFirKernels
{
    static void DirectBlock(const float* quads, const float* x, float* y, int32_t count, int32_t taps)
    {
        const float* last = quads + 4 * (int64_t(taps) - 1);
        int64_t i = 0;
        // Sixteen outputs per pass: four independent sums keep the adder busy.
        for (; i + 16 <= count; i += 16)
        {
            __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
            const float* w = x + i;
            for (int32_t j = 0; j < taps; ++j)
            {
                const __m128 h = _mm_load_ps(last - 4 * int64_t(j));
                a0 = _mm_add_ps(a0, _mm_mul_ps(h, _mm_loadu_ps(w + j)));
                a1 = _mm_add_ps(a1, _mm_mul_ps(h, _mm_loadu_ps(w + j + 4)));
                a2 = _mm_add_ps(a2, _mm_mul_ps(h, _mm_loadu_ps(w + j + 8)));
                a3 = _mm_add_ps(a3, _mm_mul_ps(h, _mm_loadu_ps(w + j + 12)));
            }
            _mm_storeu_ps(y + i, a0);
            _mm_storeu_ps(y + i + 4, a1);
            _mm_storeu_ps(y + i + 8, a2);
            _mm_storeu_ps(y + i + 12, a3);
        }
        for (; i + 4 <= count; i += 4)
        {
            __m128 a = _mm_setzero_ps();
            for (int32_t j = 0; j < taps; ++j)
            {
                a = _mm_add_ps(a, _mm_mul_ps(_mm_load_ps(last - 4 * int64_t(j)), _mm_loadu_ps(x + i + j)));
            }
            _mm_storeu_ps(y + i, a);
        }
        for (; i < count; ++i)
        {
            float a = 0.0f;
            for (int32_t j = 0; j < taps; ++j)
            {
                a += last[-4 * int64_t(j)] * x[i + j];
            }
            y[i] = a;
        }
    }
};
