// Level-0 builds of the element-wise vector operations, reductions, exp/ln and resampling.
#include "sp_vector.h"

#include "sp_level_params.h"
#include "sp_vector-inl.h"
#include "sp_vector_math-inl.h"

using SpVector0 = SpVectorKernels<SpLevel0Params>;
using SpVectorMath0 = SpVectorMathKernels<SpLevel0Params>;

SpStatus SpCopyF32_L0(const float* src, float* dst, int32_t len)
{
    return SpVector0::Copy(src, dst, len);
}

SpStatus SpSetF32_L0(float value, float* dst, int32_t len)
{
    return SpVector0::Set(value, dst, len);
}

SpStatus SpMulConstF32_L0(const float* src, float value, float* dst, int32_t len)
{
    return SpVector0::MulConst(src, value, dst, len);
}

SpStatus SpSqrtInPlaceF32_L0(float* srcDst, int32_t len)
{
    return SpVector0::SqrtInPlace(srcDst, len);
}

SpStatus SpAbsInPlaceF32_L0(float* srcDst, int32_t len)
{
    return SpVector0::AbsInPlace(srcDst, len);
}

SpStatus SpMaxF32_L0(const float* src, int32_t len, float* pMax)
{
    return SpVector0::Max(src, len, pMax);
}

SpStatus SpMinF32_L0(const float* src, int32_t len, float* pMin)
{
    return SpVector0::Min(src, len, pMin);
}

SpStatus SpFlipF32_L0(const float* src, float* dst, int32_t len)
{
    return SpVector0::Flip(src, dst, len);
}

SpStatus SpMulInPlaceF32_L0(const float* src, float* srcDst, int32_t len)
{
    return SpVector0::MulInPlace(src, srcDst, len);
}

SpStatus SpAddF32_L0(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpVector0::Add(src1, src2, dst, len);
}

SpStatus SpSubF32_L0(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpVector0::Sub(src1, src2, dst, len);
}

SpStatus SpMulF32_L0(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpVector0::Mul(src1, src2, dst, len);
}

SpStatus SpAddProductF32_L0(const float* src1, const float* src2, float* srcDst, int32_t len)
{
    return SpVector0::AddProduct(src1, src2, srcDst, len);
}

SpStatus SpSqrF32_L0(const float* src, float* dst, int32_t len)
{
    return SpVector0::Sqr(src, dst, len);
}

SpStatus SpDivF32_L0(const float* src1, const float* src2, float* dst, int32_t len)
{
    return SpVector0::Div(src1, src2, dst, len);
}

SpStatus SpExpInPlaceF32_L0(float* srcDst, int32_t len)
{
    return SpVectorMath0::ExpInPlace(srcDst, len);
}

SpStatus SpLnInPlaceF32_L0(float* srcDst, int32_t len)
{
    return SpVectorMath0::LnInPlace(srcDst, len);
}

SpStatus SpSumF32_L0(const float* src, int32_t len, float* pSum, int32_t hint)
{
    return SpVector0::Sum(src, len, pSum);
}

SpStatus SpMeanF32_L0(const float* src, int32_t len, float* pMean, int32_t hint)
{
    return SpVector0::Mean(src, len, pMean);
}

SpStatus SpMinEveryInPlaceF32_L0(const float* src, float* srcDst, int32_t len)
{
    return SpVector0::MinEveryInPlace(src, srcDst, len);
}

SpStatus SpMaxEveryInPlaceF32_L0(const float* src, float* srcDst, int32_t len)
{
    return SpVector0::MaxEveryInPlace(src, srcDst, len);
}

SpStatus SpDotProdF32_L0(const float* src1, const float* src2, int32_t len, float* pDp)
{
    return SpVector0::DotProd(src1, src2, len, pDp);
}

SpStatus SpSampleUpF32_L0(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                          int32_t* pPhase)
{
    return SpVector0::SampleUp(src, srcLen, dst, pDstLen, factor, pPhase);
}

SpStatus SpSampleDownF32_L0(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                            int32_t* pPhase)
{
    return SpVector0::SampleDown(src, srcLen, dst, pDstLen, factor, pPhase);
}

SpStatus SpAddProductConstF32_L0(const float* src, float value, float* srcDst, int32_t len)
{
    return SpVector0::AddProductConst(src, value, srcDst, len);
}
