// Speed of the FFT family at every processor level, side by side with two outside references:
// real forward and inverse transforms of 256, 1,024 and 4,096 points and complex forward
// transforms of 1,024 and 65,536 points. FFTW's single-precision plans (in place and out of
// place, planned with FFTW_MEASURE) and KissFFT run in the same program when they were found at
// configure time; after the table the ratios ours/reference are printed for each level, from
// the fastest of the repetitions (--benchmark_repetitions=N).
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <xmmintrin.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "bench/bench_levels.h"
#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/primitives/fft/sp_fft.h"

#if UACSIM_HAVE_FFTW
#include <fftw3.h>
#endif
#if UACSIM_HAVE_KISSFFT
#include <kiss_fft.h>
#include <kiss_fftr.h>
#endif

namespace
{

// Our real transforms, out of place with a caller work area (as the filter runs them).
void RunOursReal(benchmark::State& state, bool inverse)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0));
    SpFftSpec* spec = nullptr;
    if (SpFftRealCreate(&spec, OrderOf(n), SpFftNoDivide, 0) != SpOk)
    {
        state.SkipWithError("create failed");
        return;
    }
    int32_t workBytes = 0;
    SpFftRealGetBufferSize(spec, &workBytes);
    std::vector<uint8_t> work(size_t(workBytes) + 32);
    const std::vector<float> x = Signal(size_t(n));
    Floats in{size_t(n)}, out{size_t(n)};
    memcpy(in.p, x.data(), size_t(n) * sizeof(float));
    for (auto _ : state)
    {
        if (inverse)
        {
            SpFftInvPackToReal(in.p, out.p, spec, work.data());
        }
        else
        {
            SpFftFwdRealToPack(in.p, out.p, spec, work.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    SpFftRealFree(spec);
}

void BM_OursRealFwd(benchmark::State& state)
{
    RunOursReal(state, false);
}

void BM_OursRealInv(benchmark::State& state)
{
    RunOursReal(state, true);
}

void BM_OursComplexFwd(benchmark::State& state)
{
    LevelScope level(state);
    const int32_t n = int32_t(state.range(0));
    SpFftSpec* spec = nullptr;
    int32_t specBytes, initBytes, workBytes;
    if (SpFftComplexCreate(&spec, OrderOf(n), SpFftNoDivide, 0) != SpOk ||
        SpFftComplexGetSize(OrderOf(n), SpFftNoDivide, 0, &specBytes, &initBytes, &workBytes) != SpOk)
    {
        state.SkipWithError("create failed");
        return;
    }
    std::vector<uint8_t> work(size_t(workBytes) + 32);
    const std::vector<float> x = Signal(2 * size_t(n));
    Floats in{2 * size_t(n)}, out{2 * size_t(n)};
    memcpy(in.p, x.data(), x.size() * sizeof(float));
    for (auto _ : state)
    {
        SpFftFwdComplex(reinterpret_cast<const SpComplexF32*>(in.p), reinterpret_cast<SpComplexF32*>(out.p),
                        spec, work.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    SpFftComplexFree(spec);
}

void OursLevels(benchmark::internal::Benchmark* b, std::initializer_list<int64_t> sizes)
{
    b->ArgNames({"points", "level"});
    for (int64_t level = 0; level <= 3; ++level)
    {
        for (int64_t n : sizes)
        {
            b->Args({n, level});
        }
    }
}

BENCHMARK(BM_OursRealFwd)->Apply([](auto* b) { OursLevels(b, {256, 1024, 4096}); });
BENCHMARK(BM_OursRealInv)->Apply([](auto* b) { OursLevels(b, {256, 1024, 4096}); });
// 2^20 points run the large-order drivers (rows, column groups, tiled reordering).
BENCHMARK(BM_OursComplexFwd)->Apply([](auto* b) { OursLevels(b, {1024, 65536, 1048576}); });

#if UACSIM_HAVE_FFTW
// FFTW with its packed half-complex output of N/2 + 1 bins; in place shares one buffer.
enum Kind : int64_t
{
    kRealFwd,
    kRealInv,
    kComplexFwd
};

void RunFftw(benchmark::State& state, Kind kind, bool inPlace)
{
    const int n = int(state.range(0));
    const size_t floats = kind == kComplexFwd ? 2 * size_t(n) : 2 * size_t(n / 2 + 1);
    float* a = fftwf_alloc_real(floats);
    float* b = inPlace ? a : fftwf_alloc_real(floats);
    fftwf_plan plan;
    auto* ca = reinterpret_cast<fftwf_complex*>(a);
    auto* cb = reinterpret_cast<fftwf_complex*>(b);
    switch (kind)
    {
    case kRealFwd:
        plan = fftwf_plan_dft_r2c_1d(n, a, cb, FFTW_MEASURE);
        break;
    case kRealInv:
        plan = fftwf_plan_dft_c2r_1d(n, ca, b, FFTW_MEASURE);
        break;
    default:
        plan = fftwf_plan_dft_1d(n, ca, cb, FFTW_FORWARD, FFTW_MEASURE);
        break;
    }
    const std::vector<float> x = Signal(floats);
    memcpy(a, x.data(), floats * sizeof(float));
    // In-place plans and c2r overwrite their input; the repeated transforms then run on what
    // the last one left, which is as fast with denormals flushed (main sets FTZ and DAZ).
    for (auto _ : state)
    {
        fftwf_execute(plan);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    fftwf_destroy_plan(plan);
    if (!inPlace)
    {
        fftwf_free(b);
    }
    fftwf_free(a);
}

void BM_FftwRealFwd(benchmark::State& state)
{
    RunFftw(state, kRealFwd, state.range(1) != 0);
}

void BM_FftwRealInv(benchmark::State& state)
{
    RunFftw(state, kRealInv, state.range(1) != 0);
}

void BM_FftwComplexFwd(benchmark::State& state)
{
    RunFftw(state, kComplexFwd, state.range(1) != 0);
}

void FftwArgs(benchmark::internal::Benchmark* b, std::initializer_list<int64_t> sizes)
{
    b->ArgNames({"points", "inplace"});
    for (int64_t inPlace : {0, 1})
    {
        for (int64_t n : sizes)
        {
            b->Args({n, inPlace});
        }
    }
}

BENCHMARK(BM_FftwRealFwd)->Apply([](auto* b) { FftwArgs(b, {256, 1024, 4096}); });
BENCHMARK(BM_FftwRealInv)->Apply([](auto* b) { FftwArgs(b, {256, 1024, 4096}); });
BENCHMARK(BM_FftwComplexFwd)->Apply([](auto* b) { FftwArgs(b, {1024, 65536, 1048576}); });
#endif

#if UACSIM_HAVE_KISSFFT
void BM_KissRealFwd(benchmark::State& state)
{
    const int n = int(state.range(0));
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    const std::vector<float> x = Signal(size_t(n));
    std::vector<kiss_fft_cpx> out(static_cast<size_t>(n / 2 + 1));
    for (auto _ : state)
    {
        kiss_fftr(cfg, x.data(), out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    kiss_fftr_free(cfg);
}

void BM_KissRealInv(benchmark::State& state)
{
    const int n = int(state.range(0));
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 1, nullptr, nullptr);
    const std::vector<float> x = Signal(size_t(n + 2));
    std::vector<float> out(static_cast<size_t>(n));
    for (auto _ : state)
    {
        kiss_fftri(cfg, reinterpret_cast<const kiss_fft_cpx*>(x.data()), out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    kiss_fftr_free(cfg);
}

void BM_KissComplexFwd(benchmark::State& state)
{
    const int n = int(state.range(0));
    kiss_fft_cfg cfg = kiss_fft_alloc(n, 0, nullptr, nullptr);
    const std::vector<float> x = Signal(2 * size_t(n));
    std::vector<kiss_fft_cpx> out(static_cast<size_t>(n));
    for (auto _ : state)
    {
        kiss_fft(cfg, reinterpret_cast<const kiss_fft_cpx*>(x.data()), out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    kiss_fft_free(cfg);
}

BENCHMARK(BM_KissRealFwd)->ArgName("points")->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_KissRealInv)->ArgName("points")->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_KissComplexFwd)->ArgName("points")->Arg(1024)->Arg(65536)->Arg(1048576);
#endif

// Keeps the console table and remembers each run's time per transform for the ratios.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
        {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
            {
                // The fastest repetition: on a shared machine the others time the neighbours.
                const auto it = m_times.find(run.benchmark_name());
                const double t = run.GetAdjustedRealTime();
                if (it == m_times.end() || t < it->second)
                {
                    m_times[run.benchmark_name()] = t;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // "BM_OursX/points:N/level:L" against "BM_FftwX/points:N/inplace:0|1" and "BM_KissX/points:N".
    void PrintRatios() const
    {
        printf("\nratio ours/reference (time per transform; below 1 is faster than the reference):\n");
        printf("  %-30s %10s %10s %10s\n", "transform", "FFTW oop", "FFTW inpl", "KissFFT");
        for (const auto& [name, ours] : m_times)
        {
            if (name.rfind("BM_Ours", 0) != 0)
            {
                continue;
            }
            std::string rest = name.substr(7);
            const size_t levelAt = rest.find("/level:");
            const std::string base = rest.substr(0, levelAt);
            printf("  %-30s %10s %10s %10s\n", rest.c_str(),
                   Ratio(ours, "BM_Fftw" + base + "/inplace:0").c_str(),
                   Ratio(ours, "BM_Fftw" + base + "/inplace:1").c_str(),
                   Ratio(ours, "BM_Kiss" + base).c_str());
        }
    }

private:
    std::string Ratio(double ours, const std::string& key) const
    {
        const auto theirs = m_times.find(key);
        if (theirs == m_times.end() || theirs->second <= 0)
        {
            return "-";
        }
        char text[32];
        snprintf(text, sizeof(text), "%.2f", ours / theirs->second);
        return text;
    }

    std::map<std::string, double> m_times;
};

} // namespace

int main(int argc, char** argv)
{
    // Flush denormals for every contender alike: transforms repeated on their own output must
    // not time microcode assists.
    _mm_setcsr(_mm_getcsr() | 0x8040);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
