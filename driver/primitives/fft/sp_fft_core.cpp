// The complex transform engine of the generic build: bit reversal over the swap-pair table, the
// radix-4 decimation-in-time cores of up to 1,024 points, the radix-2 combining passes, the
// column steps of the large orders and the small fixed-size kernels.
#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/fft/sp_fft_internal.h"
#include "driver/primitives/fft/sp_fft_quad.h"
#include "driver/primitives/fft/sp_fft_small_complex-inl.h"

namespace
{

using sp_fft_small::Add;
using sp_fft_small::Cplx;
using sp_fft_small::Load;
using sp_fft_small::Store;
using sp_fft_small::Sub;

inline Cplx Mul(Cplx a, Cplx b)
{
    return {a.Re * b.Re - a.Im * b.Im, a.Re * b.Im + a.Im * b.Re};
}
inline Cplx MulConj(Cplx a, Cplx b)
{
    return {a.Re * b.Re + a.Im * b.Im, a.Im * b.Re - a.Re * b.Im};
}
inline Cplx MulNegI(Cplx a)
{
    return {a.Im, -a.Re};
}
inline Cplx MulPosI(Cplx a)
{
    return {-a.Im, a.Re};
}

inline void SwapPoints(float* data, int64_t i, int64_t j)
{
    const float re = data[2 * i];
    const float im = data[2 * i + 1];
    data[2 * i] = data[2 * j];
    data[2 * i + 1] = data[2 * j + 1];
    data[2 * j] = re;
    data[2 * j + 1] = im;
}

inline void CopyPoint(const float* src, int64_t from, float* dst, int64_t to)
{
    dst[2 * to] = src[2 * from];
    dst[2 * to + 1] = src[2 * from + 1];
}

// Walks the swap-pair table: visit(x, y) for each pair of quads, then visit(x, x) for x = 0 and
// each self-reversed quad.
template <typename Visit> void WalkBitRevTable(const int32_t* table, Visit visit)
{
    int64_t i = 0;
    for (; table[i] != 0; i += 2)
    {
        visit(int64_t(table[i]) / 4, int64_t(table[i + 1]) / 4);
    }
    visit(0, 0);
    for (++i; table[i] != 0; ++i)
    {
        visit(int64_t(table[i]) / 4, int64_t(table[i]) / 4);
    }
}

// x times w (Mul), or times w's conjugate (MulConj), lane by lane in the same operations.
template <bool Inverse> inline SpFftQuad Rotate(SpFftQuad x, __m128 wRe, __m128 wIm)
{
    if (Inverse)
    {
        return {_mm_add_ps(_mm_mul_ps(x.Re, wRe), _mm_mul_ps(x.Im, wIm)),
                _mm_sub_ps(_mm_mul_ps(x.Im, wRe), _mm_mul_ps(x.Re, wIm))};
    }
    return {_mm_sub_ps(_mm_mul_ps(x.Re, wRe), _mm_mul_ps(x.Im, wIm)),
            _mm_add_ps(_mm_mul_ps(x.Re, wIm), _mm_mul_ps(x.Im, wRe))};
}

// One radix-4 stage forming blocks of `block` points (quarters hold the residues 0, 2, 1, 3 of
// bit-reversed data). Inverse: conjugate factors and the opposite quarter rotation. Four
// butterflies go at once, one to a lane, each with exactly the operations of the one-point
// form, so the results do not depend on the grouping. Every stage has quarters of at least
// four points: the first stage (blocks of 4) and the odd orders' radix-2 stage come before.
template <bool Inverse> void Radix4Stage(float* data, int64_t points, int64_t block, const float* twiddles)
{
    const int64_t quarter = block / 4;
    const int64_t stride = points / block;
    for (int64_t base = 0; base < points; base += block)
    {
        float* q0 = data + 2 * base;
        float* q1 = q0 + 2 * quarter;
        float* q2 = q1 + 2 * quarter;
        float* q3 = q2 + 2 * quarter;
        for (int64_t k = 0; k < quarter; k += 4)
        {
            // Each twiddle entry holds w1, w2 and w3 of its point: six floats.
            const float* w = twiddles + 6 * (k * stride);
            const int64_t step = 6 * stride;
            __m128 r0 = _mm_loadu_ps(w);
            __m128 r1 = _mm_loadu_ps(w + step);
            __m128 r2 = _mm_loadu_ps(w + 2 * step);
            __m128 r3 = _mm_loadu_ps(w + 3 * step);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3); // w1.re, w1.im, w2.re, w2.im in lanes
            const __m128 w3a =
                _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(w + 4)),
                             reinterpret_cast<const __m64*>(w + step + 4));
            const __m128 w3b =
                _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(w + 2 * step + 4)),
                             reinterpret_cast<const __m64*>(w + 3 * step + 4));
            const __m128 w3Re = _mm_shuffle_ps(w3a, w3b, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 w3Im = _mm_shuffle_ps(w3a, w3b, _MM_SHUFFLE(3, 1, 3, 1));

            const SpFftQuad a = SpFftLoadQuad(q0 + 2 * k);
            const SpFftQuad b = Rotate<Inverse>(SpFftLoadQuad(q1 + 2 * k), r2, r3);
            const SpFftQuad c = Rotate<Inverse>(SpFftLoadQuad(q2 + 2 * k), r0, r1);
            const SpFftQuad d = Rotate<Inverse>(SpFftLoadQuad(q3 + 2 * k), w3Re, w3Im);
            const SpFftQuad s0 = {_mm_add_ps(a.Re, b.Re), _mm_add_ps(a.Im, b.Im)};
            const SpFftQuad s1 = {_mm_sub_ps(a.Re, b.Re), _mm_sub_ps(a.Im, b.Im)};
            const SpFftQuad t0 = {_mm_add_ps(c.Re, d.Re), _mm_add_ps(c.Im, d.Im)};
            const SpFftQuad u = {_mm_sub_ps(c.Re, d.Re), _mm_sub_ps(c.Im, d.Im)};
            SpFftStoreQuad(q0 + 2 * k, {_mm_add_ps(s0.Re, t0.Re), _mm_add_ps(s0.Im, t0.Im)});
            SpFftStoreQuad(q2 + 2 * k, {_mm_sub_ps(s0.Re, t0.Re), _mm_sub_ps(s0.Im, t0.Im)});
            // u times -i forward, +i inverse; adding -x is subtracting x, bit for bit.
            if (Inverse)
            {
                SpFftStoreQuad(q1 + 2 * k, {_mm_sub_ps(s1.Re, u.Im), _mm_add_ps(s1.Im, u.Re)});
                SpFftStoreQuad(q3 + 2 * k, {_mm_add_ps(s1.Re, u.Im), _mm_sub_ps(s1.Im, u.Re)});
            }
            else
            {
                SpFftStoreQuad(q1 + 2 * k, {_mm_add_ps(s1.Re, u.Im), _mm_sub_ps(s1.Im, u.Re)});
                SpFftStoreQuad(q3 + 2 * k, {_mm_sub_ps(s1.Re, u.Im), _mm_add_ps(s1.Im, u.Re)});
            }
        }
    }
}

