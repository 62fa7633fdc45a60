// Public entry stubs of the conversion, vector and power rows: each reads SpCpuLevel, takes its
// row's entry for that level and passes every argument through unchanged. No checks here; the
// entries make them, identically at every level.
#include "driver/primitives/vectors/sp_convert.h"
#include "driver/primitives/vectors/sp_pow.h"
#include "driver/primitives/vectors/sp_vector.h"

#include "sp_level_tables.h"

namespace
{

template <typename Fn> Fn SpEntry1(int row)
{
    return SpLevelEntry<Fn>(SpLevelTable1, row);
}

template <typename Fn> Fn SpEntry2(int row)
{
    return SpLevelEntry<Fn>(SpLevelTable2, row);
}

} // namespace

// --- SpLevelTable1 ---------------------------------------------------------------------------------

SpStatus SpZeroF32(float* dst, int32_t len)
{
    return SpEntry1<decltype(&SpZeroF32_L0)>(SP_T1_ZERO_F32)(dst, len);
}

SpStatus SpConvertF32ToI16(const float* src, int16_t* dst, int32_t len, int32_t rounding, int32_t scale)
{
    return SpEntry1<decltype(&SpConvertF32ToI16_L0)>(SP_T1_CONVERT_F32_TO_I16)(src, dst, len, rounding,
                                                                               scale);
}

SpStatus SpConvertF32ToI32(const float* src, int32_t* dst, int32_t len, int32_t rounding, int32_t scale)
{
    return SpEntry1<decltype(&SpConvertF32ToI32_L0)>(SP_T1_CONVERT_F32_TO_I32)(src, dst, len, rounding,
                                                                               scale);
}

SpStatus SpConvertI16ToF32(const int16_t* src, float* dst, int32_t len, int32_t scale)
{
    return SpEntry1<decltype(&SpConvertI16ToF32_L0)>(SP_T1_CONVERT_I16_TO_F32)(src, dst, len, scale);
}

SpStatus SpConvertI32ToF32Scaled(const int32_t* src, float* dst, int32_t len, int32_t scale)
{
    return SpEntry1<decltype(&SpConvertI32ToF32Scaled_L0)>(SP_T1_CONVERT_I32_TO_F32_SCALED)(src, dst, len,
                                                                                            scale);
}

SpStatus SpConvertI24ToF32(const uint8_t* src, float* dst, int32_t len)
{
    return SpEntry1<decltype(&SpConvertI24ToF32_L0)>(SP_T1_CONVERT_I24_TO_F32)(src, dst, len);
}

SpStatus SpConvertF32ToI24(const float* src, uint8_t* dst, int32_t len, int32_t scale)
{
    return SpEntry1<decltype(&SpConvertF32ToI24_L0)>(SP_T1_CONVERT_F32_TO_I24)(src, dst, len, scale);
}

SpStatus SpAddInPlaceF32(const float* src, float* srcDst, int32_t len)
{
    return SpEntry1<decltype(&SpAddInPlaceF32_L0)>(SP_T1_ADD_IN_PLACE_F32)(src, srcDst, len);
}

SpStatus SpDivConstInPlaceF32(float value, float* srcDst, int32_t len)
{
    return SpEntry1<decltype(&SpDivConstInPlaceF32_L0)>(SP_T1_DIV_CONST_IN_PLACE_F32)(value, srcDst, len);
}

SpStatus SpMoveI32(const int32_t* src, int32_t* dst, int32_t len)
{
    return SpEntry1<decltype(&SpMoveI32_L0)>(SP_T1_MOVE_I32)(src, dst, len);
}

SpStatus SpMulConstInPlaceF32(float value, float* srcDst, int32_t len)
{
    return SpEntry1<decltype(&SpMulConstInPlaceF32_L0)>(SP_T1_MUL_CONST_IN_PLACE_F32)(value, srcDst, len);
}

SpStatus SpConvertI32ToF32(const int32_t* src, float* dst, int32_t len)
{
    return SpEntry1<decltype(&SpConvertI32ToF32_L0)>(SP_T1_CONVERT_I32_TO_F32)(src, dst, len);
}

SpStatus SpAddConstInPlaceF32(float value, float* srcDst, int32_t len)
{
    return SpEntry1<decltype(&SpAddConstInPlaceF32_L0)>(SP_T1_ADD_CONST_IN_PLACE_F32)(value, srcDst, len);
}

SpStatus SpInterleave32(const float* const* channels, int32_t channelCount, int32_t frames, float* dst)
{
    return SpEntry1<decltype(&SpInterleave32_L0)>(SP_T1_INTERLEAVE32)(channels, channelCount, frames, dst);
}

SpStatus SpDeinterleave32(const float* src, int32_t channelCount, int32_t frames, float* const* channels)
{
    return SpEntry1<decltype(&SpDeinterleave32_L0)>(SP_T1_DEINTERLEAVE32)(src, channelCount, frames,
                                                                          channels);
}

