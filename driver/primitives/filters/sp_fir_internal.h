// What the FIR sources of the generic build share: layout arithmetic and the multi-rate half.
#pragma once

#include <stdint.h>

#include "driver/primitives/filters/sp_fir.h"

// Room for the record ahead of a state's areas.
constexpr int64_t SpFirHeaderBytes = 160;
static_assert(sizeof(SpFirState) <= SpFirHeaderBytes, "FIR record outgrew its header room");

inline int64_t SpFirRoundUp16(int64_t n)
{
    return (n + 15) & ~int64_t(15);
}

inline uint8_t* SpFirAlignUp16(uint8_t* p)
{
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 15) & ~uintptr_t(15));
}

// Bytes of the tap-quads area that the level 1-3 single-rate states add after the delay area.
inline int64_t SpFirTapQuadBytes(int32_t level, int32_t tapCount)
{
    return level > 0 ? 64 * ((int64_t(tapCount) + 3) / 4) : 0;
}

// The level builds' own kernels that the shared FIR code runs for a state of their level:
// outputs k = sum over j of h(L - 1 - j) x window(k + j) from the tap quads, and the move.
typedef void (*SpFirDirectBlockFn)(const float* tapQuads, const float* window, float* dst, int64_t count,
                                   int32_t tapCount);
void SpFirDirectBlockKernel_L1(const float* tapQuads, const float* window, float* dst, int64_t count,
                               int32_t tapCount);
void SpFirDirectBlockKernel_L2(const float* tapQuads, const float* window, float* dst, int64_t count,
                               int32_t tapCount);
void SpFirDirectBlockKernel_L3(const float* tapQuads, const float* window, float* dst, int64_t count,
                               int32_t tapCount);
// The multi-rate kernels of the levels, one per table layout. Layout 1: per group of four
// outputs, position += index[i]; lane l sums input(position + u) times taps[4u + l]; at the end
// of the index table the position takes the wrap increment that stands there. Layout 2: output j
// of a group sums input(position + j s + u) times its run of t taps (one run from 4 taps on, four
// runs below); position += 4 s per group. Layout 3: output k of a period sums input(base +
// index[k] + u) times its own run of t taps; the base takes the wrap increment after the last
// index. Each returns the position (base) after its last group or output.
#define SP_FIR_DECLARE_MULTIRATE_KERNELS(L)                                                                  \
    int32_t SpFirMultiRateKernel1_##L(const float* taps, const float* input, float* dst, int32_t count,      \
                                      const int32_t* index, const int32_t* indexEnd, int32_t start,          \
                                      int32_t t);                                                            \
    int32_t SpFirMultiRateKernel2_##L(const float* taps, const float* input, float* dst, int32_t count,      \
                                      int32_t start, int32_t t, int32_t s);                                  \
    int32_t SpFirMultiRateKernel3_##L(const float* taps, const float* input, float* dst, int32_t count,      \
                                      const int32_t* index, const int32_t* indexEnd, int32_t start,          \
                                      int32_t t);
SP_FIR_DECLARE_MULTIRATE_KERNELS(L1)
SP_FIR_DECLARE_MULTIRATE_KERNELS(L2)
SP_FIR_DECLARE_MULTIRATE_KERNELS(L3)

// The complex block kernels no operation calls (sp_fir_complex-inl.h has the tap layouts).
// Direct form: count outputs from count + tapCount - 1 window samples; 16-byte aligned tap
// records. Multi-rate: count (even) outputs, two a step; returns the position, in complex
// samples, at which the next call continues. Level 1 names them without the element tag.
#define SP_FIR_COMPLEX_DIRECT_L1 SpFirDirectBlockKernelComplex_L1
#define SP_FIR_COMPLEX_DIRECT_L2 SpFirDirectBlockKernelComplexF32_L2
#define SP_FIR_COMPLEX_DIRECT_L3 SpFirDirectBlockKernelComplexF32_L3
#define SP_FIR_COMPLEX_MULTI_RATE_L1 SpFirMultiRateKernelComplex_L1
#define SP_FIR_COMPLEX_MULTI_RATE_L2 SpFirMultiRateKernelComplexF32_L2
#define SP_FIR_COMPLEX_MULTI_RATE_L3 SpFirMultiRateKernelComplexF32_L3
#define SP_FIR_DECLARE_COMPLEX_KERNELS(L)                                                                    \
    void SP_FIR_COMPLEX_DIRECT_##L(const float* taps, const float* window, float* dst, int64_t count,        \
                                   int32_t tapCount);                                                        \
    int64_t SP_FIR_COMPLEX_MULTI_RATE_##L(const float* taps, const float* window, float* dst, int64_t count, \
                                          const int32_t* index, int32_t upFactor, int32_t start,             \
                                          int32_t windowLength, int32_t rowLength);
