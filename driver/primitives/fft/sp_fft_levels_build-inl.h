// The FFT family of one processor level: each level's thin file defines SP_FFT_LEVEL (1 to 3)
// and SP_FFT_SUFFIX, switches on its instruction set and includes this file once, so the three
// builds are one text. Entries check their arguments as the generic build does and refuse a spec
// laid out by another level; the kernels check nothing.
#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/fft/sp_fft_engine-inl.h"
#include "driver/primitives/fft/sp_fft_small_complex-inl.h"

#define SP_FFT_CAT2(a, b) a##_##b
#define SP_FFT_CAT(a, b) SP_FFT_CAT2(a, b)
#define SP_FFT_LN(name) SP_FFT_CAT(name, SP_FFT_SUFFIX)
// A few kernels carry names of their own at level 3 (sp_fft_levels.h lists them).
#if SP_FFT_LEVEL == 3
#define SP_FFT_LN_OR3(name12, name3) SP_FFT_CAT(name3, L3)
#else
#define SP_FFT_LN_OR3(name12, name3) SP_FFT_LN(name12)
#endif

namespace
{
namespace sp_fft_level
{
using namespace sp_fft_engine;

constexpr int32_t kLevel = SP_FFT_LEVEL;
constexpr float kC = 0.70710677f; // the float nearest sqrt(1/2), as the small kernels use it
constexpr float kR = 1.4142135f;  // the float nearest sqrt(2)

int32_t Log2(int64_t points)
{
    int32_t order = 0;
    while ((int64_t(1) << order) < points)
    {
        ++order;
    }
    return order;
}

// The level's own multiply by a constant.
inline void ScaleInPlace(float scale, float* data, int32_t count)
{
    SP_FFT_LN(SpMulConstInPlaceF32)(scale, data, count);
}

// Elements of any width moved as whole values: 4 and 8 bytes, a complex float, 16 bytes.
struct Wide
{
    uint64_t Lo;
    uint64_t Hi;
};

template <typename T> inline T LoadAt(const void* base, int64_t i)
{
    T v;
    memcpy(&v, static_cast<const uint8_t*>(base) + i * int64_t(sizeof(T)), sizeof(T));
    return v;
}

template <typename T> inline void StoreAt(void* base, int64_t i, T v)
{
    memcpy(static_cast<uint8_t*>(base) + i * int64_t(sizeof(T)), &v, sizeof(T));
}

// dst[rev(i)] = src[i] over 8 x 8 tiles: the top and bottom three bits of an index trade
// places while the middle bits reverse, so each tile reads eight rows and writes eight.
// src may equal dst: a tile and its partner are read before either is written.
template <typename T> void BitReverseOf(const void* src, void* dst, int64_t count)
{
    const int32_t order = Log2(count);
    T t1[64], t2[64];
    if (order < 6)
    {
        for (int64_t i = 0; i < count; ++i)
        {
            t1[i] = LoadAt<T>(src, i);
        }
        for (int64_t i = 0; i < count; ++i)
        {
            StoreAt<T>(dst, int64_t(SpFftReverseBits(uint32_t(i), order)), t1[i]);
        }
        return;
    }
    const bool inPlace = src == dst;
    const int32_t middle = order - 6;
    const int32_t high = order - 3;
    int64_t rev3[8];
    for (int32_t k = 0; k < 8; ++k)
    {
        rev3[k] = SpFftReverseBits(uint32_t(k), 3);
    }
    for (int64_t m = 0; m < (int64_t(1) << middle); ++m)
    {
        const int64_t mr = SpFftReverseBits(uint32_t(m), middle);
        if (inPlace && mr < m)
        {
            continue;
        }
        const bool partner = inPlace && mr != m;
        for (int64_t c = 0; c < 8; ++c)
        {
            for (int64_t a = 0; a < 8; ++a)
            {
                t1[8 * c + a] = LoadAt<T>(src, (c << high) + 8 * m + a);
                if (partner)
                {
                    t2[8 * c + a] = LoadAt<T>(src, (c << high) + 8 * mr + a);
                }
            }
        }
        for (int64_t a = 0; a < 8; ++a)
        {
            for (int64_t c = 0; c < 8; ++c)
            {
                StoreAt<T>(dst, (rev3[a] << high) + 8 * mr + rev3[c], t1[8 * c + a]);
                if (partner)
                {
                    StoreAt<T>(dst, (rev3[a] << high) + 8 * m + rev3[c], t2[8 * c + a]);
                }
            }
        }
    }
}

// Element q n/4 + 4g + r (quarter q, group g, lane r) reverses to rev2(r) n/4 + 4 rev(g) + rev2(q):
// the 16 elements of group g land transposed, both 2-bit indices reversed, on the partner group
// that the index table names (entry g = 8 rev(g) for g below n/16). The table counts in units of
// half an 8-byte element, so one table serves every element width. In place, each pair is done
// at its lower group; a copy walks the source and scatters up to walkLimit elements, and above it
// walks the destination and gathers, so the side written in order is the larger stream.
template <typename T>
void BlockReverse(const void* src, void* dst, int64_t points, const uint32_t* table, int64_t walkLimit)
{
    if (points == 8)
    {
        // Fixed: 1 <-> 4 and 3 <-> 6; everything is read before anything is written.
        static const int64_t kEight[8] = {0, 4, 2, 6, 1, 5, 3, 7};
        T v[8];
        for (int64_t i = 0; i < 8; ++i)
        {
            v[i] = LoadAt<T>(src, i);
        }
        for (int64_t i = 0; i < 8; ++i)
        {
            StoreAt<T>(dst, kEight[i], v[i]);
        }
        return;
    }
    if (points < 16)
    {
        BitReverseOf<T>(src, dst, points);
        return;
    }
    const int64_t quarter = points / 4;
    const int64_t groups = points / 16;
    const int64_t rev2[4] = {0, 2, 1, 3};
    const auto at = [quarter](int64_t q, int64_t g, int64_t r) { return q * quarter + 4 * g + r; };
    const bool inPlace = src == dst;
    const bool gather = !inPlace && points > walkLimit;
    for (int64_t step = 0; step < groups; ++step)
    {
        const int64_t g = gather ? step : groups - 1 - step;
        const int64_t p = table[g] / 8;
        if (inPlace && p < g)
        {
            continue; // done at its partner
        }
        T a[16], b[16];
        for (int64_t q = 0; q < 4; ++q)
        {
            for (int64_t r = 0; r < 4; ++r)
            {
                a[4 * q + r] = LoadAt<T>(src, at(q, gather ? p : g, r));
                if (inPlace && p != g)
                {
                    b[4 * q + r] = LoadAt<T>(src, at(q, p, r));
                }
            }
        }
        for (int64_t q = 0; q < 4; ++q)
        {
            for (int64_t r = 0; r < 4; ++r)
            {
                StoreAt<T>(dst, at(rev2[r], gather ? g : p, rev2[q]), a[4 * q + r]);
                if (inPlace && p != g)
                {
                    StoreAt<T>(dst, at(rev2[r], g, rev2[q]), b[4 * q + r]);
                }
            }
        }
    }
}

void BitReverse(const float* src, float* dst, int64_t points, const uint32_t* table)
{
    BlockReverse<uint64_t>(src, dst, points, table, 65536);
}

// The level's checked copy in pieces its 32-bit count carries, so that no order's byte count
// wraps (orders 28 to 30 move 2 to 8 GiB).
void CopyAll(const float* src, float* dst, int64_t bytes)
{
    const int64_t piece = int64_t(1) << 30;
    for (int64_t at = 0; at < bytes; at += piece)
    {
        const int64_t n = bytes - at < piece ? bytes - at : piece;
        SP_FFT_LN(SpCopyBytesChecked)
        (reinterpret_cast<const uint8_t*>(src) + at, reinterpret_cast<uint8_t*>(dst) + at, int32_t(n));
    }
}

#include "driver/primitives/fft/sp_fft_copy-inl.h"
#include "driver/primitives/fft/sp_fft_large-inl.h"

// The complex transform of 2^order points (order >= 3) by the level's order limits: the
// radix-4 core, a bit reversal and the in-place core at the direct limit, the large-order
// driver above; the spec's scale for the direction, once.
template <bool Inverse>
void Transform(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work)
{
    const int64_t points = int64_t(1) << order;
    const int32_t direct = SpFftDirectLimit(kLevel);
    if (order > direct)
    {
        Large<Inverse>(spec, src, dst, order, work);
        return;
    }
    if (order < direct)
    {
        Radix4Core<kLevel, Inverse>(src, dst, points, spec->Radix4,
                                    reinterpret_cast<const uint32_t*>(spec->BitRev), work);
    }
    else
    {
        BitReverse(src, dst, points, reinterpret_cast<const uint32_t*>(spec->BitRev));
        Order16Core<kLevel, Inverse>(dst, points, spec->Radix4, work, 1);
    }
    if (Inverse ? spec->InvScaleOn : spec->FwdScaleOn)
    {
        ScaleInPlace(spec->Scale, dst, int32_t(2 * points));
    }
}

SpStatus CheckSpec(const SpFftSpec* spec, int32_t kind, const void* src, const void* dst)
{
    if (!spec)
    {
        return SpErrNullPointer;
    }
    if (spec->Kind != kind || spec->Level != kLevel || spec->Order < 0 || spec->Order > SpFftMaxOrder)
    {
        return SpErrStateMismatch; // another kind, or tables laid out for another level's plans
    }
    if (!src || !dst)
    {
        return SpErrNullPointer;
    }
    return SpOk;
}

// Pairs (a + ib)(c + id) = (ac - bd) + i(bc + ad), two pairs a vector: each product rounded
// once, no fused multiply-add, so the vector body and the tail give the same bits.
void PairMul(const float* src1, const float* src2, float* dst, int64_t pairs)
{
    int64_t i = 0;
    for (; i + 2 <= pairs; i += 2)
    {
        const __m128 a = _mm_loadu_ps(src1 + 2 * i);
        const __m128 c = _mm_loadu_ps(src2 + 2 * i);
        const __m128 t1 = _mm_mul_ps(a, _mm_moveldup_ps(c));
        const __m128 t2 = _mm_mul_ps(_mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)), _mm_movehdup_ps(c));
        _mm_storeu_ps(dst + 2 * i, _mm_addsub_ps(t1, t2));
    }
    for (; i < pairs; ++i)
    {
        const float a = src1[2 * i], b = src1[2 * i + 1], c = src2[2 * i], d = src2[2 * i + 1];
        dst[2 * i] = a * c - b * d;
        dst[2 * i + 1] = b * c + a * d;
    }
}

