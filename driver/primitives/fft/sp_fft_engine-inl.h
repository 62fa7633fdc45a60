// The vector FFT engine of levels 1 to 3, written once and instantiated by each level's thin
// file under its target: the radix-4 and radix-8 passes on the four-point block layout, the
// cores that enter and leave that layout, the bit reversal, the large-order driver, the real
// split and merge and the pair products. Only SSE and SSE3 instructions are used, so the three
// builds run one instruction stream and differ only in their pass plans.
//
// Bit identity: every butterfly is evaluated lane by lane in the order written here, whatever the
// alignment or the entry, so equal plans give equal bits (level 1 and 2 at the orders where their
// plans agree, the in-place core against the radix-4 core, level 2 against level 3).
#pragma once

#include <immintrin.h>
#include <stdint.h>
#include <string.h>

#include "driver/primitives/fft/sp_fft_levels.h"

// Internal linkage: each level's file compiles its own copy under its own target, and no
// instantiation may stand in for another level's.
namespace
{
namespace sp_fft_engine
{

// The cores' sqrt(1/2): one unit in the last place above the nearest float.
inline float CoreSqrtHalf()
{
    const uint32_t bits = 0x3F3504F4u;
    float value;
    memcpy(&value, &bits, sizeof(value));
    return value;
}

struct Block
{
    __m128 Re;
    __m128 Im;
};

inline Block LoadBlock(const float* p)
{
    return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)};
}

inline void StoreBlock(float* p, Block b)
{
    _mm_storeu_ps(p, b.Re);
    _mm_storeu_ps(p + 4, b.Im);
}

// Four interleaved points from a block.
inline void StoreInterleaved(float* p, Block b)
{
    _mm_storeu_ps(p, _mm_unpacklo_ps(b.Re, b.Im));
    _mm_storeu_ps(p + 4, _mm_unpackhi_ps(b.Re, b.Im));
}

inline Block Add(Block a, Block b)
{
    return {_mm_add_ps(a.Re, b.Re), _mm_add_ps(a.Im, b.Im)};
}

inline Block Sub(Block a, Block b)
{
    return {_mm_sub_ps(a.Re, b.Re), _mm_sub_ps(a.Im, b.Im)};
}

// x times the record factor (forward) or its conjugate (inverse).
template <bool Inverse> inline Block Twiddle(Block x, const float* w)
{
    const __m128 wr = _mm_load_ps(w);
    const __m128 wi = _mm_load_ps(w + 4);
    if (Inverse)
    {
        return {_mm_add_ps(_mm_mul_ps(wr, x.Re), _mm_mul_ps(wi, x.Im)),
                _mm_sub_ps(_mm_mul_ps(wr, x.Im), _mm_mul_ps(wi, x.Re))};
    }
    return {_mm_sub_ps(_mm_mul_ps(wr, x.Re), _mm_mul_ps(wi, x.Im)),
            _mm_add_ps(_mm_mul_ps(wr, x.Im), _mm_mul_ps(wi, x.Re))};
}

// a - i d (forward) or a + i d (inverse), and the opposite rotation.
template <bool Inverse> inline Block MinusRot(Block a, Block d)
{
    if (Inverse)
    {
        return {_mm_sub_ps(a.Re, d.Im), _mm_add_ps(a.Im, d.Re)};
    }
    return {_mm_add_ps(a.Re, d.Im), _mm_sub_ps(a.Im, d.Re)};
}

template <bool Inverse> inline Block PlusRot(Block a, Block d)
{
    return MinusRot<!Inverse>(a, d);
}

// ---- Radix-4 and radix-8 butterflies of one lane group --------------------------------------

// Positions 0..3 hold phases 0, 2, 1, 3; outputs in natural order.
template <bool Inverse> inline void Radix4(Block* x, const float* rec)
{
    const Block y0 = x[0];
    const Block y2 = rec ? Twiddle<Inverse>(x[1], rec + 8) : x[1];
    const Block y1 = rec ? Twiddle<Inverse>(x[2], rec) : x[2];
    const Block y3 = rec ? Twiddle<Inverse>(x[3], rec + 16) : x[3];
    const Block s02 = Add(y0, y2), d02 = Sub(y0, y2), s13 = Add(y1, y3), d13 = Sub(y1, y3);
    x[0] = Add(s02, s13);
    x[2] = Sub(s02, s13);
    x[1] = MinusRot<Inverse>(d02, d13);
    x[3] = PlusRot<Inverse>(d02, d13);
}