SpStatus SpPowF32(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpEntry1<decltype(&SpPowF32_L0)>(SP_T1_POW_F32)(src1, src2, dst, len);
}

// --- SpLevelTable2 ---------------------------------------------------------------------------------

SpStatus SpCopyF32(const float* src, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpCopyF32_L0)>(SP_T2_COPY_F32)(src, dst, len);
}

SpStatus SpSetF32(float value, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpSetF32_L0)>(SP_T2_SET_F32)(value, dst, len);
}

SpStatus SpMulConstF32(const float* src, float value, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpMulConstF32_L0)>(SP_T2_MUL_CONST_F32)(src, value, dst, len);
}

SpStatus SpSqrtInPlaceF32(float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpSqrtInPlaceF32_L0)>(SP_T2_SQRT_IN_PLACE_F32)(srcDst, len);
}

SpStatus SpAbsInPlaceF32(float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpAbsInPlaceF32_L0)>(SP_T2_ABS_IN_PLACE_F32)(srcDst, len);
}

SpStatus SpMaxF32(const float* src, int32_t len, float* pMax)
{
    return SpEntry2<decltype(&SpMaxF32_L0)>(SP_T2_MAX_F32)(src, len, pMax);
}

SpStatus SpMinF32(const float* src, int32_t len, float* pMin)
{
    return SpEntry2<decltype(&SpMinF32_L0)>(SP_T2_MIN_F32)(src, len, pMin);
}

SpStatus SpFlipF32(const float* src, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpFlipF32_L0)>(SP_T2_FLIP_F32)(src, dst, len);
}

SpStatus SpMulInPlaceF32(const float* src, float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpMulInPlaceF32_L0)>(SP_T2_MUL_IN_PLACE_F32)(src, srcDst, len);
}

SpStatus SpAddF32(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpAddF32_L0)>(SP_T2_ADD_F32)(src1, src2, dst, len);
}

SpStatus SpSubF32(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpSubF32_L0)>(SP_T2_SUB_F32)(src1, src2, dst, len);
}

SpStatus SpMulF32(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpMulF32_L0)>(SP_T2_MUL_F32)(src1, src2, dst, len);
}

SpStatus SpAddProductF32(const float* src1, const float* src2, float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpAddProductF32_L0)>(SP_T2_ADD_PRODUCT_F32)(src1, src2, srcDst, len);
}

SpStatus SpSqrF32(const float* src, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpSqrF32_L0)>(SP_T2_SQR_F32)(src, dst, len);
}

SpStatus SpDivF32(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpEntry2<decltype(&SpDivF32_L0)>(SP_T2_DIV_F32)(src1, src2, dst, len);
}

SpStatus SpExpInPlaceF32(float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpExpInPlaceF32_L0)>(SP_T2_EXP_IN_PLACE_F32)(srcDst, len);
}

SpStatus SpLnInPlaceF32(float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpLnInPlaceF32_L0)>(SP_T2_LN_IN_PLACE_F32)(srcDst, len);
}

SpStatus SpSumF32(const float* src, int32_t len, float* pSum, int32_t hint)
{
    return SpEntry2<decltype(&SpSumF32_L0)>(SP_T2_SUM_F32)(src, len, pSum, hint);
}

SpStatus SpMeanF32(const float* src, int32_t len, float* pMean, int32_t hint)
{
    return SpEntry2<decltype(&SpMeanF32_L0)>(SP_T2_MEAN_F32)(src, len, pMean, hint);
}

SpStatus SpMinEveryInPlaceF32(const float* src, float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpMinEveryInPlaceF32_L0)>(SP_T2_MIN_EVERY_IN_PLACE_F32)(src, srcDst, len);
}

SpStatus SpMaxEveryInPlaceF32(const float* src, float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpMaxEveryInPlaceF32_L0)>(SP_T2_MAX_EVERY_IN_PLACE_F32)(src, srcDst, len);
}

SpStatus SpDotProdF32(const float* src1, const float* src2, int32_t len, float* pDp)
{
    return SpEntry2<decltype(&SpDotProdF32_L0)>(SP_T2_DOT_PROD_F32)(src1, src2, len, pDp);
}

SpStatus SpSampleUpF32(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                       int32_t* pPhase)
{
    return SpEntry2<decltype(&SpSampleUpF32_L0)>(SP_T2_SAMPLE_UP_F32)(src, srcLen, dst, pDstLen, factor,
                                                                      pPhase);
}

SpStatus SpSampleDownF32(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                         int32_t* pPhase)
{
    return SpEntry2<decltype(&SpSampleDownF32_L0)>(SP_T2_SAMPLE_DOWN_F32)(src, srcLen, dst, pDstLen, factor,
                                                                          pPhase);
}

SpStatus SpAddProductConstF32(const float* src, float value, float* srcDst, int32_t len)
{
    return SpEntry2<decltype(&SpAddProductConstF32_L0)>(SP_T2_ADD_PRODUCT_CONST_F32)(src, value, srcDst, len);
}
