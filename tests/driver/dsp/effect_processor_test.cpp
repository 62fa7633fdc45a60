// CEffectProcessor against a double-precision model of the look-ahead limiter, sample by
// sample: the 256-sample delay, the windowed peak, attack within one block, the slow release,
// the linked gain, any chunking of the calls, and the pass-through of a limiter without buffers.
#include "support/graph_test_doubles.h"

#include "driver/dsp/effect_processor.h"
#include "plat_pool.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace
{

// The limiter as its design states it, one sample at a time, in double.
struct Model
{
    int Channels;
    double Boost, Ceiling;
    std::vector<std::vector<double>> In, Out, History;
    std::vector<double> Gain, Target;
    int Half = 0, Fill = 0, Index = 0;
    bool Update = true;

    Model(int channels, double boost, double ceiling)
        : Channels(channels), Boost(boost), Ceiling(ceiling), In(channels, std::vector<double>(256)),
          Out(channels, std::vector<double>(256)), History(channels, std::vector<double>(200)),
          Gain(channels, 1.0), Target(channels, 1.0)
    {
    }
    void Block()
    {
        for (int c = 0; c < Channels; c++)
        {
            double p = 0, window;
            for (int i = 0; i < 128; i++)
                p = std::max(p, std::fabs(In[c][(1 - Half) * 128 + i]));
            window = p;
            for (int back = 1; back < 20; back++)
                window = std::max(window, History[c][(Index + 200 - back) % 200]);
            History[c][Index] = p;
            Target[c] = Boost * window <= Ceiling ? Boost : Ceiling / window;
        }
        Index = (Index + 1) % 200;
        double t = *std::min_element(Target.begin(), Target.end());
        for (int c = 0; c < Channels; c++)
        {
            double g = Gain[c], step = std::fabs(t - g) / (t > g && !Update ? 10240.0 : 128.0);
            step = std::max(step, g * std::ldexp(1.0, -23));
            for (int i = 0; i < 128; i++)
            {
                Out[c][(1 - Half) * 128 + i] = g * In[c][Half * 128 + i];
                g = t > Gain[c] ? std::min(t, g + step) : std::max(t, g - step);
            }
            Gain[c] = t < Gain[c] || Update ? t : g;
        }
        Update = false;
    }
    std::vector<double> Step(const std::vector<double>& frame)
    {
        std::vector<double> out(Channels);
        for (int c = 0; c < Channels; c++)
            In[c][(1 - Half) * 128 + Fill] = frame[c];
        if (Fill == 127)
            Block();
        for (int c = 0; c < Channels; c++)
            out[c] = Out[c][Half * 128 + Fill];
        if (Fill == 127)
            Half = 1 - Half;
        Fill = (Fill + 1) % 128;
        return out;
    }
};

class EffectProcessor : public gd::LeakCheckedTest
{
protected:
    CEffectProcessor* New(USHORT channels, float boost, float ceiling = 1.0f, bool allocate = true)
    {
        auto* limiter = new (NonPagedPool, gd::kDoubleTag) CEffectProcessor();
        if (allocate)
        {
            EXPECT_TRUE(limiter->AllocateBuffers());
        }
        limiter->SetMode(0);
        limiter->SetGain(boost);
        limiter->SetCeiling(ceiling);
        WAVEFORMATEXTENSIBLE format = {};
        format.Format.nChannels = channels;
        limiter->SetFormat(&format);
        m_Limiters.push_back(limiter);
        return limiter;
    }
    void TearDown() override
    {
        for (CEffectProcessor* limiter : m_Limiters)
        {
            limiter->FreeBuffers();
            ExFreePoolWithTag(limiter, gd::kDoubleTag);
        }
        gd::LeakCheckedTest::TearDown();
    }
    // Runs the signal (channel-major) through the limiter in calls of the given lengths, cycled.
    static std::vector<std::vector<float>>
    Run(CEffectProcessor* limiter, std::vector<std::vector<float>> signal, std::vector<ULONG> chunks)
    {
        size_t done = 0;
        for (size_t k = 0; done < signal[0].size(); k++)
        {
            ULONG n = ULONG(std::min<size_t>(chunks[k % chunks.size()], signal[0].size() - done));
            std::vector<float*> pointers;
            for (auto& channel : signal)
                pointers.push_back(channel.data() + done);
            limiter->Process(pointers.data(), n);
            done += n;
        }
        return signal;
    }
    std::vector<CEffectProcessor*> m_Limiters;
};

// Quiet noise with loud bursts on channel 0 only, so the gain is linked through channel 1.
std::vector<std::vector<float>> Signal(size_t frames, int channels)
{
    std::mt19937 random(13);
    std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
    std::vector<std::vector<float>> signal(channels, std::vector<float>(frames));
    for (size_t i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++)
            signal[c][i] = noise(random) * (c == 0 && (i / 128) % 40 == 7 ? 9.5f : 1.0f);
    return signal;
}

TEST_F(EffectProcessor, FollowsTheModelSampleBySampleWhateverTheChunking)
{
    struct Case
    {
        float Boost, Ceiling;
        std::vector<ULONG> Chunks;
    } cases[] = {{2.8183f, 1.0f, {100000}},
                 {2.8183f, 1.0f, {1, 100, 128, 1000, 7}},
                 {2.0f, 0.5f, {128}},
                 {1.0f, 1.0f, {333, 0, 5}}};
    const size_t frames = 128 * 200;
    const auto signal = Signal(frames, 2);
    std::vector<std::vector<float>> first;
    for (const Case& c : cases)
    {
        const auto out = Run(New(2, c.Boost, c.Ceiling), signal, c.Chunks);
        Model model(2, c.Boost, c.Ceiling);
        for (size_t i = 0; i < frames; i++)
        {
            const auto expected = model.Step({signal[0][i], signal[1][i]});
            for (int ch = 0; ch < 2; ch++)
                ASSERT_NEAR(out[ch][i], expected[ch], 1e-6 + 1e-4 * std::fabs(expected[ch]))
                    << "boost " << c.Boost << " sample " << i << " channel " << ch;
            if (i < 256)
            {
                ASSERT_EQ(out[0][i], 0.0f) << "the first 256 samples are silent";
            }
            ASSERT_LE(std::fabs(out[0][i]), c.Ceiling) << i;
        }
        if (c.Boost != 2.8183f)
            continue;
        if (first.empty())
            first = out;
        EXPECT_EQ(out, first) << "chunking changes nothing, bit for bit";
    }
}

// Gains as output / input of one sample at a given input position, once the 256-sample delay
// is taken into account.
TEST_F(EffectProcessor, AttackHoldAndReleaseLandWhereTheBlocksSay)
{
    const size_t frames = 128 * 40;
    std::vector<std::vector<float>> signal(2, std::vector<float>(frames, 0.1f));
    std::fill(signal[0].begin() + 128 * 10, signal[0].begin() + 128 * 11, 1.0f);
    const auto out = Run(New(2, 2.8183f), signal, {frames});
    auto gain = [&](int channel, size_t input) { return out[channel][input + 256] / signal[channel][input]; };
    EXPECT_FLOAT_EQ(gain(1, 128 * 1), 2.8183f) << "the boost is reached within the first block";
    EXPECT_EQ(gain(0, 128 * 10), 1.0f) << "the attack ended with the block before the loud one";
    EXPECT_EQ(gain(1, 128 * 10 + 64), 1.0f) << "linked";
    EXPECT_EQ(gain(1, 128 * 28 + 127), 1.0f) << "held while the loud block is in the 20-block window";
    EXPECT_NEAR(gain(1, 128 * 29 + 127) - 1.0, 127 * 1.8183 / 10240, 1e-5) << "release: 1/10240 per sample";

    CEffectProcessor* exact = New(1, 2.0f);
    std::vector<std::vector<float>> half(1, std::vector<float>(1024, 0.5f));
    EXPECT_EQ(Run(exact, half, {1024})[0][1023], 1.0f) << "boost x peak at the ceiling keeps the boost";
}

TEST_F(EffectProcessor, WithoutBuffersSamplesPassUnchanged)
{
    const auto signal = Signal(300, 2);
    EXPECT_EQ(Run(New(2, 2.0f, 1.0f, false), signal, {300}), signal);
    plat::FailAllocationsWithTag(EFFECT_PROCESSOR_POOL_TAG);
    CEffectProcessor* failed = New(2, 2.0f, 1.0f, false);
    EXPECT_FALSE(failed->AllocateBuffers());
    plat::ClearPoolFailures();
    EXPECT_EQ(Run(failed, signal, {300}), signal);
    EXPECT_EQ(Run(New(9, 2.0f), signal, {300}), signal) << "more channels than the limiter has";
}

} // namespace