// Positions 0..7 hold phases 0, 4, 2, 6, 1, 5, 3, 7; three layers of radix-2 butterflies.
template <bool Inverse> inline void Radix8(Block* x, const float* rec)
{
    const Block y0 = x[0];
    const Block y4 = Twiddle<Inverse>(x[1], rec + 3 * 8);
    const Block y2 = Twiddle<Inverse>(x[2], rec + 1 * 8);
    const Block y6 = Twiddle<Inverse>(x[3], rec + 5 * 8);
    const Block y1 = Twiddle<Inverse>(x[4], rec);
    const Block y5 = Twiddle<Inverse>(x[5], rec + 4 * 8);
    const Block y3 = Twiddle<Inverse>(x[6], rec + 2 * 8);
    const Block y7 = Twiddle<Inverse>(x[7], rec + 6 * 8);
    const Block b0 = Add(y0, y4), b1 = Sub(y0, y4), b2 = Add(y2, y6), b3 = Sub(y2, y6);
    const Block c0 = Add(y1, y5), c1 = Sub(y1, y5), c2 = Add(y3, y7), c3 = Sub(y3, y7);
    const Block e0 = Add(b0, b2), e2 = Sub(b0, b2), e1 = MinusRot<Inverse>(b1, b3),
                e3 = PlusRot<Inverse>(b1, b3);
    const Block o0 = Add(c0, c2), o2 = Sub(c0, c2), o1 = MinusRot<Inverse>(c1, c3),
                o3 = PlusRot<Inverse>(c1, c3);
    // o1 turned by (1 - i)c and o3 by -(1 + i)c (inverse: (1 + i)c and (-1 + i)c), every
    // product rounded on its own before the sum: c a + c b, not c (a + b).
    const __m128 c = _mm_set1_ps(CoreSqrtHalf());
    const __m128 nc = _mm_set1_ps(-CoreSqrtHalf());
    Block r1, r3;
    if (Inverse)
    {
        r1 = {_mm_sub_ps(_mm_mul_ps(c, o1.Re), _mm_mul_ps(c, o1.Im)),
              _mm_add_ps(_mm_mul_ps(c, o1.Im), _mm_mul_ps(c, o1.Re))};
        r3 = {_mm_add_ps(_mm_mul_ps(nc, o3.Re), _mm_mul_ps(nc, o3.Im)),
              _mm_sub_ps(_mm_mul_ps(nc, o3.Im), _mm_mul_ps(nc, o3.Re))};
    }
    else
    {
        r1 = {_mm_add_ps(_mm_mul_ps(c, o1.Re), _mm_mul_ps(c, o1.Im)),
              _mm_sub_ps(_mm_mul_ps(c, o1.Im), _mm_mul_ps(c, o1.Re))};
        r3 = {_mm_sub_ps(_mm_mul_ps(nc, o3.Re), _mm_mul_ps(nc, o3.Im)),
              _mm_add_ps(_mm_mul_ps(nc, o3.Re), _mm_mul_ps(nc, o3.Im))};
    }
    x[0] = Add(e0, o0);
    x[4] = Sub(e0, o0);
    x[1] = Add(e1, r1);
    x[5] = Sub(e1, r1);
    x[2] = MinusRot<Inverse>(e2, o2);
    x[6] = PlusRot<Inverse>(e2, o2);
    x[3] = Add(e3, r3);
    x[7] = Sub(e3, r3);
}

// ---- Passes -----------------------------------------------------------------------------------

// Where a pass writes: the block layout (to), interleaved points (to), or the real and
// imaginary parts into two arrays (to, toIm).
enum class Out
{
    Blocks,
    Interleaved,
    Planar,
};

// One pass of radix R and span s over `points` in block layout, reading `from` and writing `to`
// (the same array, or the final pass's destination). Returns the next pass's records.
template <bool Inverse, int R>
const float* Pass(const float* from, float* to, float* toIm, int64_t points, int64_t span,
                  const float* records, Out out)
{
    const int64_t groupPoints = R * span;
    for (int64_t g0 = 0; g0 < points; g0 += groupPoints)
    {
        const float* rec = records;
        for (int64_t k = 0; k < span; k += 4)
        {
            Block x[R];
            for (int q = 0; q < R; ++q)
            {
                x[q] = LoadBlock(from + 2 * (g0 + q * span + k));
            }
            if (R == 4)
            {
                Radix4<Inverse>(x, rec);
            }
            else
            {
                Radix8<Inverse>(x, rec);
            }
            for (int q = 0; q < R; ++q)
            {
                const int64_t at = g0 + q * span + k;
                if (out == Out::Interleaved)
                {
                    StoreInterleaved(to + 2 * at, x[q]);
                }
                else if (out == Out::Blocks)
                {
                    StoreBlock(to + 2 * at, x[q]);
                }
                else
                {
                    _mm_storeu_ps(to + at, x[q].Re);
                    _mm_storeu_ps(toIm + at, x[q].Im);
                }
            }
            rec += 8 * (R - 1);
        }
    }
    return records + 8 * (R - 1) * (span / 4);
}