// DC, then Nyquist for an even length, then the pairs.
void MulPack(const float* src1, const float* src2, float* dst, int32_t len)
{
    dst[0] = src1[0] * src2[0];
    int32_t first = 1;
    if (len % 2 == 0)
    {
        dst[1] = src1[1] * src2[1];
        first = 2;
    }
    PairMul(src1 + first, src2 + first, dst + first, (len - first) / 2);
}

// ---- Small kernels ----

inline void RealFwd2(float s02, float s13, float d02, float d31, float* y)
{
    y[0] = s02 + s13;
    y[1] = s02 - s13;
    y[2] = d02;
    y[3] = d31;
}

inline void RealInv2(float p, float q, float c2, float d3, float* y)
{
    y[0] = p + c2;
    y[1] = q - d3;
    y[2] = p - c2;
    y[3] = q + d3;
}

inline void RealFwd3(float a, float b, float c, float d, float e, float f, float g, float h, float* y)
{
    const float t = (f - h) * kC, u = (f + h) * -kC;
    y[0] = (a + c) + (e + g);
    y[1] = (a + c) - (e + g);
    y[2] = b + t;
    y[3] = u - d;
    y[4] = a - c;
    y[5] = g - e;
    y[6] = b - t;
    y[7] = u + d;
}

inline void RealInv3(float a, float b, float c, float d, float e, float f, float g, float h, float* y)
{
    const float t = (f - h) * kR, u = (f + h) * -kR;
    y[0] = (a + c) + 2.0f * e;
    y[1] = (b - d) + t;
    y[2] = (a - c) - 2.0f * g;
    y[3] = (b + d) + u;
    y[4] = (a + c) - 2.0f * e;
    y[5] = (b - d) - t;
    y[6] = (a - c) + 2.0f * g;
    y[7] = (b + d) - u;
}

} // namespace sp_fft_level
} // namespace