// First stage: 4-point butterflies, no twiddles.
template <bool Inverse> void Radix4First(float* data, int64_t points)
{
    for (int64_t base = 0; base < points; base += 4)
    {
        float* p = data + 2 * base;
        const Cplx a = Load(p);
        const Cplx b = Load(p + 2);
        const Cplx c = Load(p + 4);
        const Cplx d = Load(p + 6);
        const Cplx s0 = Add(a, b);
        const Cplx s1 = Sub(a, b);
        const Cplx t0 = Add(c, d);
        const Cplx t1 = Inverse ? MulPosI(Sub(c, d)) : MulNegI(Sub(c, d));
        Store(p, Add(s0, t0));
        Store(p + 2, Add(s1, t1));
        Store(p + 4, Sub(s0, t0));
        Store(p + 6, Sub(s1, t1));
    }
}

// Odd orders: one radix-2 stage from blocks of 4 to blocks of 8. Its factors e^(-2 pi i k / 8)
// for k = 1 .. 3 are the three factors of radix-4 entry M/8.
template <bool Inverse> void Radix2Eight(float* data, int64_t points, const float* twiddles)
{
    const float* w = twiddles + 6 * (points / 8);
    const Cplx factors[4] = {{1.0f, 0.0f}, {w[0], w[1]}, {w[2], w[3]}, {w[4], w[5]}};
    for (int64_t base = 0; base < points; base += 8)
    {
        float* p = data + 2 * base;
        for (int64_t k = 0; k < 4; ++k)
        {
            const Cplx wk = factors[k];
            const Cplx e = Load(p + 2 * k);
            const Cplx o = Inverse ? MulConj(Load(p + 2 * (k + 4)), wk) : Mul(Load(p + 2 * (k + 4)), wk);
            Store(p + 2 * k, Add(e, o));
            Store(p + 2 * (k + 4), Sub(e, o));
        }
    }
}