// The passes of a plan on w; the last writes dst (dstIm: the imaginary array of planar output).
template <bool Inverse>
void RunPlan(const SpFftPassPlan& plan, float* w, float* dst, float* dstIm, int64_t points,
             const float* records, Out out)
{
    for (int32_t i = 0; i < plan.Count; ++i)
    {
        const bool last = i + 1 == plan.Count;
        float* to = last ? dst : w;
        const Out mode = last ? out : Out::Blocks;
        records = plan.Radix[i] == 4 ? Pass<Inverse, 4>(w, to, dstIm, points, plan.Span[i], records, mode)
                                     : Pass<Inverse, 8>(w, to, dstIm, points, plan.Span[i], records, mode);
    }
}

template <bool Inverse>
void RunPlan(const SpFftPassPlan& plan, float* w, float* dst, int64_t points, const float* records,
             bool interleave)
{
    RunPlan<Inverse>(plan, w, dst, nullptr, points, records, interleave ? Out::Interleaved : Out::Blocks);
}

// The untwiddled radix-4 stage of two lanes: y0..y3 hold two points each (interleaved); lane 0's
// transform becomes block b0 of w, lane 1's block b1.
template <bool Inverse>
inline void FirstStage(__m128 y0, __m128 y1, __m128 y2, __m128 y3, float* b0, float* b1)
{
    const __m128 s02 = _mm_add_ps(y0, y2), d02 = _mm_sub_ps(y0, y2);
    const __m128 s13 = _mm_add_ps(y1, y3), d13 = _mm_sub_ps(y1, y3);
    const __m128 x0 = _mm_add_ps(s02, s13);
    const __m128 x2 = _mm_sub_ps(s02, s13);
    // (re, im) pairs of d13 swapped; -i d = (im, -re), +i d = (-im, re).
    const __m128 sw = _mm_shuffle_ps(d13, d13, _MM_SHUFFLE(2, 3, 0, 1));
    const __m128 flipOdd = _mm_castsi128_ps(_mm_set_epi32(int(0x80000000), 0, int(0x80000000), 0));
    const __m128 flipEven = _mm_castsi128_ps(_mm_set_epi32(0, int(0x80000000), 0, int(0x80000000)));
    const __m128 minusI = _mm_xor_ps(sw, Inverse ? flipEven : flipOdd);
    const __m128 x1 = _mm_add_ps(d02, minusI);
    const __m128 x3 = _mm_sub_ps(d02, minusI);
    const __m128 t0 = _mm_unpacklo_ps(x0, x1), t1 = _mm_unpacklo_ps(x2, x3);
    const __m128 t2 = _mm_unpackhi_ps(x0, x1), t3 = _mm_unpackhi_ps(x2, x3);
    _mm_storeu_ps(b0, _mm_movelh_ps(t0, t1));
    _mm_storeu_ps(b0 + 4, _mm_movehl_ps(t1, t0));
    _mm_storeu_ps(b1, _mm_movelh_ps(t2, t3));
    _mm_storeu_ps(b1 + 4, _mm_movehl_ps(t3, t2));
}

inline bool Aligned16(const void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & 15) == 0;
}

// Two points from two places, 8 bytes each; the points need only float alignment.
inline __m128 LoadPair(const float* a, const float* b)
{
    uint64_t lo, hi;
    memcpy(&lo, a, sizeof(lo));
    memcpy(&hi, b, sizeof(hi));
    return _mm_castsi128_ps(_mm_set_epi64x(int64_t(hi), int64_t(lo)));
}

// ---- Straight-line eight points (both directions) --------------------------------------------

// The even points (x0, x4, x2, x6) and the odd points (x1, x5, x3, x7) through the first-pass
// butterfly as the two lanes of one step, the odd results times the 8-point factors (the
// products with 1 and 0 made like the others), then X[k] = E[k] + t[k], X[k + 4] = E[k] - t[k].
// Everything is loaded before the first store, so src may be dst.
template <bool Inverse> void Eight(const float* src, float* dst)
{
    const float c = CoreSqrtHalf();
    alignas(16) const float factors[8] = {1.0f, c, 0.0f, -c, 0.0f, -c, -1.0f, -c};
    alignas(16) float lanes[16];
    FirstStage<Inverse>(_mm_loadu_ps(src), _mm_loadu_ps(src + 4), _mm_loadu_ps(src + 8),
                        _mm_loadu_ps(src + 12), lanes, lanes + 8);
    const Block even = {_mm_load_ps(lanes), _mm_load_ps(lanes + 4)};
    const Block odd = Twiddle<Inverse>({_mm_load_ps(lanes + 8), _mm_load_ps(lanes + 12)}, factors);
    StoreInterleaved(dst, Add(even, odd));
    StoreInterleaved(dst + 8, Sub(even, odd));
}