using namespace sp_fft_level;

// ---- Kernels under their names ----

// The level's byte copy (sp_fft_copy-inl.h); overlapping blocks, which no caller passes, take
// the direction-aware move rather than corrupting the copy.
void SP_FFT_LN(SpCopyBytes)(const void* src, void* dst, int64_t byteCount)
{
    const auto* s = static_cast<const uint8_t*>(src);
    auto* d = static_cast<uint8_t*>(dst);
    if (byteCount <= 0 || s == d)
    {
        return;
    }
    if (s < d + byteCount && d < s + byteCount)
    {
        memmove(d, s, size_t(byteCount));
        return;
    }
    CopyBytes(s, d, byteCount);
}

void SP_FFT_LN(SpFftRadix4Fwd)(const float* src, float* dst, int64_t points, const float* twiddles,
                               const uint32_t* index, float* work)
{
    Radix4Core<kLevel, false>(src, dst, points, twiddles, index, work);
}

void SP_FFT_LN(SpFftRadix4Inv)(const float* src, float* dst, int64_t points, const float* twiddles,
                               const uint32_t* index, float* work)
{
    Radix4Core<kLevel, true>(src, dst, points, twiddles, index, work);
}

void SP_FFT_LN(SpFftOrder16Fwd)(float* data, int64_t points, const float* twiddles, float* work,
                                int32_t layout)
{
    Order16Core<kLevel, false>(data, points, twiddles, work, layout);
}

