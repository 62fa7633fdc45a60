// The level-1 real FFT (processors with SSE3). The drivers choose their cores by size: the fused
// in-cache core up to 2^15 complex points, a path of its own for 2^16, the large-order driver
// above. The work functions here are plain scalar builds of their contracts; the cores of up to
// 1,024 points run the spec's radix-4 tables, the larger in-cache ones radix-2 passes whose
// twiddles come from a double-precision rotation, so the level-1 spec needs no tables beyond the
// generic layout.
#include "driver/primitives/level1/sp_fft_level1.h"

#include <emmintrin.h>
#include <math.h>
#include <string.h>

#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/dispatch/sp_level_builds.h"
#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/fft/sp_fft_internal.h"

#include "driver/primitives/dispatch/sp_level_target.h"

SP_LEVEL_TARGET_BEGIN("sse3")

namespace
{

constexpr float kS = 0.70710677f; // the float nearest sqrt(1/2)
constexpr float kR = 1.4142135f;  // the float nearest sqrt(2)
constexpr int32_t kTableCorePoints = 1024;

int32_t Log2(int32_t points)
{
    int32_t m = 0;
    while ((int32_t(1) << m) < points)
    {
        ++m;
    }
    return m;
}

int32_t Reverse(int32_t p, int32_t bits)
{
    int32_t r = 0;
    for (int32_t b = 0; b < bits; ++b)
    {
        r = (r << 1) | ((p >> b) & 1);
    }
    return r;
}

// Decimation-in-time radix-2 passes over bit-reversed data; sign -1 forward, +1 inverse. The
// twiddles of a pass advance by a rotation held in double (error near 1e-12) and are taken in
// chunks of kChunk, so each chunk serves every block of the pass while it is in registers' reach;
// two butterflies share one vector: t = v wr + swap(v) (-wi, wi).
constexpr int32_t kChunk = 128;

void Radix2Passes(float* data, int32_t points, double sign)
{
    const double pi = 3.14159265358979323846;
    // The first pass has the twiddle 1 only.
    for (int32_t b = 0; b < points; b += 2)
    {
        float* u = data + 2 * b;
        const float ur = u[0], ui = u[1], vr = u[2], vi = u[3];
        u[0] = ur + vr;
        u[1] = ui + vi;
        u[2] = ur - vr;
        u[3] = ui - vi;
    }
    alignas(16) float wr[2 * kChunk], wi[2 * kChunk];
    for (int32_t len = 4; len <= points; len <<= 1)
    {
        const int32_t half = len / 2;
        const double stepRe = cos(2.0 * pi / len), stepIm = sign * sin(2.0 * pi / len);
        double cr = 1.0, ci = 0.0;
        for (int32_t j0 = 0; j0 < half; j0 += kChunk)
        {
            const int32_t count = half - j0 < kChunk ? half - j0 : kChunk;
            for (int32_t j = 0; j < count; ++j)
            {
                wr[2 * j] = wr[2 * j + 1] = float(cr);
                wi[2 * j] = -float(ci);
                wi[2 * j + 1] = float(ci);
                const double nr = cr * stepRe - ci * stepIm;
                ci = cr * stepIm + ci * stepRe;
                cr = nr;
            }
            for (int32_t b = 0; b < points; b += len)
            {
                float* u = data + 2 * (b + j0);
                float* v = u + 2 * half;
                for (int32_t j = 0; j < count; j += 2)
                {
                    const __m128 x = _mm_loadu_ps(v + 2 * j);
                    const __m128 swapped = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
                    const __m128 t = _mm_add_ps(_mm_mul_ps(x, _mm_load_ps(wr + 2 * j)),
                                                _mm_mul_ps(swapped, _mm_load_ps(wi + 2 * j)));
                    const __m128 a = _mm_loadu_ps(u + 2 * j);
                    _mm_storeu_ps(u + 2 * j, _mm_add_ps(a, t));
                    _mm_storeu_ps(v + 2 * j, _mm_sub_ps(a, t));
                }
            }
        }
    }
}

bool CheckSpec(const SpFftSpec* spec, const float* src, const float* dst, SpStatus* status)
{
    *status = SpOk;
    if (!spec)
    {
        *status = SpErrNullPointer;
    }
    else if (spec->Kind != SpFftKindReal || spec->Level != SpFftLevel1 || spec->Order < 0 ||
             spec->Order > SpFftMaxOrder)
    {
        *status = SpErrStateMismatch;
    }
    else if (!src || !dst)
    {
        *status = SpErrNullPointer;
    }
    return *status == SpOk;
}

} // namespace

// ---- Small kernels ----

