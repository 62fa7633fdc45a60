// CPU cost of the software effects per second of audio at 48 kHz, as a multiple of real time
// on one core ("xRealtime": seconds of audio per second of CPU): the headphone virtualiser on
// a stereo and a 5.1 stream, and the tapped-delay effect on 5.1 and 7.1.
#include "driver/dsp/headphone_virtualizer.h"
#include "driver/dsp/tapped_delay_effect.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

namespace
{

constexpr int kRate = 48000;
constexpr int kFrames = 480; // one 10 ms buffer a call, as the stream engine hands them

std::vector<std::vector<float>> Noise(int channels)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-0.3f, 0.3f);
    std::vector<std::vector<float>> b(8, std::vector<float>(kFrames, 0.0f));
    for (int c = 0; c < channels; c++)
        for (float& v : b[c])
            v = dist(rng);
    return b;
}

void SetRealtime(benchmark::State& state)
{
    state.counters["xRealtime"] =
        benchmark::Counter(double(kFrames) / kRate * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Virtualizer(benchmark::State& state)
{
    const int channels = int(state.range(0));
    std::unique_ptr<CHeadphoneVirtualizer> v(new (NonPagedPool, VIRTUALIZER_POOL_TAG)
                                                 CHeadphoneVirtualizer());
    WAVEFORMATEX format = {WAVE_FORMAT_IEEE_FLOAT, WORD(channels), kRate, 0, 0, 32, 0};
    v->SetFormat(&format);
    v->SetEnable(1);
    v->SetHeadphoneAngle(3);
    const auto source = Noise(channels);
    auto work = source;
    float* p[8];
    for (int c = 0; c < 8; c++)
        p[c] = work[c].data();
    for (auto _ : state)
    {
        for (int c = 0; c < channels; c++)
            std::copy(source[c].begin(), source[c].end(), work[c].begin());
        v->Process(p, kFrames);
        benchmark::DoNotOptimize(work[0][0]);
    }
    SetRealtime(state);
}
BENCHMARK(BM_Virtualizer)->Arg(2)->Arg(6);

void BM_TappedDelay(benchmark::State& state)
{
    const int channels = int(state.range(0));
    auto effect = std::make_unique<CTappedDelayEffect>();
    effect->Init();
    effect->SetFormat(kRate, ULONG(channels - 1));
    const auto source = Noise(channels);
    auto work = source;
    float* p[8];
    for (int c = 0; c < 8; c++)
        p[c] = work[c].data();
    for (auto _ : state)
    {
        for (int c = 0; c < 2; c++)
            std::copy(source[c].begin(), source[c].end(), work[c].begin());
        effect->Process(p, p, kFrames);
        benchmark::DoNotOptimize(work[0][0]);
    }
    SetRealtime(state);
}
BENCHMARK(BM_TappedDelay)->Arg(6)->Arg(8);

} // namespace

BENCHMARK_MAIN();
