// The level-1 FIR block kernels (processors with SSE3; SSE and SSE2 instructions only). Each
// layout fixes how its run sums are grouped (pairs within a block of four taps, lane sums joined
// at the end), so a level-1 output may differ from the generic build's in the last bits.
#include "driver/primitives/level1/sp_fir_level1.h"

#include <emmintrin.h>

#include "driver/primitives/dispatch/sp_level_target.h"

SP_LEVEL_TARGET_BEGIN("sse3")

namespace
{

inline __m128 Pairwise4(__m128 p0, __m128 p1, __m128 p2, __m128 p3)
{
    return _mm_add_ps(_mm_add_ps(p0, p1), _mm_add_ps(p2, p3));
}

// Four lanes of layout 1: lane l sums x[u] times taps[4u + l]. Each run of four rows is paired
// before it joins the lanes, a run of eight as two such joins; then one, two or three rows.
inline __m128 GroupLanes(const float* taps, const float* x, int32_t t)
{
    auto p = [&](int32_t u) { return _mm_mul_ps(_mm_set1_ps(x[u]), _mm_load_ps(taps + 4 * u)); };
    auto four = [&](int32_t u) { return Pairwise4(p(u), p(u + 1), p(u + 2), p(u + 3)); };
    __m128 acc = _mm_setzero_ps();
    int32_t u = 0;
    for (; u + 8 <= t; u += 8)
        acc = _mm_add_ps(_mm_add_ps(acc, four(u)), four(u + 4));
    if (u + 4 <= t)
    {
        acc = _mm_add_ps(acc, four(u));
        u += 4;
    }
    switch (t - u)
    {
    case 1:
        return _mm_add_ps(acc, p(u));
    case 2:
        return _mm_add_ps(acc, _mm_add_ps(p(u), p(u + 1)));
    case 3:
        return _mm_add_ps(_mm_add_ps(acc, p(u)), _mm_add_ps(p(u + 1), p(u + 2)));
    default:
        return acc;
    }
}

// Products of the first two or one elements, the other lanes zero.
inline __m128 Low2(const float* a, const float* b)
{
    const __m128 va = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)));
    const __m128 vb = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
    return _mm_mul_ps(va, vb);
}
inline __m128 Low1(const float* a, const float* b)
{
    float va, vb;
    __builtin_memcpy(&va, a, sizeof(va));
    __builtin_memcpy(&vb, b, sizeof(vb));
    return _mm_mul_ps(_mm_set_ss(va), _mm_set_ss(vb));
}

// One output of t >= 4 taps in four lanes: the first four products start the lanes, every further
// run of four joins them lane by lane, then a pair in lanes 0 and 1 and a single one in lane 0;
// the lanes end as (lane 0 + lane 2) + (lane 1 + lane 3).
inline float LaneSum(const float* taps, const float* x, int32_t t)
{
    __m128 acc = _mm_mul_ps(_mm_loadu_ps(x), _mm_loadu_ps(taps));
    int32_t u = 4;
    for (; u + 4 <= t; u += 4)
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(x + u), _mm_loadu_ps(taps + u)));
    if (u + 2 <= t)
    {
        acc = _mm_add_ps(acc, Low2(x + u, taps + u));
        u += 2;
    }
    if (u < t)
        acc = _mm_add_ps(acc, Low1(x + u, taps + u));
    const __m128 h = _mm_add_ps(acc, _mm_movehl_ps(acc, acc));
    return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
}

// One output of t >= 4 taps in two two-lane sums read as 8-byte halves: A takes products 0 and
// 1 of each run of four, B products 2 and 3; a pair left over joins A, a single one A's lane 0;
// the output is (A0 + B0) + (A1 + B1).
inline float PairSum(const float* taps, const float* x, int32_t t)
{
    __m128 a = Low2(x, taps), b = Low2(x + 2, taps + 2);
    int32_t u = 4;
    for (; u + 4 <= t; u += 4)
    {
        a = _mm_add_ps(a, Low2(x + u, taps + u));
        b = _mm_add_ps(b, Low2(x + u + 2, taps + u + 2));
    }
    if (u + 2 <= t)
    {
        a = _mm_add_ps(a, Low2(x + u, taps + u));
        u += 2;
    }
    if (u < t)
        a = _mm_add_ps(a, Low1(x + u, taps + u));
    const __m128 s = _mm_add_ps(a, b);
    return _mm_cvtss_f32(_mm_add_ss(s, _mm_shuffle_ps(s, s, 1)));
}

// Fewer than four taps: the products left to right.
inline float ShortSum(const float* taps, const float* x, int32_t t)
{
    float sum = x[0] * taps[0];
    for (int32_t u = 1; u < t; ++u)
        sum += x[u] * taps[u];
    return sum;
}

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

int32_t SpFirMultiRateKernel1_L1(const float* taps, const float* input, float* dst, int32_t count,
                                 const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t)
{
    int64_t pos = start;
    const int32_t* i = index;
    const float* tap = taps;
    for (int32_t g = 0; g + 4 <= count; g += 4)
    {
        pos += *i++;
        _mm_storeu_ps(dst + g, GroupLanes(tap, input + pos, t));
        tap += 4 * int64_t(t);
        if (i == indexEnd)
        {
            pos += *indexEnd;
            i = index;
            tap = taps;
        }
    }
    return int32_t(pos);
}

int32_t SpFirMultiRateKernel2_L1(const float* taps, const float* input, float* dst, int32_t count,
                                 int32_t start, int32_t t, int32_t s)
{
    int64_t pos = start;
    for (int32_t g = 0; g + 4 <= count; g += 4)
    {
        for (int32_t j = 0; j < 4; ++j)
        {
            const float* x = input + pos + int64_t(j) * s;
            // From four taps on every output shares the one run; below, each has its own.
            dst[g + j] = t >= 4 ? LaneSum(taps, x, t) : ShortSum(taps + int64_t(j) * t, x, t);
        }
        pos += 4 * int64_t(s);
    }
    return int32_t(pos);
}

int32_t SpFirMultiRateKernel3_L1(const float* taps, const float* input, float* dst, int32_t count,
                                 const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t)
{
    const int32_t wrap = *indexEnd;
    int64_t base = start;
    const int32_t* i = index;
    const float* tap = taps;
    // Below four taps a group of four outputs advances together; from four on, one at a time.
    const int32_t step = t < 4 ? 4 : 1;
    for (int32_t o = 0; o + step <= count; o += step)
    {
        for (int32_t j = 0; j < step; ++j)
            dst[o + j] = t >= 4 ? PairSum(tap, input + base + i[j], t)
                                : ShortSum(tap + int64_t(j) * t, input + base + i[j], t);
        i += step;
        tap += int64_t(step) * t;
        if (i >= indexEnd)
        {
            base += wrap;
            i = index;
            tap = taps;
        }
    }
    return int32_t(base);
}

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