SP_FIR_DECLARE_COMPLEX_KERNELS(L1)
SP_FIR_DECLARE_COMPLEX_KERNELS(L2)
SP_FIR_DECLARE_COMPLEX_KERNELS(L3)

// The one-sample kernels under the level entries of SpFirFilterSample: the input (by pointer)
// into the doubled delay line at the index, the index moved on, the output summed in single
// precision. The complex kernel takes complex input, output, taps and delay slots (real part
// first); no entry calls it. Both trust the entry's checks: non-null pointers, tapCount >= 1 and
// an index in 0 .. tapCount - 1.
#define SP_FIR_DECLARE_SAMPLE_KERNELS(L)                                                                     \
    void SpFirFilterSampleKernel_##L(const float* input, float* output, const float* taps, int64_t tapCount, \
                                     float* delayLine, int32_t* pIndex);                                     \
    void SpFirFilterSampleKernelComplexF32_##L(const float* input, float* output, const float* taps,         \
                                               int64_t tapCount, float* delayLine, int32_t* pIndex);         \
    SpStatus SpFirFilterSample_##L(float input, float* pOutput, const float* taps, int32_t tapCount,         \
                                   float* delayLine, int32_t* pIndex);
SP_FIR_DECLARE_SAMPLE_KERNELS(L1)
SP_FIR_DECLARE_SAMPLE_KERNELS(L2)
SP_FIR_DECLARE_SAMPLE_KERNELS(L3)

// The checks every level's SpFirFilterSample makes, in the generic build's order, and the index
// refusal: an index outside 0 .. tapCount - 1 belongs to no delay line of this many taps.
SpStatus SpFirCheckSampleArgs(const float* pOutput, const float* taps, int32_t tapCount,
                              const float* delayLine, const int32_t* pIndex);

// The level's move (SpMoveI32_L<level>), for the history shifts.
SpStatus SpFirMoveI32(int32_t level, const int32_t* src, int32_t* dst, int32_t len);

// The single-rate and multi-rate entries for the state layout and filter of `level`: the
// level-n entries of the FIR rows are these with n.
SpStatus SpFirStateSizeAt(int32_t level, int32_t tapCount, int32_t* pSize);
SpStatus SpFirInitAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                     const float* delayLine, uint8_t* buffer);
// The single-rate builder of a level: the delay line holds floats for the tag "FI01" and 16-bit
// samples for any other tag (newest first either way); the record is a single-rate state.
SpStatus SpFirStateBuildAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                           const void* delayLine, uint8_t* buffer, uint32_t tag);
SpStatus SpFirStateBuild_L1(SpFirState** ppState, const float* taps, int32_t tapCount, const void* delayLine,
                            uint8_t* buffer, uint32_t tag);
SpStatus SpFirStateBuild_L2(SpFirState** ppState, const float* taps, int32_t tapCount, const void* delayLine,
                            uint8_t* buffer, uint32_t tag);
SpStatus SpFirStateBuild_L3(SpFirState** ppState, const float* taps, int32_t tapCount, const void* delayLine,
                            uint8_t* buffer, uint32_t tag);
// The create entries' checks (the caller's pointer cleared first), the entry of `level`, and
// the level's create worker: the delay line holds floats under the tag "FI01" and 16-bit
// samples (newest first either way) under any other. The worker trusts the entry's checks.
SpStatus SpFirCheckCreateArgs(SpFirState** ppState, const float* taps, int32_t tapCount);
SpStatus SpFirCreateAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                       const float* delayLine);
SpStatus SpFirCreateStateAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                            const void* delayLine, uint32_t tag);
SpStatus SpFirCreateState_L1(SpFirState** ppState, const float* taps, int32_t tapCount, const void* delayLine,
                             uint32_t tag);
SpStatus SpFirCreateState_L2(SpFirState** ppState, const float* taps, int32_t tapCount, const void* delayLine,
                             uint32_t tag);
