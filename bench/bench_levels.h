// What the primitives benchmarks share: the processor level a run forces (from one of its
// arguments; a level this processor cannot run is skipped), a fixed test signal and aligned
// float storage.
#pragma once

#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "driver/primitives/dispatch/sp_cpu_level.h"

inline bool LevelRunsHere(int64_t level)
{
    return level == 0 || (level == 1 && __builtin_cpu_supports("sse3")) ||
           (level == 2 && __builtin_cpu_supports("ssse3")) ||
           (level == 3 && __builtin_cpu_supports("sse4.1"));
}

// Holds the level of the benchmark's argument `Argument` for the run.
class LevelScope
{
public:
    explicit LevelScope(benchmark::State& state, int Argument = 1)
        : m_ok(LevelRunsHere(state.range(Argument))),
          m_saved(SpForceCpuLevelForTest(m_ok ? int32_t(state.range(Argument)) : 0))
    {
        if (!m_ok)
            state.SkipWithError("the processor lacks this level's instructions");
    }
    ~LevelScope() { SpForceCpuLevelForTest(m_saved); }
    bool Ok() const { return m_ok; }

private:
    bool m_ok;
    int32_t m_saved;
};

// A full-scale pseudo-random signal, the same every run.
inline std::vector<float> Signal(size_t n)
{
    std::vector<float> v(n);
    uint32_t seed = 12345;
    for (float& x : v)
    {
        seed = seed * 1664525u + 1013904223u;
        x = float(int32_t(seed >> 8) - (1 << 23)) / float(1 << 23);
    }
    return v;
}

inline int32_t OrderOf(int64_t points)
{
    int32_t order = 0;
    while ((int64_t(1) << order) < points)
    {
        ++order;
    }
    return order;
}

// Aligned float storage, as the library's own buffers are.
struct Floats
{
    explicit Floats(size_t n) : p(static_cast<float*>(aligned_alloc(64, (n * 4 + 63) & ~size_t(63)))) {}
    ~Floats() { free(p); }
    float* p;
};