template <bool Inverse> void Radix4Core(float* data, int32_t points, const float* twiddles)
{
    if (points < 4)
    {
        return;
    }
    Radix4First<Inverse>(data, points);
    int64_t block = 16;
    int32_t order = 0;
    while ((int64_t(1) << order) < points)
    {
        ++order;
    }
    if (order % 2 == 1)
    {
        Radix2Eight<Inverse>(data, points, twiddles);
        block = 32;
    }
    for (; block <= points; block *= 4)
    {
        Radix4Stage<Inverse>(data, points, block, twiddles);
    }
}

// Pairs of adjacent blocks (a, b) become (a + w^k b, a - w^k b), w = e^(-2 pi i / 2B); factors
// for k >= B/2 are -i times those for k - B/2, so the table needs only a quarter wave.
template <bool Inverse>
void Radix2Passes(float* data, int64_t points, int64_t firstBlock, const float* twiddles)
{
    for (int64_t block = firstBlock; block < points; block *= 2)
    {
        const int64_t stride = points / (2 * block);
        for (int64_t base = 0; base < points; base += 2 * block)
        {
            float* a = data + 2 * base;
            float* b = a + 2 * block;
            for (int64_t k = 0; k < block; ++k)
            {
                const int64_t j = k < block / 2 ? k : k - block / 2;
                Cplx w = {twiddles[2 * j * stride], twiddles[2 * j * stride + 1]};
                if (k >= block / 2)
                {
                    w = MulNegI(w);
                }
                const Cplx t = Inverse ? MulConj(Load(b + 2 * k), w) : Mul(Load(b + 2 * k), w);
                const Cplx u = Load(a + 2 * k);
                Store(a + 2 * k, Add(u, t));
                Store(b + 2 * k, Sub(u, t));
            }
        }
    }
}

// An unsplit large order: 1,024-point blocks through the core, then the combining passes.
template <bool Inverse> void LargeBlocks(const SpFftSpec* spec, float* data, int32_t order, bool scale)
{
    const int64_t points = int64_t(1) << order;
    for (int64_t base = 0; base < points; base += 1024)
    {
        Radix4Core<Inverse>(data + 2 * base, 1024, spec->Radix4);
        if (scale)
        {
            SpFftScale(data + 2 * base, 2048, spec->Scale);
        }
    }
    if (Inverse)
    {
        SpFftRadix2PassInv(data, int32_t(points), 1024, spec->ComplexTwiddles);
    }
    else
    {
        SpFftRadix2PassFwd(data, int32_t(points), 1024, spec->ComplexTwiddles);
    }
}

