// Entry stubs of the FFT rows of the level tables: each reads the processor level and hands
// its arguments, unchanged, to that level's build.
#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/fft/sp_fft_levels.h"

SpStatus SpFftComplexCreate(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    return SpLevelEntry<decltype(&SpFftComplexCreate_L0)>(SpLevelTable2, SP_T2_FFT_COMPLEX_CREATE)(
        ppSpec, order, flag, hint);
}

SpStatus SpFftComplexFree(SpFftSpec* spec)
{
    return SpLevelEntry<decltype(&SpFftComplexFree_L0)>(SpLevelTable2, SP_T2_FFT_COMPLEX_FREE)(spec);
}

SpStatus SpFftFwdComplex(const SpComplexF32* src, SpComplexF32* dst, const SpFftSpec* spec, uint8_t* buffer)
{
    return SpLevelEntry<decltype(&SpFftFwdComplex_L0)>(SpLevelTable2, SP_T2_FFT_FWD_COMPLEX)(src, dst, spec,
                                                                                             buffer);
}

SpStatus SpFftRealCreate(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    return SpLevelEntry<decltype(&SpFftRealCreate_L0)>(SpLevelTable2, SP_T2_FFT_REAL_CREATE)(ppSpec, order,
                                                                                             flag, hint);
}

SpStatus SpFftRealFree(SpFftSpec* spec)
{
    return SpLevelEntry<decltype(&SpFftRealFree_L0)>(SpLevelTable2, SP_T2_FFT_REAL_FREE)(spec);
}

SpStatus SpFftFwdRealInPlace(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return SpLevelEntry<decltype(&SpFftFwdRealInPlace_L0)>(SpLevelTable2,
                                                           SP_T2_FFT_FWD_REAL_IN_PLACE)(srcdst, spec, buffer);
}

SpStatus SpFftInvRealInPlace(float* srcdst, const SpFftSpec* spec, uint8_t* buffer)
{
    return SpLevelEntry<decltype(&SpFftInvRealInPlace_L0)>(SpLevelTable2,
                                                           SP_T2_FFT_INV_REAL_IN_PLACE)(srcdst, spec, buffer);
}

SpStatus SpMulPackF32(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpLevelEntry<decltype(&SpMulPackF32_L0)>(SpLevelTable2, SP_T2_MUL_PACK_F32)(src1, src2, dst, len);
}

// The size queries and builds in caller memory have no table rows; they follow the level as the
// rows do, so that a spec built here is the one the current level's transforms accept.
SpStatus SpFftComplexGetSize(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes,
                             int32_t* pInitBytes, int32_t* pWorkBytes)
{
    static const decltype(&SpFftComplexGetSize_L0) kBuilds[4] = {
        SpFftComplexGetSize_L0, SpFftComplexGetSize_L1, SpFftComplexGetSize_L2, SpFftComplexGetSize_L3};
    return kBuilds[SpCpuLevel](order, flag, hint, pSpecBytes, pInitBytes, pWorkBytes);
}

SpStatus SpFftComplexInit(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                          uint8_t* initBuffer)
{
    static const decltype(&SpFftComplexInit_L0) kBuilds[4] = {SpFftComplexInit_L0, SpFftComplexInit_L1,
                                                              SpFftComplexInit_L2, SpFftComplexInit_L3};
    return kBuilds[SpCpuLevel](ppSpec, order, flag, hint, specBuffer, initBuffer);
}

SpStatus SpFftRealGetSize(int32_t order, int32_t flag, int32_t hint, int32_t* pSpecBytes, int32_t* pInitBytes,
                          int32_t* pWorkBytes)
{
    static const decltype(&SpFftRealGetSize_L0) kBuilds[4] = {SpFftRealGetSize_L0, SpFftRealGetSize_L1,
                                                              SpFftRealGetSize_L2, SpFftRealGetSize_L3};
    return kBuilds[SpCpuLevel](order, flag, hint, pSpecBytes, pInitBytes, pWorkBytes);
}

SpStatus SpFftRealInit(SpFftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specBuffer,
                       uint8_t* initBuffer)
{
    static const decltype(&SpFftRealInit_L0) kBuilds[4] = {SpFftRealInit_L0, SpFftRealInit_L1,
                                                           SpFftRealInit_L2, SpFftRealInit_L3};
    return kBuilds[SpCpuLevel](ppSpec, order, flag, hint, specBuffer, initBuffer);
}
