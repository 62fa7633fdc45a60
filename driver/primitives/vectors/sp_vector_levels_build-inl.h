// The vector rows of one level build, included by the level body (sp_level_build-inl.h) after
// it has defined SP_LN and SP_LEVEL_PARAMS: entries and kernels of the fill, absolute-value,
// square, minimum/maximum, flip, add, subtract, multiply, add-product, resampling, summation and square-root
// families compiled for that level's instruction set.
#include "driver/primitives/vectors/sp_arith_levels-inl.h"
#include "driver/primitives/vectors/sp_div64_levels-inl.h"
#include "driver/primitives/vectors/sp_div_levels-inl.h"
#include "driver/primitives/vectors/sp_exp_levels-inl.h"
#include "driver/primitives/vectors/sp_fill-inl.h"
#include "driver/primitives/vectors/sp_flip_levels-inl.h"
#include "driver/primitives/vectors/sp_int_div_levels-inl.h"
#include "driver/primitives/vectors/sp_int_sqr_levels-inl.h"
#include "driver/primitives/vectors/sp_ln_levels-inl.h"
#include "driver/primitives/vectors/sp_ln_levels.h"
#include "driver/primitives/vectors/sp_ln_types_levels-inl.h"
#include "driver/primitives/vectors/sp_minmax_levels-inl.h"
#include "driver/primitives/vectors/sp_resample_levels-inl.h"
#include "driver/primitives/vectors/sp_resample_width_levels-inl.h"
#include "driver/primitives/vectors/sp_sqrt_int_levels-inl.h"
#include "driver/primitives/vectors/sp_sum_dot_levels-inl.h"
#include "driver/primitives/vectors/sp_sqrt_levels-inl.h"
#include "driver/primitives/vectors/sp_sum_levels-inl.h"
#include "driver/primitives/vectors/sp_vector_levels.h"

// The level as a number the preprocessor can compare: SP_LEVEL_NUMBER_L<n> is n.
#define SP_LEVEL_NUMBER_L1 1
#define SP_LEVEL_NUMBER_L2 2
#define SP_LEVEL_NUMBER_L3 3
#define SP_LEVEL_NUMBER SP_LEVEL_CAT(SP_LEVEL_NUMBER, SP_LEVEL_SUFFIX)

namespace
{
using Fill = SpFillKernels<SP_LEVEL_PARAMS>;
using Arith = SpArithKernels<SP_LEVEL_PARAMS>;
using MinMax = SpMinMaxKernels<SP_LEVEL_PARAMS>;
using Resample = SpResampleKernels<SP_LEVEL_PARAMS>;
using Sum = SpSumKernels<SP_LEVEL_PARAMS>;
using Dot = SpDotKernels<SP_LEVEL_PARAMS>;
using Sqrt = SpSqrtKernels<SP_LEVEL_PARAMS>;
using Exp = SpExpKernels<SP_LEVEL_PARAMS>;
using Div = SpDivKernels<SP_LEVEL_PARAMS>;
using Ln = SpLnKernels<SP_LEVEL_PARAMS>;
} // namespace

void* SP_LN(SpFill16Kernel)(const uint16_t* pValue, void* dst, uint32_t count)
{
    return Fill::Fill16(pValue, dst, count);
}

void* SP_LN(SpFill32Kernel)(const uint32_t* pValue, void* dst, uint32_t count)
{
    return Fill::Fill32(pValue, dst, count);
}

void* SP_LN(SpFill64Kernel)(const uint64_t* pValue, void* dst, uint32_t count)
{
    return Fill::Fill64(pValue, dst, count);
}

void* SP_LN(SpFill128Kernel)(const void* pValue, void* dst, uint32_t count)
{
    return Fill::Fill128(pValue, dst, count);
}

void* SP_LN(SpFill32)(uint32_t value, void* dst, int32_t len)
{
    return SP_LN(SpFill32Kernel)(&value, dst, uint32_t(len));
}

