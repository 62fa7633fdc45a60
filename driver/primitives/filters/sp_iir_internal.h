// What the IIR sources of the generic and level builds share: the level 1-3 state layout and the
// level entries the level tables take.
//
// Level 1-3 record (16-byte aligned), then each area on a 16-byte boundary:
//   taps 2n + 1 floats | delay n + 1 floats | FF n + 1 rows of four | FB n + 3 rows of four |
//   work 1,024 floats | second work 1,024 floats (tags other than II01)
// FB row i (i < n), lane j: the factor of y[t-1-i] in y[t+j] when y[t] = w[t] + sum dk y[t-k],
// dk = -ak/a0; rows n, n+1, n+2: the factors of w[t], w[t+1], w[t+2] in y[t .. t+3].
#pragma once

#include <stdint.h>

#include "driver/primitives/filters/sp_iir.h"

constexpr int64_t SpIirLevelRecordBytes = 96;
static_assert(sizeof(SpIirState) <= SpIirLevelRecordBytes, "IIR record outgrew its room");

// Samples a block pass covers at most: the work area's length.
constexpr int32_t SpIirBlockChunk = 1024;

// Bytes of a level 1-3 state of `order` with `tag`, in 64 bits (callers refuse what exceeds a
// 32-bit count).
int64_t SpIirLevelStateBytes(int64_t order, uint32_t tag);

// The level-`level` state entries (level 1-3): the size query, the build in caller memory and
// the create. Each leaves *ppState null when it fails.
SpStatus SpIirStateSizeAt(int32_t level, int32_t order, int32_t* pSize);
SpStatus SpIirInitAt(int32_t level, SpIirState** ppState, const float* taps, int32_t order,
                     const float* delayLine, uint8_t* buffer);
SpStatus SpIirCreateAt(int32_t level, SpIirState** ppState, const float* taps, int32_t order,
                       const float* delayLine);

#define SP_IIR_DECLARE_LEVEL_ENTRIES(L)                                                                      \
    SpStatus SpIirStateSize_##L(int32_t order, int32_t* pSize);                                              \
    SpStatus SpIirInit_##L(SpIirState** ppState, const float* taps, int32_t order, const float* delayLine,   \
                           uint8_t* buffer);                                                                 \
    SpStatus SpIirCreate_##L(SpIirState** ppState, const float* taps, int32_t order,                         \
                             const float* delayLine);                                                        \
    SpStatus SpIirFilter_##L(const float* src, float* dst, int32_t len, SpIirState* state);                  \
    SpStatus SpIirFilterInPlace_##L(float* srcdst, int32_t len, SpIirState* state);

