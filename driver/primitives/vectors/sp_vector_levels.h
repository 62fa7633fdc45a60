// The level-1 to level-3 builds of the vector rows (fills and sets, absolute value, square,
// minimum and maximum, flip, add, subtract, multiply, add-product of a constant, up- and
// down-sampling, sum, mean, dot product, square root, exponential, division and logarithm, add
// in place and multiply and divide by a constant) and the kernels and lane steps of their families:
// SpXxx_L<n> has SpXxx's exact signature; kernels check nothing and take a count of at least 1. Kernels that
// no entry calls are library members kept beside the ones that are. Only level code and tests call these.
#pragma once

#include <stdint.h>
#include <xmmintrin.h>

#include "driver/primitives/dispatch/sp_status.h"

// clang-format off
#define SP_VECTOR_LEVEL_DECLARE(L)                                                                           \
    SpStatus SpSetF32_##L(float value, float* dst, int32_t len);                                              \
    SpStatus SpSetI32_##L(int32_t value, int32_t* dst, int32_t len);                                          \
    void* SpFill32_##L(uint32_t value, void* dst, int32_t len);                                               \
    void* SpFill16Kernel_##L(const uint16_t* pValue, void* dst, uint32_t count);                              \
    void* SpFill32Kernel_##L(const uint32_t* pValue, void* dst, uint32_t count);                              \
    void* SpFill64Kernel_##L(const uint64_t* pValue, void* dst, uint32_t count);                              \
    void* SpFill128Kernel_##L(const void* pValue, void* dst, uint32_t count);                                 \
    SpStatus SpAbsInPlaceF32_##L(float* srcDst, int32_t len);                                                 \
    void SpAbsKernelF32_##L(const float* src, float* dst, int32_t len);                                       \
    void SpAbsKernelF64_##L(const double* src, double* dst, int32_t len);                                     \
    void SpAbsKernelI16_##L(const int16_t* src, int16_t* dst, int32_t len);                                   \
    void SpAbsKernelI32_##L(const int32_t* src, int32_t* dst, int32_t len);                                   \
    SpStatus SpFlipF32_##L(const float* src, float* dst, int32_t len);                                        \
    void SpFlipKernel32_##L(const uint32_t* src, uint32_t* dst, int32_t len);                                 \
    void SpFlipInPlaceKernel32_##L(uint32_t* srcDst, int32_t len);                                            \
    SpStatus SpSqrF32_##L(const float* src, float* dst, int32_t len);                                         \
    void SpSqrKernelF32_##L(const float* src, float* dst, int32_t len);                                       \
    void SpSqrKernelC32_##L(const float* src, float* dst, int32_t len);                                       \
    void SpSqrKernelF64_##L(const double* src, double* dst, int32_t len);                                     \
    void SpSqrKernelC64_##L(const double* src, double* dst, int32_t len);                                     \
    SpStatus SpMaxF32_##L(const float* src, int32_t len, float* pMax);                                        \
    SpStatus SpMinF32_##L(const float* src, int32_t len, float* pMin);                                        \
    SpStatus SpMinEveryInPlaceF32_##L(const float* src, float* srcDst, int32_t len);                          \
    SpStatus SpMaxEveryInPlaceF32_##L(const float* src, float* srcDst, int32_t len);                          \
    void SpMaxKernelF32_##L(const float* src, int32_t len, float* pOut);                                      \
    void SpMinKernelF32_##L(const float* src, int32_t len, float* pOut);                                      \
    void SpMaxKernelF64_##L(const double* src, int32_t len, double* pOut);                                    \
    void SpMinKernelF64_##L(const double* src, int32_t len, double* pOut);                                    \
    void SpMaxKernelI16_##L(const int16_t* src, int32_t len, int16_t* pOut);                                  \
    void SpMinKernelI16_##L(const int16_t* src, int32_t len, int16_t* pOut);                                  \
    void SpMinEveryKernelF32_##L(const float* src, float* srcDst, int32_t len);                               \
    void SpMaxEveryKernelF32_##L(const float* src, float* srcDst, int32_t len);                               \
    SpStatus SpSampleUpF32_##L(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor, \
                               int32_t* pPhase);                                                              \
    SpStatus SpSampleDownF32_##L(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,              \
                                 int32_t factor, int32_t* pPhase);                                            \
    void SpSampleUpKernel32_##L(const void* src, uint32_t n, void* dst, uint32_t dstCount, uint32_t strideBytes, \
                                uint32_t phase);                                                              \
    void SpSampleUpBy2KernelF32_##L(const float* src, uint32_t n, float* dst, uint32_t phase);                \
    void SpSampleDownKernelF32_##L(const float* src, uint32_t n, float* dst, int32_t* pDstLen, uint32_t factor, \
                                   int32_t* pPhase);                                                          \
    void SpSampleDownBy2KernelF32_##L(const float* src, uint32_t n, float* dst, int32_t* pDstLen,             \
                                      int32_t* pPhase);                                                       \
    SpStatus SpSumF32_##L(const float* src, int32_t len, float* pSum, int32_t hint);                          \
    SpStatus SpMeanF32_##L(const float* src, int32_t len, float* pMean, int32_t hint);                        \
    double SpSumKernelF32_##L(const float* src, int32_t len, int32_t hint);                                   \
    float SpMeanKernelF32_##L(const float* src, int32_t len, int32_t hint);                                   \
    void SpSumFastKernelF32_##L(const float* src, int32_t len, double* pSum);                                 \
    void SpSumAccurateKernelF32_##L(const float* src, int32_t len, double* pSum);                             \
    SpStatus SpDotProdF32_##L(const float* src1, const float* src2, int32_t len, float* pDp);                 \
    void SpDotProdKernelF32_##L(const float* src1, const float* src2, int32_t len, float* pDp);               \
    SpStatus SpSqrtInPlaceF32_##L(float* srcDst, int32_t len);                                                \
    uint32_t SpSqrtInPlace_##L(float* srcDst, int32_t len);                                                   \
    uint32_t SpSqrtKernelF32_##L(const float* src, float* dst, int32_t len);                                  \
    SpStatus SpExpInPlaceF32_##L(float* srcDst, int32_t len);                                                 \
    void SpExpInPlaceKernelF32_##L(const float* src, float* dst, int32_t len);                                \
    SpStatus SpDivF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                     \
    uint32_t SpDivKernelF32_##L(const float* src1, const float* src2, float* dst, int32_t len);               \
    uint32_t SpDivConstRevKernelF32_##L(const float* src, const float* pValue, float* dst, int32_t len);      \
    uint32_t SpDivKernelFc32_##L(const float* src1, const float* src2, float* dst, int32_t len);              \
    __m128 SpDivQuadF32_##L(__m128 divisors, __m128 dividends, uint32_t* pFlag);                              \
    void SpDivQuadFc32_##L(__m128 divisors0, __m128 divisors1, __m128 dividends0, __m128 dividends1,          \
                           __m128* pRe, __m128* pIm, uint32_t* pMask);                                        \
    SpStatus SpLnInPlaceF32_##L(float* srcDst, int32_t len);                                                  \
    int32_t SpLnInPlaceKernelF32_##L(float* srcDst, int64_t count, void* work);
