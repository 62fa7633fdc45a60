// Real FFT of the generic build: N real samples to the packed half spectrum and back. Orders 4
// and above run a complex transform of N/2 points and a split (forward) or merge (inverse)
// step; orders 0 to 3 run the kernels of the kernel table's level-0 column, whose order-0 pair
// serves every level. Also the packed-spectrum products.
#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/dispatch/sp_memory.h"
#include "driver/primitives/fft/sp_fft_internal.h"
#include "driver/primitives/fft/sp_fft_quad.h"
#include "driver/primitives/level1/sp_fft_level1.h"

namespace
{
constexpr float kSqrtHalf = 0.70710678118654752f;
} // namespace

// ---- Kernels of orders 0 to 3 (src may equal dst; every input is read before any store) ----

void SpFftRealKernelOrder0(const float* src, float* dst)
{
    dst[0] = src[0];
}

void SpFftRealKernelOrder0Scaled(const float* src, float* dst, float scale)
{
    dst[0] = src[0] * scale;
}

void SpFftRealKernelOrder1Scaled(const float* src, float* dst, float scale)
{
    const float x0 = src[0] * scale, x1 = src[1] * scale;
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
}

void SpFftRealKernelFwdOrder2Scaled(const float* src, float* dst, float scale)
{
    const float x0 = src[0] * scale, x1 = src[1] * scale, x2 = src[2] * scale, x3 = src[3] * scale;
    dst[0] = (x0 + x2) + (x1 + x3);
    dst[1] = (x0 + x2) - (x1 + x3);
    dst[2] = x0 - x2;
    dst[3] = x3 - x1;
}

void SpFftRealKernelInvOrder2Scaled(const float* src, float* dst, float scale)
{
    const float r0 = src[0] * scale, r2 = src[1] * scale, r1 = src[2] * scale, i1 = src[3] * scale;
    const float a = r0 + r2, b = r0 - r2;
    dst[0] = a + 2.0f * r1;
    dst[1] = b - 2.0f * i1;
    dst[2] = a - 2.0f * r1;
    dst[3] = b + 2.0f * i1;
}

// Eight points as two 4-point halves (even and odd samples) and one radix-2 step.
void SpFftRealKernelFwdOrder3Scaled(const float* src, float* dst, float scale)
{
    float x[8];
    for (int k = 0; k < 8; ++k)
    {
        x[k] = src[k] * scale;
    }
    const float a = x[0] + x[4], b = x[0] - x[4], c = x[2] + x[6], d = x[2] - x[6];
    const float e = x[1] + x[5], f = x[1] - x[5], g = x[3] + x[7], h = x[3] - x[7];
    const float fh = kSqrtHalf * (f - h), fs = kSqrtHalf * (f + h);
    dst[0] = (a + c) + (e + g);
    dst[1] = (a + c) - (e + g);
    dst[2] = b + fh;
    dst[3] = -d - fs;
    dst[4] = a - c;
    dst[5] = g - e;
    dst[6] = b - fh;
    dst[7] = d - fs;
}

void SpFftRealKernelInvOrder3Scaled(const float* src, float* dst, float scale)
{
    float s[8];
    for (int k = 0; k < 8; ++k)
    {
        s[k] = src[k] * scale;
    }
    const float r0 = s[0], r4 = s[1], r1 = s[2], i1 = s[3], r2 = s[4], i2 = s[5], r3 = s[6], i3 = s[7];
    // Even samples from P_k = X_k + X_(k+4), odd ones from Q_k = (X_k - X_(k+4)) e^(i pi k / 4).
    const float p0 = r0 + r4, p2 = 2.0f * r2, p1r = r1 + r3, p1i = i1 - i3;
    const float q0 = r0 - r4, q2 = -2.0f * i2;
    const float ur = r1 - r3, ui = i1 + i3;
    const float q1r = kSqrtHalf * (ur - ui), q1i = kSqrtHalf * (ur + ui);
    dst[0] = (p0 + p2) + 2.0f * p1r;
    dst[2] = (p0 - p2) - 2.0f * p1i;
    dst[4] = (p0 + p2) - 2.0f * p1r;
    dst[6] = (p0 - p2) + 2.0f * p1i;
    dst[1] = (q0 + q2) + 2.0f * q1r;
    dst[3] = (q0 - q2) - 2.0f * q1i;
    dst[5] = (q0 + q2) - 2.0f * q1r;
    dst[7] = (q0 - q2) + 2.0f * q1i;
}