// Each group of four columns (points c + j R) is twiddled by e^(-2 pi i c rev(j) / M), transformed
// as S-point vectors in the scratch and written back.
template <bool Inverse>
void ColumnPass(const SpFftSpec* spec, float* data, int64_t rows, int64_t columns, int32_t depth,
                float* scratch)
{
    const float* twiddles = spec->ColumnTwiddles[depth];
    for (int64_t group = 0; group < columns / 4; ++group)
    {
        const float* tw = twiddles + 8 * rows * group;
        for (int64_t row = 0; row < rows; ++row)
        {
            for (int64_t c = 0; c < 4; ++c)
            {
                const Cplx w = {tw[8 * row + 2 * c], tw[8 * row + 2 * c + 1]};
                const Cplx x = Load(data + 2 * (row * columns + 4 * group + c));
                Store(scratch + 2 * (c * rows + row), Inverse ? MulConj(x, w) : Mul(x, w));
            }
        }
        for (int64_t c = 0; c < 4; ++c)
        {
            Radix4Core<Inverse>(scratch + 2 * c * rows, int32_t(rows), spec->ColumnRadix4[depth]);
        }
        for (int64_t row = 0; row < rows; ++row)
        {
            for (int64_t c = 0; c < 4; ++c)
            {
                CopyPoint(scratch, c * rows + row, data, row * columns + 4 * group + c);
            }
        }
    }
}

// Split order: the S sub-vectors of R points first (they arrive bit-reversed), then the columns.
// The split table never nests deeper than the spec record has table slots.
template <bool Inverse, int32_t Depth>
void LargeStep(const SpFftSpec* spec, float* data, int32_t order, float* scratch)
{
    const int32_t split = SpFftSplitOrder(order);
    const int32_t inner = order - split;
    const int64_t rows = int64_t(1) << split;
    const int64_t columns = int64_t(1) << inner;
    const bool scale = Inverse ? spec->InvScaleOn != 0 : spec->FwdScaleOn != 0;
    for (int64_t row = 0; row < rows; ++row)
    {
        float* sub = data + 2 * row * columns;
        if (inner <= 10)
        {
            Radix4Core<Inverse>(sub, int32_t(columns), spec->Radix4);
            if (scale)
            {
                SpFftScale(sub, 2 * columns, spec->Scale);
            }
        }
        else if (SpFftSplitOrder(inner) == 0)
        {
            LargeBlocks<Inverse>(spec, sub, inner, scale);
        }
        else if constexpr (Depth + 1 < SpFftMaxDepth)
        {
            LargeStep<Inverse, Depth + 1>(spec, sub, inner, scratch);
        }
    }
    ColumnPass<Inverse>(spec, data, rows, columns, Depth, scratch);
}

template <bool Inverse>
void LargeStepFrom(const SpFftSpec* spec, float* data, int32_t order, int32_t depth, float* scratch)
{
    switch (depth)
    {
    case 0:
        LargeStep<Inverse, 0>(spec, data, order, scratch);
        break;
    case 1:
        LargeStep<Inverse, 1>(spec, data, order, scratch);
        break;
    default:
        LargeStep<Inverse, 2>(spec, data, order, scratch);
        break;
    }
}

template <bool Inverse>
void Large(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* scratch)
{
    const int32_t points = int32_t(int64_t(1) << order);
    if (src == dst)
    {
        SpFftBitReverseInPlace(dst, points, spec->BitRev);
    }
    else
    {
        SpFftBitReverseCopy(src, dst, points, spec->BitRev);
    }
    if (SpFftSplitOrder(order) == 0)
    {
        LargeBlocks<Inverse>(spec, dst, order, Inverse ? spec->InvScaleOn != 0 : spec->FwdScaleOn != 0);
    }
    else
    {
        LargeStep<Inverse, 0>(spec, dst, order, scratch);
    }
}

