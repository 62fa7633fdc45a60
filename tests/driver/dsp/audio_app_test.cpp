// CAudioApp, the virtualiser's block engine, with a filter that passes its input through: the
// block delay, the rate steps' latency and pass band for every supported rate (a sine must come
// out as the same sine, shifted by the stated latency), the stop band, chunking, restarts, the
// rates it refuses, and CopyChannels.
#include "driver/dsp/audio_app.h"

#include "plat_pool.h"
#include "portcls.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace
{

// Passes channel i of the internal input to internal output i and counts the blocks.
class CPassApp : public CAudioApp
{
public:
    CPassApp() : CAudioApp(44100, 512, 8, 8, 1.0f) {}
    int Blocks = 0;
    LONG LastLength = 0;

protected:
    VOID Filter(float* const* Output, LONG OutputCount, float* const* Input, LONG InputCount,
                LONG Length) override
    {
        Blocks++;
        LastLength = Length;
        CopyChannels(Output, OutputCount, Input, InputCount, Length);
    }
};

std::vector<float> Sine(double freqHz, double rateHz, int frames)
{
    std::vector<float> s(frames);
    for (int n = 0; n < frames; n++)
        s[n] = float(0.5 * std::sin(2 * M_PI * freqHz * n / rateHz));
    return s;
}

// Two channels through the engine in calls of Chunk frames, in place.
std::vector<float> RunThrough(CAudioApp& app, std::vector<float> signal, int chunk)
{
    std::vector<float> second = signal;
    for (size_t at = 0; at < signal.size(); at += chunk)
    {
        const LONG n = LONG(std::min<size_t>(chunk, signal.size() - at));
        float* buffers[2] = {signal.data() + at, second.data() + at};
        app.Process(buffers, 2, buffers, 2, n);
    }
    return signal;
}

// Largest difference between out[n] and in[n - delay] after the first settle samples.
double WorstAfterDelay(const std::vector<float>& out, const std::vector<float>& in, int delay, int settle)
{
    double worst = 0;
    for (size_t n = size_t(delay + settle); n < out.size(); n++)
        worst = std::max(worst, std::fabs(double(out[n]) - in[n - delay]));
    return worst;
}

TEST(AudioApp, EverySupportedRateReturnsTheSignalAfterItsLatency)
{
    struct Case
    {
        LONG RateHz;
        LONG Block;  // block at the stream's rate
        int Latency; // the block, plus the two zero-phase filters' tails at the higher rate
        double Tolerance;
    };
    const Case cases[] = {
        {44100, 512, 512, 1e-6},         // no rate step at all
        {48000, 512, 512 + 128, 2e-3},   // factor 1: low-passed, no rate change
        {32000, 512, 512 + 128, 2e-3},   // slower, factor 1
        {88200, 1024, 1024 + 128, 2e-3}, // factor 2 each way
        {96000, 1024, 1024 + 128, 2e-3},
        {22050, 256, 256 + 64, 2e-3}, // slower, factor 2: the tails at 44.1 kHz are 32 samples here
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.RateHz);
        CPassApp app;
        ASSERT_TRUE(app.Configure(c.RateHz, 8, 2, 256));
        EXPECT_EQ(app.BlockLength(), c.Block);
        const std::vector<float> in = Sine(440.0, c.RateHz, 8 * 1024);
        const std::vector<float> out = RunThrough(app, in, 300);
        EXPECT_LT(WorstAfterDelay(out, in, c.Latency, 256), c.Tolerance);
        for (int n = 0; n < c.Block; n++)
            ASSERT_EQ(out[n], 0.0f) << "the first block is silence, sample " << n;
        EXPECT_EQ(app.LastLength, VIRTUALIZER_BLOCK_SAMPLES);
    }
}

