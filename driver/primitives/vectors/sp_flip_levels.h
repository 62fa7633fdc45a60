// Flip kernels for 8- and 16-bit elements, levels 1-3: reversal into another buffer
// (dst[len-1-i] = src[i]; src and dst must not overlap) and in place (the middle element of an odd
// length stays). Elements move bit for bit. Kernels check nothing and take a count of at least 1;
// no entry calls them.
#pragma once

#include <stdint.h>

// clang-format off
#define SP_FLIP_LEVEL_DECLARE(L)                                                                             \
    void SpFlipKernel8_##L(const uint8_t* src, uint8_t* dst, int32_t len);                                   \
    void SpFlipKernel16_##L(const uint16_t* src, uint16_t* dst, int32_t len);                                \
    void SpFlipInPlaceKernel8_##L(uint8_t* srcDst, int32_t len);                                             \
    void SpFlipInPlaceKernel16_##L(uint16_t* srcDst, int32_t len);
// clang-format on

SP_FLIP_LEVEL_DECLARE(L1)
SP_FLIP_LEVEL_DECLARE(L2)
SP_FLIP_LEVEL_DECLARE(L3)
