// Integer square kernels with a scale factor, levels 1-3: dst[i] = src[i]^2 * 2^-s, rounded to
// nearest (ties to even) and saturated to the element type; the complex kernel squares
// (re + i*im) and scales both parts the same way. Every scale factor is accepted. Kernels check
// nothing, report nothing and take a count of at least 1; src may equal dst. No entry calls them.
#pragma once

#include <stdint.h>

#include "driver/primitives/vectors/sp_int_div_levels.h"

// clang-format off
#define SP_INT_SQR_LEVEL_DECLARE(L)                                                                          \
    void SpSqrScaleKernelI16_##L(const int16_t* src, int16_t* dst, int32_t len, int32_t scale);              \
    void SpSqrScaleKernelCI16_##L(const SpIc16* src, SpIc16* dst, int32_t len, int32_t scale);               \
    void SpSqrScaleKernelU8_##L(const uint8_t* src, uint8_t* dst, int32_t len, int32_t scale);               \
    void SpSqrScaleKernelU16_##L(const uint16_t* src, uint16_t* dst, int32_t len, int32_t scale);
// clang-format on

SP_INT_SQR_LEVEL_DECLARE(L1)
SP_INT_SQR_LEVEL_DECLARE(L2)
SP_INT_SQR_LEVEL_DECLARE(L3)