void SP_FFT_LN(SpFftOrder16Inv)(float* data, int64_t points, const float* twiddles, float* work,
                                int32_t layout)
{
    Order16Core<kLevel, true>(data, points, twiddles, work, layout);
}

void SP_FFT_LN(SpFftBitReverseCopy)(const float* src, float* dst, int64_t points, const uint32_t* table)
{
    BitReverse(src, dst, points, table);
}

void SP_FFT_LN(SpFftBitReverseInPlace)(float* data, int64_t points, const uint32_t* table)
{
    BitReverse(data, data, points, table);
}

void SP_FFT_LN_OR3(SpFftReImFwd, SpFftRadix4FwdPlanar)(const float* srcRe, const float* srcIm, float* dstRe,
                                                       float* dstIm, int64_t points, const float* twiddles,
                                                       const uint32_t* index, float* work)
{
    PlanarCore<kLevel, false>(srcRe, srcIm, dstRe, dstIm, points, twiddles, index, work);
}

void SP_FFT_LN_OR3(SpFftReImInv, SpFftRadix4InvPlanar)(const float* srcRe, const float* srcIm, float* dstRe,
                                                       float* dstIm, int64_t points, const float* twiddles,
                                                       const uint32_t* index, float* work)
{
    PlanarCore<kLevel, true>(srcRe, srcIm, dstRe, dstIm, points, twiddles, index, work);
}