SpStatus SP_LN(SpSetF32)(float value, float* dst, int32_t len)
{
    if (dst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    uint32_t bits;
    memcpy(&bits, &value, sizeof(bits));
    SP_LN(SpFill32)(bits, dst, len);
    return SpOk;
}

void SP_LN(SpAbsKernelF32)(const float* src, float* dst, int32_t len)
{
    Arith::AbsF32(src, dst, len);
}

void SP_LN(SpAbsKernelF64)(const double* src, double* dst, int32_t len)
{
    Arith::AbsF64(src, dst, len);
}

void SP_LN(SpAbsKernelI16)(const int16_t* src, int16_t* dst, int32_t len)
{
    Arith::AbsI16(src, dst, len);
}

void SP_LN(SpAbsKernelI32)(const int32_t* src, int32_t* dst, int32_t len)
{
    Arith::AbsI32(src, dst, len);
}

SpStatus SP_LN(SpAbsInPlaceF32)(float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    SP_LN(SpAbsKernelF32)(srcDst, srcDst, len);
    return SpOk;
}

// Checks of the one-source entries: pointers first, then the length.
static SpStatus SP_LN(SpCheckVectorArgs)(const void* a, const void* b, int32_t len)
{
    if (a == nullptr || b == nullptr)
    {
        return SpErrNullPointer;
    }
    return len < 1 ? SpErrBadLength : SpOk;
}

void SP_LN(SpSqrKernelF32)(const float* src, float* dst, int32_t len)
{
    Arith::SqrF32(src, dst, len);
}

void SP_LN(SpSqrKernelC32)(const float* src, float* dst, int32_t len)
{
    Arith::SqrC32(reinterpret_cast<const typename Arith::Complex32*>(src),
                  reinterpret_cast<typename Arith::Complex32*>(dst), len);
}

void SP_LN(SpSqrKernelF64)(const double* src, double* dst, int32_t len)
{
    Arith::SqrF64(src, dst, len);
}

void SP_LN(SpSqrKernelC64)(const double* src, double* dst, int32_t len)
{
    Arith::SqrC64(reinterpret_cast<const typename Arith::Complex64*>(src),
                  reinterpret_cast<typename Arith::Complex64*>(dst), len);
}

SpStatus SP_LN(SpSqrF32)(const float* src, float* dst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, dst, len);
    if (status == SpOk)
    {
        SP_LN(SpSqrKernelF32)(src, dst, len);
    }
    return status;
}

#define SP_VECTOR_LEVEL_REDUCE(kernel, op, T)                                                                \
    void SP_LN(kernel)(const T* src, int32_t len, T* pOut)                                                   \
    {                                                                                                        \
        MinMax::op(src, len, pOut);                                                                          \
    }
SP_VECTOR_LEVEL_REDUCE(SpMaxKernelF32, template ReduceF32<typename MinMax::MaxOp>, float)
SP_VECTOR_LEVEL_REDUCE(SpMinKernelF32, template ReduceF32<typename MinMax::MinOp>, float)
SP_VECTOR_LEVEL_REDUCE(SpMaxKernelF64, template ReduceF64<typename MinMax::MaxOp>, double)
SP_VECTOR_LEVEL_REDUCE(SpMinKernelF64, template ReduceF64<typename MinMax::MinOp>, double)
SP_VECTOR_LEVEL_REDUCE(SpMaxKernelI16, template ReduceI16<typename MinMax::MaxOp>, int16_t)
SP_VECTOR_LEVEL_REDUCE(SpMinKernelI16, template ReduceI16<typename MinMax::MinOp>, int16_t)
#undef SP_VECTOR_LEVEL_REDUCE

SpStatus SP_LN(SpMaxF32)(const float* src, int32_t len, float* pMax)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, pMax, len);
    if (status == SpOk)
    {
        SP_LN(SpMaxKernelF32)(src, len, pMax);
    }
    return status;
}

SpStatus SP_LN(SpMinF32)(const float* src, int32_t len, float* pMin)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, pMin, len);
    if (status == SpOk)
    {
        SP_LN(SpMinKernelF32)(src, len, pMin);
    }
    return status;
}

void SP_LN(SpMinEveryKernelF32)(const float* src, float* srcDst, int32_t len)
{
    MinMax::template Every<typename MinMax::MinOp>(src, srcDst, len);
}

void SP_LN(SpMaxEveryKernelF32)(const float* src, float* srcDst, int32_t len)
{
    MinMax::template Every<typename MinMax::MaxOp>(src, srcDst, len);
}

SpStatus SP_LN(SpMinEveryInPlaceF32)(const float* src, float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, srcDst, len);
    if (status == SpOk)
    {
        SP_LN(SpMinEveryKernelF32)(src, srcDst, len);
    }
    return status;
}

SpStatus SP_LN(SpMaxEveryInPlaceF32)(const float* src, float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, srcDst, len);
    if (status == SpOk)
    {
        SP_LN(SpMaxEveryKernelF32)(src, srcDst, len);
    }
    return status;
}