// ---- Cores ------------------------------------------------------------------------------------

template <int32_t Level> bool PlanOf(int64_t points, SpFftPassPlan* plan)
{
    int32_t order = 0;
    while ((int64_t(1) << order) < points)
    {
        ++order;
    }
    return Level == SpFftLevel1 ? SpFftPassPlan_L1(order, plan) : SpFftPassPlan_L2(order, plan);
}

// Natural-order src to natural-order dst: the first pass gathers through the index table.
template <int32_t Level, bool Inverse>
void Radix4Core(const float* src, float* dst, int64_t points, const float* twiddles, const uint32_t* index,
                float* work)
{
    if (points == 8)
    {
        Eight<Inverse>(src, dst);
        return;
    }
    uint32_t localIndex[5];
    alignas(16) float localWork[32];
    if (Level == SpFftLevel1 && points == 16)
    {
        // The straight-line 16 points read neither the index table nor the work area.
        for (uint32_t k = 0; k < 4; ++k)
        {
            localIndex[k] = 2 * SpFftReverseBits(k, 2);
        }
        localIndex[4] = 0;
        index = localIndex;
        work = localWork;
    }
    SpFftPassPlan plan;
    PlanOf<Level>(points, &plan);
    float* w = (dst != src && Aligned16(dst)) ? dst : work;
    const int64_t quarter = points / 4;
    const int64_t eighth = points / 8;
    for (int64_t g = 0; g < eighth; ++g)
    {
        const int64_t r = index[2 * g];
        const float* p = src + 2 * r;
        FirstStage<Inverse>(_mm_loadu_ps(p), _mm_loadu_ps(p + 2 * quarter), _mm_loadu_ps(p + 4 * quarter),
                            _mm_loadu_ps(p + 6 * quarter), w + 8 * g, w + 8 * (g + eighth));
    }
    RunPlan<Inverse>(plan, w, dst, points, twiddles, true);
}

// Bit-reversed data in place; layout 1 leaves interleaved points, any other value blocks.
template <int32_t Level, bool Inverse>
void Order16Core(float* data, int64_t points, const float* twiddles, float* work, int32_t layout)
{
    SpFftPassPlan plan;
    PlanOf<Level>(points, &plan);
    float* w = Aligned16(data) ? data : work;
    for (int64_t b = 0; b < points / 4; b += 2)
    {
        const float* p = data + 8 * b;
        // Block b's points p0..p3 hold the phases 0, 2, 1, 3 of its 4-point transform.
        FirstStage<Inverse>(LoadPair(p, p + 8), LoadPair(p + 4, p + 12), LoadPair(p + 2, p + 10),
                            LoadPair(p + 6, p + 14), w + 8 * b, w + 8 * (b + 1));
    }
    RunPlan<Inverse>(plan, w, data, points, twiddles, layout == 1);
}

// Two points of separate arrays as one interleaved vector: (re[a], im[a], re[b], im[b]).
inline __m128 LoadPlanarPair(const float* re, const float* im, int64_t a, int64_t b)
{
    return _mm_setr_ps(re[a], im[a], re[b], im[b]);
}

// Natural-order separate arrays to natural-order separate arrays: the gather pass of the
// interleaved core with the same arithmetic per point, so both give the same bits. The work
// area is always the caller's; every source element is read before the first store.
template <int32_t Level, bool Inverse>
void PlanarCore(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int64_t points,
                const float* twiddles, const uint32_t* index, float* work)
{
    if (points == 8)
    {
        float x[16], y[16];
        for (int k = 0; k < 8; ++k)
        {
            x[2 * k] = srcRe[k];
            x[2 * k + 1] = srcIm[k];
        }
        Eight<Inverse>(x, y);
        for (int k = 0; k < 8; ++k)
        {
            dstRe[k] = y[2 * k];
            dstIm[k] = y[2 * k + 1];
        }
        return;
    }
    SpFftPassPlan plan;
    PlanOf<Level>(points, &plan);
    const int64_t quarter = points / 4, eighth = points / 8;
    for (int64_t g = 0; g < eighth; ++g)
    {
        const int64_t r = index[2 * g];
        FirstStage<Inverse>(LoadPlanarPair(srcRe, srcIm, r, r + 1),
                            LoadPlanarPair(srcRe, srcIm, r + quarter, r + 1 + quarter),
                            LoadPlanarPair(srcRe, srcIm, r + 2 * quarter, r + 1 + 2 * quarter),
                            LoadPlanarPair(srcRe, srcIm, r + 3 * quarter, r + 1 + 3 * quarter), work + 8 * g,
                            work + 8 * (g + eighth));
    }
    RunPlan<Inverse>(plan, work, dstRe, dstIm, points, twiddles, Out::Planar);
}

