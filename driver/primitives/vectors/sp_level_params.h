// Per-level parameter blocks of the signal-primitives kernels. A kernel is written once as a
// template over one of these; each level's thin build file instantiates it under that level's
// target attribute. Level 0 is plain x86-64, whose SSE2 every kernel may use; level 1 adds
// SSE3, level 2 SSSE3 (the byte shuffle), level 3 SSE4.1. The parameters change the
// instruction choice and the prefetching, never a result.
#pragma once

#include <stdint.h>

struct SpLevel0Params
{
    static constexpr int32_t kLevel = 0;
    // Samples per step of the format conversions' main loops: four 16-byte vectors of floats,
    // enough independent work to keep both vector multiply/convert pipes busy.
    static constexpr int32_t kConvertBlock = 16;
    // Packed 24-bit samples moved with one byte shuffle per vector instead of shift-and-mask.
    static constexpr bool kByteShuffle = false;
    // Bytes ahead of the source that the streaming loops prefetch (0: none).
    static constexpr int32_t kPrefetchAhead = 0;
    // Double-precision outputs whose source and destination bytes exceed this bypass the caches.
    static constexpr int64_t kStreamBytes = 2 << 20;
};

struct SpLevel1Params : SpLevel0Params
{
    static constexpr int32_t kLevel = 1;
};

struct SpLevel2Params : SpLevel0Params
{
    static constexpr int32_t kLevel = 2;
    static constexpr bool kByteShuffle = true;
    static constexpr int32_t kPrefetchAhead = 64;
    static constexpr int64_t kStreamBytes = 4 << 20;
};

struct SpLevel3Params : SpLevel2Params
{
    static constexpr int32_t kLevel = 3;
};