// A tone well above the low-passes' cut-off (a quarter of 48 kHz; a sixth of 96 kHz's internal
// 88.2 kHz-equivalent) is removed: each side's zero-phase pair attenuates it twice.
TEST(AudioApp, TheRateStepsRemoveWhatTheInternalRateCannotCarry)
{
    for (LONG rate : {48000, 96000})
    {
        SCOPED_TRACE(rate);
        CPassApp app;
        ASSERT_TRUE(app.Configure(rate, 8, 2, 256));
        const std::vector<float> out = RunThrough(app, Sine(rate * 0.4, rate, 16 * 1024), 512);
        double peak = 0;
        for (size_t n = 4096; n < out.size(); n++)
            peak = std::max(peak, std::fabs(double(out[n])));
        EXPECT_LT(peak, 0.5 * 0.01); // at least 40 dB down
    }
}

// One frame at a time gives what one long call gives; a second Configure starts again from
// silence with empty histories.
TEST(AudioApp, ChunkingDoesNotMatterAndConfigureRestarts)
{
    for (LONG rate : {44100, 48000, 96000, 22050})
    {
        SCOPED_TRACE(rate);
        const std::vector<float> in = Sine(1000.0, rate, 5000);
        CPassApp whole, single;
        ASSERT_TRUE(whole.Configure(rate, 8, 2, 256));
        ASSERT_TRUE(single.Configure(rate, 8, 2, 256));
        const std::vector<float> a = RunThrough(whole, in, int(in.size()));
        EXPECT_EQ(RunThrough(single, in, 1), a);
        ASSERT_TRUE(whole.Configure(rate, 8, 2, 256));
        EXPECT_EQ(RunThrough(whole, in, 777), a);
    }
}

// Rates whose factor has no filter or whose block overruns the buffers are refused, and an
// unconfigured engine leaves the caller's buffers alone.
TEST(AudioApp, RatesOutsideTheFiltersAreRefused)
{
    for (LONG rate : {192000, 176400, 132300, 14700, 8000, 0})
    {
        SCOPED_TRACE(rate);
        CPassApp app;
        EXPECT_FALSE(app.Configure(rate, 8, 2, 256));
        std::vector<float> buffer = Sine(100.0, 48000, 2048);
        const std::vector<float> before = buffer;
        EXPECT_EQ(RunThrough(app, buffer, 512), before);
        EXPECT_EQ(app.Blocks, 0);
    }
    {
        CPassApp tooWide;
        EXPECT_FALSE(tooWide.Configure(48000, 9, 2, 256));
    }
    EXPECT_EQ(plat::PoolLiveBlocks(VIRTUALIZER_POOL_TAG), 0u);
}

// Pool running out at any allocation of Configure leaves an engine that does not process and
// frees everything it got.
TEST(AudioApp, PoolRunningOutInConfigureLeavesNothingBehind)
{
    int refused = 0;
    for (ULONG n = 1; n <= 40; n++)
    {
        SCOPED_TRACE(n);
        {
            CPassApp app;
            plat::FailNthAllocation(n);
            const bool configured = app.Configure(96000, 8, 2, 256);
            plat::ClearPoolFailures();
            refused += !configured;
            std::vector<float> buffer = Sine(100.0, 96000, 2048);
            const std::vector<float> before = buffer;
            const std::vector<float> after = RunThrough(app, buffer, 512);
            if (!configured)
            {
                EXPECT_EQ(after, before);
            }
        }
        EXPECT_EQ(plat::PoolLiveBlocks(VIRTUALIZER_POOL_TAG), 0u);
    }
    EXPECT_GT(refused, 20);
}

TEST(AudioApp, CopyChannelsZeroFillsWhatHasNoSource)
{
    std::vector<float> a(16, 1.0f), b(16, 2.0f), c(16, 3.0f), d(16, 4.0f);
    float* source[2] = {a.data(), b.data()};
    float* destination[3] = {a.data(), c.data(), d.data()};
    CopyChannels(destination, 3, source, 2, 16);
    EXPECT_EQ(a, std::vector<float>(16, 1.0f)); // the same buffer: left alone
    EXPECT_EQ(c, std::vector<float>(16, 2.0f));
    EXPECT_EQ(d, std::vector<float>(16, 0.0f));
}

} // namespace
