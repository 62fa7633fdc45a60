// Speed of the FFT, FIR and IIR primitives: real FFTs of 256, 1,024 and 4,096 points both ways
// at levels 0 and 1, complex FFTs of 1,024 and 65,536 points, and, at every level, FIR filters of
// 64 and 512 taps over 4,096-sample blocks and a four-section biquad cascade, beside plain C loops
// of the same filters. When FFTW's single-precision library was found at configure time, its
// plans of the same sizes (and an overlap-save FIR on its real transforms, with our FFT lengths)
// run in the same program and the ratios ours/FFTW are printed after the table, per level.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench/bench_levels.h"
#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/primitives/fft/sp_fft.h"
#include "driver/primitives/filters/sp_fir.h"
#include "driver/primitives/filters/sp_iir.h"

#if UACSIM_HAVE_FFTW
#include <fftw3.h>
#endif

namespace
{

constexpr int32_t kFilterBlock = 4096;

void BM_OursRealFwd(benchmark::State& state)
{
    LevelScope level(state);
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
    LevelScope level(state);
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
    LevelScope level(state);
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

// Four lowpass-like sections. No operation builds a cascade, so the record is laid out here: the
// generic build reads the taps and delay pairs; levels 1-3 also read the four-lane rows, which
// come from order-2 direct states that the level itself builds.
struct Cascade
{
    std::vector<float> coeffs, delay, lanes;
    SpIirState state = {};

    explicit Cascade(int32_t level) : delay(8, 0.0f)
    {
        for (int s = 0; s < 4; ++s)
        {
            coeffs.insert(coeffs.end(), {0.2f, 0.4f, 0.2f, -0.5f + 0.1f * float(s), 0.3f});
        }
        state = {};
        state.Tag = SpIirTagBiquad;
        state.Level = level;
        state.Taps = coeffs.data();
        state.Delay = delay.data();
        state.Count = 8;
        if (level == 0)
        {
            return;
        }
        lanes.assign(40 * 4 + 2048 + 4, 0.0f);
        float* base =
            reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(lanes.data()) + 15) & ~uintptr_t(15));
        state.Sections = 4;
        state.FfLanes = base;
        state.FbLanes = base + 48;
        state.OneSample = base + 128;
        state.Work = base + 160;
        state.SecondWork = state.Work + 1024;
        std::vector<uint8_t> memory(8192);
        for (int k = 0; k < 4; ++k)
        {
            const float* c = &coeffs[5 * size_t(k)];
            const float direct[6] = {c[0], c[1], c[2], 1.0f, c[3], c[4]};
            SpIirState* section = nullptr;
            SpIirInit(&section, direct, 2, nullptr, memory.data());
            for (int i = 0; i < 12; ++i)
            {
                state.FfLanes[12 * k + i] = c[i / 4];
            }
            memcpy(state.FbLanes + 20 * k, section->FbLanes, 20 * sizeof(float));
            const float row[8] = {c[0], c[1], c[2], 0.0f, -c[3], -c[4], 0.0f, 0.0f};
            memcpy(state.OneSample + 8 * k, row, sizeof(row));
        }
    }
};

void BM_OursBiquadCascade(benchmark::State& state)
{
    LevelScope level(state, 0);
    Cascade cascade(SpCpuLevel);
    const std::vector<float> x = Signal(kFilterBlock);
    Floats out{kFilterBlock};
    for (auto _ : state)
    {
        SpIirFilter(x.data(), out.p, kFilterBlock, &cascade.state);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFilterBlock);
}

// The plain loops: y[n] = sum of h[k] x[n - k] over a history of taps - 1 samples, and the
// cascade in transposed direct form II, sample by sample, as a C compiler builds them.
void BM_PlainFir(benchmark::State& state)
{
    const int32_t taps = int32_t(state.range(0));
    const std::vector<float> h = Signal(size_t(taps));
    const std::vector<float> x = Signal(kFilterBlock + size_t(taps));
    Floats out{kFilterBlock};
    for (auto _ : state)
    {
        const float* in = x.data() + taps - 1;
        for (int32_t n = 0; n < kFilterBlock; ++n)
        {
            float sum = 0.0f;
            for (int32_t k = 0; k < taps; ++k)
            {
                sum += h[size_t(k)] * in[n - k];
            }
            out.p[n] = sum;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFilterBlock);
}

void BM_PlainBiquadCascade(benchmark::State& state)
{
    Cascade cascade(0);
    const float* c = cascade.coeffs.data();
    float* z = cascade.delay.data();
    const std::vector<float> x = Signal(kFilterBlock);
    Floats out{kFilterBlock};
    for (auto _ : state)
    {
        for (int32_t n = 0; n < kFilterBlock; ++n)
        {
            float v = x[size_t(n)];
            for (int k = 0; k < 4; ++k)
            {
                const float* s = c + 5 * k;
                const float y = s[0] * v + z[2 * k];
                z[2 * k] = s[1] * v - s[3] * y + z[2 * k + 1];
                z[2 * k + 1] = s[2] * v - s[4] * y;
                v = y;
            }
            out.p[n] = v;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFilterBlock);
}

void PointsAndLevels(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"points", "level"});
    for (int64_t points : {256, 1024, 4096})
        for (int64_t level : {0, 1})
            b->Args({points, level});
}

