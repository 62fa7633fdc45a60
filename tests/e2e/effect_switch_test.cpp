// The effects model's two effect nodes switched mid-stream through the topology filter, as the
// audio stack switches them, while a 5.1 stream plays: from the virtualiser to the delay, at
// once or through a stretch with both off or both on. The device's record is held against
// records of the same stream played with each setting steady from its start: before the switch
// it is the virtualiser's to the bit, after the fades the delay's, and between them no step from
// one sample to the next is larger than the steady records of the settings in play make near
// that sample, plus what the 2 ms fades add.
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

// The largest step from one sample to the next of a channel, and the largest magnitude, near
// each frame: within kNear frames either side.
constexpr size_t kNear = 600;
struct Motion
{
    std::vector<int> Step;
    std::vector<int> Peak;
};
Motion MotionOf(const std::vector<int16_t>& Samples)
{
    const size_t frames = Samples.size() / 2;
    std::vector<int> step(frames, 0), peak(frames, 0);
    for (size_t f = 0; f < frames; ++f)
        for (size_t c = 0; c < 2; ++c)
        {
            const int s = Samples[2 * f + c];
            peak[f] = std::max(peak[f], std::abs(s));
            if (f > 0)
                step[f] = std::max(step[f], std::abs(s - Samples[2 * (f - 1) + c]));
        }
    Motion m{std::vector<int>(frames, 0), std::vector<int>(frames, 0)};
    for (size_t f = 0; f < frames; ++f)
        for (size_t g = f > kNear ? f - kNear : 0; g < std::min(frames, f + kNear + 1); ++g)
        {
            m.Step[f] = std::max(m.Step[f], step[g]);
            m.Peak[f] = std::max(m.Peak[f], peak[g]);
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

// The settings a switch passes through, in the order of the steady records.
enum SettingIndex
{
    VIRTUALISER,
    DELAY,
    BOTH_OFF,
    BOTH_ON,
    SETTINGS
};
const Setting kSettings[SETTINGS] = {kVirtualiser, kDelay, {false, false}, {true, true}};

// How the audio stack gets from the virtualiser to the delay: which switch it sends first, how
// long the setting between the two lasts, and what that setting is.
struct SwitchRow
{
    const char* What;
    bool DelayFirst;
    ULONGLONG GapMs;
    SettingIndex Between;
};

TEST_F(EffectSwitchE2e, SwitchingFromTheVirtualiserToTheDelayFadesWithoutAJump)
{
    const SwitchRow rows[] = {
        {"both at once", false, 0, DELAY},
        {"virtualiser off, 40 ms with both off, delay on", false, 40, BOTH_OFF},
        {"delay on, 40 ms with both on, virtualiser off", true, 40, BOTH_ON},
    };
    std::vector<int16_t> steady[SETTINGS];
    Motion motion[SETTINGS];
    for (int s = 0; s < SETTINGS; ++s)
    {
        steady[s] = Play(kSettings[s]);
        ASSERT_FALSE(steady[s].empty());
        ASSERT_EQ(steady[s].size(), steady[0].size());
        motion[s] = MotionOf(steady[s]);
    }
    const size_t shared = steady[0].size();
    const size_t transfer = kRate / 100; // the stream's 10 ms transfers, each one pass of the nodes

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
        ASSERT_GE(got.size(), shared);
        size_t first = 0;
        while (first < shared && got[first] == steady[VIRTUALISER][first])
            ++first;
        size_t last = shared;
        while (last > 0 && got[last - 1] == steady[DELAY][last - 1])
            --last;
        ASSERT_LT(first, shared) << "the switch never reached the device";
        ASSERT_LT(last, shared) << "the stream never became the delay's rendering";
        EXPECT_GE(first, sentAtSwitch) << "the stream changed before the switch";
        first /= 2;
        last /= 2;
        // Both changes, each with its fades, in the transfer that takes it: the stretch between
        // is the gap, a transfer for where the second lands, and a fade out and in.
        const size_t gap = size_t(row.GapMs) * kRate / 1000;
        EXPECT_LE(last - first, gap + transfer + 2 * kFade)
            << "the delay's rendering took over at frame " << last;

        // In play near each frame: the virtualiser and the setting between up to the second
        // switch, that setting and the delay from it on, both around where it lands. The bound
        // is their largest step there, what a fade adds to it (its gain moves by 1/(kFade - 1)
        // a sample, on two nodes where both fade at once), and a unit for each rounding.
        for (size_t f = first; f < last; ++f)
        {
            std::vector<SettingIndex> inPlay;
            if (f < first + gap + transfer)
                inPlay.insert(inPlay.end(), {VIRTUALISER, row.Between});
            if (f + transfer >= first + gap)
                inPlay.insert(inPlay.end(), {row.Between, DELAY});
            int step = 0, peak = 0;
            for (SettingIndex s : inPlay)
            {
                step = std::max(step, motion[s].Step[f]);
                peak = std::max(peak, motion[s].Peak[f]);
            }
            const int bound = step + 2 * (peak / int(kFade - 1) + 1) + 2;
            for (size_t c = 0; c < 2; ++c)
            {
                const int jump = std::abs(int(got[2 * f + c]) - int(got[2 * (f - 1) + c]));
                ASSERT_LE(jump, bound) << "a jump at frame " << f << " channel " << c << ", the switch at "
                                       << first << " .. " << last;
            }
        }
    }
}

} // namespace effect_switch_e2e