void SpFftRealKernelOrder1_L1(const float* src, float* dst)
{
    const float x0 = src[0], x1 = src[1];
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
}

void SpFftRealKernelOrder1Scaled_L1(const float* src, float* dst, float scale)
{
    const float x0 = src[0], x1 = src[1];
    dst[0] = (x0 + x1) * scale;
    dst[1] = (x0 - x1) * scale;
}

namespace
{
// Forward order 2 from its first-stage terms.
inline void Fwd2(float s02, float s13, float d02, float d31, float* y)
{
    y[0] = s02 + s13;
    y[1] = s02 - s13;
    y[2] = d02;
    y[3] = d31;
}

inline void Inv2(float s01, float d01, float c2, float d3, float* y)
{
    y[0] = s01 + c2;
    y[1] = d01 - d3;
    y[2] = s01 - c2;
    y[3] = d01 + d3;
}

// Forward order 3 from a .. h of the first stage.
inline void Fwd3(float a, float b, float c, float d, float e, float f, float g, float h, float* y)
{
    const float p = (f - h) * kS, q = (f + h) * -kS;
    y[0] = (a + c) + (e + g);
    y[1] = (a + c) - (e + g);
    y[2] = b + p;
    y[3] = q - d;
    y[4] = a - c;
    y[5] = g - e;
    y[6] = b - p;
    y[7] = d + q;
}

inline void Inv3(float a, float b, float c, float d, float e, float f, float g, float h, float* y)
{
    const float p = (f - h) * kR, q = (f + h) * -kR;
    y[0] = (a + c) + 2.0f * e;
    y[1] = (b - d) + p;
    y[2] = (a - c) - 2.0f * g;
    y[3] = (b + d) + q;
    y[4] = (a + c) - 2.0f * e;
    y[5] = (b - d) - p;
    y[6] = (a - c) + 2.0f * g;
    y[7] = (b + d) - q;
}
} // namespace

void SpFftRealKernelFwdOrder2_L1(const float* x, float* y)
{
    Fwd2(x[0] + x[2], x[1] + x[3], x[0] - x[2], x[3] - x[1], y);
}

void SpFftRealKernelFwdOrder2Scaled_L1(const float* x, float* y, float s)
{
    Fwd2((x[0] + x[2]) * s, (x[1] + x[3]) * s, (x[0] - x[2]) * s, (x[3] - x[1]) * s, y);
}

void SpFftRealKernelInvOrder2_L1(const float* x, float* y)
{
    Inv2(x[0] + x[1], x[0] - x[1], 2.0f * x[2], 2.0f * x[3], y);
}

void SpFftRealKernelInvOrder2Scaled_L1(const float* x, float* y, float s)
{
    Inv2((x[0] + x[1]) * s, (x[0] - x[1]) * s, (2.0f * x[2]) * s, (2.0f * x[3]) * s, y);
}

void SpFftRealKernelFwdOrder3_L1(const float* x, float* y)
{
    Fwd3(x[0] + x[4], x[0] - x[4], x[2] + x[6], x[2] - x[6], x[1] + x[5], x[1] - x[5], x[3] + x[7],
         x[3] - x[7], y);
}

void SpFftRealKernelFwdOrder3Scaled_L1(const float* x, float* y, float s)
{
    Fwd3((x[0] + x[4]) * s, (x[0] - x[4]) * s, (x[2] + x[6]) * s, (x[2] - x[6]) * s, (x[1] + x[5]) * s,
         (x[1] - x[5]) * s, (x[3] + x[7]) * s, (x[3] - x[7]) * s, y);
}

void SpFftRealKernelInvOrder3_L1(const float* x, float* y)
{
    Inv3(x[0] + x[1], x[0] - x[1], 2.0f * x[4], 2.0f * x[5], x[2] + x[6], x[2] - x[6], x[3] - x[7],
         x[3] + x[7], y);
}

void SpFftRealKernelInvOrder3Scaled_L1(const float* x, float* y, float s)
{
    Inv3((x[0] + x[1]) * s, (x[0] - x[1]) * s, (2.0f * x[4]) * s, (2.0f * x[5]) * s, (x[2] + x[6]) * s,
         (x[2] - x[6]) * s, (x[3] - x[7]) * s, (x[3] + x[7]) * s, y);
}

// ---- Work functions ----

void SpCopyBytes_L1(const void* src, void* dst, int64_t byteCount)
{
    if (byteCount > 0)
    {
        memmove(dst, src, size_t(byteCount));
    }
}

