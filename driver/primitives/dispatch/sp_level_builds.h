// The level-1 to level-3 builds of the public operations that have their own level code, as
// the level tables take them: SpXxx_L<n> has SpXxx's exact signature. Level code calls these
// (or its own kernels), never the public stubs, so a call that enters a level stays in it.
#pragma once

#include "driver/primitives/dispatch/sp_status.h"
#include "driver/primitives/filters/sp_fir.h"

#define SP_LEVEL_DECLARE_ENTRIES(L)                                                                          \
    SpStatus SpZeroF32_##L(float* dst, int32_t len);                                                         \
    SpStatus SpConvertF32ToI16_##L(const float* src, int16_t* dst, int32_t len, int32_t rounding,            \
                                   int32_t scale);                                                           \
    SpStatus SpConvertF32ToI32_##L(const float* src, int32_t* dst, int32_t len, int32_t rounding,            \
                                   int32_t scale);                                                           \
    SpStatus SpConvertI16ToF32_##L(const int16_t* src, float* dst, int32_t len, int32_t scale);              \
    SpStatus SpConvertI32ToF32Scaled_##L(const int32_t* src, float* dst, int32_t len, int32_t scale);        \
    SpStatus SpConvertI24ToF32_##L(const uint8_t* src, float* dst, int32_t len);                             \
    SpStatus SpConvertF32ToI24_##L(const float* src, uint8_t* dst, int32_t len, int32_t scale);              \
    SpStatus SpAddInPlaceF32_##L(const float* src, float* srcDst, int32_t len);                              \
    SpStatus SpDivConstInPlaceF32_##L(float value, float* srcDst, int32_t len);                              \
    SpStatus SpDivConstF32_##L(const float* src, float value, float* dst, int32_t len);                      \
    SpStatus SpMoveI32_##L(const int32_t* src, int32_t* dst, int32_t len);                                   \
    SpStatus SpMulConstInPlaceF32_##L(float value, float* srcDst, int32_t len);                              \
    SpStatus SpConvertI32ToF32_##L(const int32_t* src, float* dst, int32_t len);                             \
    SpStatus SpAddConstInPlaceF32_##L(float value, float* srcDst, int32_t len);                              \
    SpStatus SpInterleave32_##L(const float* const* channels, int32_t channelCount, int32_t frames,          \
                                float* dst);                                                                 \
    SpStatus SpDeinterleave32_##L(const float* src, int32_t channelCount, int32_t frames,                    \
                                  float* const* channels);                                                   \
    SpStatus SpPowF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                    \
    SpStatus SpCopyF32_##L(const float* src, float* dst, int32_t len);                                       \
    SpStatus SpMulConstF32_##L(const float* src, float value, float* dst, int32_t len);                      \
    SpStatus SpFirStateSize_##L(int32_t tapCount, int32_t* pSize);                                           \
    SpStatus SpFirInit_##L(SpFirState** ppState, const float* taps, int32_t tapCount,                        \
                           const float* delayLine, uint8_t* buffer);                                         \
    SpStatus SpFirMultiRateStateSize_##L(int32_t tapCount, int32_t upFactor, int32_t downFactor,             \
                                         int32_t* pSize);                                                    \
    SpStatus SpFirMultiRateInit_##L(SpFirState** ppState, const float* taps, int32_t tapCount,               \
                                    int32_t upFactor, int32_t upPhase, int32_t downFactor,                   \
                                    int32_t downPhase, const float* delayLine, uint8_t* buffer);             \
    SpStatus SpFirCreate_##L(SpFirState** ppState, const float* taps, int32_t tapCount,                      \
                             const float* delayLine);                                                        \
    SpStatus SpFirFilter_##L(const float* src, float* dst, int32_t len, SpFirState* state);

SP_LEVEL_DECLARE_ENTRIES(L1)
SP_LEVEL_DECLARE_ENTRIES(L2)
SP_LEVEL_DECLARE_ENTRIES(L3)