void TapsAndLevels(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"taps", "level"});
    for (int64_t taps : {64, 512})
        for (int64_t level : {0, 1, 2, 3})
            b->Args({taps, level});
}

BENCHMARK(BM_OursRealFwd)->Apply(PointsAndLevels);
BENCHMARK(BM_OursRealInv)->Apply(PointsAndLevels);
BENCHMARK(BM_OursComplexFwd)->ArgName("points")->Arg(1024)->Arg(65536);
BENCHMARK(BM_OursFir)->Apply(TapsAndLevels);
BENCHMARK(BM_OursBiquadCascade)->ArgName("level")->DenseRange(0, 3);
BENCHMARK(BM_PlainFir)->ArgName("taps")->Arg(64)->Arg(512);
BENCHMARK(BM_PlainBiquadCascade);

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

// Overlap-save FIR on FFTW's real transforms, with the FFT length our state plans for the tap
// count (the smallest power of two above the taps, doubled): each transform yields F - L + 1
// outputs.
void BM_FftwFir(benchmark::State& state)
{
    const int taps = int(state.range(0));
    int fftLen = 4;
    while (fftLen <= taps)
        fftLen *= 2;
    fftLen *= 2;
    const int bins = fftLen / 2 + 1;
    float* block = fftwf_alloc_real(size_t(fftLen));
    fftwf_complex* spec = fftwf_alloc_complex(size_t(bins));
    fftwf_complex* tapSpec = fftwf_alloc_complex(size_t(bins));
    fftwf_plan fwd = fftwf_plan_dft_r2c_1d(fftLen, block, spec, FFTW_MEASURE);
    fftwf_plan inv = fftwf_plan_dft_c2r_1d(fftLen, spec, block, FFTW_MEASURE);
    const std::vector<float> h = Signal(size_t(taps));
    memset(block, 0, size_t(fftLen) * sizeof(float));
    memcpy(block, h.data(), size_t(taps) * sizeof(float));
    fftwf_execute(fwd);
    memcpy(tapSpec, spec, size_t(bins) * sizeof(fftwf_complex));
    const std::vector<float> x = Signal(kFilterBlock + size_t(taps));
    Floats out{kFilterBlock};
    const int step = fftLen - taps + 1;
    const float scale = 1.0f / float(fftLen);
    for (auto _ : state)
    {
        for (int o = 0; o < kFilterBlock; o += step)
        {
            const int count = kFilterBlock - o < step ? kFilterBlock - o : step;
            memcpy(block, x.data() + o, size_t(count + taps - 1) * sizeof(float));
            memset(block + count + taps - 1, 0, size_t(fftLen - count - taps + 1) * sizeof(float));
            fftwf_execute(fwd);
            for (int k = 0; k < bins; ++k)
            {
                const float re = spec[k][0] * tapSpec[k][0] - spec[k][1] * tapSpec[k][1];
                const float im = spec[k][0] * tapSpec[k][1] + spec[k][1] * tapSpec[k][0];
                spec[k][0] = re * scale;
                spec[k][1] = im * scale;
            }
            fftwf_execute(inv);
            memcpy(out.p + o, block + taps - 1, size_t(count) * sizeof(float));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFilterBlock);
    fftwf_destroy_plan(inv);
    fftwf_destroy_plan(fwd);
    fftwf_free(tapSpec);
    fftwf_free(spec);
    fftwf_free(block);
}

BENCHMARK(BM_FftwRealFwd)->ArgName("points")->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_FftwRealInv)->ArgName("points")->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_FftwComplexFwd)->ArgName("points")->Arg(1024)->Arg(65536);
BENCHMARK(BM_FftwFir)->ArgName("taps")->Arg(64)->Arg(512);

#endif

// Keeps the console table and remembers each run's CPU time per iteration for the ratios: the
// median when the run is repeated, else the single run. CPU time, not wall time, because a
// shared build machine preempts the benchmark thread and would charge the wait to whichever
// row it hit.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
        {
            if (run.error_occurred)
            {
                continue;
            }
            if (run.run_type == Run::RT_Iteration && m_medians.count(run.run_name.str()) == 0)
            {
                m_times[run.run_name.str()] = run.GetAdjustedCPUTime();
            }
            else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
            {
                m_medians.insert(run.run_name.str());
                m_times[run.run_name.str()] = run.GetAdjustedCPUTime();
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
            // "BM_OursX/points:N/level:L" is compared with "BM_FftwX/points:N".
            std::string key = "BM_Fftw" + name.substr(7);
            const size_t levelAt = key.find("/level:");
            if (levelAt != std::string::npos)
                key.erase(levelAt);
            const auto theirs = m_times.find(key);
            if (theirs == m_times.end() || theirs->second <= 0)
            {
                continue;
            }
            if (printed++ == 0)
            {
                printf("\nratio ours/FFTW (CPU time per transform or per block):\n");
            }
            printf("  %-34s %6.2f\n", name.substr(7).c_str(), ours / theirs->second);
        }
        if (printed == 0)
        {
            printf("\nFFTW not available at build time: no ratios.\n");
        }
    }

private:
    std::map<std::string, double> m_times;
    std::set<std::string> m_medians;
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
