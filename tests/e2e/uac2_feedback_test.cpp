// A class-2 render pin through the whole driver (wave filter, stream, feedback endpoint) against a
// simulated device whose sample clock runs fast, slow or drifting: the packet sizes follow the
// device's clock, the device's play-out buffer never runs dry or over, and what it received over
// the run is what its clock consumed.
#include "support/stream_rig.h"

#include "sim/host/audio_engine.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <set>

namespace
{

constexpr DWORD kRate = 48000;
constexpr WORD kChannels = 8;
constexpr ULONG kFrameBytes = kChannels * 4; // 24 valid bits in 4-byte samples

struct ClockCase
{
    const char* Name;
    int32_t OffsetPpm;
    double DriftPpmPerSecond;
};

class Uac2FeedbackE2e : public rig::StreamRig, public ::testing::WithParamInterface<ClockCase>
{
protected:
    std::unique_ptr<sim::AudioPin> OpenRender()
    {
        std::u16string filter;
        for (const sim::WaveFilterInfo& f : sim::AudioPin::EnumerateWaveFilters(Pdo()))
            if (!f.Capture)
                filter = f.Name;
        // The endpoint's speaker positions, as the audio stack asks with them.
        std::vector<UCHAR> format = sim::WaveDataFormat(kChannels, kRate, 32, 24);
        const DWORD mask = 0x63F;
        std::memcpy(format.data() + offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt.dwChannelMask),
                    &mask, sizeof(mask));
        std::unique_ptr<sim::AudioPin> pin;
        EXPECT_EQ(sim::AudioPin::Open(Pdo(), filter, 0, format, &pin), STATUS_SUCCESS);
        if (pin)
        {
            pin->SetRenderSource([](UCHAR* data, ULONG bytes)
                                 { std::fill(data, data + bytes, UCHAR(0x11)); });
        }
        return pin;
    }
};

TEST_P(Uac2FeedbackE2e, PacketsFollowTheDevicesClockWithoutUnderrunOrOverflow)
{
    const ClockCase& c = GetParam();
    ASSERT_EQ(PlugAndStart("uac2-interface"), STATUS_SUCCESS) << plat::DebugLogText();
    sim::StreamFaults faults;
    faults.ClockOffsetPpm = c.OffsetPpm;
    faults.ClockDriftPpmPerSecond = c.DriftPpmPerSecond;
    SetStreamFaults(faults);
    std::unique_ptr<sim::AudioPin> pin = OpenRender();
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunForMs(20000);
    const uint8_t address = DataEndpoints(false).at(0);
    const sim::RenderBufferStats buffer = Streams().RenderBuffer(address);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);

    EXPECT_EQ(buffer.Underruns, 0u);
    EXPECT_EQ(buffer.Overflows, 0u);
    EXPECT_EQ(buffer.Primings, 1u);
    EXPECT_TRUE(Streams().SizeErrors().empty());
    // Six frames a microframe nominally; a fast clock asks for seven now and then, a slow one for
    // five, and a clock drifting through nominal for both.
    std::set<uint32_t> frames;
    for (const sim::StreamPacketRecord& r : DataPackets(false))
    {
        if (r.Bytes > 0)
            frames.insert(r.Bytes / kFrameBytes);
    }
    const std::set<uint32_t> expected = c.DriftPpmPerSecond != 0 ? std::set<uint32_t>{5, 6, 7}
                                        : c.OffsetPpm > 0        ? std::set<uint32_t>{6, 7}
                                                                 : std::set<uint32_t>{5, 6};
    EXPECT_EQ(frames, expected);
    // What arrived is what the clock played plus the buffer's fill, which stayed inside it.
    const double fillFrames = double(buffer.ReceivedFrames) - double(buffer.PlayedFrames);
    EXPECT_GE(fillFrames, 0.0);
    EXPECT_LE(fillFrames, kRate / 1000.0 * sim::RenderBufferStats::kRenderBufferMs);
}

INSTANTIATE_TEST_SUITE_P(Clocks, Uac2FeedbackE2e,
                         ::testing::Values(ClockCase{"Fast", 500, 0.0}, ClockCase{"Slow", -500, 0.0},
                                           ClockCase{"Drifting", -500, 50.0}),
                         [](const ::testing::TestParamInfo<ClockCase>& info)
                         { return std::string(info.param.Name); });

} // namespace
