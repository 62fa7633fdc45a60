// Summation and dot-product kernels of the level builds beside the float ones that the entries
// call. Sums: the two block routines of the fast float sum (sixteen single partials over a
// block; the cursor ends past the last float read), complex float (fast: single partials per
// block of 32,768 floats, accurate: every element widened), double, complex double, and exact 16-
// and complex 16-bit sums carried in double; complex sums write (real, imaginary). Two rounding
// routines scale a double by 2^-s, clamp it to the 32-bit range and round in the caller's mode.
// Dot products (level 1 only): no operand is conjugated; the 16-bit kernels are exact in 64 bits;
// the scaled ones accumulate in double, multiply by *pScale, round to nearest whatever the
// caller's rounding mode (which comes back afterwards) and saturate to 32 bits (a NaN gives
// -2^31). Kernels check nothing and take a count of at least 1. No entry calls them.
#pragma once

#include <stdint.h>

#include "driver/primitives/vectors/sp_int_div_levels.h"

// clang-format off
#define SP_SUM_LEVEL_DECLARE(L)                                                                              \
    void SpSumBlockAlignedF32_##L(const float** pCursor, int32_t count, float* pPartials);                    \
    void SpSumBlockUnalignedF32_##L(const float** pCursor, int32_t count, float* pPartials);                  \
    void SpSumFastKernelFc32_##L(const float* src, int32_t len, double* pSum);                                \
    void SpSumAccurateKernelFc32_##L(const float* src, int32_t len, double* pSum);                            \
    void SpSumKernelF64_##L(const double* src, int32_t len, double* pSum);                                    \
    void SpSumKernelFc64_##L(const double* src, int32_t len, double* pSum);                                   \
    void SpSumKernelI16_##L(const int16_t* src, double* pSum, int32_t len);                                   \
    void SpSumKernelIc16_##L(const SpIc16* src, double* pSum, int32_t len);                                   \
    int32_t SpRoundScaledF64ToI32_##L(const double* pValue, int32_t s);                                       \
    void SpRoundScaledFc64ToIc32_##L(const double* pValue, int32_t* pDst, int32_t s);
// clang-format on

SP_SUM_LEVEL_DECLARE(L1)
SP_SUM_LEVEL_DECLARE(L2)
SP_SUM_LEVEL_DECLARE(L3)

// Complex elements are (real, imaginary) pairs of their part type; a complex result is written
// as two parts.
void SpDotProdKernelF32Fc32_L1(const float* a, const float* b, int32_t n, float* pDp);
void SpDotProdKernelFc32_L1(const float* a, const float* b, int32_t n, float* pDp);
void SpDotProdKernelF64_L1(const double* a, const double* b, int32_t n, double* pDp);
void SpDotProdKernelF64Fc64_L1(const double* a, const double* b, int32_t n, double* pDp);
void SpDotProdKernelFc64_L1(const double* a, const double* b, int32_t n, double* pDp);
void SpDotProdKernelI32Scaled_L1(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                 const double* pScale);
void SpDotProdKernelI32Ic32Scaled_L1(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                     const double* pScale);
void SpDotProdKernelIc32Scaled_L1(const int32_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                  const double* pScale);
void SpDotProdKernelI16I32Scaled_L1(const int16_t* a, const int32_t* b, int32_t n, int32_t* pDp,
                                    const double* pScale);
void SpDotProdPeelKernelI16ToI64_L1(const int16_t* a, const int16_t* b, int32_t n, int64_t* pDp);
void SpDotProdKernelI16ToI64_L1(const int16_t* a, const int16_t* b, int32_t n, int64_t* pDp);
void SpDotProdKernelI16Ic16ToIc64_L1(const int16_t* a, const SpIc16* b, int32_t n, int64_t* pDp);
void SpDotProdKernelIc16ToIc64_L1(const SpIc16* a, const SpIc16* b, int32_t n, int64_t* pDp);