SpStatus SpFirCreateState_L3(SpFirState** ppState, const float* taps, int32_t tapCount, const void* delayLine,
                             uint32_t tag);
SpStatus SpFirFilterAt(int32_t level, const float* src, float* dst, int32_t len, SpFirState* state);
SpStatus SpFirMultiRateStateSizeAt(int32_t level, int32_t tapCount, int32_t upFactor, int32_t downFactor,
                                   int32_t* pSize);
SpStatus SpFirMultiRateInitAt(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                              int32_t upFactor, int32_t upPhase, int32_t downFactor, int32_t downPhase,
                              const float* delayLine, uint8_t* buffer);

// The single-rate size and builder shared by every level (the level's own names below are
// these with its number): the generic layout, plus the tap quads at levels 1-3.
SpStatus SpFirStateSizeCalcAt(int32_t level, int32_t tapCount, int32_t* pSize);
SpStatus SpFirBuildSingleRate(int32_t level, SpFirState** ppState, const float* taps, int32_t tapCount,
                              const float* delayLine, uint8_t* buffer);

// The vector entries a state of `level` is laid out with: a state stays in its level's code.
struct SpFirLevelHelpers
{
    SpStatus (*Zero)(float* dst, int32_t len);
    SpStatus (*Copy)(const float* src, float* dst, int32_t len);
    SpStatus (*Set)(int32_t value, int32_t* dst, int32_t len); // fills the tap quads
};
SpFirLevelHelpers SpFirHelpersOf(int32_t level);

// The named size routines and builders of the levels. Levels 0 and 1 share the generic
// multi-rate sizes, levels 2 and 3 their own copy; every builder lays out the generic tables.
#define SP_FIR_DECLARE_LEVEL_BUILDERS(L)                                                                     \
    SpStatus SpFirStateSizeCalc_##L(int32_t tapCount, int32_t* pSize);                                       \
    SpStatus SpFirMultiRateStateBuildA_##L(SpFirState** ppState, const float* taps, int32_t tapCount,        \
                                           int32_t upFactor, int32_t upPhase, int32_t downFactor,            \
                                           int32_t downPhase, const float* delayLine, uint8_t* buffer);      \
    SpStatus SpFirMultiRateStateBuildB_##L(SpFirState** ppState, const float* taps, int32_t tapCount,        \
                                           int32_t upFactor, int32_t upPhase, int32_t downFactor,            \
                                           int32_t downPhase, const float* delayLine, uint8_t* buffer);
SP_FIR_DECLARE_LEVEL_BUILDERS(L1)
SP_FIR_DECLARE_LEVEL_BUILDERS(L2)
SP_FIR_DECLARE_LEVEL_BUILDERS(L3)
SpStatus SpFirMultiRateStateSizeCalcA(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize);
SpStatus SpFirMultiRateStateSizeCalcB(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize);
SpStatus SpFirMultiRateStateSizeCalcA_L2(int32_t tapCount, int32_t upFactor, int32_t downFactor,
                                         int32_t* pSize);
SpStatus SpFirMultiRateStateSizeCalcB_L2(int32_t tapCount, int32_t upFactor, int32_t downFactor,
                                         int32_t* pSize);

// Past inputs given newest first become the history, oldest first; none means silence.
void SpFirLoadHistory(float* history, int32_t count, const float* delayLine);

// Multi-rate sizes, state build and filtering (the FI03 half of the FIR rows). The layout is
// chosen from the tap count and the factors; `groups` builds layout A, else layout B.
bool SpFirMultiRateTakesGroups(int32_t tapCount, int32_t upFactor, int32_t downFactor);
SpStatus SpFirMultiRateSizeCalc(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t* pSize);
SpStatus SpFirMultiRateSizeOf(bool groups, int32_t tapCount, int32_t upFactor, int32_t downFactor,
                              int32_t* pSize);
SpStatus SpFirMultiRateBuild(int32_t level, bool groups, SpFirState** ppState, const float* taps,
                             int32_t tapCount, int32_t upFactor, int32_t upPhase, int32_t downFactor,
                             int32_t downPhase, const float* delayLine, uint8_t* buffer);
SpStatus SpFirMultiRateFilter(const float* src, float* dst, int32_t len, SpFirState* state);