// Bit-reversed separate arrays in place (n >= 64): the first pass of the in-place core.
template <int32_t Level, bool Inverse>
void PlanarInPlaceCore(float* re, float* im, int64_t points, const float* twiddles, float* work)
{
    SpFftPassPlan plan;
    PlanOf<Level>(points, &plan);
    for (int64_t b = 0; b < points / 4; b += 2)
    {
        const int64_t p = 4 * b;
        FirstStage<Inverse>(LoadPlanarPair(re, im, p, p + 4), LoadPlanarPair(re, im, p + 2, p + 6),
                            LoadPlanarPair(re, im, p + 1, p + 5), LoadPlanarPair(re, im, p + 3, p + 7),
                            work + 8 * b, work + 8 * (b + 1));
    }
    RunPlan<Inverse>(plan, work, re, im, points, twiddles, Out::Planar);
}

// Half of an eight-way decimated transform of 8n points: the sub-sequences x[8j + l], l = 0..3,
// of src each transformed over n points into dst (sub-spectrum l at point l n, block layout).
// The first pass takes one point of each phase per load, iteration 0 at point 0 and then one
// iteration per index-table entry up to its end mark; each sub-transform then runs the level-2
// plan of its order. Planar: srcIm is the imaginary array and dst is the work area.
template <bool Inverse>
void SubBlocks(const float* src, const float* srcIm, float* dst, int64_t points, const float* twiddles,
               const uint32_t* index, float* work)
{
    SpFftPassPlan plan;
    PlanOf<SpFftLevel2>(points, &plan);
    float* w = srcIm || (dst != src && Aligned16(dst)) ? dst : work;
    const int64_t quarter = 2 * points; // N/4 points apart
    for (int64_t t = 0;; ++t)
    {
        const int64_t q = t == 0 ? 0 : 4 * int64_t(index[t]);
        for (int64_t l = 0; l < 4; l += 2)
        {
            __m128 y[4];
            for (int64_t p = 0; p < 4; ++p)
            {
                const int64_t at = q + l + p * quarter;
                y[p] = srcIm ? LoadPlanarPair(src, srcIm, at, at + 1) : _mm_loadu_ps(src + 2 * at);
            }
            FirstStage<Inverse>(y[0], y[1], y[2], y[3], w + 2 * (l * points + 4 * t),
                                w + 2 * ((l + 1) * points + 4 * t));
        }
        // The table's end mark ends the pass; a table that ends early gives fewer iterations,
        // and none runs past the regions whatever the table holds.
        if (t + 1 >= points / 4 || index[t + 1] == 0)
        {
            break;
        }
    }
    for (int64_t l = 0; l < 4; ++l)
    {
        RunPlan<Inverse>(plan, w + 2 * l * points, dst + 2 * l * points, points, twiddles, false);
    }
}

// The last radix-8 stage over eight sub-spectra Y_s at points s n (block layout): groups of four
// k from 0 up to count rounded up to 4 (at least one), each Y_s times w_s(k), then the 8-point
// DFT across s, X[k + q n] in natural order of q. Planar: dstIm receives the imaginary parts.
template <bool Inverse>
void Radix8Combine(const float* src, float* dst, float* dstIm, int64_t points, int64_t count,
                   const float* twiddles)
{
    static const int kPhaseAt[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (int64_t k = 0; k == 0 || k < count; k += 4)
    {
        Block x[8];
        for (int q = 0; q < 8; ++q)
        {
            x[q] = LoadBlock(src + 2 * (kPhaseAt[q] * points + k));
        }
        Radix8<Inverse>(x, twiddles + 56 * (k / 4));
        for (int q = 0; q < 8; ++q)
        {
            const int64_t at = q * points + k;
            if (dstIm)
            {
                _mm_storeu_ps(dst + at, x[q].Re);
                _mm_storeu_ps(dstIm + at, x[q].Im);
            }
            else
            {
                StoreInterleaved(dst + 2 * at, x[q]);
            }
        }
    }
}

} // namespace sp_fft_engine
} // namespace