void SP_FFT_LN_OR3(SpFftReImInPlaceFwd, SpFftInPlaceFwdPlanar)(float* re, float* im, int64_t points,
                                                               const float* twiddles, float* work)
{
    PlanarInPlaceCore<kLevel, false>(re, im, points, twiddles, work);
}

void SP_FFT_LN_OR3(SpFftReImInPlaceInv, SpFftInPlaceInvPlanar)(float* re, float* im, int64_t points,
                                                               const float* twiddles, float* work)
{
    PlanarInPlaceCore<kLevel, true>(re, im, points, twiddles, work);
}

// The eight-way decimated cores and their combining pass follow the level-2 plan, so only the
// builds of levels 2 and 3 carry them.
#if SP_FFT_LEVEL >= 2
void SP_FFT_LN_OR3(SpFftDecim8HalfFwd, SpFftSubBlocksFwd)(const SpComplexF32* src, float* dst, int64_t points,
                                                          const float* twiddles, const uint32_t* index,
                                                          float* work)
{
    SubBlocks<false>(&src->Re, nullptr, dst, points, twiddles, index, work);
}

void SP_FFT_LN_OR3(SpFftDecim8HalfInv, SpFftSubBlocksInv)(const SpComplexF32* src, float* dst, int64_t points,
                                                          const float* twiddles, const uint32_t* index,
                                                          float* work)
{
    SubBlocks<true>(&src->Re, nullptr, dst, points, twiddles, index, work);
}

void SP_FFT_LN_OR3(SpFftDecim8HalfReImFwd,
                   SpFftSubBlocksFwdPlanar)(const float* srcRe, const float* srcIm, float* dst,
                                            int64_t points, const float* twiddles, const uint32_t* index)
{
    SubBlocks<false>(srcRe, srcIm, dst, points, twiddles, index, nullptr);
}

void SP_FFT_LN_OR3(SpFftDecim8HalfReImInv,
                   SpFftSubBlocksInvPlanar)(const float* srcRe, const float* srcIm, float* dst,
                                            int64_t points, const float* twiddles, const uint32_t* index)
{
    SubBlocks<true>(srcRe, srcIm, dst, points, twiddles, index, nullptr);
}

// Every group is read before any of its outputs is stored, so dst may be src and the source
// is never written otherwise.
void SP_FFT_LN(SpFftRadix8CombineFwd)(float* src, SpComplexF32* dst, int64_t points, int64_t count,
                                      const float* twiddles)
{
    Radix8Combine<false>(src, &dst->Re, nullptr, points, count, twiddles);
}

void SP_FFT_LN(SpFftRadix8CombineInv)(float* src, SpComplexF32* dst, int64_t points, int64_t count,
                                      const float* twiddles)
{
    Radix8Combine<true>(src, &dst->Re, nullptr, points, count, twiddles);
}

void SP_FFT_LN_OR3(SpFftRadix8CombineReImFwd,
                   SpFftRadix8CombineFwdPlanar)(const float* src, float* dstRe, float* dstIm, int64_t points,
                                                int32_t count, const float* twiddles)
{
    Radix8Combine<false>(src, dstRe, dstIm, points, count, twiddles);
}

void SP_FFT_LN_OR3(SpFftRadix8CombineReImInv,
                   SpFftRadix8CombineInvPlanar)(const float* src, float* dstRe, float* dstIm, int64_t points,
                                                int32_t count, const float* twiddles)
{
    Radix8Combine<true>(src, dstRe, dstIm, points, count, twiddles);
}
#endif

// The same permutation for the other element widths; none changes a value.
void SP_FFT_LN_OR3(SpFftBitReverseCopy32, SpFftBitReverseCopy4)(const uint32_t* src, uint32_t* dst,
                                                                int64_t count, const uint32_t* table)
{
    BlockReverse<uint32_t>(src, dst, count, table, 131072);
}