// What the level entries are built from. The state builders trust their callers' checks; the
// kernels check nothing and keep nothing. Feed-forward: work[j] = sum over m of b(n-m) src[j+m],
// reading src[0 .. len+n-1]. Feedback: out[n+j] = work[j] + sum over k of dk out[n+j-k], with
// out[0 .. n-1] the outputs before the pass. work and the lane tables are 16-byte aligned (the
// float biquad feed-forward pass aligns work itself). The 16-bit kernels widen their input
// exactly and write each output times 2^-scale, rounded in the current mode and saturated, to
// dst[n + j]; the 16-bit biquad feedback pass leaves in out only its last four vector outputs
// and its single outputs, which is all the next block needs. The complex kernels count complex
// values (real part first) and read their own lane tables (sp_iir_kernels-inl.h); no entry calls
// them, and the complex 16-bit feedback pass below order 3 keeps in out only its last step's
// second pair and its single outputs.
#define SP_IIR_DECLARE_LEVEL_KERNELS(L)                                                                      \
    SpStatus SpIirNormalizeTaps_##L(const float* taps, SpIirState* state);                                   \
    SpStatus SpIirStateBuild_##L(SpIirState** ppState, const float* taps, int32_t order,                     \
                                 const float* delayLine, uint8_t* memory, uint32_t tag);                     \
    SpStatus SpIirCreateState_##L(SpIirState** ppState, const float* taps, int32_t order,                    \
                                  const float* delayLine, uint32_t tag);                                     \
    void SpIirDirectOneKernel_##L(const float* x, float* y, SpIirState* state);                              \
    void SpIirBiquadOneKernel_##L(const float* x, float* y, SpIirState* state);                              \
    void SpIirDirectBlockFeedForward_##L(const float* src, float* work, int64_t len, const float* ffLanes,   \
                                         int32_t order);                                                     \
    void SpIirDirectBlockFeedback_##L(const float* work, float* out, int64_t len, const float* fbLanes,      \
                                      int32_t order);                                                        \
    void SpIirBiquadBlockFeedForward_##L(const float* src, float* work, int64_t len, const float* ffLanes);  \
    void SpIirBiquadBlockFeedback_##L(const float* work, float* out, int64_t len, const float* fbLanes);     \
    void SpIirDirectBlockFeedForwardI16_##L(const int16_t* src, float* work, int64_t len,                    \
                                            const float* ffLanes, int32_t order);                            \
    void SpIirDirectBlockFeedbackI16_##L(const float* work, float* out, int64_t len, const float* fbLanes,   \
                                         int32_t order, int16_t* dst, int32_t scale);                        \
    void SpIirBiquadBlockFeedForwardI16_##L(const int16_t* src, float* work, int64_t len,                    \
                                            const float* ffLanes);                                           \
    void SpIirBiquadBlockFeedbackI16_##L(const float* work, float* out, int64_t len, const float* fbLanes,   \
                                         int16_t* dst, int32_t scale);                                       \
    void SpIirDirectBlockFeedForwardComplexF32_##L(const float* src, float* work, int64_t len,               \
                                                   const float* ffLanes, int32_t order);                     \
    void SpIirDirectBlockFeedbackComplexF32_##L(const float* work, float* out, int64_t len,                  \
                                                const float* fbLanes, int32_t order);                        \
    void SpIirDirectBlockFeedForwardComplexI16_##L(const int16_t* src, float* work, int64_t len,             \
                                                   const float* ffLanes, int32_t order);                     \
    void SpIirDirectBlockFeedbackComplexI16_##L(const float* work, float* out, int64_t len,                  \
                                                const float* fbLanes, int32_t order, int16_t* dst,           \
                                                int32_t scale);

SP_IIR_DECLARE_LEVEL_ENTRIES(L1)
SP_IIR_DECLARE_LEVEL_ENTRIES(L2)
SP_IIR_DECLARE_LEVEL_ENTRIES(L3)
SP_IIR_DECLARE_LEVEL_KERNELS(L1)
SP_IIR_DECLARE_LEVEL_KERNELS(L2)
SP_IIR_DECLARE_LEVEL_KERNELS(L3)

// Level 2's size query serves level 3 as well: the layout is the same.
SpStatus SpIirStateSizeCalc_L1(int32_t order, int32_t* pSize, uint32_t tag);
SpStatus SpIirStateSizeCalc_L2(int32_t order, int32_t* pSize, uint32_t tag);

