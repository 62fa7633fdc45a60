// The level-1 complex FIR block kernels, which no operation calls yet. Positions count samples
// from the input base; the kernels check nothing and keep no state.
#pragma once

#include <stdint.h>

// Complex samples are (re, im) float pairs. Direct form: output k is the sum over j of
// h(n - 1 - j) x(k + j), each tap a 16-byte aligned 32-byte record hr, hr, hr, hr, -hi, hi,
// -hi, hi; the window holds count + n - 1 samples and nothing past them is read.
void SpFirDirectBlockKernelComplex_L1(const float* taps, const float* window, float* dst, int32_t count,
                                      int32_t tapCount);
// Multi-rate: two outputs per step from byte-offset pairs (2P pairs, then the wrap increment in
// bytes); slots A (hr, -hi) and B (hi, hr), B at 4 v P slots after A. Returns the position in
// complex samples.
int32_t SpFirMultiRateKernelComplex_L1(const float* taps, const float* input, float* dst, int32_t count,
                                       const int32_t* index, int32_t pairCount, int32_t start, int32_t t,
                                       int32_t stride);
