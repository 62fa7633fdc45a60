// Per-level parameter blocks of the signal-primitives kernels. A kernel is written once as a
// template over one of these; each level's thin build file instantiates it under that level's
// target attribute. Level 0 is plain x86-64, whose SSE2 every kernel may use.
#pragma once

#include <stdint.h>

struct SpLevel0Params
{
    static constexpr int32_t kLevel = 0;
    // Samples per step of the format conversions' main loops: four 16-byte vectors of floats,
    // enough independent work to keep both vector multiply/convert pipes busy.
    static constexpr int32_t kConvertBlock = 16;
};
