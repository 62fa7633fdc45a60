// Element-wise arithmetic, reductions, exp/ln/sqrt and up/down-sampling of the signal-primitives
// library on 32-bit float vectors (rows of SpLevelTable2).
//
// Every pointer is checked first (SpErrNullPointer), then the length (SpErrBadLength); nothing
// is written after a failed check. Unless noted, a source and the destination may be the same
// buffer. Nothing here allocates or locks: IRQL <= DISPATCH_LEVEL.
//
// Contracts by processor level (SpCpuLevel). Copy, set, absolute value, flip, add, subtract,
// multiply (by a vector or a constant), square, add-product and the element-wise minimum and
// maximum give the same bits at every level: one IEEE operation per element or a bit move.
// At level 0 square root and division are correctly rounded, and exp and ln are evaluated in
// double precision and rounded once (within 1 ulp); levels 1-3 refine processor estimates or
// short series instead, and each of these operations states their error below, in ulp of the
// correctly rounded result. Sums, means, dot products and the minimum and maximum of a vector with NaN or
// signed zeros follow each level's own order of accumulation or comparison.
#pragma once

#include "driver/primitives/dispatch/sp_status.h"

// Public entry stubs (dispatched on SpCpuLevel) and their level-0 builds.

// dst[i] = src[i]; the buffers must not overlap.
SpStatus SpCopyF32(const float* src, float* dst, int32_t len);
SpStatus SpCopyF32_L0(const float* src, float* dst, int32_t len);

// Every element becomes value, bit for bit.
SpStatus SpSetF32(float value, float* dst, int32_t len);
SpStatus SpSetF32_L0(float value, float* dst, int32_t len);

// dst[i] = src[i] x value; 1.0 copies, 0.0 zeroes (even NaN and infinite sources).
SpStatus SpMulConstF32(const float* src, float value, float* dst, int32_t len);
SpStatus SpMulConstF32_L0(const float* src, float value, float* dst, int32_t len);

// Square root in place; negative elements become NaN (0xFFC00000) with SpWarnSqrtNegative.
// Levels 1-3: blocks of 16 positive normal elements refine the reciprocal-square-root estimate
// (within 3 ulp); every other element is correctly rounded.
SpStatus SpSqrtInPlaceF32(float* srcDst, int32_t len);
SpStatus SpSqrtInPlaceF32_L0(float* srcDst, int32_t len);

// Clears the sign bit of every element.
SpStatus SpAbsInPlaceF32(float* srcDst, int32_t len);
SpStatus SpAbsInPlaceF32_L0(float* srcDst, int32_t len);

// *pMax / *pMin = the largest / smallest element. Levels 1-3 compare in lanes: which NaN or
// which zero of a tie comes out depends on the lane order.
SpStatus SpMaxF32(const float* src, int32_t len, float* pMax);
SpStatus SpMaxF32_L0(const float* src, int32_t len, float* pMax);
SpStatus SpMinF32(const float* src, int32_t len, float* pMin);
SpStatus SpMinF32_L0(const float* src, int32_t len, float* pMin);

// dst[len-1-i] = src[i].
SpStatus SpFlipF32(const float* src, float* dst, int32_t len);
SpStatus SpFlipF32_L0(const float* src, float* dst, int32_t len);

// srcDst[i] x= src[i].
SpStatus SpMulInPlaceF32(const float* src, float* srcDst, int32_t len);
SpStatus SpMulInPlaceF32_L0(const float* src, float* srcDst, int32_t len);

