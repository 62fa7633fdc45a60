// The entries of one level's FFT family (included by sp_fft_levels_build-inl.h with that
// level's names in scope): the real split and merge, the real and complex drivers and the
// packed-spectrum products.

namespace
{
namespace sp_fft_level
{

// Four points from k on as real and imaginary vectors, and the four below `top` (top - 3 ..
// top) in descending order, so that lane j of both holds a pair k + j, M - k - j.
inline Block LoadAscending(const float* p)
{
    const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
    return {_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))};
}

inline Block LoadDescending(const float* top)
{
    const Block up = LoadAscending(top - 6);
    return {_mm_shuffle_ps(up.Re, up.Re, _MM_SHUFFLE(0, 1, 2, 3)),
            _mm_shuffle_ps(up.Im, up.Im, _MM_SHUFFLE(0, 1, 2, 3))};
}

inline void StoreDescending(float* top, Block b)
{
    const Block up = {_mm_shuffle_ps(b.Re, b.Re, _MM_SHUFFLE(0, 1, 2, 3)),
                      _mm_shuffle_ps(b.Im, b.Im, _MM_SHUFFLE(0, 1, 2, 3))};
    StoreInterleaved(top - 6, up);
}

// The two factors of pair k in a table of blocks of four k from 1: four of the first kind, then
// four of the second.
struct FactorPair
{
    float First;
    float Second;
};

inline FactorPair BlockPair(const float* table, int64_t k)
{
    const float* block = table + 8 * ((k - 1) / 4);
    return {block[(k - 1) % 4], block[4 + (k - 1) % 4]};
}

// One split pair, k and M - k: the lane arithmetic of the vector loop, in the same order.
inline void SplitPair(float* zk, float* zm, FactorPair split)
{
    const float xr = zk[0], xi = zk[1], yr = zm[0], yi = zm[1];
    const float p = split.First, q = split.Second;
    const float d = xr - yr, e = xi + yi;
    const float t = q * d + p * e;
    const float u = q * e - p * d;
    zk[0] = yr + t;
    zk[1] = u - yi;
    zm[0] = xr - t;
    zm[1] = u - xi;
}

inline void MergePair(const float* sk, const float* sm, float* dk, float* dm, FactorPair merge)
{
    const float r1 = sk[0], i1 = sk[1], r2 = sm[0], i2 = sm[1];
    const float c = merge.First, s = merge.Second;
    const float t1 = s * (r1 - r2) - c * (i1 + i2);
    const float t2 = c * (r1 - r2) + s * (i1 + i2);
    dk[0] = r1 + r2 + t1;
    dk[1] = i1 - i2 + t2;
    dm[0] = r1 + r2 - t1;
    dm[1] = t2 - (i1 - i2);
}

} // namespace sp_fft_level
} // namespace

// The half-length transform Z (DC and Nyquist already formed) to the packed spectrum: pairs k
// and M - k are read together before either is written, four pairs a step.
void SP_FFT_LN(SpFftRealFwdPostProcess)(float* data, int64_t points, const float* split)
{
    int64_t k = 1;
    for (; k + 3 < points / 2; k += 4)
    {
        const Block x = LoadAscending(data + 2 * k);
        const Block y = LoadDescending(data + 2 * (points - k));
        const Block w = {_mm_loadu_ps(split + 2 * (k - 1)), _mm_loadu_ps(split + 2 * (k - 1) + 4)}; // A, B
        const __m128 d = _mm_sub_ps(x.Re, y.Re), e = _mm_add_ps(x.Im, y.Im);
        const __m128 t = _mm_add_ps(_mm_mul_ps(w.Im, d), _mm_mul_ps(w.Re, e));
        const __m128 u = _mm_sub_ps(_mm_mul_ps(w.Im, e), _mm_mul_ps(w.Re, d));
        StoreInterleaved(data + 2 * k, {_mm_add_ps(y.Re, t), _mm_sub_ps(u, y.Im)});
        StoreDescending(data + 2 * (points - k), {_mm_sub_ps(x.Re, t), _mm_sub_ps(u, x.Im)});
    }
    for (; k < points / 2; ++k)
    {
        SplitPair(data + 2 * k, data + 2 * (points - k), BlockPair(split, k));
    }
    data[2 * (points / 2) + 1] = -data[2 * (points / 2) + 1];
}