void SP_FFT_LN_OR3(SpFftBitReverseInPlace32, SpFftBitReverseInPlace4)(uint32_t* data, int64_t count,
                                                                      const uint32_t* table)
{
    BlockReverse<uint32_t>(data, data, count, table, 131072);
}

void SP_FFT_LN_OR3(SpFftBitReverseCopyF64, SpFftBitReverseCopy8b)(const double* src, double* dst,
                                                                  int64_t count, const uint32_t* table)
{
    BlockReverse<double>(src, dst, count, table, 65536);
}

void SP_FFT_LN_OR3(SpFftBitReverseInPlaceF64, SpFftBitReverseInPlace8b)(double* data, int64_t count,
                                                                        const uint32_t* table)
{
    BlockReverse<double>(data, data, count, table, 65536);
}

void SP_FFT_LN_OR3(SpFftBitReverseCopy128, SpFftBitReverseCopy16)(const void* src, void* dst, int64_t count,
                                                                  const uint32_t* table)
{
    BlockReverse<Wide>(src, dst, count, table, 65536);
}

void SP_FFT_LN_OR3(SpFftBitReverseInPlace128, SpFftBitReverseInPlace16)(void* data, int64_t count,
                                                                        const uint32_t* table)
{
    BlockReverse<Wide>(data, data, count, table, 65536);
}

void SP_FFT_LN(SpFftLargeFwd)(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work)
{
    Large<false>(spec, src, dst, order, work);
}

void SP_FFT_LN(SpFftLargeInv)(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work)
{
    Large<true>(spec, src, dst, order, work);
}

void SP_FFT_LN(SpFftLargeFwdStep)(const SpFftSpec* spec, float* data, int32_t order, int32_t depth,
                                  float* work)
{
    LargeStep<false>(spec, data, order, depth, work);
}

void SP_FFT_LN(SpFftLargeInvStep)(const SpFftSpec* spec, float* data, int32_t order, int32_t depth,
                                  float* work)
{
    LargeStep<true>(spec, data, order, depth, work);
}

SpStatus SP_FFT_LN(SpCopyBytesChecked)(const void* src, void* dst, int32_t byteCount)
{
    if (!src || !dst)
    {
        return SpErrNullPointer;
    }
    if (byteCount < 1)
    {
        return SpErrBadLength;
    }
    SP_FFT_LN(SpCopyBytes)(src, dst, byteCount);
    return SpOk;
}

void SP_FFT_LN(SpFftBitReverseTile)(float* data, int64_t points, const int32_t* swapList)
{
    PairReverseInPlace<uint64_t>(data, points, swapList);
}

void SP_FFT_LN(SpFftBitReverseTiled)(float* data, int64_t points, const uint32_t* table, uint8_t* work)
{
    TiledReverse(data, points, table, work);
}

// The swap-list reversal for the other widths; the A and B bodies are one text.
void SP_FFT_LN_OR3(SpFftBitReverseTile32A, SpFftBitReversePairInPlace4)(uint32_t* data, int64_t count,
                                                                        const int32_t* swapList)
{
    PairReverseInPlace<uint32_t>(data, count, swapList);
}

void SP_FFT_LN_OR3(SpFftBitReverseTile32B, SpFftBitReversePairInPlace4b)(uint32_t* data, int64_t count,
                                                                         const int32_t* swapList)
{
    PairReverseInPlace<uint32_t>(data, count, swapList);
}

void SP_FFT_LN_OR3(SpFftBitReverseTile64A, SpFftBitReversePairInPlace8)(double* data, int64_t count,
                                                                        const int32_t* swapList)
{
    PairReverseInPlace<double>(data, count, swapList);
}

void SP_FFT_LN_OR3(SpFftBitReverseTile64B, SpFftBitReversePairInPlace8b)(double* data, int64_t count,
                                                                         const int32_t* swapList)
{
    PairReverseInPlace<double>(data, count, swapList);
}

