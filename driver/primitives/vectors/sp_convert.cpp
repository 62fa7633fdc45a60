// Level-0 builds of the format conversions and in-place scaling.
#include "sp_convert.h"

#include "sp_convert-inl.h"
#include "sp_interleave-inl.h"
#include "sp_level_params.h"

using SpConvert0 = SpConvertKernels<SpLevel0Params>;
using SpInterleave0 = SpInterleaveKernels<SpLevel0Params>;

SpStatus SpZeroF32_L0(float* dst, int32_t len)
{
    return SpConvert0::ZeroF32(dst, len);
}

SpStatus SpConvertF32ToI16_L0(const float* src, int16_t* dst, int32_t len, int32_t rounding, int32_t scale)
{
    return SpConvert0::ConvertF32ToI16(src, dst, len, rounding, scale);
}

SpStatus SpConvertF32ToI32_L0(const float* src, int32_t* dst, int32_t len, int32_t rounding, int32_t scale)
{
    return SpConvert0::ConvertF32ToI32(src, dst, len, rounding, scale);
}

SpStatus SpConvertI16ToF32_L0(const int16_t* src, float* dst, int32_t len, int32_t scale)
{
    return SpConvert0::ConvertI16ToF32(src, dst, len, scale);
}

SpStatus SpConvertI32ToF32Scaled_L0(const int32_t* src, float* dst, int32_t len, int32_t scale)
{
    return SpConvert0::ConvertI32ToF32Scaled(src, dst, len, scale);
}

SpStatus SpConvertI24ToF32_L0(const uint8_t* src, float* dst, int32_t len)
{
    return SpConvert0::ConvertI24ToF32(src, dst, len);
}

SpStatus SpConvertF32ToI24_L0(const float* src, uint8_t* dst, int32_t len, int32_t scale)
{
    return SpConvert0::ConvertF32ToI24(src, dst, len, scale);
}

SpStatus SpAddInPlaceF32_L0(const float* src, float* srcDst, int32_t len)
{
    return SpConvert0::AddInPlace(src, srcDst, len);
}

SpStatus SpDivConstInPlaceF32_L0(float value, float* srcDst, int32_t len)
{
    return SpDivConstF32(srcDst, value, srcDst, len);
}

SpStatus SpMoveI32_L0(const int32_t* src, int32_t* dst, int32_t len)
{
    return SpConvert0::MoveI32(src, dst, len);
}

SpStatus SpMulConstInPlaceF32_L0(float value, float* srcDst, int32_t len)
{
    return SpConvert0::MulConstInPlace(value, srcDst, len);
}

SpStatus SpConvertI32ToF32_L0(const int32_t* src, float* dst, int32_t len)
{
    return SpConvert0::ConvertI32ToF32(src, dst, len);
}

SpStatus SpAddConstInPlaceF32_L0(float value, float* srcDst, int32_t len)
{
    return SpConvert0::AddConstInPlace(value, srcDst, len);
}

SpStatus SpInterleave32_L0(const float* const* channels, int32_t channelCount, int32_t frames, float* dst)
{
    return SpInterleave0::Interleave(channels, channelCount, frames, dst);
}

SpStatus SpDeinterleave32_L0(const float* src, int32_t channelCount, int32_t frames, float* const* channels)
{
    return SpInterleave0::Deinterleave(src, channelCount, frames, channels);
}

SpStatus SpDivConstF32(const float* src, float value, float* dst, int32_t len)
{
    return SpConvert0::DivConst(src, value, dst, len);
}