bool IsFlag(int32_t flag)
{
    return flag == SpFftDivFwdByN || flag == SpFftDivInvByN || flag == SpFftDivBySqrtN ||
           flag == SpFftNoDivide;
}

bool FitsInt32(const SpFftSizes& sizes)
{
    return sizes.Spec <= INT32_MAX && sizes.Init <= INT32_MAX && sizes.Work <= INT32_MAX;
}

} // namespace

void SpFftScale(float* data, int64_t count, float scale)
{
    for (int64_t i = 0; i < count; ++i)
    {
        data[i] *= scale;
    }
}

bool SpFftAcquireScratch(const SpFftSpec* spec, uint8_t* buffer, float** pScratch, void** pOwned)
{
    *pOwned = nullptr;
    *pScratch = nullptr;
    if (spec->WorkBytes <= 0)
    {
        return true;
    }
    if (buffer)
    {
        *pScratch = reinterpret_cast<float*>(SpFftAlignUp32(buffer));
        return true;
    }
    *pOwned = SpAlignedMalloc(spec->WorkBytes);
    *pScratch = static_cast<float*>(*pOwned);
    return *pOwned != nullptr;
}

void SpFftReleaseScratch(void* owned)
{
    SpAlignedFree(owned);
}

SpStatus SpFftGetSizeOf(SpFftSizesOf sizesOf, int32_t order, int32_t flag, int32_t* pSpecBytes,
                        int32_t* pInitBytes, int32_t* pWorkBytes)
{
    if (order < 0 || order > SpFftMaxOrder)
    {
        return SpErrFftOrder;
    }
    if (!pSpecBytes || !pInitBytes || !pWorkBytes)
    {
        return SpErrNullPointer;
    }
    if (!IsFlag(flag))
    {
        return SpErrFftFlag;
    }
    const SpFftSizes sizes = sizesOf(order);
    if (!FitsInt32(sizes))
    {
        // The largest orders need more memory than a 32-bit count can describe: a valid order
        // whose tables cannot be had is a shortage of memory, not a bad order.
        return SpErrNoMemory;
    }
    *pSpecBytes = int32_t(sizes.Spec);
    *pInitBytes = int32_t(sizes.Init);
    *pWorkBytes = int32_t(sizes.Work);
    return SpOk;
}

SpStatus SpFftBeginInit(SpFftSizesOf sizesOf, SpFftZeroFn zeroHeader, int32_t kind, SpFftSpec** ppSpec,
                        int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer, uint8_t* initBuffer,
                        SpFftSpec** pRecord)
{
    if (!ppSpec)
    {
        return SpErrNullPointer;
    }
    if (order < 0 || order > SpFftMaxOrder)
    {
        return SpErrFftOrder;
    }
    if (!specBuffer)
    {
        return SpErrNullPointer;
    }
    if (!FitsInt32(sizesOf(order)))
    {
        return SpErrNoMemory;
    }
    auto* record = reinterpret_cast<SpFftSpec*>(SpFftAlignUp32(specBuffer));
    zeroHeader(record, int32_t(sizeof(SpFftSpec)));
    if (!SpFftFillHeader(record, kind, order, flag, hint))
    {
        return SpErrFftFlag;
    }
    if (order >= 11 && !initBuffer)
    {
        return SpErrNullPointer; // the large orders compute their sine table there
    }
    *pRecord = record;
    return SpOk;
}

