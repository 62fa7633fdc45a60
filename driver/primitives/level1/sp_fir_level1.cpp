// The level-1 complex FIR block kernels (processors with SSE3; SSE and SSE2 instructions only),
// which no operation calls yet; the real kernels are the shared level templates.
#include "driver/primitives/level1/sp_fir_level1.h"

#include <emmintrin.h>

#include "driver/primitives/dispatch/sp_level_target.h"

SP_LEVEL_TARGET_BEGIN("sse3")

namespace
{

// Complex sum over t slots: real from the A lanes (hr xr - hi xi), imaginary from the B lanes.
inline void ComplexRun(const float* a, const float* b, const float* x, int32_t t, float* out)
{
    float re = 0.0f, im = 0.0f;
    for (int32_t u = 0; u < t; ++u)
    {
        re += a[2 * u] * x[2 * u] + a[2 * u + 1] * x[2 * u + 1];
        im += b[2 * u] * x[2 * u] + b[2 * u + 1] * x[2 * u + 1];
    }
    out[0] = re;
    out[1] = im;
}

// One complex output of the direct form, tap by tap from h(n - 1) down.
inline void ComplexOutput(const float* taps, const float* x, int32_t n, float* y)
{
    float re = 0.0f, im = 0.0f;
    for (int32_t j = 0; j < n; ++j)
    {
        const float* h = taps + 8 * (n - 1 - j);
        const float hr = h[0], hi = h[5], xr = x[2 * j], xi = x[2 * j + 1];
        re += hr * xr - hi * xi;
        im += hr * xi + hi * xr;
    }
    y[0] = re;
    y[1] = im;
}

// Two complex products in one vector: samples (xr0, xi0, xr1, xi1) times the hr lanes plus the
// swapped samples (xi0, xr0, xi1, xr1) times the (-hi, hi) lanes of the tap record h.
inline __m128 ComplexProducts(const float* h, __m128 x)
{
    const __m128 swapped = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_add_ps(_mm_mul_ps(x, _mm_load_ps(h)), _mm_mul_ps(swapped, _mm_load_ps(h + 4)));
}

// Window samples s and s + 1. In a 16-byte aligned window an even s is one aligned load; an odd
// s joins the high half of the chunk before it to the low half of the chunk after it, so it
// reads sample s + 2 as well, which the block loop keeps inside the window.
template <bool kAligned> inline __m128 WindowPair(const float* window, int64_t s)
{
    if (!kAligned)
        return _mm_loadu_ps(window + 2 * s);
    if (s % 2 == 0)
        return _mm_load_ps(window + 2 * s);
    return _mm_shuffle_ps(_mm_load_ps(window + 2 * (s - 1)), _mm_load_ps(window + 2 * (s + 1)),
                          _MM_SHUFFLE(1, 0, 3, 2));
}

// N taps for the outputs s and s + 1: the record `top` against sample s, the one below it
// against s + 1, and so on down.
template <int N, bool kAligned> inline __m128 PairOfTaps(const float* top, const float* window, int64_t s)
{
    __m128 acc = ComplexProducts(top, WindowPair<kAligned>(window, s));
    for (int i = 1; i < N; ++i)
        acc = _mm_add_ps(acc, ComplexProducts(top - 8 * i, WindowPair<kAligned>(window, s + i)));
    return acc;
}

// Outputs k and k + 1 of n taps: 1 to 4 taps (N) unrolled; above, groups of four from h(n - 1)
// down, then the 1 to 3 lowest taps (N = 0).
template <int N, bool kAligned>
inline __m128 OutputPair(const float* taps, const float* window, int64_t k, int32_t n)
{
    if constexpr (N > 0)
        return PairOfTaps<N, kAligned>(taps + 8 * (N - 1), window, k);
    __m128 acc = _mm_setzero_ps();
    int32_t g = 0;
    for (; g + 4 <= n; g += 4)
        acc = _mm_add_ps(acc, PairOfTaps<4, kAligned>(taps + 8 * int64_t(n - 1 - g), window, k + g));
    const float* low = taps + 8 * int64_t(n - g - 1); // h(r - 1) of the r taps left
    switch (n - g)
    {
    case 3:
        return _mm_add_ps(acc, PairOfTaps<3, kAligned>(low, window, k + g));
    case 2:
        return _mm_add_ps(acc, PairOfTaps<2, kAligned>(low, window, k + g));
    case 1:
        return _mm_add_ps(acc, PairOfTaps<1, kAligned>(low, window, k + g));
    default:
        return acc;
    }
}

// The vector outputs from k on: eight per step for one tap, two otherwise. A step reads its
// window through aligned views only while it ends before the last output, the only place where
// an odd view's extra sample could lie past the window. Returns the first output left over.
template <int N, bool kAligned>
int64_t DirectSteps(const float* taps, const float* window, float* dst, int64_t k, int64_t count, int32_t n,
                    bool alignedStores)
{
    constexpr int64_t kStep = N == 1 ? 8 : 2;
    for (; k + kStep <= count; k += kStep)
    {
        const bool inner = k + kStep < count;
        for (int64_t p = 0; p < kStep; p += 2)
        {
            const __m128 v = inner ? OutputPair<N, kAligned>(taps, window, k + p, n)
                                   : OutputPair<N, false>(taps, window, k + p, n);
            if (alignedStores)
                _mm_store_ps(dst + 2 * (k + p), v);
            else
                _mm_storeu_ps(dst + 2 * (k + p), v);
        }
    }
    return k;
}

template <bool kAligned>
int64_t DirectBlock(const float* taps, const float* window, float* dst, int64_t k, int64_t count, int32_t n,
                    bool alignedStores)
{
    switch (n)
    {
    case 1:
        return DirectSteps<1, kAligned>(taps, window, dst, k, count, n, alignedStores);
    case 2:
        return DirectSteps<2, kAligned>(taps, window, dst, k, count, n, alignedStores);
    case 3:
        return DirectSteps<3, kAligned>(taps, window, dst, k, count, n, alignedStores);
    case 4:
        return DirectSteps<4, kAligned>(taps, window, dst, k, count, n, alignedStores);
    default:
        return DirectSteps<0, kAligned>(taps, window, dst, k, count, n, alignedStores);
    }
}

} // namespace

