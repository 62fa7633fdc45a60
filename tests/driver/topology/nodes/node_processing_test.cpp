// The level helpers against double-precision references, and the processing slots of the
// software mute and DSP volume nodes on float channel buffers, including a gain changed on
// one thread while another processes buffers.
#include "support/node_test_doubles.h"

#include "driver/topology/nodes/dsp_volume_control_node.h"
#include "driver/topology/nodes/level_helpers.h"
#include "driver/topology/nodes/node_processing.h"
#include "driver/topology/nodes/software_mute_node.h"
#include "plat_sched.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace
{

using gd::Make;
using nd::CFakeEntity;
using nd::Drop;

class NodeProcessing : public gd::LeakCheckedTest
{
};

WAVEFORMATEXTENSIBLE Format(USHORT channels, USHORT tag, USHORT subCode = 1)
{
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = tag;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = 48000;
    format.Format.wBitsPerSample = 32;
    format.Format.nBlockAlign = USHORT(channels * 4);
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format.SubFormat.Data1 = subCode;
    return format;
}

// Channel buffers with distinct samples, and the pointer array the slots take.
struct Buffers
{
    std::vector<std::vector<float>> Channels;
    std::vector<float*> Pointers;
    Buffers(ULONG channels, ULONG frames)
    {
        for (ULONG c = 0; c < channels; c++)
        {
            std::vector<float> samples(frames);
            for (ULONG f = 0; f < frames; f++)
                samples[f] = float(0.001 * (f + 1) * (c % 2 ? -1.0 : 1.0) + 0.1 * c);
            Channels.push_back(samples);
        }
        for (auto& channel : Channels)
            Pointers.push_back(channel.data());
    }
};

TEST(LevelHelpers, TablesAreTheCorrectlyRoundedPowers)
{
    for (int k = 0; k <= 200; k++)
        EXPECT_EQ(FastPowBase10Table.Entry[k], double(powl(10.0L, k / 200.0L))) << "entry " << k;
    for (int k = 0; k < 16; k++)
        EXPECT_EQ(FastPowBase2Table[k], std::ldexp(1.0, k));
    EXPECT_EQ(FastPowBase10Table.Entry[100], std::sqrt(10.0));
}

TEST(LevelHelpers, FastPowFollowsTheTableWithWholePowersExact)
{
    EXPECT_EQ(FastPowF(10, 0), 1.0f);
    EXPECT_EQ(FastPowF(10, 1), 10.0f);
    EXPECT_EQ(FastPow(10, -1.0), 0.1);
    EXPECT_EQ(FastPow(10, 0.5), FastPowBase10Table.Entry[100]);
    EXPECT_EQ(FastPowF(10, -0.3f), float(FastPowBase10Table.Entry[140] / 10.0));
    EXPECT_EQ(FastPowF(10, -6.0f / 20), float(FastPowBase10Table.Entry[140] / 10.0));
    EXPECT_EQ(FastPowF(10, 2.005f), float(FastPowBase10Table.Entry[1] * 10.0 * 10.0));
    EXPECT_EQ(FastPow(2, 3.4), 8.0);
    EXPECT_EQ(FastPow(2, 16), 0.0);
    EXPECT_EQ(FastPow(10, std::nan("")), 0.0);
    for (double x : {-3.0, 0.0, 0.7, 2.0})
        EXPECT_EQ(FastPow(3, x), 0.0);
    EXPECT_EQ(FastPow(10, -2000.0), 0.0);
    EXPECT_TRUE(std::isinf(FastPow(10, 5000.0)));
    EXPECT_EQ(RoundToInt(2.5), 3);
    EXPECT_EQ(RoundToInt(-2.5), -3);
    EXPECT_EQ(RoundToInt(-2.4), -2);
    EXPECT_EQ(RoundToInt(1e20), 0x7FFFFFFF);
}

TEST(LevelHelpers, LevelToGainIsWithinHalfATableStepOfTheExactGain)
{
    // One table step is 0.1 dB; rounding to the nearest step is at most half of that.
    const double halfStep = std::pow(10.0, 0.05 / 20) - 1.0;
    for (LONG db = -96; db <= 12; db += 3)
    {
        for (LONG fraction : {0, 0x1234, 0x8000})
        {
            LONG level = db * 65536 + fraction;
            double exact = std::pow(10.0, level / 65536.0 / 20.0);
            EXPECT_NEAR(LevelToGain(level) / exact, 1.0, halfStep + 1e-6) << level;
        }
    }
    EXPECT_EQ(LevelToGain(LONG(0x80000000)), 0.0f);
    EXPECT_EQ(LevelToGain(0), 1.0f);
}

TEST_F(NodeProcessing, SoftwareMuteZeroesChannelsForPcmAndRawBytesOtherwise)
{
    CSoftwareMuteNode* mute = New<CSoftwareMuteNode>(1u);
    ASSERT_EQ(mute->Init(0, 1), STATUS_SUCCESS);
    const ULONG frames = 16;
    WAVEFORMATEXTENSIBLE pcm = Format(2, WAVE_FORMAT_EXTENSIBLE);
    Buffers buffers(2, frames);
    Buffers original = buffers;
    EXPECT_EQ(mute->Process(&pcm, buffers.Pointers.data(), frames), STATUS_SUCCESS);
    EXPECT_EQ(buffers.Channels, original.Channels) << "not muted: untouched";
    ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(mute->Process(&pcm, buffers.Pointers.data(), frames), STATUS_SUCCESS);
    for (auto& channel : buffers.Channels)
        EXPECT_EQ(channel, std::vector<float>(frames, 0.0f));
    // IEEE float by tag: the interleaved buffer is raw, nBlockAlign x frames bytes.
    WAVEFORMATEXTENSIBLE ieee = Format(2, 3);
    std::vector<UCHAR> raw(2 * 4 * frames + 8, 0x5A);
    EXPECT_EQ(mute->Process(&ieee, raw.data(), frames), STATUS_SUCCESS);
    EXPECT_EQ(std::count(raw.begin(), raw.begin() + 2 * 4 * frames, 0), 2 * 4 * LONG(frames));
    EXPECT_EQ(raw[2 * 4 * frames], 0x5A) << "nothing beyond the buffer";
}

class DspVolume : public NodeProcessing
{
protected:
    void SetUp() override
    {
        NodeProcessing::SetUp();
        m_Entity = Make<CFakeEntity>(40u);
        m_Entity->ChannelCount = 2;
        m_Entity->Maximum = 12 * 65536;
        m_Entity->Minimum = -96 * 65536;
        m_Entity->Resolution = 256;
        m_Node = Make<CDspVolumeControlNode>(3u);
        ASSERT_EQ(m_Node->InitDspVolumeControlNode(m_Entity, 0x82, nullptr, nullptr), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        Drop(m_Node);
        Drop(m_Entity);
        NodeProcessing::TearDown();
    }
    CFakeEntity* m_Entity = nullptr;
    CDspVolumeControlNode* m_Node = nullptr;
};

TEST_F(DspVolume, AppliesEachChannelsGainWhileItsPathIsSelected)
{
    ASSERT_EQ(m_Node->SetLevel(0, -6 * 65536), STATUS_SUCCESS);
    ASSERT_EQ(m_Node->SetLevel(1, LONG(0x80000000)), STATUS_SUCCESS);
    const ULONG frames = 32;
    WAVEFORMATEXTENSIBLE pcm = Format(3, WAVE_FORMAT_EXTENSIBLE);
    Buffers buffers(3, frames);
    Buffers original = buffers;
    m_Node->SetWalkIndex(2);
    m_Node->SetExpectedIndex(1);
    EXPECT_EQ(m_Node->Process(&pcm, buffers.Pointers.data(), frames), STATUS_SUCCESS);
    EXPECT_EQ(buffers.Channels, original.Channels) << "another input is selected";
    m_Node->SetExpectedIndex(2);
    EXPECT_EQ(m_Node->Process(&pcm, buffers.Pointers.data(), frames), STATUS_SUCCESS);
    const double gain0 = std::pow(10.0, -6.0 / 20.0);
    for (ULONG f = 0; f < frames; f++)
    {
        EXPECT_NEAR(buffers.Channels[0][f], original.Channels[0][f] * gain0,
                    1e-6 + 0.006 * std::fabs(original.Channels[0][f]));
        EXPECT_EQ(buffers.Channels[1][f], 0.0f) << "silence";
        EXPECT_EQ(buffers.Channels[2][f], original.Channels[2][f]) << "no gain for a channel the node lacks";
    }
    WAVEFORMATEXTENSIBLE ieee = Format(3, 3);
    Buffers untouched = original;
    EXPECT_EQ(m_Node->Process(&ieee, untouched.Pointers.data(), frames), STATUS_SUCCESS);
    EXPECT_EQ(untouched.Channels, original.Channels) << "gains apply to PCM buffers only";
}

TEST_F(DspVolume, RefusedLevelKeepsTheGain)
{
    m_Node->SetWalkIndex(1);
    m_Node->SetExpectedIndex(1);
    ASSERT_EQ(m_Node->SetLevel(0, -20 * 65536), STATUS_SUCCESS);
    m_Entity->Fail["setlevel"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(m_Node->SetLevel(0, 0), STATUS_INTERNAL_ERROR);
    WAVEFORMATEXTENSIBLE pcm = Format(1, 1);
    Buffers buffers(1, 4);
    float before = buffers.Channels[0][3];
    m_Node->Process(&pcm, buffers.Pointers.data(), 4);
    EXPECT_NEAR(buffers.Channels[0][3], before * 0.1, 1e-4 * std::fabs(before) + 1e-7);
}

// The gain's bits are written by one thread while the other processes: every buffer must be
// scaled throughout by one of the two gains, never by a mix of them or a half-written one.
TEST_F(DspVolume, GainChangedDuringProcessingIsNeverTorn)
{
    m_Node->SetWalkIndex(1);
    m_Node->SetExpectedIndex(1);
    const LONG levels[2] = {-40 * 65536, 6 * 65536};
    const float gains[2] = {LevelToGain(levels[0]), LevelToGain(levels[1])};
    const ULONG frames = 64;
    ASSERT_EQ(m_Node->SetLevel(0, levels[0]), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    ULONG failures = 0;
    ULONG sawBoth[2] = {0, 0};
    plat::HostThread setter("setter",
                            [&]
                            {
                                for (int i = 0; i < 4000; i++)
                                    m_Node->SetLevel(0, levels[i & 1]);
                                stop = true;
                            });
    WAVEFORMATEXTENSIBLE pcm = Format(1, 1);
    // Keep processing until the setter is done, and for a minimum number of buffers so that a
    // setter that finishes before this thread is scheduled still leaves something to check.
    for (int buffers = 0; !stop || buffers < 200; buffers++)
    {
        std::vector<float> samples(frames, 1.0f);
        float* pointer = samples.data();
        m_Node->Process(&pcm, &pointer, frames);
        int which = samples[0] == gains[0] ? 0 : samples[0] == gains[1] ? 1 : -1;
        if (which < 0 || samples != std::vector<float>(frames, gains[which]))
            failures++;
        else
            sawBoth[which]++;
    }
    setter.Join();
    EXPECT_EQ(failures, 0u);
    EXPECT_GT(sawBoth[0] + sawBoth[1], 0u);
}

} // namespace