void SP_FFT_LN_OR3(SpFftBitReverseTile128, SpFftBitReversePairInPlace16)(void* data, int64_t count,
                                                                         const int32_t* swapList)
{
    PairReverseInPlace<Wide>(data, count, swapList);
}

void SP_FFT_LN_OR3(SpFftBitReverseCopyPairs32, SpFftBitReversePairCopy4)(const uint32_t* src, uint32_t* dst,
                                                                         int64_t count,
                                                                         const int32_t* swapList)
{
    PairReverseCopy<uint32_t>(src, dst, count, swapList);
}

void SP_FFT_LN_OR3(SpFftBitReverseCopyPairs64, SpFftBitReversePairCopy8)(const double* src, double* dst,
                                                                         int64_t count,
                                                                         const int32_t* swapList)
{
    PairReverseCopy<double>(src, dst, count, swapList);
}

void SP_FFT_LN(SpFftLargeGatherBlock)(const float* src, void* work, int64_t stride, int64_t rows,
                                      int64_t rowLen)
{
    GatherRows(src, static_cast<float*>(work), stride, rows, rowLen);
}

void SP_FFT_LN(SpFftLargeScatterBlock)(float* dst, const void* work, int64_t stride, int64_t rows,
                                       int64_t rowLen, int32_t interleave)
{
    ScatterRows(dst, static_cast<const float*>(work), stride, rows, rowLen, interleave);
}

void SP_FFT_LN(SpFftLargeGatherPlanarBlock)(const float* re, const float* im, void* work, int64_t stride,
                                            int64_t rows, int64_t rowLen)
{
    GatherPlanarRows(re, im, static_cast<float*>(work), stride, rows, rowLen);
}

void SP_FFT_LN(SpFftLargeScatterPlanarBlock)(float* re, float* im, const void* work, int64_t stride,
                                             int64_t rows, int64_t rowLen)
{
    ScatterPlanarRows(re, im, static_cast<const float*>(work), stride, rows, rowLen);
}

void SP_FFT_LN(SpFftTwiddleRadix2Fwd)(const float* src, float* dst, int64_t span, int64_t groups,
                                      const float* twiddles)
{
    TwiddlePass<false, 2>(src, dst, span, groups, twiddles);
}

void SP_FFT_LN(SpFftTwiddleRadix2Inv)(const float* src, float* dst, int64_t span, int64_t groups,
                                      const float* twiddles)
{
    TwiddlePass<true, 2>(src, dst, span, groups, twiddles);
}

void SP_FFT_LN(SpFftTwiddleRadix4Fwd)(const float* src, float* dst, int64_t span, int64_t groups,
                                      const float* twiddles)
{
    TwiddlePass<false, 4>(src, dst, span, groups, twiddles);
}

void SP_FFT_LN(SpFftTwiddleRadix4Inv)(const float* src, float* dst, int64_t span, int64_t groups,
                                      const float* twiddles)
{
    TwiddlePass<true, 4>(src, dst, span, groups, twiddles);
}

void SP_FFT_LN(SpFftTwiddleRadix8Fwd)(float* data, float*, int64_t span, int64_t groups,
                                      const float* twiddles)
{
    TwiddlePass<false, 8>(data, data, span, groups, twiddles);
}

void SP_FFT_LN(SpFftTwiddleRadix8Inv)(float* data, float*, int64_t span, int64_t groups,
                                      const float* twiddles)
{
    TwiddlePass<true, 8>(data, data, span, groups, twiddles);
}

void SP_FFT_LN(SpSpectrumMulInPlace)(const float* src, float* srcdst, int64_t pairs)
{
    PairMul(src, srcdst, srcdst, pairs);
}

void SP_FFT_LN(SpSpectrumMul)(const float* src1, const float* src2, float* dst, int64_t pairs)
{
    PairMul(src1, src2, dst, pairs);
}