// Every real spec of order 4 and above holds the swap-pair table of its half length; without
// one the reversed index is formed bit by bit.
void SpFftBitReverseCopy_L1(const float* src, float* dst, int32_t points, const int32_t* bitRev)
{
    if (bitRev)
    {
        SpFftBitReverseCopy(src, dst, points, bitRev);
        return;
    }
    const int32_t bits = Log2(points);
    for (int32_t p = 0; p < points; ++p)
    {
        const int32_t r = Reverse(p, bits);
        dst[2 * p] = src[2 * r];
        dst[2 * p + 1] = src[2 * r + 1];
    }
}

void SpFftBitReverseInPlace_L1(float* data, int32_t points, const int32_t* bitRev)
{
    if (bitRev)
    {
        SpFftBitReverseInPlace(data, points, bitRev);
        return;
    }
    const int32_t bits = Log2(points);
    for (int32_t p = 0; p < points; ++p)
    {
        const int32_t r = Reverse(p, bits);
        if (p < r)
        {
            const float re = data[2 * p], im = data[2 * p + 1];
            data[2 * p] = data[2 * r];
            data[2 * p + 1] = data[2 * r + 1];
            data[2 * r] = re;
            data[2 * r + 1] = im;
        }
    }
}

void SpFftRadix4Fwd_L1(const float* src, float* dst, int32_t points, const float* twiddles,
                       const int32_t* bitRev, float* /*work*/)
{
    if (src == dst)
    {
        SpFftBitReverseInPlace_L1(dst, points, bitRev);
    }
    else
    {
        SpFftBitReverseCopy_L1(src, dst, points, bitRev);
    }
    if (twiddles && points <= kTableCorePoints)
    {
        SpFftRadix4Fwd(dst, points, twiddles);
        return;
    }
    Radix2Passes(dst, points, -1.0);
}

void SpFftRadix4Inv_L1(const float* src, float* dst, int32_t points, const float* twiddles,
                       const int32_t* bitRev, float* /*work*/)
{
    if (src == dst)
    {
        SpFftBitReverseInPlace_L1(dst, points, bitRev);
    }
    else
    {
        SpFftBitReverseCopy_L1(src, dst, points, bitRev);
    }
    if (twiddles && points <= kTableCorePoints)
    {
        SpFftRadix4Inv(dst, points, twiddles);
        return;
    }
    Radix2Passes(dst, points, 1.0);
}

void SpFftOrder16Fwd_L1(float* data, int32_t points, const float* /*twiddles*/, float* /*work*/,
                        int32_t /*flag*/)
{
    Radix2Passes(data, points, -1.0);
}

void SpFftOrder16Inv_L1(float* data, int32_t points, const float* /*twiddles*/, float* /*work*/,
                        int32_t /*flag*/)
{
    Radix2Passes(data, points, 1.0);
}

void SpFftLargeFwd_L1(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work)
{
    SpFftLargeFwd(spec, src, dst, order, work);
}

void SpFftLargeInv_L1(const SpFftSpec* spec, const float* src, float* dst, int32_t order, float* work)
{
    SpFftLargeInv(spec, src, dst, order, work);
}