// Multiplying by exactly 1 changes nothing, so the unscaled kernels are the scaled ones at 1.
void SpFftRealKernelOrder1(const float* src, float* dst)
{
    SpFftRealKernelOrder1Scaled(src, dst, 1.0f);
}

void SpFftRealKernelFwdOrder2(const float* src, float* dst)
{
    SpFftRealKernelFwdOrder2Scaled(src, dst, 1.0f);
}

void SpFftRealKernelFwdOrder3(const float* src, float* dst)
{
    SpFftRealKernelFwdOrder3Scaled(src, dst, 1.0f);
}

void SpFftRealKernelInvOrder2(const float* src, float* dst)
{
    SpFftRealKernelInvOrder2Scaled(src, dst, 1.0f);
}

void SpFftRealKernelInvOrder3(const float* src, float* dst)
{
    SpFftRealKernelInvOrder3Scaled(src, dst, 1.0f);
}

namespace
{

SpFftSizes RealSizes(int32_t order)
{
    if (order <= 3)
    {
        return {168, 0, 0};
    }
    const int32_t half = order - 1;
    const int64_t points = int64_t(1) << order;
    const int64_t halfPoints = points / 2;
    SpFftLargeSizes large = {0, 0, 0};
    int64_t core = SpFftRoundUp32(8 * halfPoints + 8);
    if (half >= 11)
    {
        large = SpFftGetLargeBufferSize(half);
        core = large.Spec;
    }
    SpFftSizes sizes;
    sizes.Spec = 192 + core + SpFftRoundUp32(halfPoints + 4) + 2 * SpFftRoundUp32(2 * points);
    sizes.Init = order <= 10 ? 0 : SpFftRoundUp32(points + 4) + 32 + large.Init;
    sizes.Work = large.Work > 0 ? large.Work + 32 : 0;
    return sizes;
}

// Turns the half-length transform Z of the even/odd samples into the packed spectrum.
void SpFftRealFwdPostProcess(float* data, int64_t halfPoints, const float* split)
{
    const float a = data[0], b = data[1];
    data[0] = a + b;
    data[1] = a - b;
    // Four k at a time (their partners below halfPoints - k never reach the quad), then the
    // rest one by one; both forms do the same operations per point.
    int64_t k = 1;
    for (; k + 3 < halfPoints / 2; k += 4)
    {
        float* zk = data + 2 * k;
        float* zm = data + 2 * (halfPoints - k - 3);
        const SpFftQuad x = SpFftLoadQuad(zk);
        const SpFftQuad y = SpFftLoadQuadReversed(zm);
        const SpFftQuad w = SpFftLoadQuad(split + 2 * k);
        const __m128 d = _mm_sub_ps(x.Re, y.Re);
        const __m128 e = _mm_add_ps(x.Im, y.Im);
        const __m128 t = _mm_add_ps(_mm_mul_ps(w.Im, d), _mm_mul_ps(w.Re, e));
        const __m128 u = _mm_sub_ps(_mm_mul_ps(w.Im, e), _mm_mul_ps(w.Re, d));
        SpFftStoreQuad(zk, {_mm_add_ps(y.Re, t), _mm_sub_ps(u, y.Im)});
        SpFftStoreQuadReversed(zm, {_mm_sub_ps(x.Re, t), _mm_sub_ps(u, x.Im)});
    }
    for (; k < halfPoints / 2; ++k)
    {
        float* zk = data + 2 * k;
        float* zm = data + 2 * (halfPoints - k);
        const float xr = zk[0], xi = zk[1], yr = zm[0], yi = zm[1];
        const float p = split[2 * k], q = split[2 * k + 1];
        const float d = xr - yr, e = xi + yi;
        const float t = q * d + p * e;
        const float u = q * e - p * d;
        zk[0] = yr + t;
        zk[1] = u - yi;
        zm[0] = xr - t;
        zm[1] = u - xi;
    }
    data[2 * (halfPoints / 2) + 1] = -data[2 * (halfPoints / 2) + 1];
}

// Turns a packed spectrum into the half-length spectrum whose inverse interleaves the samples.
void SpFftRealInvPreProcess(const float* src, float* dst, int64_t halfPoints, const float* merge)
{
    const float r0 = src[0], rn = src[1];
    dst[0] = r0 + rn;
    dst[1] = r0 - rn;
    int64_t k = 1;
    for (; k + 3 < halfPoints / 2; k += 4)
    {
        const SpFftQuad a = SpFftLoadQuad(src + 2 * k);
        const SpFftQuad b = SpFftLoadQuadReversed(src + 2 * (halfPoints - k - 3));
        const SpFftQuad w = SpFftLoadQuad(merge + 2 * k); // c in Re, s in Im
        const __m128 dr = _mm_sub_ps(a.Re, b.Re);
        const __m128 si = _mm_add_ps(a.Im, b.Im);
        const __m128 t1 = _mm_sub_ps(_mm_mul_ps(w.Im, dr), _mm_mul_ps(w.Re, si));
        const __m128 t2 = _mm_add_ps(_mm_mul_ps(w.Re, dr), _mm_mul_ps(w.Im, si));
        const __m128 sr = _mm_add_ps(a.Re, b.Re);
        const __m128 di = _mm_sub_ps(a.Im, b.Im);
        SpFftStoreQuad(dst + 2 * k, {_mm_add_ps(sr, t1), _mm_add_ps(di, t2)});
        SpFftStoreQuadReversed(dst + 2 * (halfPoints - k - 3), {_mm_sub_ps(sr, t1), _mm_sub_ps(t2, di)});
    }
    for (; k < halfPoints / 2; ++k)
    {
        const float* sk = src + 2 * k;
        const float* sm = src + 2 * (halfPoints - k);
        const float r1 = sk[0], i1 = sk[1], r2 = sm[0], i2 = sm[1];
        const float c = merge[2 * k], s = merge[2 * k + 1];
        const float t1 = s * (r1 - r2) - c * (i1 + i2);
        const float t2 = c * (r1 - r2) + s * (i1 + i2);
        dst[2 * k] = r1 + r2 + t1;
        dst[2 * k + 1] = i1 - i2 + t2;
        dst[2 * (halfPoints - k)] = r1 + r2 - t1;
        dst[2 * (halfPoints - k) + 1] = t2 - (i1 - i2);
    }
    const int64_t mid = 2 * (halfPoints / 2);
    dst[mid] = 2.0f * src[mid];
    dst[mid + 1] = -2.0f * src[mid + 1];
}

void MulPack(const float* src1, const float* src2, float* dst, int32_t len)
{
    dst[0] = src1[0] * src2[0];
    int32_t first = 1;
    if (len % 2 == 0)
    {
        dst[1] = src1[1] * src2[1];
        first = 2;
    }
    int32_t i = first;
    for (; i + 7 < len; i += 8)
    {
        const SpFftQuad x = SpFftLoadQuad(src1 + i);
        const SpFftQuad y = SpFftLoadQuad(src2 + i);
        SpFftStoreQuad(dst + i, {_mm_sub_ps(_mm_mul_ps(x.Re, y.Re), _mm_mul_ps(x.Im, y.Im)),
                                 _mm_add_ps(_mm_mul_ps(x.Re, y.Im), _mm_mul_ps(x.Im, y.Re))});
    }
    for (; i + 1 < len; i += 2)
    {
        const float a = src1[i], b = src1[i + 1], c = src2[i], d = src2[i + 1];
        dst[i] = a * c - b * d;
        dst[i + 1] = a * d + b * c;
    }
}

} // namespace