void SP_LN(SpSampleUpKernel32)(const void* src, uint32_t n, void* dst, uint32_t dstCount,
                               uint32_t strideBytes, uint32_t phase)
{
    Resample::UpGeneral(static_cast<const uint32_t*>(src), n, static_cast<uint32_t*>(dst), dstCount,
                        strideBytes, phase);
}

void SP_LN(SpSampleUpBy2KernelF32)(const float* src, uint32_t n, float* dst, uint32_t phase)
{
    Resample::UpBy2(reinterpret_cast<const uint32_t*>(src), n, reinterpret_cast<uint32_t*>(dst), phase);
}

void SP_LN(SpSampleDownKernelF32)(const float* src, uint32_t n, float* dst, int32_t* pDstLen, uint32_t factor,
                                  int32_t* pPhase)
{
    Resample::Down(reinterpret_cast<const uint32_t*>(src), n, reinterpret_cast<uint32_t*>(dst), pDstLen,
                   factor, pPhase);
}

void SP_LN(SpSampleDownBy2KernelF32)(const float* src, uint32_t n, float* dst, int32_t* pDstLen,
                                     int32_t* pPhase)
{
    Resample::Down(reinterpret_cast<const uint32_t*>(src), n, reinterpret_cast<uint32_t*>(dst), pDstLen, 2,
                   pPhase);
}

// The checks of both directions, in order: pointers, length, factor, phase.
static SpStatus SP_LN(SpCheckResample)(const float* src, int32_t srcLen, const float* dst,
                                       const int32_t* pDstLen, int32_t factor, const int32_t* pPhase)
{
    if (src == nullptr || dst == nullptr || pDstLen == nullptr || pPhase == nullptr)
    {
        return SpErrNullPointer;
    }
    if (srcLen < 1)
    {
        return SpErrBadLength;
    }
    if (factor < 1)
    {
        return SpErrResampleFactor;
    }
    return *pPhase < 0 || *pPhase >= factor ? SpErrResamplePhase : SpOk;
}

SpStatus SP_LN(SpSampleUpF32)(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                              int32_t* pPhase)
{
    const SpStatus status = SP_LN(SpCheckResample)(src, srcLen, dst, pDstLen, factor, pPhase);
    if (status != SpOk)
    {
        return status;
    }
    // The output length must itself be a 32-bit length; a product beyond it would wrap.
    const int64_t dstLen = int64_t(factor) * srcLen;
    if (dstLen > INT32_MAX)
    {
        return SpErrBadLength;
    }
    *pDstLen = int32_t(dstLen);
    const uint32_t phase = uint32_t(*pPhase);
    if (factor == 1)
    {
        return SP_LN(SpCopyF32)(src, dst, srcLen);
    }
    if (factor == 2)
    {
        SP_LN(SpSampleUpBy2KernelF32)(src, uint32_t(srcLen), dst, phase);
        return SpOk;
    }
    // Blocks of 4,096 inputs keep the zero pass and the scatter pass of one block in the cache.
    const int32_t kBlock = 4096;
    for (int64_t done = 0; done < srcLen; done += kBlock)
    {
        const uint32_t n = uint32_t(srcLen - done < kBlock ? srcLen - done : kBlock);
        SP_LN(SpSampleUpKernel32)
        (src + done, n, dst + done * factor, n * uint32_t(factor), 4 * uint32_t(factor), phase);
    }
    return SpOk;
}

SpStatus SP_LN(SpSampleDownF32)(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,
                                int32_t factor, int32_t* pPhase)
{
    const SpStatus status = SP_LN(SpCheckResample)(src, srcLen, dst, pDstLen, factor, pPhase);
    if (status != SpOk)
    {
        return status;
    }
    if (factor == 1)
    {
        SP_LN(SpCopyF32)(src, dst, srcLen);
        *pDstLen = srcLen;
        return SpOk;
    }
    if (factor == 2)
    {
        SP_LN(SpSampleDownBy2KernelF32)(src, uint32_t(srcLen), dst, pDstLen, pPhase);
        return SpOk;
    }
    // Short vectors with larger factors: a few samples, not worth a kernel's set-up (the
    // kernel keeps the same rule, so the split does not show).
    if (srcLen < 48)
    {
        const int32_t phase = *pPhase;
        int32_t count = 0;
        if (phase < srcLen)
        {
            count = int32_t((int64_t(srcLen) + factor - phase - 1) / factor);
            for (int32_t j = 0; j < count; ++j)
            {
                memcpy(dst + j, src + phase + int64_t(j) * factor, sizeof(float));
            }
            *pPhase = int32_t(phase + int64_t(factor) * count - srcLen);
        }
        else
        {
            *pPhase = phase - srcLen;
        }
        *pDstLen = count;
        return SpOk;
    }
    SP_LN(SpSampleDownKernelF32)(src, uint32_t(srcLen), dst, pDstLen, uint32_t(factor), pPhase);
    return SpOk;
}

