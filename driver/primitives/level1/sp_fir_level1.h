// The level-1 FIR block kernels that only the level-1 filter calls: one per tap layout of the
// multi-rate state, and the complex kernels, which no operation calls yet. Positions count
// samples from the input base; the kernels check nothing and keep no state.
#pragma once

#include <stdint.h>

// Layout 1: per group of four outputs, position += index[i]; lane l sums input(position + u)
// times taps[4u + l] of the group's t entries; at the end of the index table the position takes
// the wrap increment that stands there. Returns the position after the last group.
int32_t SpFirMultiRateKernel1_L1(const float* taps, const float* input, float* dst, int32_t count,
                                 const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t);
// Layout 2: output j of a group sums input(position + j s + u) times its run of t taps (one run
// from 4 taps on, four runs below); position += 4 s per group.
int32_t SpFirMultiRateKernel2_L1(const float* taps, const float* input, float* dst, int32_t count,
                                 int32_t start, int32_t t, int32_t s);
// Layout 3: output k of a cycle sums input(base + index[k] + u) times its own run of t taps; the
// base takes the wrap increment after the last index. Returns the base after the last output.
int32_t SpFirMultiRateKernel3_L1(const float* taps, const float* input, float* dst, int32_t count,
                                 const int32_t* index, const int32_t* indexEnd, int32_t start, int32_t t);

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