SpStatus SpFftCreateWith(SpFftGetSizeFn getSize, SpFftInitFn init, SpFftSpec** ppSpec, int32_t order,
                         int32_t flag, int32_t hint)
{
    if (!ppSpec)
    {
        return SpErrNullPointer;
    }
    int32_t specBytes, initBytes, workBytes;
    SpStatus status = getSize(order, flag, hint, &specBytes, &initBytes, &workBytes);
    if (status != SpOk)
    {
        return status;
    }
    auto* block = static_cast<uint8_t*>(SpAlignedMalloc(specBytes));
    if (!block)
    {
        return SpErrNoMemory;
    }
    uint8_t* initBuffer = nullptr;
    if (initBytes > 0)
    {
        initBuffer = static_cast<uint8_t*>(SpAlignedMalloc(initBytes));
        if (!initBuffer)
        {
            SpAlignedFree(block);
            return SpErrNoMemory;
        }
    }
    SpFftSpec* spec = nullptr;
    status = init(&spec, order, flag, hint, block, initBuffer);
    SpAlignedFree(initBuffer); // the init tables are needed only while the record is built
    if (status != SpOk)
    {
        SpAlignedFree(block);
        return status;
    }
    spec->OwnsMemory = 1;
    *ppSpec = spec;
    return SpOk;
}

SpStatus SpFftFreeOf(SpFftSpec* spec, int32_t kind)
{
    if (!spec)
    {
        return SpErrNullPointer;
    }
    if (spec->Kind != kind)
    {
        return SpErrStateMismatch;
    }
    spec->Kind = SpFftKindNone;
    if (spec->OwnsMemory == 1)
    {
        SpAlignedFree(spec); // a created record starts its (32-byte aligned) block
    }
    return SpOk;
}

SpStatus SpFftCheckTransform(const SpFftSpec* spec, int32_t kind, const void* src, const void* dst)
{
    if (!spec)
    {
        return SpErrNullPointer;
    }
    if (spec->Kind != kind || spec->Level != SpFftBuildLevel || spec->Order < 0 ||
        spec->Order > SpFftMaxOrder)
    {
        return SpErrStateMismatch;
    }
    if (!src || !dst)
    {
        return SpErrNullPointer;
    }
    return SpOk;
}

uint8_t* SpFftBuildComplexTables(SpFftSpec* spec, int32_t order, SpFftSine sine, uint8_t* pos)
{
    if (order > 10)
    {
        return SpFftInitLargeTables(spec, order, sine, pos);
    }
    spec->BitRev = reinterpret_cast<const int32_t*>(pos);
    pos = SpFftBuildBitRevTable(pos, order);
    spec->Radix4 = reinterpret_cast<const float*>(pos);
    return SpFftBuildRadix4Twiddles(pos, order, sine);
}

void SpFftComplexFwdCore(const SpFftSpec* spec, const float* in, float* out, int32_t order, float* scratch)
{
    if (order > 10)
    {
        SpFftLargeFwd(spec, in, out, order, scratch);
        return;
    }
    const int32_t points = int32_t(int64_t(1) << order);
    if (in == out)
    {
        SpFftBitReverseInPlace(out, points, spec->BitRev);
    }
    else
    {
        SpFftBitReverseCopy(in, out, points, spec->BitRev);
    }
    SpFftRadix4Fwd(out, points, spec->Radix4);
    if (spec->FwdScaleOn)
    {
        SpFftScale(out, 2 * int64_t(points), spec->Scale);
    }
}

void SpFftBitReverseCopy(const float* src, float* dst, int32_t points, const int32_t* table)
{
    if (points < 8)
    {
        for (int32_t p = 0; p < points; ++p)
        {
            CopyPoint(src, p, dst, p);
        }
        if (points == 4)
        {
            CopyPoint(src, 2, dst, 1);
            CopyPoint(src, 1, dst, 2);
        }
        return;
    }
    const int64_t half = points / 2;
    WalkBitRevTable(table,
                    [&](int64_t x, int64_t y)
                    {
                        CopyPoint(src, 2 * y, dst, 2 * x);
                        CopyPoint(src, half + 2 * y, dst, 2 * x + 1);
                        CopyPoint(src, 2 * y + 1, dst, half + 2 * x);
                        CopyPoint(src, half + 2 * y + 1, dst, half + 2 * x + 1);
                        if (x != y)
                        {
                            CopyPoint(src, 2 * x, dst, 2 * y);
                            CopyPoint(src, half + 2 * x, dst, 2 * y + 1);
                            CopyPoint(src, 2 * x + 1, dst, half + 2 * y);
                            CopyPoint(src, half + 2 * x + 1, dst, half + 2 * y + 1);
                        }
                    });
}