// dst[i] = src1[i] + src2[i].
SpStatus SpAddF32(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpAddF32_L0(const float* src1, const float* src2, float* dst, int32_t len);

// dst[i] = src2[i] - src1[i]: the second operand minus the first.
SpStatus SpSubF32(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpSubF32_L0(const float* src1, const float* src2, float* dst, int32_t len);

// dst[i] = src1[i] x src2[i].
SpStatus SpMulF32(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpMulF32_L0(const float* src1, const float* src2, float* dst, int32_t len);

// srcDst[i] += src1[i] x src2[i], the product rounded to float before the addition.
SpStatus SpAddProductF32(const float* src1, const float* src2, float* srcDst, int32_t len);
SpStatus SpAddProductF32_L0(const float* src1, const float* src2, float* srcDst, int32_t len);

// dst[i] = src[i] x src[i].
SpStatus SpSqrF32(const float* src, float* dst, int32_t len);
SpStatus SpSqrF32_L0(const float* src, float* dst, int32_t len);

// dst[i] = src2[i] / src1[i]: the second operand divided by the first. A zero divisor gives
// +inf, -inf or NaN (0xFFC00000) by the sign of the dividend, and SpWarnDivideByZero.
// Levels 1-3: a group of four or eight divisors without a zero (or a subnormal, or a magnitude
// of 2^125 and more) takes the refined reciprocal estimate, within 2 ulp; a group with one is
// divided exactly. Their NaN for 0 / 0 and for a NaN divisor is 0x7FC00000.
SpStatus SpDivF32(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpDivF32_L0(const float* src1, const float* src2, float* dst, int32_t len);

// e^x in place. Vectors of 4 or more elements flush results below the normal range to 0.
// Levels 1-3: within 5 ulp (a Pade approximant over a reciprocal estimate), and results below
// the normal range flushed to 0 whatever the length.
SpStatus SpExpInPlaceF32(float* srcDst, int32_t len);
SpStatus SpExpInPlaceF32_L0(float* srcDst, int32_t len);

// ln x in place: elements with the sign bit set become NaN (0xFFC00000), +0 becomes -inf. The
// first such element decides between SpWarnLnNegative and SpWarnLnZero. Levels 1-3: within
// 4 ulp; an element's last bits may depend on its block partner.
SpStatus SpLnInPlaceF32(float* srcDst, int32_t len);
SpStatus SpLnInPlaceF32_L0(float* srcDst, int32_t len);

// *pSum = the sum accumulated in double, rounded once; *pMean = that sum / len. The hint is
// passed to the processor-specific kernels; level 0 ignores it. Levels 1-3 accumulate in fixed
// partials (hint 1: single-precision partials per block of 32,768), so their last bits differ.
SpStatus SpSumF32(const float* src, int32_t len, float* pSum, int32_t hint);
SpStatus SpSumF32_L0(const float* src, int32_t len, float* pSum, int32_t hint);
SpStatus SpMeanF32(const float* src, int32_t len, float* pMean, int32_t hint);
SpStatus SpMeanF32_L0(const float* src, int32_t len, float* pMean, int32_t hint);

// srcDst[i] = src[i] where src[i] < srcDst[i] (min) / > srcDst[i] (max).
SpStatus SpMinEveryInPlaceF32(const float* src, float* srcDst, int32_t len);
SpStatus SpMinEveryInPlaceF32_L0(const float* src, float* srcDst, int32_t len);
SpStatus SpMaxEveryInPlaceF32(const float* src, float* srcDst, int32_t len);
SpStatus SpMaxEveryInPlaceF32_L0(const float* src, float* srcDst, int32_t len);

// *pDp = sum of src1[i] x src2[i], accumulated in single precision in index order (levels 1-3:
// in sixteen single-precision partials summed in a fixed order).
SpStatus SpDotProdF32(const float* src1, const float* src2, int32_t len, float* pDp);
SpStatus SpDotProdF32_L0(const float* src1, const float* src2, int32_t len, float* pDp);

// Up-sampling by zero insertion: input k lands at dst[*pPhase + k x factor]; *pDstLen =
// factor x srcLen. Checks the four pointers, srcLen, factor (SpErrResampleFactor), then the
// phase (SpErrResamplePhase: below 0 or not below factor); SpErrBadLength when factor x srcLen
// does not fit a 32-bit length. The phase is not changed.
SpStatus SpSampleUpF32(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                       int32_t* pPhase);
SpStatus SpSampleUpF32_L0(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                          int32_t* pPhase);

// Down-sampling keeping src[phase + j x factor]; the phase carries across calls so a stream
// can be fed in pieces. Same checks as SpSampleUpF32.
SpStatus SpSampleDownF32(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                         int32_t* pPhase);
SpStatus SpSampleDownF32_L0(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                            int32_t* pPhase);

// srcDst[i] += src[i] x value (the product rounded to float first).
SpStatus SpAddProductConstF32(const float* src, float value, float* srcDst, int32_t len);
SpStatus SpAddProductConstF32_L0(const float* src, float value, float* srcDst, int32_t len);