static SpStatus FwdRealToPackL0(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);
static SpStatus InvPackToRealL0(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer);

SpStatus SpFftRealGetSize_L0(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
                             int32_t* pInitBytes, int32_t* pWorkBytes)
{
    return SpFftGetSizeOf(RealSizes, order, flag, pSpecBytes, pInitBytes, pWorkBytes);
}

SpStatus SpFftRealInit_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                          uint8_t* initBuffer)
{
    SpFftSpec* spec = nullptr;
    const SpStatus status = SpFftBeginInit(RealSizes, SpZeroBuffer, SpFftKindReal, ppSpec, order, flag, hint,
                                           specBuffer, initBuffer, &spec);
    if (status != SpOk)
    {
        return status;
    }
    if (order >= 4)
    {
        // The complex half-length tables first, then the split and merge twiddles of the full order.
        const SpFftSine sine = SpFftSineFor(order, initBuffer);
        uint8_t* pos = reinterpret_cast<uint8_t*>(spec) + SpFftHeaderBytes;
        pos = SpFftBuildComplexTables(spec, order - 1, sine, pos);
        spec->RealSplit = reinterpret_cast<const float*>(pos);
        pos = SpFftBuildRealSplitTwiddles(pos, order, sine);
        spec->RealMerge = reinterpret_cast<const float*>(pos);
        SpFftBuildComplexTwiddles(pos, order, sine);
    }
    *ppSpec = spec;
    return SpOk;
}

SpStatus SpFftRealGetBufferSize(const SpFftSpec* spec, int32_t* pSize)
{
    if (!spec || !pSize)
    {
        return SpErrNullPointer;
    }
    if (spec->Kind != SpFftKindReal)
    {
        return SpErrStateMismatch;
    }
    *pSize = spec->WorkBytes >= 1 ? spec->WorkBytes + 32 : 0;
    return SpOk;
}

