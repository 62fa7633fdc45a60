// Double and complex-double division kernels, levels 1-3: dst[i] = src2[i] / src1[i]. A zero divisor
// gives the quiet NaN 0x7FF8000000000000 (both parts for complex elements) and a nonzero result;
// the work never stops. Kernels check nothing and take a count of at least 1; no entry calls them.
#pragma once

#include <stdint.h>

// clang-format off
#define SP_DIV64_LEVEL_DECLARE(L)                                                                            \
    uint32_t SpDivKernelF64_##L(const double* src1, const double* src2, double* dst, int32_t len);           \
    uint32_t SpDivKernelFc64_##L(const double* src1, const double* src2, double* dst, int32_t len);
// clang-format on

SP_DIV64_LEVEL_DECLARE(L1)
SP_DIV64_LEVEL_DECLARE(L2)
SP_DIV64_LEVEL_DECLARE(L3)
