// Square-root kernels of the level builds beside the float kernel that the in-place entry calls:
// double (blocks of ordinary values within 1e-13 relative, the rest correctly rounded; negative
// flag), complex float and double (principal roots by the half-angle formulas), and the integer
// kernels with a scale factor: dst[i] = sqrt(src[i]) * 2^-s rounded to the nearest integer (an
// exact half to even) and saturated to the destination type, 0 for an element at or below 0;
// signed sources return a nonzero flag when an element was negative. The complex 16-bit kernels
// round each part of the principal root separately. The byte kernel maps through a 256-entry
// table. Kernels check nothing and take a count of at least 1; src may equal dst (the narrowing
// kernels then fill the front of the source). No entry calls them.
#pragma once

#include <stdint.h>

#include "driver/primitives/vectors/sp_int_div_levels.h"

// clang-format off
#define SP_SQRT_LEVEL_DECLARE(L)                                                                             \
    uint32_t SpSqrtKernelF64_##L(const double* src, double* dst, int32_t len);                                \
    void SpSqrtKernelFc32_##L(const float* src, float* dst, int32_t len);                                     \
    void SpSqrtKernelFc64_##L(const double* src, double* dst, int32_t len);                                   \
    uint32_t SpSqrtKernelI16Scaled_##L(const int16_t* src, int16_t* dst, int32_t len, int32_t s);             \
    void SpSqrtKernelU16Scaled_##L(const uint16_t* src, uint16_t* dst, int32_t len, int32_t s);               \
    void SpSqrtKernelIc16_##L(const SpIc16* src, SpIc16* dst, int32_t len);                                    \
    void SpSqrtKernelIc16Scaled_##L(const SpIc16* src, SpIc16* dst, int32_t len, int32_t s);                  \
    void SpSqrtKernelIc16ScaledStable_##L(const SpIc16* src, SpIc16* dst, int32_t len, int32_t s);            \
    uint32_t SpSqrtKernelI32ToI16Scaled_##L(const int32_t* src, int16_t* dst, int32_t len, int32_t s);        \
    uint32_t SpSqrtKernelI64ToI16Scaled_##L(const int64_t* src, int16_t* dst, int32_t len, int32_t s);        \
    uint32_t SpSqrtKernelI64Scaled_##L(const int64_t* src, int64_t* dst, int32_t len, int32_t s);             \
    void SpTableLookupKernelU8_##L(const uint8_t* src, uint8_t* dst, int32_t len, const uint8_t* table);
// clang-format on

SP_SQRT_LEVEL_DECLARE(L1)
SP_SQRT_LEVEL_DECLARE(L2)
SP_SQRT_LEVEL_DECLARE(L3)