void SP_FFT_LN(SpFftRealKernelOrder1)(const float* x, float* y)
{
    const float x0 = x[0], x1 = x[1];
    y[0] = x0 + x1;
    y[1] = x0 - x1;
}

void SP_FFT_LN(SpFftRealKernelOrder1Scaled)(const float* x, float* y, float s)
{
    const float x0 = x[0], x1 = x[1];
    y[0] = (x0 + x1) * s;
    y[1] = (x0 - x1) * s;
}

void SP_FFT_LN(SpFftRealKernelFwdOrder2)(const float* x, float* y)
{
    RealFwd2(x[0] + x[2], x[1] + x[3], x[0] - x[2], x[3] - x[1], y);
}

void SP_FFT_LN(SpFftRealKernelFwdOrder2Scaled)(const float* x, float* y, float s)
{
    RealFwd2((x[0] + x[2]) * s, (x[1] + x[3]) * s, (x[0] - x[2]) * s, (x[3] - x[1]) * s, y);
}

void SP_FFT_LN(SpFftRealKernelInvOrder2)(const float* x, float* y)
{
    RealInv2(x[0] + x[1], x[0] - x[1], 2.0f * x[2], 2.0f * x[3], y);
}

void SP_FFT_LN(SpFftRealKernelInvOrder2Scaled)(const float* x, float* y, float s)
{
    RealInv2((x[0] + x[1]) * s, (x[0] - x[1]) * s, (2.0f * x[2]) * s, (2.0f * x[3]) * s, y);
}

void SP_FFT_LN(SpFftRealKernelFwdOrder3)(const float* x, float* y)
{
    RealFwd3(x[0] + x[4], x[0] - x[4], x[2] + x[6], x[2] - x[6], x[1] + x[5], x[1] - x[5], x[3] + x[7],
             x[3] - x[7], y);
}

void SP_FFT_LN(SpFftRealKernelFwdOrder3Scaled)(const float* x, float* y, float s)
{
    RealFwd3((x[0] + x[4]) * s, (x[0] - x[4]) * s, (x[2] + x[6]) * s, (x[2] - x[6]) * s, (x[1] + x[5]) * s,
             (x[1] - x[5]) * s, (x[3] + x[7]) * s, (x[3] - x[7]) * s, y);
}

void SP_FFT_LN(SpFftRealKernelInvOrder3)(const float* x, float* y)
{
    RealInv3(x[0] + x[1], x[0] - x[1], 2.0f * x[4], 2.0f * x[5], x[2] + x[6], x[2] - x[6], x[3] - x[7],
             x[3] + x[7], y);
}

void SP_FFT_LN(SpFftRealKernelInvOrder3Scaled)(const float* x, float* y, float s)
{
    RealInv3((x[0] + x[1]) * s, (x[0] - x[1]) * s, (2.0f * x[4]) * s, (2.0f * x[5]) * s, (x[2] + x[6]) * s,
             (x[2] - x[6]) * s, (x[3] - x[7]) * s, (x[3] + x[7]) * s, y);
}

void SP_FFT_LN(SpFftComplexKernelOrder2)(const float* src, float* dst)
{
    sp_fft_small::SmallDft4<false>(src, dst, 1.0f);
}

void SP_FFT_LN(SpFftComplexKernelOrder2Scaled)(const float* src, float* dst, float scale)
{
    sp_fft_small::SmallDft4<true>(src, dst, scale);
}

void SP_FFT_LN(SpFftComplexKernelOrder3)(const float* src, float* dst)
{
    sp_fft_small::SmallDft8<false>(src, dst, 1.0f);
}

void SP_FFT_LN(SpFftComplexKernelOrder3Scaled)(const float* src, float* dst, float scale)
{
    sp_fft_small::SmallDft8<true>(src, dst, scale);
}

#include "driver/primitives/fft/sp_fft_levels_entries-inl.h"
