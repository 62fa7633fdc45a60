// The entries of one level's FFT family (included by sp_fft_levels_build-inl.h with that
// level's names in scope): the real split and merge, the real and complex drivers and the
// packed-spectrum products.

// The half-length transform Z (DC and Nyquist already formed) to the packed spectrum: pairs k
// and M - k are read together before either is written.
void SP_FFT_LN(SpFftRealFwdPostProcess)(float* data, int64_t points, const float* split)
{
    for (int64_t k = 1; k < points / 2; ++k)
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

// The packed spectrum to the half-length spectrum whose inverse interleaves the samples (the DC
// pair is formed by the caller); src may equal dst.
void SP_FFT_LN(SpFftRealInvPreProcess)(const float* src, float* dst, int64_t points, const float* merge)
{
    for (int64_t k = 1; k < points / 2; ++k)
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
