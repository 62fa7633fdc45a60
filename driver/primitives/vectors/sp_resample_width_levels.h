// Up- and down-sampling kernels for 16-, 64- and 128-bit elements, levels 1-3 (the 32-bit ones
// serve the float entries). They move bit patterns only, so one kernel suits every element type of
// its width. Up-sampling writes input k at output phase + k*factor and zeros elsewhere: exactly
// factor*n outputs (dstCount for the general kernels, whose stride is factor times the element
// size), n inputs read. Down-sampling writes dst[j] = src[p + j*factor] while p + j*factor < n,
// stores the count in *pDstLen and p + count*factor - n as the phase of the next block. Kernels check
// nothing: n of at least 1, 0 <= phase < factor (phase 0 or 1 for the factor-2 kernels), and source
// and destination apart. No entry calls them.
#pragma once

#include <stdint.h>

// clang-format off
#define SP_RESAMPLE_WIDTH_LEVEL_DECLARE(L)                                                                   \
    void SpSampleUpKernel16_##L(const void* src, uint32_t n, void* dst, uint32_t dstCount, uint32_t strideBytes, \
                                uint32_t phase);                                                              \
    void SpSampleUpBy2Kernel16_##L(const uint16_t* src, uint32_t n, uint16_t* dst, uint32_t phase);          \
    void SpSampleUpKernel64_##L(const void* src, uint32_t n, void* dst, uint32_t strideBytes, uint32_t phaseBytes); \
    void SpSampleUpBy2Kernel64_##L(const uint64_t* src, uint32_t n, uint64_t* dst, uint32_t phase);          \
    void SpSampleUpBy2Kernel128_##L(const void* src, uint32_t n, void* dst, uint32_t phase);                 \
    void SpSampleDownKernel16_##L(const uint16_t* src, uint32_t n, uint16_t* dst, int32_t* pDstLen,          \
                                  uint32_t factor, int32_t* pPhase);                                          \
    void SpSampleDownBy2Kernel16_##L(const uint16_t* src, uint32_t n, uint16_t* dst, int32_t* pDstLen,       \
                                     int32_t* pPhase);                                                        \
    void SpSampleDownKernel64_##L(const uint64_t* src, uint32_t n, uint64_t* dst, int32_t* pDstLen,          \
                                  uint32_t factor, int32_t* pPhase);                                          \
    void SpSampleDownBy2Kernel64_##L(const uint64_t* src, uint32_t n, uint64_t* dst, int32_t* pDstLen,       \
                                     int32_t* pPhase);                                                        \
    void SpSampleDownKernel128_##L(const void* src, uint32_t n, void* dst, int32_t* pDstLen, uint32_t factor, \
                                   int32_t* pPhase);                                                          \
    void SpSampleDownBy2Kernel128_##L(const void* src, uint32_t n, void* dst, int32_t* pDstLen, int32_t* pPhase);
// clang-format on

SP_RESAMPLE_WIDTH_LEVEL_DECLARE(L1)
SP_RESAMPLE_WIDTH_LEVEL_DECLARE(L2)
SP_RESAMPLE_WIDTH_LEVEL_DECLARE(L3)