void SP_LN(SpSumFastKernelF32)(const float* src, int32_t len, double* pSum)
{
    Sum::SumFast(src, len, pSum);
}

void SP_LN(SpSumAccurateKernelF32)(const float* src, int32_t len, double* pSum)
{
    Sum::SumAccurate(src, len, pSum);
}

double SP_LN(SpSumKernelF32)(const float* src, int32_t len, int32_t hint)
{
    return Sum::Sum(src, len, hint);
}

float SP_LN(SpMeanKernelF32)(const float* src, int32_t len, int32_t hint)
{
    return Sum::Mean(src, len, hint);
}

SpStatus SP_LN(SpSumF32)(const float* src, int32_t len, float* pSum, int32_t hint)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, pSum, len);
    if (status == SpOk)
    {
        *pSum = float(SP_LN(SpSumKernelF32)(src, len, hint));
    }
    return status;
}

SpStatus SP_LN(SpMeanF32)(const float* src, int32_t len, float* pMean, int32_t hint)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, pMean, len);
    if (status == SpOk)
    {
        *pMean = SP_LN(SpMeanKernelF32)(src, len, hint);
    }
    return status;
}

void SP_LN(SpDotProdKernelF32)(const float* src1, const float* src2, int32_t len, float* pDp)
{
    Dot::Dot(src1, src2, len, pDp);
}

