// Entry stubs of the FIR rows of the level tables: each reads the processor level and hands
// its arguments, unchanged, to that level's build.
#include "driver/primitives/dispatch/sp_level_tables.h"
#include "driver/primitives/filters/sp_fir.h"

SpStatus SpFirStateSize(int32_t tapCount, int32_t* pSize)
{
    return SpLevelEntry<decltype(&SpFirStateSize_L0)>(SpLevelTable1, SP_T1_FIR_STATE_SIZE)(tapCount, pSize);
}

SpStatus SpFirInit(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine,
                   uint8_t* buffer)
{
    return SpLevelEntry<decltype(&SpFirInit_L0)>(SpLevelTable1, SP_T1_FIR_INIT)(ppState, taps, tapCount,
                                                                                delayLine, buffer);
}

SpStatus SpFirMultiRateStateSize(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize)
{
    return SpLevelEntry<decltype(&SpFirMultiRateStateSize_L0)>(
        SpLevelTable1, SP_T1_FIR_MULTI_RATE_STATE_SIZE)(tapCount, upFactor, downFactor, pSize);
}

SpStatus SpFirMultiRateInit(SpFirState** ppState, const float* taps, int32_t tapCount, int32_t upFactor,
                            int32_t upPhase, int32_t downFactor, int32_t downPhase, const float* delayLine,
                            uint8_t* buffer)
{
    return SpLevelEntry<decltype(&SpFirMultiRateInit_L0)>(SpLevelTable1, SP_T1_FIR_MULTI_RATE_INIT)(
        ppState, taps, tapCount, upFactor, upPhase, downFactor, downPhase, delayLine, buffer);
}

SpStatus SpFirCreate(SpFirState** ppState, const float* taps, int32_t tapCount, const float* delayLine)
{
    return SpLevelEntry<decltype(&SpFirCreate_L0)>(SpLevelTable2, SP_T2_FIR_CREATE)(ppState, taps, tapCount,
                                                                                    delayLine);
}

SpStatus SpFirFree(SpFirState* state)
{
    return SpLevelEntry<decltype(&SpFirFree_L0)>(SpLevelTable2, SP_T2_FIR_FREE)(state);
}

SpStatus SpFirFilter(const float* src, float* dst, int32_t len, SpFirState* state)
{
    return SpLevelEntry<decltype(&SpFirFilter_L0)>(SpLevelTable1, SP_T1_FIR_FILTER)(src, dst, len, state);
}

SpStatus SpFirFilterSample(float input, float* pOutput, const float* taps, int32_t tapCount, float* delayLine,
                           int32_t* pIndex)
{
    return SpLevelEntry<decltype(&SpFirFilterSample_L0)>(SpLevelTable1, SP_T1_FIR_FILTER_SAMPLE)(
        input, pOutput, taps, tapCount, delayLine, pIndex);
}