void SpFftBitReverseInPlace(float* data, int32_t points, const int32_t* table)
{
    if (points < 4)
    {
        return;
    }
    const int64_t half = points / 2;
    WalkBitRevTable(table,
                    [&](int64_t x, int64_t y)
                    {
                        if (x != y)
                        {
                            SwapPoints(data, 2 * x, 2 * y);
                            SwapPoints(data, 2 * x + 1, half + 2 * y);
                            SwapPoints(data, half + 2 * x, 2 * y + 1);
                            SwapPoints(data, half + 2 * x + 1, half + 2 * y + 1);
                        }
                        else
                        {
                            SwapPoints(data, 2 * x + 1, half + 2 * x);
                        }
                    });
}

void SpFftRadix4Fwd(float* data, int32_t points, const float* twiddles)
{
    Radix4Core<false>(data, points, twiddles);
}

void SpFftRadix4Inv(float* data, int32_t points, const float* twiddles)
{
    Radix4Core<true>(data, points, twiddles);
}

void SpFftRadix2PassFwd(float* data, int32_t points, int32_t firstBlock, const float* twiddles)
{
    Radix2Passes<false>(data, points, firstBlock, twiddles);
}

void SpFftRadix2PassInv(float* data, int32_t points, int32_t firstBlock, const float* twiddles)
{
    Radix2Passes<true>(data, points, firstBlock, twiddles);
}

void SpFftLargeFwd(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* scratch)
{
    Large<false>(spec, src, dst, order, scratch);
}

void SpFftLargeInv(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* scratch)
{
    Large<true>(spec, src, dst, order, scratch);
}

void SpFftLargeFwdStep(const SpFftSpec* spec, float* data, int32_t order, int32_t depth, float* scratch)
{
    LargeStepFrom<false>(spec, data, order, depth, scratch);
}

void SpFftLargeInvStep(const SpFftSpec* spec, float* data, int32_t order, int32_t depth, float* scratch)
{
    LargeStepFrom<true>(spec, data, order, depth, scratch);
}

void SpFftComplexKernelOrder0(const float* src, float* dst)
{
    CopyPoint(src, 0, dst, 0);
}

void SpFftComplexKernelOrder0Scaled(const float* src, float* dst, float scale)
{
    Store(dst, {src[0] * scale, src[1] * scale});
}

void SpFftComplexKernelOrder1(const float* src, float* dst)
{
    const Cplx x0 = Load(src), x1 = Load(src + 2);
    Store(dst, Add(x0, x1));
    Store(dst + 2, Sub(x0, x1));
}

void SpFftComplexKernelOrder1Scaled(const float* src, float* dst, float scale)
{
    const Cplx x0 = Load(src), x1 = Load(src + 2);
    const Cplx s = Add(x0, x1), d = Sub(x0, x1);
    Store(dst, {s.Re * scale, s.Im * scale});
    Store(dst + 2, {d.Re * scale, d.Im * scale});
}

void SpFftComplexKernelOrder2(const float* src, float* dst)
{
    sp_fft_small::SmallDft4<false>(src, dst, 1.0f);
}

void SpFftComplexKernelOrder2Scaled(const float* src, float* dst, float scale)
{
    sp_fft_small::SmallDft4<true>(src, dst, scale);
}

void SpFftComplexKernelOrder3(const float* src, float* dst)
{
    sp_fft_small::SmallDft8<false>(src, dst, 1.0f);
}

void SpFftComplexKernelOrder3Scaled(const float* src, float* dst, float scale)
{
    sp_fft_small::SmallDft8<true>(src, dst, scale);
}
