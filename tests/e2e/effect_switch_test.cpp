// The effects model's two effect nodes switched mid-stream through the topology filter, as the
// audio stack switches them, while a 5.1 stream plays: from the virtualiser to the delay, at
// once or through a stretch with both off or both on. The device's record is held against
// records of the same stream played with each setting steady from its start: before the switch
// it is the virtualiser's to the bit, after the fades the delay's, and between them no step
// from one sample to the next is larger than the steady records ever make plus what the 2 ms
// fades add.
#include "support/stream_rig.h"

#include "driver/topology/variants/variant_d_effect_controls.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace effect_switch_e2e
{

constexpr DWORD kRate = 48000;
constexpr WORD kChannels = 6;
constexpr ULONG kFrameBytes = kChannels * 2;
constexpr ULONG kFade = 2 * (kRate / 1000); // samples of one fade half
constexpr ULONGLONG kSwitchAtMs = 120;
constexpr ULONGLONG kAfterMs = 160;

// Sample n of channel c: a low tone of its own on every channel, starting from zero, so the
// steady renderings move little from one sample to the next and a splice stands out.
int16_t Signal(uint64_t n, uint32_t c)
{
    const double hz = 110.0 + 45.0 * c;
    return int16_t(std::lround(700.0 * std::sin(2.0 * M_PI * hz * double(n) / kRate)));
}

// Which effects are on.
struct Setting
{
    bool Delay;
    bool Virtualiser;
};
constexpr Setting kVirtualiser = {false, true}, kDelay = {true, false};

// The largest step from one sample to the next of the same channel, and the largest magnitude.
struct Motion
{
    int Step = 0;
    int Peak = 0;
};
Motion MotionOf(const std::vector<int16_t>& Samples)
{
    Motion m;
    for (size_t i = 0; i < Samples.size(); ++i)
    {
        m.Peak = std::max(m.Peak, std::abs(int(Samples[i])));
        if (i >= 2)
            m.Step = std::max(m.Step, std::abs(int(Samples[i]) - int(Samples[i - 2])));
    }
    return m;
}

class EffectSwitchE2e : public rig::StreamRig
{
protected:
    void SetUp() override
    {
        rig::StreamRig::SetUp();
        ASSERT_EQ(PlugAndStart("uac1-variant-d5"), STATUS_SUCCESS) << plat::DebugLogText();
        m_Delay = EffectNode(VARIANT_D_DELAY_EFFECT_NAME);
        m_Virtualiser = EffectNode(VARIANT_D_VIRTUALIZER_EFFECT_NAME);
        ASSERT_NE(m_Delay, ~0u);
        ASSERT_NE(m_Virtualiser, ~0u);
    }

    ULONG EffectNode(const GUID& Name)
    {
        std::vector<sim::NodeInfo> nodes;
        EXPECT_EQ(Panel().GetNodes(&nodes), STATUS_SUCCESS);
        for (const sim::NodeInfo& node : nodes)
            if (node.HasName && IsEqualGUID(node.Name, Name))
                return node.Id;
        return ~0u;
    }

    void Switch(ULONG Node, bool On)
    {
        ASSERT_EQ(Panel().SetNodeLong(Node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, -1, On ? 1 : 0),
                  STATUS_SUCCESS);
    }
    void Apply(const Setting& s)
    {
        Switch(m_Delay, s.Delay);
        Switch(m_Virtualiser, s.Virtualiser);
    }

    // One play of the stream from its start: the device's samples of both channels. Between
    // is run after kSwitchAtMs and the play goes on for kAfterMs more; the bytes already on the
    // bus when it started are returned in SentAtSwitch.
    std::vector<int16_t> Play(const Setting& Start, const std::function<void()>& Between = nullptr,
                              size_t* SentAtSwitch = nullptr)
    {
        Apply(Start);
        Streams().ClearRecords();
        uint64_t written = 0;
        std::unique_ptr<sim::AudioPin> pin = OpenRenderPin(kChannels, kRate, 16, 16, 0x3F);
        if (!pin)
            return {};
        pin->SetRenderSource(
            [&written](UCHAR* Data, ULONG Bytes)
            {
                for (ULONG i = 0; i + kFrameBytes <= Bytes; i += kFrameBytes, ++written)
                    for (uint32_t c = 0; c < kChannels; ++c)
                    {
                        const int16_t s = Signal(written, c);
                        std::memcpy(Data + i + 2 * c, &s, 2);
                    }
            });
        EXPECT_EQ(pin->Run(), STATUS_SUCCESS);
        const uint8_t address = DataEndpoints(false).at(0);
        RunForMs(kSwitchAtMs);
        if (SentAtSwitch)
            *SentAtSwitch = Streams().OutStream(address).size() / sizeof(int16_t);
        if (Between)
            Between();
        RunForMs(kAfterMs);
        EXPECT_EQ(pin->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(pin->Stats().Underruns, 0u);
        EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
        const std::vector<uint8_t> bytes = Streams().OutStream(address);
        std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
        return samples;
    }

    ULONG m_Delay = ~0u;
    ULONG m_Virtualiser = ~0u;
};

// How the audio stack gets from the virtualiser to the delay: which switch it sends first, and
// how long the setting between the two lasts.
struct SwitchRow
{
    const char* What;
    bool DelayFirst;
    ULONGLONG GapMs;
};

TEST_F(EffectSwitchE2e, SwitchingFromTheVirtualiserToTheDelayFadesWithoutAJump)
{
    const SwitchRow rows[] = {
        {"both at once", false, 0},
        {"virtualiser off, 40 ms with both off, delay on", false, 40},
        {"delay on, 40 ms with both on, virtualiser off", true, 40},
    };
    // The steady records: the virtualiser's and the delay's, to the bit, and with both off and
    // both on, the settings a switch may pass through.
    std::vector<int16_t> virtualiser, delay;
    Motion steady;
    for (const Setting& s : {kVirtualiser, kDelay, Setting{false, false}, Setting{true, true}})
    {
        const std::vector<int16_t> record = Play(s);
        ASSERT_FALSE(record.empty());
        const Motion m = MotionOf(record);
        steady.Step = std::max(steady.Step, m.Step);
        steady.Peak = std::max(steady.Peak, m.Peak);
        if (s.Virtualiser && !s.Delay)
            virtualiser = record;
        if (s.Delay && !s.Virtualiser)
            delay = record;
    }
    ASSERT_EQ(virtualiser.size(), delay.size());
    // The bound: the steady renderings' largest step, what a fade adds to it at most (its gain
    // moves by 1/(kFade - 1) a sample, on two nodes where both fade at once), and a unit for
    // the rounding of each.
    const int bound = steady.Step + 2 * (steady.Peak / int(kFade - 1) + 1) + 2;
    ASSERT_LT(bound, steady.Peak / 2) << "a splice could hide under the bound";

    for (const SwitchRow& row : rows)
    {
        SCOPED_TRACE(row.What);
        size_t sentAtSwitch = 0;
        const std::vector<int16_t> got = Play(
            kVirtualiser,
            [&]
            {
                Switch(row.DelayFirst ? m_Delay : m_Virtualiser, row.DelayFirst);
                RunForMs(row.GapMs);
                Switch(row.DelayFirst ? m_Virtualiser : m_Delay, !row.DelayFirst);
            },
            &sentAtSwitch);
        // The gap makes the play longer; the steady records cover what the plays share.
        ASSERT_GE(got.size(), virtualiser.size());
        const size_t shared = virtualiser.size();
        size_t first = 0;
        while (first < shared && got[first] == virtualiser[first])
            ++first;
        size_t last = shared;
        while (last > 0 && got[last - 1] == delay[last - 1])
            --last;
        ASSERT_LT(first, shared) << "the switch never reached the device";
        ASSERT_LT(last, shared) << "the stream never became the delay's rendering";
        EXPECT_GE(first, sentAtSwitch) << "the stream changed before the switch";
        // Both changes, each with its fades, in the 10 ms transfer that takes it: the stretch
        // between is the gap, a transfer for where the second lands, and a fade out and in.
        const size_t stretch = size_t(row.GapMs + 10) * kRate / 1000 + 2 * kFade;
        EXPECT_LE((last - first) / 2, stretch) << "the delay's rendering took over at frame " << last / 2;
        for (size_t i = 2; i < got.size(); ++i)
        {
            const int step = std::abs(int(got[i]) - int(got[i - 2]));
            ASSERT_LE(step, bound) << "a jump at frame " << i / 2 << " channel " << i % 2
                                   << ", the switch at " << first / 2 << " .. " << last / 2;
        }
    }
}

} // namespace effect_switch_e2e
