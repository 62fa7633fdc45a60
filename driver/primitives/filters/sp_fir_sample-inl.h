// The one-sample FIR kernels of the level builds, written once: one input into a caller-held
// doubled delay line (slots i and i + n always equal, so the newest n samples are one run from
// the index on) and one output, the sum of window(k) h(n - 1 - k), oldest sample first. The sums
// are single precision: below 17 taps one running sum from 0 in window order; from 17 taps four
// lane sums, reached by single products into lane 0 until the window is on a 16-byte boundary,
// then eight products a step, and folded as (lane 0 + lane 2) + (lane 1 + lane 3). The generic
// build sums in double, so the two differ in the last bits.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

template <class P> struct SpFirSampleKernels
{
    // Single elements go through byte copies: a caller's delay line may lie off its element
    // alignment, which the vector loads take unaligned.
    template <class T> static T Get(const T* p)
    {
        T v;
        __builtin_memcpy(&v, p, sizeof(v));
        return v;
    }

    // Writes the input to both slots of the index and moves the index on; returns the window.
    template <class T> static const T* Push(const T& input, T* delay, int32_t n, int32_t* pIndex)
    {
        const int32_t i = *pIndex;
        __builtin_memcpy(delay + i, &input, sizeof(T));
        __builtin_memcpy(delay + i + n, &input, sizeof(T));
        const int32_t next = uint32_t(i + 1) < uint32_t(n) ? i + 1 : 0;
        *pIndex = next;
        return delay + next;
    }

    // Four window samples reversed, so lane l meets tap h(m + l) of an ascending tap load.
    static __m128 Reversed(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }

    static float LaneSums(const float* w, const float* h, int32_t n)
    {
        __m128 sums = _mm_setzero_ps();
        int32_t k = 0;
        // A window off a 4-byte boundary never reaches 16 bytes: it is read unaligned throughout.
        const bool aligned = (reinterpret_cast<uintptr_t>(w) & 3) == 0;
        for (; aligned && k < n && (reinterpret_cast<uintptr_t>(w + k) & 15) != 0; ++k)
        {
            sums = _mm_add_ss(sums, _mm_set_ss(Get(w + k) * Get(h + n - 1 - k)));
        }
        // Window samples k .. k + 3 against taps h(n - 4 - k) .. h(n - 1 - k).
        auto run = [&](int32_t at)
        {
            const __m128 x = aligned ? _mm_load_ps(w + at) : _mm_loadu_ps(w + at);
            return _mm_mul_ps(Reversed(x), _mm_loadu_ps(h + n - 4 - at));
        };
        for (; k + 8 <= n; k += 8)
        {
            sums = _mm_add_ps(sums, _mm_add_ps(run(k), run(k + 4)));
        }
        if (k + 4 <= n)
        {
            sums = _mm_add_ps(sums, run(k));
            k += 4;
        }
        if (k + 2 <= n)
        {
            const __m128 x = _mm_set_ps(0.0f, 0.0f, Get(w + k), Get(w + k + 1));
            const __m128 t = _mm_set_ps(0.0f, 0.0f, Get(h + n - 1 - k), Get(h + n - 2 - k));
            sums = _mm_add_ps(sums, _mm_mul_ps(x, t));
            k += 2;
        }
        if (k < n)
        {
            sums = _mm_add_ss(sums, _mm_set_ss(Get(w + k) * Get(h + n - 1 - k)));
        }
        alignas(16) float lane[4];
        _mm_store_ps(lane, sums);
        return (lane[0] + lane[2]) + (lane[1] + lane[3]);
    }

    static void Sample(const float* input, float* output, const float* taps, int64_t tapCount, float* delay,
                       int32_t* pIndex)
    {
        const int32_t n = int32_t(tapCount);
        const float* w = Push(Get(input), delay, n, pIndex);
        float sum = 0.0f;
        if (n < 17)
        {
            for (int32_t k = 0; k < n; ++k)
            {
                sum += Get(w + k) * Get(taps + n - 1 - k);
            }
        }
        else
        {
            sum = LaneSums(w, taps, n);
        }
        __builtin_memcpy(output, &sum, sizeof(sum));
    }

    // Complex samples and taps (real part first). The lanes gather xr hr, xi hi, xr hi and xi hr;
    // runs of four products join as ((sums + p0) + (p1 + p2)) + p3, a run of two as
    // (sums + p0) + p1, then single products.
    struct Complex
    {
        float re, im;
    };

    static __m128 Products(const Complex& x, const Complex& h)
    {
        return _mm_mul_ps(_mm_set_ps(x.im, x.re, x.im, x.re), _mm_set_ps(h.re, h.im, h.im, h.re));
    }

    static void SampleComplex(const float* input, float* output, const float* taps, int64_t tapCount,
                              float* delay, int32_t* pIndex)
    {
        const int32_t n = int32_t(tapCount);
        const Complex* w =
            Push(Get(reinterpret_cast<const Complex*>(input)), reinterpret_cast<Complex*>(delay), n, pIndex);
        const Complex* h = reinterpret_cast<const Complex*>(taps);
        auto p = [&](int32_t k) { return Products(Get(w + k), Get(h + n - 1 - k)); };
        __m128 sums = _mm_setzero_ps();
        int32_t k = 0;
        for (; k + 4 <= n; k += 4)
        {
            sums = _mm_add_ps(_mm_add_ps(_mm_add_ps(sums, p(k)), _mm_add_ps(p(k + 1), p(k + 2))), p(k + 3));
        }
        if (k + 2 <= n)
        {
            sums = _mm_add_ps(_mm_add_ps(sums, p(k)), p(k + 1));
            k += 2;
        }
        for (; k < n; ++k)
        {
            sums = _mm_add_ps(sums, p(k));
        }
        alignas(16) float lane[4];
        _mm_store_ps(lane, sums);
        const Complex y = {lane[0] - lane[1], lane[2] + lane[3]};
        __builtin_memcpy(output, &y, sizeof(y));
    }
};