// The half-length transform Z (DC and Nyquist already formed) to the packed spectrum.
void SpFftRealFwdPostProcess_L1(float* data, int32_t points, int32_t /*sign*/, const float* split)
{
    for (int32_t k = 1; k < points / 2; ++k)
    {
        float* zk = data + 2 * k;
        float* zm = data + 2 * (points - k);
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
    data[2 * (points / 2) + 1] = -data[2 * (points / 2) + 1];
}

// The packed spectrum (DC and Nyquist already folded into dst[0..1]) to the half-length input.
void SpFftRealInvPreProcess_L1(const float* src, float* dst, int32_t points, int32_t /*sign*/,
                               const float* merge)
{
    for (int32_t k = 1; k < points / 2; ++k)
    {
        const float* sk = src + 2 * k;
        const float* sm = src + 2 * (points - k);
        const float r1 = sk[0], i1 = sk[1], r2 = sm[0], i2 = sm[1];
        const float c = merge[2 * k], s = merge[2 * k + 1];
        const float t1 = s * (r1 - r2) - c * (i1 + i2);
        const float t2 = c * (r1 - r2) + s * (i1 + i2);
        dst[2 * k] = r1 + r2 + t1;
        dst[2 * k + 1] = i1 - i2 + t2;
        dst[2 * (points - k)] = r1 + r2 - t1;
        dst[2 * (points - k) + 1] = t2 - (i1 - i2);
    }
    const int32_t mid = 2 * (points / 2);
    dst[mid] = 2.0f * src[mid];
    dst[mid + 1] = -2.0f * src[mid + 1];
}

void SpSpectrumMulInPlace_L1(const float* src, float* srcdst, int32_t pairs)
{
    for (int32_t i = 0; i < 2 * pairs; i += 2)
    {
        const float a = src[i], b = src[i + 1], c = srcdst[i], d = srcdst[i + 1];
        srcdst[i] = a * c - b * d;
        srcdst[i + 1] = a * d + b * c;
    }
}

// ---- Entries ----

SpStatus SpFftRealCreate_L1(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    // The level-1 cores read the generic table layout; only the level word differs.
    const SpStatus status = SpFftRealCreate_L0(ppSpec, order, flag, hint);
    if (status == SpOk)
    {
        (*ppSpec)->Level = SpFftLevel1;
    }
    return status;
}

SpStatus SpFftFwdRealToPack_L1(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    SpStatus status;
    if (!CheckSpec(spec, src, dst, &status))
    {
        return status;
    }
    const int32_t order = spec->Order;
    if (order <= 3)
    {
        SpFftRealRunKernel(SpFftLevel1, false, order, src, dst, spec->FwdScaleOn != 0, spec->Scale);
        return SpOk;
    }
    float* work;
    void* owned;
    if (!SpFftAcquireScratch(spec, buffer, &work, &owned))
    {
        return SpErrNoMemory;
    }
    const int32_t m = order - 1;
    const int32_t points = int32_t(1) << m;
    if (m <= 15)
    {
        SpFftRadix4Fwd_L1(src, dst, points, spec->Radix4, spec->BitRev, work);
    }
    else if (m == 16)
    {
        if (src != dst)
        {
            SpFftBitReverseCopy_L1(src, dst, points, spec->BitRev);
        }
        else
        {
            SpFftBitReverseInPlace_L1(dst, points, spec->BitRev);
        }
        SpFftOrder16Fwd_L1(dst, points, spec->Radix4, work, 1);
    }
    else
    {
        SpFftLargeFwd_L1(spec, src, dst, m, work);
    }
    if (m <= 16 && spec->FwdScaleOn)
    {
        SpMulConstInPlaceF32_L1(spec->Scale, dst, int32_t(1) << order);
    }
    const float y0 = dst[0], y1 = dst[1];
    dst[0] = y0 + y1;
    dst[1] = y0 - y1;
    SpFftRealFwdPostProcess_L1(dst, points, 1, spec->RealSplit);
    SpFftReleaseScratch(owned);
    return SpOk;
}

SpStatus SpFftInvPackToReal_L1(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    SpStatus status;
    if (!CheckSpec(spec, src, dst, &status))
    {
        return status;
    }
    const int32_t order = spec->Order;
    if (order <= 3)
    {
        SpFftRealRunKernel(SpFftLevel1, true, order, src, dst, spec->InvScaleOn != 0, spec->Scale);
        return SpOk;
    }
    float* work;
    void* owned;
    if (!SpFftAcquireScratch(spec, buffer, &work, &owned))
    {
        return SpErrNoMemory;
    }
    const int32_t m = order - 1;
    const int32_t points = int32_t(1) << m;
    const float x0 = src[0], x1 = src[1];
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
    SpFftRealInvPreProcess_L1(src, dst, points, -1, spec->RealMerge);
    if (m <= 15)
    {
        SpFftRadix4Inv_L1(dst, dst, points, spec->Radix4, spec->BitRev, work);
    }
    else if (m == 16)
    {
        SpFftBitReverseInPlace_L1(dst, points, spec->BitRev);
        SpFftOrder16Inv_L1(dst, points, spec->Radix4, work, 1);
    }
    else
    {
        SpFftLargeInv_L1(spec, dst, dst, m, work);
    }
    if (m <= 16 && spec->InvScaleOn)
    {
        SpMulConstInPlaceF32_L1(spec->Scale, dst, int32_t(1) << order);
    }
    SpFftReleaseScratch(owned);
    return SpOk;
}

SpStatus SpFftFwdRealInPlace_L1(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return SpFftFwdRealToPack_L1(srcdst, srcdst, spec, buffer);
}

SpStatus SpFftInvRealInPlace_L1(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return SpFftInvPackToReal_L1(srcdst, srcdst, spec, buffer);
}

SpStatus SpMulPackInPlaceF32_L1(const float* src, float* srcdst, int32_t len)
{
    if (!src || !srcdst)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    srcdst[0] = src[0] * srcdst[0];
    int32_t first = 1;
    if (len % 2 == 0)
    {
        srcdst[1] = src[1] * srcdst[1];
        first = 2;
    }
    const int32_t pairs = (len - first) / 2;
    if (pairs > 0)
    {
        SpSpectrumMulInPlace_L1(src + first, srcdst + first, pairs);
    }
    return SpOk;
}

SP_LEVEL_TARGET_END
