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

SP_IIR_DECLARE_LEVEL_ENTRIES(L1)
SP_IIR_DECLARE_LEVEL_ENTRIES(L2)
SP_IIR_DECLARE_LEVEL_ENTRIES(L3)
