// Throughput of the vector reductions and math rows at every processor level in one run: sum
// (both hints), dot product, square root, division, exponential and logarithm over 4 KiB of
// floats (1,024 elements), the size of one channel block. Bytes count the float source side.
// The second argument is the level; a level this processor cannot run is skipped. The
// arithmetic rows (add, multiply and divide by a constant, power) also run over 4 MiB, past the
// sizes at which the level kernels prefetch and stream their stores.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/primitives/vectors/sp_convert.h"
#include "driver/primitives/vectors/sp_pow.h"
#include "driver/primitives/vectors/sp_vector.h"

namespace
{

constexpr int32_t kCount = 1024;

void Levels(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"bytes", "level"});
    for (int64_t level = 0; level < 4; ++level)
        b->Args({4 * kCount, level});
}

bool LevelRunsHere(int64_t level)
{
    return level == 0 || (level == 1 && __builtin_cpu_supports("sse3")) ||
           (level == 2 && __builtin_cpu_supports("ssse3")) ||
           (level == 3 && __builtin_cpu_supports("sse4.1"));
}

// The level of argument 1 in force for the run; aligned sources of positive values near 1 so
// that every row takes its ordinary path.
struct Run
{
    explicit Run(benchmark::State& state)
        : ok(LevelRunsHere(state.range(1))), saved(SpForceCpuLevelForTest(ok ? int32_t(state.range(1)) : 0))
    {
        if (!ok)
            state.SkipWithError("the processor lacks this level's instructions");
        for (int32_t i = 0; i < kCount; ++i)
        {
            a[i] = 0.5f + float(i % 97) / 64.0f;
            b[i] = 1.25f + float(i % 31) / 16.0f;
        }
    }
    ~Run() { SpForceCpuLevelForTest(saved); }
    void Reset() { memcpy(work, a, sizeof(work)); }
    bool ok;
    int32_t saved;
    alignas(64) float a[kCount];
    alignas(64) float b[kCount];
    alignas(64) float work[kCount];
};

template <class Body> void Time(benchmark::State& state, Body body)
{
    Run run(state);
    for (auto _ : state)
    {
        body(run);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 4 * kCount);
}

void BM_SumFast(benchmark::State& state)
{
    float sum = 0;
    Time(state, [&](Run& r) { SpSumF32(r.a, kCount, &sum, 1); });
    benchmark::DoNotOptimize(sum);
}

void BM_SumAccurate(benchmark::State& state)
{
    float sum = 0;
    Time(state, [&](Run& r) { SpSumF32(r.a, kCount, &sum, 0); });
    benchmark::DoNotOptimize(sum);
}

void BM_Dot(benchmark::State& state)
{
    float dp = 0;
    Time(state, [&](Run& r) { SpDotProdF32(r.a, r.b, kCount, &dp); });
    benchmark::DoNotOptimize(dp);
}

void BM_Div(benchmark::State& state)
{
    Time(state, [](Run& r) { SpDivF32(r.a, r.b, r.work, kCount); });
}

// The in-place rows restore their input each round (a 4 KiB copy, the same at every level).
void BM_Sqrt(benchmark::State& state)
{
    Time(state, [](Run& r) { r.Reset(), SpSqrtInPlaceF32(r.work, kCount); });
}

void BM_Exp(benchmark::State& state)
{
    Time(state, [](Run& r) { r.Reset(), SpExpInPlaceF32(r.work, kCount); });
}

void BM_Ln(benchmark::State& state)
{
    Time(state, [](Run& r) { r.Reset(), SpLnInPlaceF32(r.work, kCount); });
}

// The arithmetic rows at one channel block and at 2^20 floats.
void ArithSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"bytes", "level"});
    for (int64_t count : {int64_t(kCount), int64_t(1) << 20})
        for (int64_t level = 0; level < 4; ++level)
            b->Args({4 * count, level});
}

// Sources and destination of argument 0's size on 64-byte boundaries, the level in force.
struct SizedRun
{
    explicit SizedRun(benchmark::State& state)
        : n(int32_t(state.range(0) / 4)), ok(LevelRunsHere(state.range(1))),
          saved(SpForceCpuLevelForTest(ok ? int32_t(state.range(1)) : 0))
    {
        if (!ok)
            state.SkipWithError("the processor lacks this level's instructions");
        const size_t bytes = (size_t(n) * 4 + 63) / 64 * 64;
        a = static_cast<float*>(aligned_alloc(64, bytes));
        b = static_cast<float*>(aligned_alloc(64, bytes));
        work = static_cast<float*>(aligned_alloc(64, bytes));
        for (int32_t i = 0; i < n; ++i)
        {
            a[i] = 0.5f + float(i % 97) / 64.0f;
            b[i] = 1.25f + float(i % 31) / 16.0f;
            work[i] = a[i];
        }
    }
    ~SizedRun()
    {
        free(a);
        free(b);
        free(work);
        SpForceCpuLevelForTest(saved);
    }
    int32_t n;
    bool ok;
    int32_t saved;
    float* a;
    float* b;
    float* work;
};

template <class Body> void TimeSized(benchmark::State& state, Body body)
{
    SizedRun run(state);
    for (auto _ : state)
    {
        body(run);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 4 * int64_t(run.n));
}

// The in-place rows work on their own output: adding a small source or multiplying by -1 keeps
// every value ordinary however many rounds run.
void BM_AddInPlace(benchmark::State& state)
{
    TimeSized(state, [](SizedRun& r) { SpAddInPlaceF32(r.a, r.work, r.n); });
}

void BM_MulConstInPlace(benchmark::State& state)
{
    TimeSized(state, [](SizedRun& r) { SpMulConstInPlaceF32(-1.0f, r.work, r.n); });
}

void BM_DivConstInPlace(benchmark::State& state)
{
    TimeSized(state, [](SizedRun& r) { SpDivConstInPlaceF32(-1.0f, r.work, r.n); });
}

void BM_MulConst(benchmark::State& state)
{
    TimeSized(state, [](SizedRun& r) { SpMulConstF32(r.a, 0.5f, r.work, r.n); });
}

// A source one float past the destination's alignment.
void BM_MulConstShiftedSource(benchmark::State& state)
{
    TimeSized(state, [](SizedRun& r) { SpMulConstF32(r.a + 1, 0.5f, r.work, r.n - 1); });
}

void BM_Pow(benchmark::State& state)
{
    TimeSized(state, [](SizedRun& r) { SpPowF32(r.a, r.b, r.work, r.n); });
}

} // namespace

BENCHMARK(BM_SumFast)->Apply(Levels);
BENCHMARK(BM_SumAccurate)->Apply(Levels);
BENCHMARK(BM_Dot)->Apply(Levels);
BENCHMARK(BM_Div)->Apply(Levels);
BENCHMARK(BM_Sqrt)->Apply(Levels);
BENCHMARK(BM_Exp)->Apply(Levels);
BENCHMARK(BM_Ln)->Apply(Levels);
BENCHMARK(BM_AddInPlace)->Apply(ArithSizes);
BENCHMARK(BM_MulConstInPlace)->Apply(ArithSizes);
BENCHMARK(BM_DivConstInPlace)->Apply(ArithSizes);
BENCHMARK(BM_MulConst)->Apply(ArithSizes);
BENCHMARK(BM_MulConstShiftedSource)->Apply(ArithSizes);
BENCHMARK(BM_Pow)->Apply(ArithSizes);
BENCHMARK_MAIN();