SpStatus SP_LN(SpDotProdF32)(const float* src1, const float* src2, int32_t len, float* pDp)
{
    if (src1 == nullptr || src2 == nullptr || pDp == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    SP_LN(SpDotProdKernelF32)(src1, src2, len, pDp);
    return SpOk;
}

uint32_t SP_LN(SpSqrtKernelF32)(const float* src, float* dst, int32_t len)
{
    return Sqrt::Kernel(src, dst, len);
}

uint32_t SP_LN(SpSqrtKernelF64)(const double* src, double* dst, int32_t len)
{
    if (len < 1)
    {
        return 0;
    }
    return Sqrt::KernelF64(src, dst, len);
}

// The four-element step of the complex float root under its level's name; the kernel calls it
// by that name (and inlines it).
uint32_t SP_LN(SpSqrtQuadFc32)(__m128 v0, __m128 v1, __m128* pRe, __m128* pIm)
{
    return Sqrt::QuadFc32(v0, v1, pRe, pIm);
}

void SP_LN(SpSqrtKernelFc32)(const float* src, float* dst, int32_t len)
{
    if (len < 1)
    {
        return;
    }
    Sqrt::KernelFc32<SP_LN(SpSqrtQuadFc32)>(src, dst, len);
}

void SP_LN(SpSqrtKernelFc64)(const double* src, double* dst, int32_t len)
{
    if (len < 1)
    {
        return;
    }
    Sqrt::KernelFc64(src, dst, len);
}

uint32_t SP_LN(SpSqrtInPlace)(float* srcDst, int32_t len)
{
    return SP_LN(SpSqrtKernelF32)(srcDst, srcDst, len);
}

SpStatus SP_LN(SpSqrtInPlaceF32)(float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(srcDst, srcDst, len);
    if (status != SpOk)
    {
        return status;
    }
    return SP_LN(SpSqrtInPlace)(srcDst, len) != 0 ? SpWarnSqrtNegative : SpOk;
}

void SP_LN(SpExpInPlaceKernelF32)(const float* src, float* dst, int32_t len)
{
    Exp::Kernel(src, dst, len);
}

SpStatus SP_LN(SpExpInPlaceF32)(float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(srcDst, srcDst, len);
    if (status == SpOk)
    {
        SP_LN(SpExpInPlaceKernelF32)(srcDst, srcDst, len);
    }
    return status;
}

uint32_t SP_LN(SpDivKernelF32)(const float* src1, const float* src2, float* dst, int32_t len)
{
    return Div::Kernel(src1, src2, dst, len);
}

uint32_t SP_LN(SpDivConstRevKernelF32)(const float* src, const float* pValue, float* dst, int32_t len)
{
    return Div::ConstRev(src, *pValue, dst, len);
}

uint32_t SP_LN(SpDivKernelFc32)(const float* src1, const float* src2, float* dst, int32_t len)
{
    return Div::Complex(src1, src2, dst, len);
}

SpStatus SP_LN(SpDivF32)(const float* src1, const float* src2, float* dst, int32_t len)
{
    if (src1 == nullptr || src2 == nullptr || dst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    return SP_LN(SpDivKernelF32)(src1, src2, dst, len) != 0 ? SpWarnDivideByZero : SpOk;
}

int32_t SP_LN(SpLnInPlaceKernelF32)(float* srcDst, int64_t count, void* work)
{
    return count < 1 ? 0 : Ln::InPlace(srcDst, int32_t(count), work);
}

namespace
{
using LnType = SpLnTypeKernels<SP_LEVEL_PARAMS>;
} // namespace

int32_t SP_LN(SpLnKernelF32)(const float* src, float* dst, int64_t count, void* work)
{
    return LnType::Float(src, dst, count, work);
}

int32_t SP_LN(SpLnKernelI32Scaled)(const int32_t* src, int32_t* dst, int64_t count, const float* pF,
                                   void* work)
{
    const bool fits = LnType::Whole(src, 4) && LnType::Whole(dst, 4) && LnType::InStep(src, dst);
    return LnType::Integer<SpLnScratch::kQuotientInDestination>(src, dst, count, *pF, work, src, fits);
}

int32_t SP_LN(SpLnInPlaceKernelI32Scaled)(int32_t* srcDst, int64_t count, const float* pF, void* work)
{
    return LnType::Integer<SpLnScratch::kBothInWork>(srcDst, srcDst, count, *pF, work, srcDst,
                                                     LnType::Whole(srcDst, 4));
}

int32_t SP_LN(SpLnKernelI32ToI16Scaled)(const int32_t* src, int16_t* dst, int64_t count, int32_t s,
                                        void* work)
{
    return LnType::Integer<SpLnScratch::kExponentInDestination>(src, dst, count, LnType::ScaleFactor(s), work,
                                                                src, LnType::Whole(src, 4));
}

int32_t SP_LN(SpLnKernelI16Scaled)(const int16_t* src, int16_t* dst, int64_t count, int32_t s, void* work)
{
    const bool fits = LnType::Whole(src, 2) && LnType::Whole(dst, 2) && LnType::InStep(src, dst);
    return LnType::Integer<SpLnScratch::kExponentInDestination>(src, dst, count, LnType::ScaleFactor(s), work,
                                                                src, fits);
}

int32_t SP_LN(SpLnInPlaceKernelI16Scaled)(int16_t* srcDst, int64_t count, int32_t s, void* work)
{
    return LnType::Integer<SpLnScratch::kBothInWork>(srcDst, srcDst, count, LnType::ScaleFactor(s), work,
                                                     srcDst, LnType::Whole(srcDst, 2));
}

int32_t SP_LN(SpLnKernelF64)(const double* src, double* dst, int64_t count)
{
    return LnType::KernelF64(src, dst, count);
}

int32_t SP_LN(SpLnKernelF64ToF32)(const double* src, float* dst, int64_t count)
{
    return LnType::KernelF64(src, dst, count);
}

void SP_LN(SpScaleFactorF32)(int32_t s, float* pF)
{
    *pF = LnType::ScaleFactor(s);
}

SpStatus SP_LN(SpLnInPlaceF32)(float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(srcDst, srcDst, len);
    if (status != SpOk)
    {
        return status;
    }
    // Chunks of 256 keep the two-pass scratch on the stack; the first special element decides.
    alignas(16) uint8_t work[2048];
    int32_t code = 0;
    for (int32_t at = 0; at < len; at += 256)
    {
        const int32_t chunk = len - at < 256 ? len - at : 256;
        const int32_t c = SP_LN(SpLnInPlaceKernelF32)(srcDst + at, chunk, work);
        if (code == 0)
        {
            code = c;
        }
    }
    return code == 0 ? SpOk : (code == 2 ? SpWarnLnZero : SpWarnLnNegative);
}

void SP_LN(SpFlipKernel32)(const uint32_t* src, uint32_t* dst, int32_t len)
{
    Arith::Flip32(src, dst, len);
}

void SP_LN(SpFlipInPlaceKernel32)(uint32_t* srcDst, int32_t len)
{
    Arith::FlipInPlace32(srcDst, len);
}

SpStatus SP_LN(SpFlipF32)(const float* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    // The forward kernel reads the source backwards while it writes forwards, so one buffer
    // given twice would come out half mirrored; the in-place kernel reverses it as asked.
    if (src == dst)
    {
        SP_LN(SpFlipInPlaceKernel32)(reinterpret_cast<uint32_t*>(dst), len);
    }
    else
    {
        SP_LN(SpFlipKernel32)(reinterpret_cast<const uint32_t*>(src), reinterpret_cast<uint32_t*>(dst), len);
    }
    return SpOk;
}

// Add, subtract and multiply: one build for level 1 and one for level 2, which level 3 shares.
#if SP_LEVEL_NUMBER != 3
void SP_LN(SpMulInPlaceKernelF32)(const float* src, float* srcDst, int32_t len)
{
    Arith::MulInPlace(src, srcDst, len);
}

void SP_LN(SpAddKernelF32)(const float* src1, const float* src2, float* dst, int32_t len)
{
    Arith::Binary(src1, src2, dst, len, typename Arith::AddOp());
}

void SP_LN(SpSubKernelF32)(const float* src1, const float* src2, float* dst, int32_t len)
{
    Arith::Binary(src1, src2, dst, len, typename Arith::SubOp());
}

void SP_LN(SpMulKernelF32)(const float* src1, const float* src2, float* dst, int32_t len)
{
    Arith::Binary(src1, src2, dst, len, typename Arith::MulOp());
}

SpStatus SP_LN(SpMulInPlaceF32)(const float* src, float* srcDst, int32_t len)
{
    if (src == nullptr || srcDst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    SP_LN(SpMulInPlaceKernelF32)(src, srcDst, len);
    return SpOk;
}

#define SP_VECTOR_LEVEL_BINARY_ENTRY(name, kernel)                                                           \
    SpStatus SP_LN(name)(const float* src1, const float* src2, float* dst, int32_t len)                      \
    {                                                                                                        \
        if (src1 == nullptr || src2 == nullptr || dst == nullptr)                                            \
        {                                                                                                    \
            return SpErrNullPointer;                                                                         \
        }                                                                                                    \
        if (len < 1)                                                                                         \
        {                                                                                                    \
            return SpErrBadLength;                                                                           \
        }                                                                                                    \
        SP_LN(kernel)(src1, src2, dst, len);                                                                 \
        return SpOk;                                                                                         \
    }
void SP_LN(SpAddProductConstKernelF32)(const float* src, float value, float* srcDst, int32_t len)
{
    MinMax::AddProductConst(src, value, srcDst, len);
}

SpStatus SP_LN(SpAddProductConstF32)(const float* src, float value, float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, srcDst, len);
    if (status == SpOk)
    {
        SP_LN(SpAddProductConstKernelF32)(src, value, srcDst, len);
    }
    return status;
}

SP_VECTOR_LEVEL_BINARY_ENTRY(SpAddF32, SpAddKernelF32)
SP_VECTOR_LEVEL_BINARY_ENTRY(SpSubF32, SpSubKernelF32)
SP_VECTOR_LEVEL_BINARY_ENTRY(SpMulF32, SpMulKernelF32)
#undef SP_VECTOR_LEVEL_BINARY_ENTRY
#endif

// --- 32-bit set, named division steps -------------------------------------------------------------

SpStatus SP_LN(SpSetI32)(int32_t value, int32_t* dst, int32_t len)
{
    if (dst == nullptr)
    {
        return SpErrNullPointer;
    }
    if (len < 1)
    {
        return SpErrBadLength;
    }
    SP_LN(SpFill32)(uint32_t(value), dst, len);
    return SpOk;
}

__m128 SP_LN(SpDivQuadF32)(__m128 divisors, __m128 dividends, uint32_t* pFlag)
{
    return Div::Quad(divisors, dividends, pFlag);
}

void SP_LN(SpDivQuadFc32)(__m128 divisors0, __m128 divisors1, __m128 dividends0, __m128 dividends1,
                          __m128* pRe, __m128* pIm, uint32_t* pMask)
{
    Div::QuadInterleaved(divisors0, divisors1, dividends0, dividends1, pRe, pIm, pMask);
}

// --- multiply and divide by a constant, add in place ----------------------------------------------

// Copies for 1 and zero-fills for 0 (of either sign, NaN and infinite sources included) through
// this level's own builds; every other value, NaN too, goes to the kernel.
SpStatus SP_LN(SpMulConstF32)(const float* src, float value, float* dst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    if (value == 1.0f)
    {
        return SP_LN(SpCopyF32)(src, dst, len);
    }
    if (value == 0.0f)
    {
        return SP_LN(SpZeroF32)(dst, len);
    }
#if SP_LEVEL_NUMBER == 1
    SpMulConstKernelF32_L1(src, value, dst, len);
#else
    SpMulConstKernelF32_L2(src, value, dst, len);
#endif
    return SpOk;
}

// A zero divisor (ordered compare: a NaN divisor is not zero) writes nothing; any other divides
// by multiplying with its single-precision reciprocal.
SpStatus SP_LN(SpDivConstF32)(const float* src, float value, float* dst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, dst, len);
    if (status != SpOk)
    {
        return status;
    }
    if (value == 0.0f)
    {
        return SpErrDivideByZero;
    }
    return SP_LN(SpMulConstF32)(src, 1.0f / value, dst, len);
}

SpStatus SP_LN(SpDivConstInPlaceF32)(float value, float* srcDst, int32_t len)
{
    return SP_LN(SpDivConstF32)(srcDst, value, srcDst, len);
}

// The add-in-place and multiply kernels: one build for level 1 and one for level 2, which level 3
// shares (its columns hold the level-2 entries).
#if SP_LEVEL_NUMBER != 3
void SP_LN(SpMulConstKernelF32)(const float* src, float value, float* dst, int32_t len)
{
    Arith::MulConst(src, value, dst, len);
}

void SP_LN(SpAddInPlaceKernelF32)(const float* src, float* srcDst, int32_t len)
{
    Arith::AddInPlace(src, srcDst, len);
}

void SP_LN(SpMulConstInPlaceKernelF32)(float value, float* srcDst, int32_t len)
{
    Arith::MulConstInPlace(value, srcDst, len);
}

SpStatus SP_LN(SpAddInPlaceF32)(const float* src, float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(src, srcDst, len);
    if (status == SpOk)
    {
        SP_LN(SpAddInPlaceKernelF32)(src, srcDst, len);
    }
    return status;
}

#define SP_MUL_CONST_IN_PLACE_KERNEL SP_LN(SpMulConstInPlaceKernelF32)
#else
#define SP_MUL_CONST_IN_PLACE_KERNEL SpMulConstInPlaceKernelF32_L2
#endif

// 1 leaves the vector alone, 0 zero-fills it; every other value, NaN too, multiplies. Level 3
// has an entry of its own (its FFT drivers call it) over the multiply kernel it shares.
SpStatus SP_LN(SpMulConstInPlaceF32)(float value, float* srcDst, int32_t len)
{
    const SpStatus status = SP_LN(SpCheckVectorArgs)(srcDst, srcDst, len);
    if (status != SpOk || value == 1.0f)
    {
        return status;
    }
    if (value == 0.0f)
    {
        return SP_LN(SpZeroF32)(srcDst, len);
    }
    SP_MUL_CONST_IN_PLACE_KERNEL(value, srcDst, len);
    return SpOk;
}
#undef SP_MUL_CONST_IN_PLACE_KERNEL

// --- power ----------------------------------------------------------------------------------------

void SP_LN(SpRaiseFpException)(int32_t code)
{
    Pow::RaiseFpException(code);
}

void SP_LN(SpPowSpecialLanes)(const float* src1, const float* src2, float* dst, int32_t index,
                              SpStatus* pStatus)
{
    Pow::SpecialLane(src1, src2, dst, index, pStatus, SP_LN(SpRaiseFpException));
}

SpStatus SP_LN(SpPowF32)(const float* src1, const float* src2, float* dst, int32_t len)
{
    return Pow::PowLevel(src1, src2, dst, len, SP_LN(SpPowSpecialLanes));
}

// The summation siblings of every level and the dot products that only level 1 carries.
namespace
{
using SumType = SpSumTypeKernels<SP_LEVEL_PARAMS>;
} // namespace

void SP_LN(SpSumBlockAlignedF32)(const float** pCursor, int32_t count, float* pPartials)
{
    Sum::template Block<true>(*pCursor, count, pPartials, pPartials + 1);
}

void SP_LN(SpSumBlockUnalignedF32)(const float** pCursor, int32_t count, float* pPartials)
{
    Sum::template Block<false>(*pCursor, count, pPartials, pPartials + 1);
}

void SP_LN(SpSumFastKernelFc32)(const float* src, int32_t len, double* pSum)
{
    if (len < 1)
    {
        return;
    }
    SumType::FastFc32(src, len, pSum);
}

void SP_LN(SpSumAccurateKernelFc32)(const float* src, int32_t len, double* pSum)
{
    if (len < 1)
    {
        return;
    }
    SumType::AccurateFc32(src, len, pSum);
}

void SP_LN(SpSumKernelF64)(const double* src, int32_t len, double* pSum)
{
    if (len < 1)
    {
        return;
    }
    SumType::SumF64(src, len, pSum);
}

void SP_LN(SpSumKernelFc64)(const double* src, int32_t len, double* pSum)
{
    if (len < 1)
    {
        return;
    }
    SumType::SumFc64(src, len, pSum);
}

void SP_LN(SpSumKernelI16)(const int16_t* src, double* pSum, int32_t len)
{
    if (len < 1)
    {
        return;
    }
    SumType::SumI16(src, pSum, len);
}

void SP_LN(SpSumKernelIc16)(const SpIc16* src, double* pSum, int32_t len)
{
    if (len < 1)
    {
        return;
    }
    SumType::SumIc16(src, pSum, len);
}

int32_t SP_LN(SpRoundScaledF64ToI32)(const double* pValue, int32_t s)
{
    return SumType::RoundScaled(*pValue, s);
}

void SP_LN(SpRoundScaledFc64ToIc32)(const double* pValue, int32_t* pDst, int32_t s)
{
    pDst[0] = SumType::RoundScaled(pValue[0], s);
    pDst[1] = SumType::RoundScaled(pValue[1], s);
}

#if SP_LEVEL_NUMBER == 1
void SpDotProdKernelF32Fc32_L1(const float* a, const float* b, int32_t n, float* pDp)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::F32Fc32(a, b, n, pDp);
}