// Levels 2 and 3 share one build of these (the level-3 column holds the level-2 entry).
#define SP_VECTOR_LEVEL_DECLARE_12(L)                                                                        \
    SpStatus SpMulInPlaceF32_##L(const float* src, float* srcDst, int32_t len);                               \
    SpStatus SpAddF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                     \
    SpStatus SpSubF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                     \
    SpStatus SpMulF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                     \
    void SpMulInPlaceKernelF32_##L(const float* src, float* srcDst, int32_t len);                             \
    void SpAddKernelF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                    \
    void SpSubKernelF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                   \
    void SpMulKernelF32_##L(const float* src1, const float* src2, float* dst, int32_t len);                   \
    SpStatus SpAddProductConstF32_##L(const float* src, float value, float* srcDst, int32_t len);             \
    void SpAddProductConstKernelF32_##L(const float* src, float value, float* srcDst, int32_t len);          \
    void SpAddInPlaceKernelF32_##L(const float* src, float* srcDst, int32_t len);                             \
    void SpMulConstInPlaceKernelF32_##L(float value, float* srcDst, int32_t len);                             \
    void SpMulConstKernelF32_##L(const float* src, float value, float* dst, int32_t len);
// clang-format on

SP_VECTOR_LEVEL_DECLARE(L1)
SP_VECTOR_LEVEL_DECLARE(L2)
SP_VECTOR_LEVEL_DECLARE(L3)
SP_VECTOR_LEVEL_DECLARE_12(L1)
SP_VECTOR_LEVEL_DECLARE_12(L2)