// The one-sample steps no operation calls, for states the caller lays out (sp_iir_sample-inl.h):
// double taps on double or float data, complex float and complex double taps on complex float or
// complex double data, and the integer members on top of these and of the float steps, which
// write y times 2^-scale rounded in the current mode and saturated by sign (a NaN gives 0).
// Complex values are pairs, real part first. The WithY members also store the unscaled y in
// the arithmetic's precision.
#define SP_IIR_DECLARE_SAMPLE_KERNELS(L)                                                                     \
    void SpIirDirectOneKernelComplexF32_##L(const float* x, float* y, SpIirState* state);                    \
    void SpIirBiquadOneKernelComplexF32_##L(const float* x, float* y, SpIirState* state);                    \
    void SpIirDirectOneKernelF64_##L(const double* x, double* y, SpIirState* state);                         \
    void SpIirBiquadOneKernelF64_##L(const double* x, double* y, SpIirState* state);                         \
    void SpIirDirectOneKernelF64F32_##L(const float* x, float* y, SpIirState* state);                        \
    void SpIirDirectOneKernelF64F32WithY_##L(const float* x, float* y, double* yWide, SpIirState* state);    \
    void SpIirBiquadOneKernelF64F32_##L(const float* x, float* y, SpIirState* state);                        \
    void SpIirDirectOneKernelComplexF64_##L(const double* x, double* y, SpIirState* state);                  \
    void SpIirBiquadOneKernelComplexF64_##L(const double* x, double* y, SpIirState* state);                  \
    void SpIirDirectOneKernelComplexF64F32_##L(const float* x, float* y, SpIirState* state);                 \
    void SpIirDirectOneKernelComplexF64F32WithY_##L(const float* x, float* y, double* yWide,                 \
                                                    SpIirState* state);                                      \
    void SpIirBiquadOneKernelComplexF64F32_##L(const float* x, float* y, SpIirState* state);                 \
    void SpIirDirectOneKernelI16_##L(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale);        \
    void SpIirDirectOneKernelI16WithY_##L(const int16_t* x, int16_t* y, float* yWide, SpIirState* state,     \
                                          int32_t scale);                                                    \
    void SpIirBiquadOneKernelI16_##L(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale);        \
    void SpIirDirectOneKernelComplexI16_##L(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale); \
    void SpIirDirectOneKernelComplexI16WithY_##L(const int16_t* x, int16_t* y, float* yWide,                 \
                                                 SpIirState* state, int32_t scale);                          \
    void SpIirBiquadOneKernelComplexI16_##L(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale); \
    void SpIirDirectOneKernelF64I16_##L(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale);     \
    void SpIirDirectOneKernelF64I16WithY_##L(const int16_t* x, int16_t* y, double* yWide, SpIirState* state, \
                                             int32_t scale);                                                 \
    void SpIirBiquadOneKernelF64I16_##L(const int16_t* x, int16_t* y, SpIirState* state, int32_t scale);     \
    void SpIirDirectOneKernelF64I32_##L(const int32_t* x, int32_t* y, SpIirState* state, int32_t scale);     \
    void SpIirDirectOneKernelF64I32WithY_##L(const int32_t* x, int32_t* y, double* yWide, SpIirState* state, \
                                             int32_t scale);                                                 \
    void SpIirBiquadOneKernelF64I32_##L(const int32_t* x, int32_t* y, SpIirState* state, int32_t scale);     \
    void SpIirDirectOneKernelComplexF64I16_##L(const int16_t* x, int16_t* y, SpIirState* state,              \
                                               int32_t scale);                                               \
    void SpIirDirectOneKernelComplexF64I16WithY_##L(const int16_t* x, int16_t* y, double* yWide,             \
                                                    SpIirState* state, int32_t scale);                       \
    void SpIirBiquadOneKernelComplexF64I16_##L(const int16_t* x, int16_t* y, SpIirState* state,              \
                                               int32_t scale);                                               \
    void SpIirDirectOneKernelComplexF64I32_##L(const int32_t* x, int32_t* y, SpIirState* state,              \
                                               int32_t scale);                                               \
    void SpIirDirectOneKernelComplexF64I32WithY_##L(const int32_t* x, int32_t* y, double* yWide,             \
                                                    SpIirState* state, int32_t scale);                       \
    void SpIirBiquadOneKernelComplexF64I32_##L(const int32_t* x, int32_t* y, SpIirState* state,              \
                                               int32_t scale);

SP_IIR_DECLARE_SAMPLE_KERNELS(L1)
SP_IIR_DECLARE_SAMPLE_KERNELS(L2)
SP_IIR_DECLARE_SAMPLE_KERNELS(L3)
