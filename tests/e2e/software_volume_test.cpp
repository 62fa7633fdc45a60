// The class-2 vendor level 0x82 is a volume the driver also applies to the render samples. A
// known signal plays through the render wave pin while the level steps through the filter, and
// the device's record of the OUT stream is held against the signal times the gain each level
// stands for, computed here from decibels.
#include "support/stream_rig.h"

#include "sim/host/audio_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

namespace software_volume_e2e
{

constexpr DWORD kRate = 48000;
constexpr WORD kChannels = 8;
constexpr ULONG kFrameBytes = kChannels * 4; // 24 valid bits in 4-byte samples
constexpr uint8_t kRenderUnit = 2;
constexpr uint8_t kDspVolume = 0x82;
constexpr uint8_t kClassInterfaceOut = 0x21;
// The render stream keeps three transfers of 5 ms in flight: their samples have passed the
// gain already when a level is set.
constexpr uint64_t kInFlightBytes = 3 * 5 * kRate / 1000 * kFrameBytes;

// The unit's memory announces the level and the vendor switch on its master channel; the level
// runs from -32 dB to 0 dB in 1 dB steps and starts at -6 dB.
constexpr int32_t kStartDeviceUnits = -1536; // 1/256 dB
constexpr double kMinimumDb = -32.0, kMaximumDb = 0.0;
const char kVendorControls[] = "vendor-controls 2 0x82 0x90\n"
                               "control 2 0x82 min=-8192 max=0 res=256 cur=-1536\n"
                               "control 2 0x90 max=1 cur=1\n";

// Sample n of channel c: 24 bits between a quarter and seven eighths of full scale, the sign
// alternating, so that no sample is silence and every gain step moves it far past rounding.
int32_t Signal(uint64_t n, uint32_t c)
{
    const int32_t magnitude = int32_t(0x200000 + (n * 40503 + c * 9973) % 0x500000);
    return ((n + c) & 1 ? -magnitude : magnitude) * 256;
}

// The linear gain of a level in 1/65536 dB: the level is held to the control's range, and the
// gain is 10^(dB/20) taken to the nearest 0.1 dB, the step of the driver's power table; the
// level 0x80000000 is silence.
double GainOf(LONG Level)
{
    if (Level == LONG(0x80000000))
        return 0.0;
    const double db = std::fmin(std::fmax(Level / 65536.0, kMinimumDb), kMaximumDb);
    return std::pow(10.0, std::round(db * 10.0) / 200.0);
}

LONG Db(double decibels)
{
    return LONG(decibels * 65536.0);
}

class SoftwareVolumeE2e : public rig::StreamRig
{
protected:
    void SetUp() override
    {
        rig::StreamRig::SetUp();
        ASSERT_EQ(PlugAndStart(std::string(sim::BuiltinProfileText("uac2-interface")) + kVendorControls),
                  STATUS_SUCCESS)
            << plat::DebugLogText();
        m_Node = DspVolumeNode();
        ASSERT_NE(m_Node, ~0u) << "no volume node writes control 0x82";
    }

    // The volume node whose writes go to control 0x82: each volume node is set to its own value
    // and the device's log tells which one it reached.
    ULONG DspVolumeNode()
    {
        std::vector<sim::NodeInfo> nodes;
        EXPECT_EQ(Panel().GetNodes(&nodes), STATUS_SUCCESS);
        for (const sim::NodeInfo& n : nodes)
        {
            LONG level = 0;
            if (n.Type != KSNODETYPE_VOLUME ||
                !NT_SUCCESS(
                    Panel().GetNodeLong(n.Id, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level)))
                continue;
            const uint64_t since = LastSequence();
            EXPECT_EQ(Panel().SetNodeLong(n.Id, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, level),
                      STATUS_SUCCESS);
            if (!Requests(kClassInterfaceOut, 0x01, kRenderUnit, kDspVolume, 0, since).empty())
                return n.Id;
        }
        return ~0u;
    }

    std::unique_ptr<sim::AudioPin> OpenRender()
    {
        std::unique_ptr<sim::AudioPin> pin = OpenRenderPin(kChannels, kRate, 32, 24, 0x63F);
        if (pin)
            pin->SetRenderSource(
                [this](UCHAR* data, ULONG bytes)
                {
                    for (ULONG i = 0; i + kFrameBytes <= bytes; i += kFrameBytes, ++m_Written)
                        for (uint32_t c = 0; c < kChannels; ++c)
                        {
                            const int32_t s = Signal(m_Written, c);
                            std::memcpy(data + i + 4 * c, &s, 4);
                        }
                });
        return pin;
    }