void SpFirDirectBlockKernelComplex_L1(const float* taps, const float* window, float* dst, int32_t count,
                                      int32_t tapCount)
{
    if (count <= 0)
        return;
    // From an 8-byte boundary one scalar output brings the destination to 16 bytes and every
    // vector store after it is aligned; a destination off 8 bytes is stored unaligned throughout.
    const uintptr_t address = reinterpret_cast<uintptr_t>(dst);
    const bool alignedStores = address % 8 == 0;
    int64_t k = 0;
    if (alignedStores && address % 16 != 0)
    {
        ComplexOutput(taps, window, tapCount, dst);
        k = 1;
    }
    k = reinterpret_cast<uintptr_t>(window) % 16 == 0
            ? DirectBlock<true>(taps, window, dst, k, count, tapCount, alignedStores)
            : DirectBlock<false>(taps, window, dst, k, count, tapCount, alignedStores);
    for (; k < count; ++k)
        ComplexOutput(taps, window + 2 * k, tapCount, dst + 2 * k);
}

int32_t SpFirMultiRateKernelComplex_L1(const float* taps, const float* input, float* dst, int32_t count,
                                       const int32_t* index, int32_t pairCount, int32_t start, int32_t t,
                                       int32_t stride)
{
    if (count <= 0)
        return start;
    const char* in = reinterpret_cast<const char*>(input);
    const int64_t bOffset = 8 * int64_t(stride) * pairCount; // floats from an A slot to its B slot
    if (pairCount == 1)
    {
        const int64_t first = index[0], second = index[1];
        int64_t base = 8 * int64_t(start) + first;
        for (int32_t o = 0; o < count; o += 2)
        {
            ComplexRun(taps, taps + bOffset, reinterpret_cast<const float*>(in + base), t, dst + 2 * o);
            ComplexRun(taps, taps + bOffset, reinterpret_cast<const float*>(in + base + second), t,
                       dst + 2 * o + 2);
            base += 2 * second;
        }
        return base == 0 ? 0 : int32_t((base - first) / 8);
    }
    const int64_t runSlots = (int64_t(t) + 1) & ~int64_t(1);
    int64_t base = 8 * int64_t(start);
    int32_t pair = 0;
    const float* tap = taps;
    for (int32_t o = 0; o < count; o += 2)
    {
        const int64_t p1 = base + index[2 * pair], p2 = p1 + index[2 * pair + 1];
        ComplexRun(tap, tap + bOffset, reinterpret_cast<const float*>(in + p1), t, dst + 2 * o);
        const float* tap2 = tap + 2 * int64_t(stride);
        ComplexRun(tap2, tap2 + bOffset, reinterpret_cast<const float*>(in + p2), t, dst + 2 * o + 2);
        base = p2;
        tap = tap2 + 2 * runSlots;
        if (++pair == 2 * pairCount)
        {
            base += index[4 * pairCount];
            pair = 0;
            tap = taps;
        }
    }
    return int32_t(base / 8);
}

SP_LEVEL_TARGET_END
