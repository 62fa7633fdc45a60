// Complex FFT of the generic build: size query, specification build in caller memory, create,
// free and the forward transform.
#include "driver/primitives/dispatch/sp_alloc.h"
#include "driver/primitives/fft/sp_fft_internal.h"

namespace
{

// Small orders run a fixed kernel per order; the scaled form folds the normalisation in.
const SpFftComplexKernel kKernels[4] = {
    SpFftComplexKernelOrder0,
    SpFftComplexKernelOrder1,
    SpFftComplexKernelOrder2,
    SpFftComplexKernelOrder3,
};
const SpFftComplexKernelScaled kScaledKernels[4] = {
    SpFftComplexKernelOrder0Scaled,
    SpFftComplexKernelOrder1Scaled,
    SpFftComplexKernelOrder2Scaled,
    SpFftComplexKernelOrder3Scaled,
};

bool IsFlag(int32_t flag)
{
    return flag == SpFftDivFwdByN || flag == SpFftDivInvByN || flag == SpFftDivBySqrtN ||
           flag == SpFftNoDivide;
}

struct Sizes
{
    int64_t Spec;
    int64_t Init;
    int64_t Work;
};

Sizes ComplexSizes(int32_t order)
{
    const int64_t points = int64_t(1) << order;
    if (order <= 3)
    {
        return {168, 0, 0};
    }
    if (order <= 10)
    {
        return {192 + SpFftRoundUp32(8 * points + 8) + SpFftRoundUp32(points + 4), 0, 0};
    }
    const SpFftLargeSizes large = SpFftGetLargeBufferSize(order);
    return {192 + large.Spec + SpFftRoundUp32(points + 4), large.Init + SpFftRoundUp32(points + 4) + 32,
            large.Work > 0 ? large.Work + 32 : 0};
}

bool FitsInt32(const Sizes& sizes)
{
    return sizes.Spec <= INT32_MAX && sizes.Init <= INT32_MAX && sizes.Work <= INT32_MAX;
}

} // namespace

SpStatus SpFftComplexGetSize(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
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
    const Sizes sizes = ComplexSizes(order);
    if (!FitsInt32(sizes))
    {
        return SpErrFftOrder; // the largest orders need more than a 32-bit count can describe
    }
    *pSpecBytes = int32_t(sizes.Spec);
    *pInitBytes = int32_t(sizes.Init);
    *pWorkBytes = int32_t(sizes.Work);
    return SpOk;
}

SpStatus SpFftComplexInit(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                          uint8_t* initBuffer)
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
    if (!FitsInt32(ComplexSizes(order)))
    {
        return SpErrFftOrder;
    }
    auto* spec = reinterpret_cast<SpFftSpec*>(SpFftAlignUp32(specBuffer));
    if (!SpFftFillHeader(spec, SpFftKindComplex, order, flag, hint))
    {
        return SpErrFftFlag;
    }
    if (order >= 4)
    {
        if (order >= 11 && !initBuffer)
        {
            return SpErrNullPointer;
        }
        const SpFftSine sine = SpFftSineFor(order, initBuffer);
        uint8_t* pos = reinterpret_cast<uint8_t*>(spec) + SpFftHeaderBytes;
        if (order <= 10)
        {
            spec->BitRev = reinterpret_cast<const int32_t*>(pos);
            pos = SpFftBuildBitRevTable(pos, order);
            spec->Radix4 = reinterpret_cast<const float*>(pos);
            SpFftBuildRadix4Twiddles(pos, order, sine);
        }
        else
        {
            SpFftInitLargeTables(spec, order, sine, pos);
        }
    }
    *ppSpec = spec;
    return SpOk;
}

SpStatus SpFftComplexCreate_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    if (!ppSpec)
    {
        return SpErrNullPointer;
    }
    int32_t specBytes, initBytes, workBytes;
    SpStatus status = SpFftComplexGetSize(order, flag, hint, &specBytes, &initBytes, &workBytes);
    if (status != SpOk)
    {
        return status;
    }
    auto* block = static_cast<uint8_t*>(SpAlignedMalloc(specBytes));
    if (!block)
    {
        return SpErrNoMemory;
    }
    uint8_t* init = nullptr;
    if (initBytes > 0)
    {
        init = static_cast<uint8_t*>(SpAlignedMalloc(initBytes));
        if (!init)
        {
            SpAlignedFree(block);
            return SpErrNoMemory;
        }
    }
    SpFftSpec* spec = nullptr;
    status = SpFftComplexInit(&spec, order, flag, hint, block, init);
    SpAlignedFree(init);
    if (status != SpOk)
    {
        SpAlignedFree(block);
        return status;
    }
    spec->OwnsMemory = 1;
    *ppSpec = spec;
    return SpOk;
}

SpStatus SpFftComplexFree_L0(SpFftSpec* spec)
{
    if (!spec)
    {
        return SpErrNullPointer;
    }
    if (spec->Kind != SpFftKindComplex)
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

SpStatus SpFftFwdComplex_L0(const SpComplexF32* src, SpComplexF32* dst, const SpFftSpec* spec,
                            uint8_t* buffer)
{
    if (!spec)
    {
        return SpErrNullPointer;
    }
    if (spec->Kind != SpFftKindComplex || spec->Level != SpFftBuildLevel || spec->Order < 0 ||
        spec->Order > SpFftMaxOrder)
    {
        return SpErrStateMismatch;
    }
    if (!src || !dst)
    {
        return SpErrNullPointer;
    }
    const float* in = &src->Re;
    float* out = &dst->Re;
    const int32_t order = spec->Order;
    if (order <= 3)
    {
        if (spec->FwdScaleOn)
        {
            kScaledKernels[order](in, out, spec->Scale);
        }
        else
        {
            kKernels[order](in, out);
        }
        return SpOk;
    }
    float* scratch;
    void* owned;
    if (!SpFftAcquireScratch(spec, buffer, &scratch, &owned))
    {
        return SpErrNoMemory;
    }
    const int32_t points = int32_t(int64_t(1) << order);
    if (order <= 10)
    {
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
    else
    {
        SpFftLargeFwd(spec, in, out, order, scratch);
    }
    SpFftReleaseScratch(owned);
    return SpOk;
}