SpStatus SpFftRealCreate_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    return SpFftCreateWith(SpFftRealGetSize_L0, SpFftRealInit_L0, ppSpec, order, flag, hint);
}

SpStatus SpFftRealFree_L0(SpFftSpec* spec)
{
    return SpFftFreeOf(spec, SpFftKindReal);
}

// The pack transforms follow the level word of the spec they are given, as the FIR filter
// follows its state's; the level-table entries accept only their own level's specs.
SpStatus SpFftFwdRealToPack(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    switch (spec ? spec->Level : 0)
    {
    case SpFftLevel1:
        return SpFftFwdRealToPack_L1(src, dst, spec, buffer);
    case SpFftLevel2:
        return SpFftFwdRealToPack_L2(src, dst, spec, buffer);
    case SpFftLevel3:
        return SpFftFwdRealToPack_L3(src, dst, spec, buffer);
    default:
        return FwdRealToPackL0(src, dst, spec, buffer);
    }
}

SpStatus SpFftInvPackToReal(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    switch (spec ? spec->Level : 0)
    {
    case SpFftLevel1:
        return SpFftInvPackToReal_L1(src, dst, spec, buffer);
    case SpFftLevel2:
        return SpFftInvPackToReal_L2(src, dst, spec, buffer);
    case SpFftLevel3:
        return SpFftInvPackToReal_L3(src, dst, spec, buffer);
    default:
        return InvPackToRealL0(src, dst, spec, buffer);
    }
}

namespace
{

// What both directions share: the checks, the kernels of orders 0 to 3, and the scratch the
// larger orders may need. Body(scratch, half, halfPoints) transforms through the half-length
// complex FFT.
template <bool Inverse, class Body>
SpStatus RunRealL0(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer, Body body)
{
    const SpStatus status = SpFftCheckTransform(spec, SpFftKindReal, src, dst);
    if (status != SpOk)
    {
        return status;
    }
    const int32_t order = spec->Order;
    if (order <= 3)
    {
        SpFftRealRunKernel(0, Inverse, order, src, dst, (Inverse ? spec->InvScaleOn : spec->FwdScaleOn) != 0,
                           spec->Scale);
        return SpOk;
    }
    float* scratch;
    void* owned;
    if (!SpFftAcquireScratch(spec, buffer, &scratch, &owned))
    {
        return SpErrNoMemory;
    }
    const int32_t half = order - 1;
    body(scratch, half, int32_t(int64_t(1) << half));
    SpFftReleaseScratch(owned);
    return SpOk;
}

} // namespace

static SpStatus FwdRealToPackL0(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    return RunRealL0<false>(src, dst, spec, buffer,
                            [&](float* scratch, int32_t half, int32_t halfPoints)
                            {
                                SpFftComplexFwdCore(spec, src, dst, half, scratch);
                                SpFftRealFwdPostProcess(dst, halfPoints, spec->RealSplit);
                            });
}

static SpStatus InvPackToRealL0(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    return RunRealL0<true>(src, dst, spec, buffer,
                           [&](float* scratch, int32_t half, int32_t halfPoints)
                           {
                               SpFftRealInvPreProcess(src, dst, halfPoints, spec->RealMerge);
                               if (half <= 10)
                               {
                                   SpFftBitReverseInPlace(dst, halfPoints, spec->BitRev);
                                   SpFftRadix4Inv(dst, halfPoints, spec->Radix4);
                                   if (spec->InvScaleOn)
                                   {
                                       SpFftScale(dst, 2 * int64_t(halfPoints), spec->Scale);
                                   }
                               }
                               else
                               {
                                   SpFftLargeInv(spec, dst, dst, half, scratch);
                               }
                           });
}

SpStatus SpFftFwdRealInPlace_L0(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return FwdRealToPackL0(srcdst, srcdst, spec, buffer);
}

SpStatus SpFftInvRealInPlace_L0(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return InvPackToRealL0(srcdst, srcdst, spec, buffer);
}

SpStatus SpMulPackF32_L0(const float* src1, const float* src2, float* dst, int32_t len)
{
    if (!src1 || !src2 || !dst)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    MulPack(src1, src2, dst, len);
    return SpOk;
}

SpStatus SpMulPackInPlaceF32(const float* src, float* srcdst, int32_t len)
{
    if (!src || !srcdst)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    MulPack(src, srcdst, srcdst, len);
    return SpOk;
}
