// Speed of the level-0 FFT, FIR and IIR primitives: real FFTs of 256, 1,024 and 4,096 points
// both ways, complex FFTs of 1,024 and 65,536 points, FIR filters of 64 and 512 taps over
// 4,096-sample blocks and a four-section biquad cascade. When FFTW's single-precision library
// was found at configure time, its plans of the same sizes run in the same program and the
// ratios ours/FFTW are printed after the table.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/filters/sp_iir.h"

#if UACSIM_HAVE_FFTW
#include <fftw3.h>
#endif

namespace
{

constexpr int32_t kFilterBlock = 4096;

std::vector<float> Signal(size_t n)
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

int32_t OrderOf(int64_t points)
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

void BM_OursRealFwd(benchmark::State& state)
{
    const int32_t n = int32_t(state.range(0));
    SpFftSpec* spec = nullptr;
    if (SpFftRealCreate(&spec, OrderOf(n), SpFftNoDivide, 0) != SpOk)
    {
        state.SkipWithError("create failed");
        return;
    }
    const std::vector<float> x = Signal(size_t(n));
    Floats out{static_cast<size_t>(n)};
    for (auto _ : state)
    {
        SpFftFwdRealToPack(x.data(), out.p, spec, nullptr);
        benchmark::ClobberMemory();
    }
    SpFftRealFree(spec);
}

void BM_OursRealInv(benchmark::State& state)
{
    const int32_t n = int32_t(state.range(0));
    SpFftSpec* spec = nullptr;
    if (SpFftRealCreate(&spec, OrderOf(n), SpFftNoDivide, 0) != SpOk)
    {
        state.SkipWithError("create failed");
        return;
    }
    const std::vector<float> x = Signal(size_t(n));
    Floats out{static_cast<size_t>(n)};
    for (auto _ : state)
    {
        SpFftInvPackToReal(x.data(), out.p, spec, nullptr);
        benchmark::ClobberMemory();
    }
    SpFftRealFree(spec);
}

void BM_OursComplexFwd(benchmark::State& state)
{
    const int32_t n = int32_t(state.range(0));
    SpFftSpec* spec = nullptr;
    if (SpFftComplexCreate(&spec, OrderOf(n), SpFftNoDivide, 0) != SpOk)
    {
        state.SkipWithError("create failed");
        return;
    }
    int32_t workBytes = spec->WorkBytes > 0 ? spec->WorkBytes + 32 : 0;
    std::vector<uint8_t> work(size_t(workBytes) + 1);
    const std::vector<float> x = Signal(2 * size_t(n));
    Floats out{2 * static_cast<size_t>(n)};
    for (auto _ : state)
    {
        SpFftFwdComplex(reinterpret_cast<const SpComplexF32*>(x.data()),
                        reinterpret_cast<SpComplexF32*>(out.p), spec, work.data());
        benchmark::ClobberMemory();
    }
    SpFftComplexFree(spec);
}

void BM_OursFir(benchmark::State& state)
{
    const int32_t taps = int32_t(state.range(0));
    const std::vector<float> h = Signal(size_t(taps));
    SpFirState* fir = nullptr;
    if (SpFirCreate(&fir, h.data(), taps, nullptr) != SpOk)
    {
        state.SkipWithError("create failed");
        return;
    }
    const std::vector<float> x = Signal(kFilterBlock);
    Floats out{kFilterBlock};
    for (auto _ : state)
    {
        SpFirFilter(x.data(), out.p, kFilterBlock, fir);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFilterBlock);
    SpFirFree(fir);
}

// Four lowpass-like sections; no operation builds a cascade, so the record is laid out here.
void BM_OursBiquadCascade(benchmark::State& state)
{
    std::vector<float> coeffs;
    for (int s = 0; s < 4; ++s)
    {
        coeffs.insert(coeffs.end(), {0.2f, 0.4f, 0.2f, -0.5f + 0.1f * float(s), 0.3f});
    }
    std::vector<float> delay(8, 0.0f);
    SpIirState cascade = {SpIirTagBiquad, 0, coeffs.data(), delay.data(), 8, 0};
    const std::vector<float> x = Signal(kFilterBlock);
    Floats out{kFilterBlock};
    for (auto _ : state)
    {
        SpIirFilter(x.data(), out.p, kFilterBlock, &cascade);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFilterBlock);
}

BENCHMARK(BM_OursRealFwd)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_OursRealInv)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_OursComplexFwd)->Arg(1024)->Arg(65536);
BENCHMARK(BM_OursFir)->Arg(64)->Arg(512);
BENCHMARK(BM_OursBiquadCascade);

#if UACSIM_HAVE_FFTW

void BM_FftwRealFwd(benchmark::State& state)
{
    const int n = int(state.range(0));
    float* in = fftwf_alloc_real(size_t(n));
    fftwf_complex* out = fftwf_alloc_complex(size_t(n / 2 + 1));
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
    const std::vector<float> x = Signal(size_t(n));
    memcpy(in, x.data(), size_t(n) * sizeof(float));
    for (auto _ : state)
    {
        fftwf_execute(plan);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}

void BM_FftwRealInv(benchmark::State& state)
{
    const int n = int(state.range(0));
    fftwf_complex* in = fftwf_alloc_complex(size_t(n / 2 + 1));
    float* out = fftwf_alloc_real(size_t(n));
    fftwf_plan plan = fftwf_plan_dft_c2r_1d(n, in, out, FFTW_MEASURE | FFTW_PRESERVE_INPUT);
    const std::vector<float> x = Signal(size_t(n) + 2);
    memcpy(in, x.data(), size_t(n + 2) * sizeof(float));
    for (auto _ : state)
    {
        fftwf_execute(plan);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}

void BM_FftwComplexFwd(benchmark::State& state)
{
    const int n = int(state.range(0));
    fftwf_complex* in = fftwf_alloc_complex(size_t(n));
    fftwf_complex* out = fftwf_alloc_complex(size_t(n));
    fftwf_plan plan = fftwf_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
    const std::vector<float> x = Signal(2 * size_t(n));
    memcpy(in, x.data(), 2 * size_t(n) * sizeof(float));
    for (auto _ : state)
    {
        fftwf_execute(plan);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
}

BENCHMARK(BM_FftwRealFwd)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_FftwRealInv)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_FftwComplexFwd)->Arg(1024)->Arg(65536);

#endif

// Keeps the console table and remembers each run's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
        {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
            {
                m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const
    {
        int printed = 0;
        for (const auto& [name, ours] : m_times)
        {
            if (name.rfind("BM_Ours", 0) != 0)
            {
                continue;
            }
            const auto theirs = m_times.find("BM_Fftw" + name.substr(7));
            if (theirs == m_times.end() || theirs->second <= 0)
            {
                continue;
            }
            if (printed++ == 0)
            {
                printf("\nratio ours/FFTW (time per transform, level 0):\n");
            }
            printf("  %-28s %6.2f\n", name.substr(7).c_str(), ours / theirs->second);
        }
        if (printed == 0)
        {
            printf("\nFFTW not available at build time: no ratios.\n");
        }
    }

private:
    std::map<std::string, double> m_times;
};

} // namespace

int main(int argc, char** argv)
{
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
