// Throughput of the sample-path primitives at every processor level next to memcpy of the same
// bytes, at 4 KiB and 16 KiB (the sizes of the pipeline's per-channel blocks). Sizes and GB/s
// count the float side of every operation (4 bytes a sample), and the memcpy baseline copies
// that many bytes, so the figures compare directly. The second argument is the level; a level
// this processor cannot run is skipped.
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

#include "bench/bench_levels.h"
#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/primitives/vectors/sp_convert.h"

namespace
{

// Sizes are bytes of float samples; every size at every level.
void Sizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"bytes", "level"});
    for (int64_t bytes : {4 << 10, 16 << 10})
        for (int64_t level = 0; level < 4; ++level)
            b->Args({bytes, level});
}

// 64-byte aligned storage for the runs.
struct Aligned
{
    explicit Aligned(size_t bytes) : p(static_cast<uint8_t*>(aligned_alloc(64, (bytes + 63) & ~size_t(63))))
    {
        memset(p, 0, bytes);
    }
    ~Aligned() { free(p); }
    uint8_t* p;
};

void FillSignal(float* f, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        f[i] = float((int64_t(i * 2654435761u) % 65536) - 32768) / 32768.0f;
}

void Finish(benchmark::State& state, int64_t bytes)
{
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_Memcpy(benchmark::State& state)
{
    const size_t bytes = size_t(state.range(0));
    Aligned src(bytes), dst(bytes);
    for (auto _ : state)
    {
        memcpy(dst.p, src.p, bytes);
        benchmark::ClobberMemory();
    }
    Finish(state, int64_t(bytes));
}

void BM_I16ToF32(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0) / 4);
    Aligned src(size_t(n) * 2), dst(size_t(n) * 4);
    for (int32_t i = 0; i < n; ++i)
        reinterpret_cast<int16_t*>(src.p)[i] = int16_t(i * 77);
    for (auto _ : state)
    {
        SpConvertI16ToF32(reinterpret_cast<int16_t*>(src.p), reinterpret_cast<float*>(dst.p), n, 15);
        benchmark::ClobberMemory();
    }
    Finish(state, state.range(0));
}

void BM_F32ToI16NearestEven(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0) / 4);
    Aligned src(size_t(n) * 4), dst(size_t(n) * 2);
    FillSignal(reinterpret_cast<float*>(src.p), size_t(n));
    for (auto _ : state)
    {
        SpConvertF32ToI16(reinterpret_cast<float*>(src.p), reinterpret_cast<int16_t*>(dst.p), n,
                          SpRoundNearestEven, -15);
        benchmark::ClobberMemory();
    }
    Finish(state, state.range(0));
}

void BM_I24ToF32(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0) / 4);
    Aligned src(size_t(n) * 3), dst(size_t(n) * 4);
    for (size_t i = 0; i < size_t(n) * 3; ++i)
        src.p[i] = uint8_t(i * 31);
    for (auto _ : state)
    {
        SpConvertI24ToF32(src.p, reinterpret_cast<float*>(dst.p), n);
        benchmark::ClobberMemory();
    }
    Finish(state, state.range(0));
}

void BM_F32ToI24(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0) / 4);
    Aligned src(size_t(n) * 4), dst(size_t(n) * 3);
    FillSignal(reinterpret_cast<float*>(src.p), size_t(n));
    for (auto _ : state)
    {
        SpConvertF32ToI24(reinterpret_cast<float*>(src.p), dst.p, n, -23);
        benchmark::ClobberMemory();
    }
    Finish(state, state.range(0));
}

template <bool Interleave> void BM_Interleave(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t channels = int32_t(state.range(2));
    const int32_t frames = int32_t(state.range(0) / 4 / channels);
    Aligned inter(size_t(frames) * channels * 4);
    std::vector<Aligned*> planes;
    std::vector<float*> ptrs;
    for (int32_t c = 0; c < channels; ++c)
    {
        planes.push_back(new Aligned(size_t(frames) * 4));
        ptrs.push_back(reinterpret_cast<float*>(planes.back()->p));
    }
    for (auto _ : state)
    {
        if (Interleave)
        {
            SpInterleave32(ptrs.data(), channels, frames, reinterpret_cast<float*>(inter.p));
        }
        else
        {
            SpDeinterleave32(reinterpret_cast<float*>(inter.p), channels, frames, ptrs.data());
        }
        benchmark::ClobberMemory();
    }
    for (Aligned* a : planes)
        delete a;
    Finish(state, int64_t(frames) * channels * 4);
}

void InterleaveSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"bytes", "level", "channels"});
    for (int64_t channels : {2, 8})
        for (int64_t bytes : {4 << 10, 16 << 10})
            for (int64_t level = 0; level < 4; ++level)
                b->Args({bytes, level, channels});
}

