// Format conversions and in-place scaling of the signal-primitives library (rows of
// SpLevelTable1): float <-> 16-, packed 24- and 32-bit integers with a power-of-two scale, a
// rounding mode and saturation; interleave and de-interleave of 32-bit channel buffers; and
// the in-place zero, add, add-constant, multiply- and divide-by-constant forms.
//
// Every operation checks its pointers (SpErrNullPointer), then the channel count where there is
// one (SpErrChannelCount), then the length (SpErrBadLength), and writes nothing when a check
// fails. Results are bit-exact: every level column produces the same bits as level 0.
// All of them run at IRQL <= DISPATCH_LEVEL, allocate nothing and take no lock.
#pragma once

#include "driver/primitives/dispatch/sp_status.h"

// Rounding modes of the float to 16/32-bit conversions; any other value rounds as
// SpRoundNearestAway.
enum : int32_t
{
    SpRoundZero = 0,        // truncate toward zero
    SpRoundNearestEven = 1, // nearest, ties to even
    SpRoundNearestAway = 2, // nearest, ties away from zero
};

// Public entry stubs (dispatched on SpCpuLevel) and their level-0 builds.

// dst[0..len-1] = +0.0.
SpStatus SpZeroF32(float* dst, int32_t len);
SpStatus SpZeroF32_L0(float* dst, int32_t len);

// dst[i] = round(src[i] x 2^-scale) saturated to int16; NaN gives 0.
SpStatus SpConvertF32ToI16(const float* src, int16_t* dst, int32_t len, int32_t rounding, int32_t scale);
SpStatus SpConvertF32ToI16_L0(const float* src, int16_t* dst, int32_t len, int32_t rounding, int32_t scale);

// dst[i] = round(src[i] x 2^-scale) saturated to int32; NaN gives 0, or INT32_MIN when
// rounding is SpRoundNearestAway.
SpStatus SpConvertF32ToI32(const float* src, int32_t* dst, int32_t len, int32_t rounding, int32_t scale);
SpStatus SpConvertF32ToI32_L0(const float* src, int32_t* dst, int32_t len, int32_t rounding, int32_t scale);

// dst[i] = src[i] x 2^-scale, scale clamped to -112..126 (exact).
SpStatus SpConvertI16ToF32(const int16_t* src, float* dst, int32_t len, int32_t scale);
SpStatus SpConvertI16ToF32_L0(const int16_t* src, float* dst, int32_t len, int32_t scale);

// dst[i] = float(src[i]) x 2^-scale, scale clamped to -96..126.
SpStatus SpConvertI32ToF32Scaled(const int32_t* src, float* dst, int32_t len, int32_t scale);
SpStatus SpConvertI32ToF32Scaled_L0(const int32_t* src, float* dst, int32_t len, int32_t scale);

// Packed 24-bit (3 bytes, least significant first, signed) to float, exact and unscaled.
SpStatus SpConvertI24ToF32(const uint8_t* src, float* dst, int32_t len);
SpStatus SpConvertI24ToF32_L0(const uint8_t* src, float* dst, int32_t len);

// Float to packed 24-bit: x 2^-scale (scale clamped to -127..127, in single precision),
// nearest with ties to even, saturated; NaN gives 0.
SpStatus SpConvertF32ToI24(const float* src, uint8_t* dst, int32_t len, int32_t scale);
SpStatus SpConvertF32ToI24_L0(const float* src, uint8_t* dst, int32_t len, int32_t scale);

// srcDst[i] += src[i].
SpStatus SpAddInPlaceF32(const float* src, float* srcDst, int32_t len);
SpStatus SpAddInPlaceF32_L0(const float* src, float* srcDst, int32_t len);

// srcDst[i] x= 1/value (the reciprocal taken once in single precision); SpErrDivideByZero for
// a zero value, leaving the vector unchanged.
SpStatus SpDivConstInPlaceF32(float value, float* srcDst, int32_t len);
SpStatus SpDivConstInPlaceF32_L0(float value, float* srcDst, int32_t len);

// Copies len 32-bit words; the buffers may overlap either way.
SpStatus SpMoveI32(const int32_t* src, int32_t* dst, int32_t len);
SpStatus SpMoveI32_L0(const int32_t* src, int32_t* dst, int32_t len);

// srcDst[i] x= value; 1.0 touches nothing, 0.0 zeroes the vector (NaN and infinities too).
SpStatus SpMulConstInPlaceF32(float value, float* srcDst, int32_t len);
SpStatus SpMulConstInPlaceF32_L0(float value, float* srcDst, int32_t len);

// dst[i] = float(src[i]), nearest with ties to even.
SpStatus SpConvertI32ToF32(const int32_t* src, float* dst, int32_t len);
SpStatus SpConvertI32ToF32_L0(const int32_t* src, float* dst, int32_t len);

// srcDst[i] += value; 0.0 touches nothing.
SpStatus SpAddConstInPlaceF32(float value, float* srcDst, int32_t len);
SpStatus SpAddConstInPlaceF32_L0(float value, float* srcDst, int32_t len);

// dst[f x channelCount + c] = channels[c][f]. Moves 32-bit words unread, so it serves float
// and 32-bit integer samples alike. SpWarnMisaligned (work done) when dst or any channel
// buffer is not 16-byte aligned.
SpStatus SpInterleave32(const float* const* channels, int32_t channelCount, int32_t frames, float* dst);
SpStatus SpInterleave32_L0(const float* const* channels, int32_t channelCount, int32_t frames, float* dst);

// channels[c][f] = src[f x channelCount + c]; the same warning rule on src and the channels.
SpStatus SpDeinterleave32(const float* src, int32_t channelCount, int32_t frames, float* const* channels);
SpStatus SpDeinterleave32_L0(const float* src, int32_t channelCount, int32_t frames, float* const* channels);

// Two-buffer form under SpDivConstInPlaceF32 (not a table row): checks src and dst, then len,
// then the value; dst[i] = src[i] x (1/value).
SpStatus SpDivConstF32(const float* src, float value, float* dst, int32_t len);
