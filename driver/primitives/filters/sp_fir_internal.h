// What the FIR sources of the generic build share: layout arithmetic and the multi-rate half.
#pragma once

#include <stdint.h>

#include "driver/primitives/filters/sp_fir.h"

// The generic build's level word in every state it lays out.
constexpr int32_t SpFirBuildLevel = 0;

// Room for the record ahead of a state's areas.
constexpr int64_t SpFirHeaderBytes = 160;
static_assert(sizeof(SpFirState) <= SpFirHeaderBytes, "FIR record outgrew its header room");

inline int64_t SpFirRoundUp16(int64_t n)
{
    return (n + 15) & ~int64_t(15);
}

inline uint8_t* SpFirAlignUp16(uint8_t* p)
{
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 15) & ~uintptr_t(15));
}

// Past inputs given newest first become the history, oldest first; none means silence.
void SpFirLoadHistory(float* history, int32_t count, const float* delayLine);

// Multi-rate sizes, state build and filtering (the FI03 half of the FIR rows).
SpStatus SpFirMultiRateSizeCalc(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize);
SpStatus SpFirMultiRateBuild(SpFirState** ppState, const float* taps, int32_t tapCount, int32_t upFactor,
                             int32_t upPhase, int32_t downFactor, int32_t downPhase, const float* delayLine,
                             uint8_t* buffer);
SpStatus SpFirMultiRateFilter(const float* src, float* dst, int32_t len, SpFirState* state);