void BM_I32ToF32(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0) / 4);
    Aligned src(size_t(n) * 4), dst(size_t(n) * 4);
    for (int32_t i = 0; i < n; ++i)
        reinterpret_cast<int32_t*>(src.p)[i] = int32_t(uint32_t(i) * 2654435761u);
    for (auto _ : state)
    {
        SpConvertI32ToF32Scaled(reinterpret_cast<int32_t*>(src.p), reinterpret_cast<float*>(dst.p), n, 31);
        benchmark::ClobberMemory();
    }
    Finish(state, state.range(0));
}

void BM_F32ToI32NearestEven(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0) / 4);
    Aligned src(size_t(n) * 4), dst(size_t(n) * 4);
    FillSignal(reinterpret_cast<float*>(src.p), size_t(n));
    for (auto _ : state)
    {
        SpConvertF32ToI32(reinterpret_cast<float*>(src.p), reinterpret_cast<int32_t*>(dst.p), n,
                          SpRoundNearestEven, -31);
        benchmark::ClobberMemory();
    }
    Finish(state, state.range(0));
}

void BM_MulConstInPlace(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0) / 4);
    Aligned buf(size_t(n) * 4);
    FillSignal(reinterpret_cast<float*>(buf.p), size_t(n));
    // Alternating factors keep the values bounded over millions of iterations.
    float gain = 0.5f;
    for (auto _ : state)
    {
        SpMulConstInPlaceF32(gain, reinterpret_cast<float*>(buf.p), n);
        gain = 2.5f - gain;
        benchmark::ClobberMemory();
    }
    Finish(state, state.range(0));
}

} // namespace

BENCHMARK(BM_Memcpy)->Arg(4 << 10)->Arg(16 << 10);
BENCHMARK(BM_I16ToF32)->Apply(Sizes);
BENCHMARK(BM_F32ToI16NearestEven)->Apply(Sizes);
BENCHMARK(BM_I24ToF32)->Apply(Sizes);
BENCHMARK(BM_F32ToI24)->Apply(Sizes);
BENCHMARK(BM_I32ToF32)->Apply(Sizes);
BENCHMARK(BM_F32ToI32NearestEven)->Apply(Sizes);
BENCHMARK_TEMPLATE(BM_Interleave, true)->Name("BM_Interleave")->Apply(InterleaveSizes);
BENCHMARK_TEMPLATE(BM_Interleave, false)->Name("BM_Deinterleave")->Apply(InterleaveSizes);
BENCHMARK(BM_MulConstInPlace)->Apply(Sizes);