    ULONG m_Node = ~0u;
    uint64_t m_Written = 0;
};

// One step of the level: what the filter is told (or what the device held at start).
struct Step
{
    const char* What;
    bool Set; // false: the level the device held when the driver started
    LONG Level;
};

TEST_F(SoftwareVolumeE2e, EachLevelScalesTheSamplesFromAPacketAfterItWasSet)
{
    const Step steps[] = {
        {"the device's level at start, -6 dB", false, kStartDeviceUnits * 256},
        {"0 dB passes the samples unchanged", true, Db(0)},
        {"-12 dB", true, Db(-12)},
        {"-6.04 dB takes the 0.1 dB step of -6 dB", true, Db(-6.04)},
        {"the range's minimum, -32 dB", true, Db(-32)},
        {"-6.06 dB takes the 0.1 dB step of -6.1 dB", true, Db(-6.06)},
        {"-40 dB is held at the minimum", true, Db(-40)},
        {"+6 dB is held at the maximum, 0 dB", true, Db(6)},
        {"0x80000000 is silence", true, LONG(0x80000000)},
        {"-20 dB after silence", true, Db(-20)},
    };
    constexpr size_t kSteps = sizeof(steps) / sizeof(steps[0]);
    std::unique_ptr<sim::AudioPin> pin = OpenRender();
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    const uint8_t address = DataEndpoints(false).at(0);
    // The bytes on the bus when each level was set: those were processed before it.
    uint64_t sentAtSet[kSteps] = {};
    for (size_t k = 0; k < kSteps; ++k)
    {
        if (steps[k].Set)
        {
            sentAtSet[k] = Streams().OutStream(address).size();
            ASSERT_EQ(Panel().SetNodeLong(m_Node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0,
                                          steps[k].Level),
                      STATUS_SUCCESS)
                << steps[k].What;
        }
        RunForMs(80);
    }
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Stats().Underruns, 0u);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
    EXPECT_TRUE(Streams().SizeErrors().empty());

    const std::vector<uint8_t> out = Streams().OutStream(address);
    std::vector<uint64_t> packetStarts;
    for (const sim::StreamPacketRecord& r : DataPackets(false))
        if (r.Bytes > 0)
            packetStarts.push_back(r.DataOffset);
    // The engine's lead of silence, then the signal from its first frame on.
    size_t first = 0;
    while (first < out.size() && out[first] == 0)
        ++first;
    first -= first % kFrameBytes;
    auto sample = [&](size_t frame, uint32_t c)
    {
        int32_t s = 0;
        std::memcpy(&s, out.data() + first + frame * kFrameBytes + 4 * c, 4);
        return s;
    };
    auto matches = [&](size_t frame, size_t k)
    {
        const double gain = GainOf(steps[k].Level);
        for (uint32_t c = 0; c < kChannels; ++c)
        {
            // Silence and unit gain are exact; any other gain is the float product of the
            // sample and the gain, truncated toward zero.
            const double expected = Signal(frame, c) * gain;
            const double slack = gain == 0.0 || gain == 1.0 ? 0.0 : std::fabs(expected) * 0x1p-22 + 1.0;
            if (std::fabs(sample(frame, c) - expected) > slack)
                return false;
        }
        return true;
    };

    // Every frame shows the gain of the step in force; each step begins at a packet boundary at
    // or after the bytes that were already on the bus when it was set.
    size_t k = 0, wrong = 0;
    std::vector<uint64_t> stepStarts(kSteps, 0);
    const size_t frames = (out.size() - first) / kFrameBytes;
    for (size_t f = 0; f < frames; ++f)
    {
        if (matches(f, k))
            continue;
        if (k + 1 < kSteps && matches(f, k + 1))
        {
            stepStarts[++k] = first + f * kFrameBytes;
            continue;
        }
        if (wrong++ < 4)
        {
            std::string ratios;
            for (uint32_t c = 0; c < kChannels; ++c)
                ratios += " " + std::to_string(double(sample(f, c)) / Signal(f, c));
            ADD_FAILURE() << "frame " << f << ", after the step to '" << steps[k].What
                          << "', each channel over the signal:" << ratios;
        }
    }
    EXPECT_EQ(wrong, 0u) << "of " << frames << " frames";
    EXPECT_EQ(k, kSteps - 1) << "no frame after those of '" << steps[k].What << "' shows '"
                             << steps[std::min(k + 1, kSteps - 1)].What << "'";
    for (size_t s = 1; s <= k; ++s)
    {
        SCOPED_TRACE(steps[s].What);
        EXPECT_TRUE(std::binary_search(packetStarts.begin(), packetStarts.end(), stepStarts[s]))
            << "the step begins inside a packet, at byte " << stepStarts[s];
        EXPECT_GE(stepStarts[s], sentAtSet[s]);
        EXPECT_LE(stepStarts[s], sentAtSet[s] + kInFlightBytes) << "later than the transfers in flight";
    }
}

} // namespace software_volume_e2e
