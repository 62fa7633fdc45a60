// Logarithm kernels of the level builds beside the float one in place: float from source to
// destination, and 32- and 16-bit integers whose logarithm is multiplied by F = 2^-s (or any
// float factor, for the kernels that take F by address), clamped to +-2147483520, rounded in the
// caller's mode and, for 16-bit destinations, saturated; an element at or below 0 gives the
// type's minimum. Each returns 0, or 2 or 4 when the first special element in element order was
// zero or negative. The work buffer is 16-byte aligned; the integer kernels write F and F ln 2
// into its first 32 bytes. A count below 1 writes nothing (but that head) and gives 0. The double
// kernels need no work buffer: a 65-row reciprocal table, a degree-7 polynomial and ln 2 in two
// parts keep them within a few ulp (results near 1 at full precision); the float destination
// takes the double result rounded once in the caller's mode.
#pragma once

#include <stdint.h>

// clang-format off
#define SP_LN_LEVEL_DECLARE(L)                                                                               \
    int32_t SpLnKernelF32_##L(const float* src, float* dst, int64_t count, void* work);                       \
    int32_t SpLnKernelI32Scaled_##L(const int32_t* src, int32_t* dst, int64_t count, const float* pF,         \
                                    void* work);                                                              \
    int32_t SpLnInPlaceKernelI32Scaled_##L(int32_t* srcDst, int64_t count, const float* pF, void* work);      \
    int32_t SpLnKernelI32ToI16Scaled_##L(const int32_t* src, int16_t* dst, int64_t count, int32_t s,          \
                                         void* work);                                                         \
    int32_t SpLnKernelI16Scaled_##L(const int16_t* src, int16_t* dst, int64_t count, int32_t s, void* work);  \
    int32_t SpLnInPlaceKernelI16Scaled_##L(int16_t* srcDst, int64_t count, int32_t s, void* work);            \
    void SpScaleFactorF32_##L(int32_t s, float* pF);                                                         \
    int32_t SpLnKernelF64_##L(const double* src, double* dst, int64_t count);                                 \
    int32_t SpLnKernelF64ToF32_##L(const double* src, float* dst, int64_t count);
// clang-format on

// Rows j = 0..64 of {c, c, hi, lo}: c the reciprocal of 1 + j/64 rounded to a multiple of
// 2^-12, hi + lo = -ln(c) with hi cut short from below (tools/gen/ln_table_gen.cpp).
extern const double SpLnTableF64[65][4];

SP_LN_LEVEL_DECLARE(L1)
SP_LN_LEVEL_DECLARE(L2)
SP_LN_LEVEL_DECLARE(L3)