namespace
{

// The conversion table: each row at every level as a fraction of memcpy of the same float-side
// bytes. A repetition times a batch of memcpy and then a batch of the row back to back, so both
// see the same machine load; the printed figure is the median over the repetitions of
// memcpy time / row time (1.0: as fast as memcpy).
constexpr int kTableRepetitions = 9;

double SecondsFor(int32_t calls, const std::function<void()>& body)
{
    const auto start = std::chrono::steady_clock::now();
    for (int32_t k = 0; k < calls; ++k)
    {
        body();
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double MedianFractionOfMemcpy(size_t bytes, const std::function<void()>& body)
{
    Aligned from(bytes), to(bytes);
    const auto copy = [&] { memcpy(to.p, from.p, bytes); };
    const int32_t calls = int32_t(std::max<size_t>(200, (size_t(64) << 20) / bytes / 8));
    SecondsFor(calls, copy); // warm the caches and the clock
    SecondsFor(calls, body);
    std::vector<double> fractions;
    for (int r = 0; r < kTableRepetitions; ++r)
    {
        const double tCopy = SecondsFor(calls, copy);
        const double tBody = SecondsFor(calls, body);
        fractions.push_back(tCopy / tBody);
    }
    std::sort(fractions.begin(), fractions.end());
    return fractions[fractions.size() / 2];
}

// Copies bytes (a multiple of 64) through 16-byte vector registers, four at a time.
__attribute__((noinline)) void VectorCopy(uint8_t* to, const uint8_t* from, size_t bytes)
{
    for (size_t k = 0; k < bytes; k += 64)
    {
        const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(from + k));
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(from + k + 16));
        const __m128i c = _mm_load_si128(reinterpret_cast<const __m128i*>(from + k + 32));
        const __m128i d = _mm_load_si128(reinterpret_cast<const __m128i*>(from + k + 48));
        _mm_store_si128(reinterpret_cast<__m128i*>(to + k), a);
        _mm_store_si128(reinterpret_cast<__m128i*>(to + k + 16), b);
        _mm_store_si128(reinterpret_cast<__m128i*>(to + k + 32), c);
        _mm_store_si128(reinterpret_cast<__m128i*>(to + k + 48), d);
    }
}

struct TableBuffers
{
    explicit TableBuffers(size_t bytes)
        : f32(bytes), f32b(bytes), i16(bytes / 2), i24(bytes / 4 * 3), left(bytes / 2), right(bytes / 2)
    {
        const int32_t n = int32_t(bytes / 4);
        FillSignal(reinterpret_cast<float*>(f32.p), size_t(n));
        for (int32_t i = 0; i < n; ++i)
            reinterpret_cast<int16_t*>(i16.p)[i] = int16_t(i * 77);
        for (size_t i = 0; i < bytes / 4 * 3; ++i)
            i24.p[i] = uint8_t(i * 31);
    }
    Aligned f32, f32b, i16, i24, left, right;
};

void PrintConversionTable()
{
    printf("\nConversions at every level as a fraction of memcpy of the same float-side bytes\n"
           "(median of %d repetitions, memcpy timed beside each row in the same run)\n",
           kTableRepetitions);
    printf("%-26s %8s %8s %8s %8s %8s %8s %8s %8s\n", "row", "L0 4K", "L0 16K", "L1 4K", "L1 16K", "L2 4K",
           "L2 16K", "L3 4K", "L3 16K");
    struct Row
    {
        const char* name;
        std::function<void(TableBuffers&, int32_t)> run; // n float-side samples
    };
    const Row rows[] = {
        {"I16->F32 (scale 15)",
         [](TableBuffers& b, int32_t n) {
             SpConvertI16ToF32(reinterpret_cast<int16_t*>(b.i16.p), reinterpret_cast<float*>(b.f32b.p), n,
                               15);
         }},
        {"F32->I16 nearest even",
         [](TableBuffers& b, int32_t n)
         {
             SpConvertF32ToI16(reinterpret_cast<float*>(b.f32.p), reinterpret_cast<int16_t*>(b.i16.p), n,
                               SpRoundNearestEven, -15);
         }},
        {"I24->F32", [](TableBuffers& b, int32_t n)
         { SpConvertI24ToF32(b.i24.p, reinterpret_cast<float*>(b.f32b.p), n); }},
        {"F32->I24 (scale -23)", [](TableBuffers& b, int32_t n)
         { SpConvertF32ToI24(reinterpret_cast<float*>(b.f32.p), b.i24.p, n, -23); }},
        {"interleave 2ch",
         [](TableBuffers& b, int32_t n)
         {
             const float* ch[] = {reinterpret_cast<float*>(b.left.p), reinterpret_cast<float*>(b.right.p)};
             SpInterleave32(ch, 2, n / 2, reinterpret_cast<float*>(b.f32b.p));
         }},
        {"de-interleave 2ch",
         [](TableBuffers& b, int32_t n)
         {
             float* ch[] = {reinterpret_cast<float*>(b.left.p), reinterpret_cast<float*>(b.right.p)};
             SpDeinterleave32(reinterpret_cast<float*>(b.f32.p), 2, n / 2, ch);
         }},
    };
    // What the levels' own instructions allow: a copy through 16-byte vector loads and stores
    // (the widest the levels use), against memcpy, which may use wider ones.
    printf("%-26s", "16-byte vector copy (bound)");
    for (size_t bytes : {size_t(4) << 10, size_t(16) << 10})
    {
        TableBuffers buffers(bytes);
        uint8_t* to = buffers.f32b.p;
        const uint8_t* from = buffers.f32.p;
        const double fraction =
            MedianFractionOfMemcpy(bytes, [to, from, bytes] { VectorCopy(to, from, bytes); });
        printf(" %8.2f", fraction);
    }
    printf("   (any level)\n");
    for (const Row& row : rows)
    {
        printf("%-26s", row.name);
        for (int32_t level = 0; level < 4; ++level)
            for (size_t bytes : {size_t(4) << 10, size_t(16) << 10})
            {
                if (!LevelRunsHere(level))
                {
                    printf(" %8s", "-");
                    continue;
                }
                TableBuffers buffers(bytes);
                const int32_t saved = SpForceCpuLevelForTest(level);
                const double fraction =
                    MedianFractionOfMemcpy(bytes, [&] { row.run(buffers, int32_t(bytes / 4)); });
                SpForceCpuLevelForTest(saved);
                printf(" %8.2f", fraction);
            }
        printf("\n");
    }
}

} // namespace

// The Google Benchmark runs (absolute rates), then the conversion table.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintConversionTable();
    return 0;
}