// The packed spectrum to the half-length spectrum whose inverse interleaves the samples (the DC
// pair is formed by the caller); src may equal dst.
void SP_FFT_LN(SpFftRealInvPreProcess)(const float* src, float* dst, int64_t points, const float* merge)
{
    int64_t k = 1;
    for (; k + 3 < points / 2; k += 4)
    {
        const Block a = LoadAscending(src + 2 * k);
        const Block b = LoadDescending(src + 2 * (points - k));
        const Block w = {_mm_loadu_ps(merge + 2 * (k - 1)),
                         _mm_loadu_ps(merge + 2 * (k - 1) + 4)}; // cos, -sin
        const __m128 dr = _mm_sub_ps(a.Re, b.Re), si = _mm_add_ps(a.Im, b.Im);
        const __m128 sr = _mm_add_ps(a.Re, b.Re), di = _mm_sub_ps(a.Im, b.Im);
        const __m128 t1 = _mm_sub_ps(_mm_mul_ps(w.Im, dr), _mm_mul_ps(w.Re, si));
        const __m128 t2 = _mm_add_ps(_mm_mul_ps(w.Re, dr), _mm_mul_ps(w.Im, si));
        StoreInterleaved(dst + 2 * k, {_mm_add_ps(sr, t1), _mm_add_ps(di, t2)});
        StoreDescending(dst + 2 * (points - k), {_mm_sub_ps(sr, t1), _mm_sub_ps(t2, di)});
    }
    for (; k < points / 2; ++k)
    {
        MergePair(src + 2 * k, src + 2 * (points - k), dst + 2 * k, dst + 2 * (points - k),
                  BlockPair(merge, k));
    }
    const int64_t mid = 2 * (points / 2);
    dst[mid] = 2.0f * src[mid];
    dst[mid + 1] = -2.0f * src[mid + 1];
}

SpStatus SP_FFT_LN(SpFftFwdRealToPack)(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    const SpStatus status = CheckSpec(spec, SpFftKindReal, src, dst);
    if (status != SpOk)
    {
        return status;
    }
    const int32_t order = spec->Order;
    if (order <= 3)
    {
        SpFftRealRunKernel(kLevel, false, order, src, dst, spec->FwdScaleOn != 0, spec->Scale);
        return SpOk;
    }
    float* work;
    void* owned;
    if (!SpFftAcquireScratch(spec, buffer, &work, &owned))
    {
        return SpErrNoMemory; // nothing written yet
    }
    const int32_t half = order - 1;
    Transform<false>(spec, src, dst, half, work);
    const float z0 = dst[0], z1 = dst[1];
    dst[0] = z0 + z1;
    dst[1] = z0 - z1;
    SP_FFT_LN(SpFftRealFwdPostProcess)(dst, int64_t(1) << half, spec->RealSplit);
    SpFftReleaseScratch(owned);
    return SpOk;
}

SpStatus SP_FFT_LN(SpFftInvPackToReal)(const float* src, float* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    const SpStatus status = CheckSpec(spec, SpFftKindReal, src, dst);
    if (status != SpOk)
    {
        return status;
    }
    const int32_t order = spec->Order;
    if (order <= 3)
    {
        SpFftRealRunKernel(kLevel, true, order, src, dst, spec->InvScaleOn != 0, spec->Scale);
        return SpOk;
    }
    float* work;
    void* owned;
    if (!SpFftAcquireScratch(spec, buffer, &work, &owned))
    {
        return SpErrNoMemory;
    }
    const int32_t half = order - 1;
    const float x0 = src[0], x1 = src[1];
    SP_FFT_LN(SpFftRealInvPreProcess)(src, dst, int64_t(1) << half, spec->RealMerge);
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
    Transform<true>(spec, dst, dst, half, work);
    SpFftReleaseScratch(owned);
    return SpOk;
}

SpStatus SP_FFT_LN(SpFftFwdRealInPlace)(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return SP_FFT_LN(SpFftFwdRealToPack)(srcdst, srcdst, spec, buffer);
}

SpStatus SP_FFT_LN(SpFftInvRealInPlace)(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return SP_FFT_LN(SpFftInvPackToReal)(srcdst, srcdst, spec, buffer);
}

SpStatus SP_FFT_LN(SpFftFwdComplex)(const SpComplexF32* src, SpComplexF32* dst, const SpFftSpec* spec,
                                    uint8_t* buffer)
{
    const SpStatus status = CheckSpec(spec, SpFftKindComplex, src, dst);
    if (status != SpOk)
    {
        return status;
    }
    const float* in = &src->Re;
    float* out = &dst->Re;
    const int32_t order = spec->Order;
    if (order <= 3)
    {
        const int32_t slot = 8 * kLevel + order;
        if (spec->FwdScaleOn)
        {
            reinterpret_cast<SpFftComplexKernelScaled>(SpFftComplexKernelTable[slot + 4])(in, out,
                                                                                          spec->Scale);
        }
        else
        {
            reinterpret_cast<SpFftComplexKernel>(SpFftComplexKernelTable[slot])(in, out);
        }
        return SpOk;
    }
    float* work;
    void* owned;
    if (!SpFftAcquireScratch(spec, buffer, &work, &owned))
    {
        return SpErrNoMemory;
    }
    Transform<false>(spec, in, out, order, work);
    SpFftReleaseScratch(owned);
    return SpOk;
}

SpStatus SP_FFT_LN(SpMulPackInPlaceF32)(const float* src, float* srcdst, int32_t len)
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

SpStatus SP_FFT_LN(SpMulPackF32)(const float* src1, const float* src2, float* dst, int32_t len)
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
