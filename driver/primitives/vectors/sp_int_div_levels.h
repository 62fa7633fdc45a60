// Integer division kernels with a scale factor, levels 1-3: dst[i] = src2[i] / src1[i] * 2^-s,
// rounded to nearest (ties to even) and saturated to the element type. A zero divisor never stops
// the work: it gives the type's bound by the dividend's sign (complex: 0 + 0i) and the kernel
// returns 1; otherwise 0. Kernels check nothing and take a count of at least 1. No entry calls
// them; only level code and tests do. The constant-divisor kernels (dst[i] = src[i] / c * 2^-s) take
// a nonzero constant and report nothing. The unsigned 16-bit kernel divides the constant by each element
// (dst[i] = c / src[i], 65535 and a nonzero result for a zero divisor); the 32-bit-by-16-bit kernel
// returns a nonzero value, not always 1, when it met a zero divisor.
#pragma once

#include <stdint.h>

// A complex 16-bit element: real part at the lower address.
struct SpIc16
{
    int16_t re;
    int16_t im;
};

// clang-format off
#define SP_INT_DIV_LEVEL_DECLARE(L)                                                                          \
    uint32_t SpDivKernelI32Scaled_##L(const int32_t* src1, const int32_t* src2, int32_t* dst, int32_t len,    \
                                      int32_t s);                                                             \
    uint32_t SpDivKernelI16Scaled_##L(const int16_t* src1, const int16_t* src2, int16_t* dst, int32_t len,    \
                                      int32_t s);                                                             \
    uint32_t SpDivKernelIc16Scaled_##L(const SpIc16* src1, const SpIc16* src2, SpIc16* dst, int32_t len,      \
                                       int32_t s);                                                            \
    void SpDivConstKernelI16Scaled_##L(const int16_t* src, int16_t c, int16_t* dst, int32_t len, int32_t s);   \
    void SpDivConstKernelU8Scaled_##L(const uint8_t* src, uint8_t c, uint8_t* dst, int32_t len, int32_t s);   \
    void SpDivConstKernelIc16Scaled_##L(const SpIc16* src, SpIc16 c, SpIc16* dst, int32_t len, int32_t s);   \
    uint32_t SpDivKernelU8Scaled_##L(const uint8_t* src1, const uint8_t* src2, uint8_t* dst, int32_t len,     \
                                     int32_t s);                                                              \
    uint32_t SpDivConstRevKernelU16_##L(const uint16_t* src, uint16_t c, uint16_t* dst, int32_t len);         \
    uint32_t SpDivKernelI32ByI16Scaled_##L(const int16_t* src1, const int32_t* src2, int16_t* dst, int32_t len, \
                                           int32_t s);
// clang-format on

SP_INT_DIV_LEVEL_DECLARE(L1)
SP_INT_DIV_LEVEL_DECLARE(L2)
SP_INT_DIV_LEVEL_DECLARE(L3)