void SpDotProdKernelFc32_L1(const float* a, const float* b, int32_t n, float* pDp)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::Fc32(a, b, n, pDp);
}

void SpDotProdKernelF64_L1(const double* a, const double* b, int32_t n, double* pDp)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::F64(a, b, n, pDp);
}

void SpDotProdKernelF64Fc64_L1(const double* a, const double* b, int32_t n, double* pDp)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::F64Fc64(a, b, n, pDp);
}

void SpDotProdKernelFc64_L1(const double* a, const double* b, int32_t n, double* pDp)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::Fc64(a, b, n, pDp);
}

void SpDotProdKernelI32Scaled_L1(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                 const double* pScale)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::I32Scaled(a, b, n, pDp, *pScale);
}

void SpDotProdKernelI32Ic32Scaled_L1(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                     const double* pScale)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::I32Ic32Scaled(a, b, n, pDp, *pScale);
}

void SpDotProdKernelIc32Scaled_L1(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                  const double* pScale)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::Ic32Scaled(a, b, n, pDp, *pScale);
}

void SpDotProdKernelI16I32Scaled_L1(const int16_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                    const double* pScale)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::I16I32Scaled(a, b, n, pDp, *pScale);
}

// The peeling sibling runs singles until a is 16-byte aligned; the sum is exact either way.
void SpDotProdPeelKernelI16ToI64_L1(const int16_t* a, const int16_t* b, int32_t n, int64_t* pDp)
{
    if (n < 1)
    {
        return;
    }
    int64_t head = 0;
    int32_t i = 0;
    for (; i < n && (reinterpret_cast<uintptr_t>(a + i) & 15) != 0; ++i)
    {
        head += int64_t(SpDotTypeKernels::Get(a + i)) * SpDotTypeKernels::Get(b + i);
    }
    *pDp = head + (i < n ? SpDotTypeKernels::I16ToI64(a + i, b + i, n - i) : 0);
}

void SpDotProdKernelI16ToI64_L1(const int16_t* a, const int16_t* b, int32_t n, int64_t* pDp)
{
    if (n < 1)
    {
        return;
    }
    *pDp = SpDotTypeKernels::I16ToI64(a, b, n);
}

void SpDotProdKernelI16Ic16ToIc64_L1(const int16_t* a, const SpIc16* b, int32_t n, int64_t* pDp)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::I16Ic16ToIc64(a, b, n, pDp);
}

void SpDotProdKernelIc16ToIc64_L1(const SpIc16* a, const SpIc16* b, int32_t n, int64_t* pDp)
{
    if (n < 1)
    {
        return;
    }
    SpDotTypeKernels::Ic16ToIc64(a, b, n, pDp);
}
#endif
