// Complex FFT of the generic build: size query, spec record build in caller memory, create,
// free and the forward transform.
#include "driver/primitives/dispatch/sp_memory.h"
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

SpFftSizes ComplexSizes(int32_t order)
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

} // namespace

SpStatus SpFftComplexGetSize_L0(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
                                int32_t* pInitBytes, int32_t* pWorkBytes)
{
    return SpFftGetSizeOf(ComplexSizes, order, flag, pSpecBytes, pInitBytes, pWorkBytes);
}

SpStatus SpFftComplexInit_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                             uint8_t* specBuffer, uint8_t* initBuffer)
{
    SpFftSpec* spec = nullptr;
    const SpStatus status = SpFftBeginInit(ComplexSizes, SpZeroBuffer, SpFftKindComplex, ppSpec, order, flag,
                                           hint, specBuffer, initBuffer, &spec);
    if (status != SpOk)
    {
        return status;
    }
    if (order >= 4)
    {
        SpFftBuildComplexTables(spec, order, SpFftSineFor(order, initBuffer),
                                reinterpret_cast<uint8_t*>(spec) + SpFftHeaderBytes);
    }
    *ppSpec = spec;
    return SpOk;
}

SpStatus SpFftComplexCreate_L0(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    return SpFftCreateWith(SpFftComplexGetSize_L0, SpFftComplexInit_L0, ppSpec, order, flag, hint);
}

SpStatus SpFftComplexFree_L0(SpFftSpec* spec)
{
    return SpFftFreeOf(spec, SpFftKindComplex);
}

SpStatus SpFftFwdComplex_L0(const SpComplexF32* src, SpComplexF32* dst, const SpFftSpec* spec,
                            uint8_t* buffer)
{
    const SpStatus status = SpFftCheckTransform(spec, SpFftKindComplex, src, dst);
    if (status != SpOk)
    {
        return status;
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
    SpFftComplexFwdCore(spec, in, out, order, scratch);
    SpFftReleaseScratch(owned);
    return SpOk;
}
