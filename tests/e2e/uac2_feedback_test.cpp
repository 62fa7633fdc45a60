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
        std::unique_ptr<sim::AudioPin> pin = OpenRenderPin(kChannels, kRate, 32, 24, 0x63F);
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

// ---- Class-2 render through ICyclicControl, with the feedback's fraction ----

// The render stream of a class-2 device streamed by a client of its own 8-channel format: 24 bits
// in 4 bytes at high speed, 16 bits at full speed.
class Uac2RenderClock : public rig::StreamRig
{
protected:
    // The device's clock off by ppm before the first packet.
    void Play(const std::string& profile, DWORD rateHz, int32_t ppm = 0)
    {
        ASSERT_EQ(PlugAndStart(profile), STATUS_SUCCESS) << plat::DebugLogText();
        sim::StreamFaults faults;
        faults.ClockOffsetPpm = ppm;
        SetStreamFaults(faults);
        m_HighSpeed = Profile().Speed() == sim::UsbSpeed::High;
        ICyclicControl* render = nullptr;
        for (ULONG i = 0; i < StreamCount() && !render; ++i)
            if (!IsCapture(i))
                render = Stream(i);
        ASSERT_TRUE(render);
        m_Client = &Client();
        m_Client->Format = m_HighSpeed ? rig::ClientFormat(8, rateHz, 4, 24, 0x63F)
                                       : rig::ClientFormat(8, rateHz, 2, 16, 0x63F);
        m_Client->Keep = false;
        ASSERT_EQ(m_Client->Run(render), STATUS_SUCCESS) << plat::DebugLogText();
    }

    ULONG BlockBytes() const { return m_Client->Format.Format.nBlockAlign; }
    // The device's buffer level at its last packet, to the frame.
    static int64_t Fill(const sim::RenderBufferStats& s)
    {
        return int64_t(s.ReceivedFrames - s.PlayedFrames);
    }

    bool m_HighSpeed = false;
    rig::StreamTestClient* m_Client = nullptr;
};

// A device at exactly 44.1 kHz reports 44.1 samples a frame, which no feedback word holds: its
// words step between the two nearest, and the packets follow their mean. From the first packet,
// two seconds of packets carry the clock's 88,200 frames; a rate cut to whole hertz falls two
// short.
class Uac2RenderTwoSeconds : public Uac2RenderClock, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(Uac2RenderTwoSeconds, At44100TheyCarryTheClocksFrames)
{
    Play(GetParam(), 44100);
    ASSERT_FALSE(HasFatalFailure());
    RunForMs(2100);
    const std::vector<sim::StreamPacketRecord> packets = DataPackets(false);
    ASSERT_FALSE(packets.empty());
    const uint64_t first = uint64_t(packets.front().Frame) * 8 + packets.front().Microframe;
    uint64_t frames = 0, counted = 0;
    for (const sim::StreamPacketRecord& r : packets)
    {
        const uint64_t microframe = uint64_t(r.Frame) * 8 + r.Microframe;
        if (microframe - first >= 2 * 8000)
            break;
        const uint32_t n = r.Bytes / BlockBytes();
        EXPECT_TRUE(m_HighSpeed ? n == 5 || n == 6 : n == 44 || n == 45) << n << " frames";
        frames += n;
        ++counted;
    }
    EXPECT_EQ(counted, m_HighSpeed ? 16000u : 2000u);
    EXPECT_NEAR(double(frames), 88200.0, 1.0);
    EXPECT_TRUE(Streams().SizeErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(Speeds, Uac2RenderTwoSeconds,
                         ::testing::Values("uac2-interface-fs", "uac2-interface"),
                         [](const ::testing::TestParamInfo<const char*>& info)
                         { return std::string(std::strstr(info.param, "-fs") ? "Full" : "High"); });

// An hour of render at the clock rates of both speeds, the device nominal or 500 ppm off: the
// device plays from one priming to the end, and its buffer's level at the last hour's end is its
// level after the first minute to within a few frames, which puts the host's rate within a tenth
// of a ppm of the device's clock.
struct HourCase
{
    const char* Profile;
    DWORD RateHz;
    int32_t Ppm;
};

class Uac2RenderHour : public Uac2RenderClock, public ::testing::WithParamInterface<HourCase>
{
};

TEST_P(Uac2RenderHour, AnHourFollowsTheDevicesClockToTheFrame)
{
    const HourCase& c = GetParam();
    Play(c.Profile, c.RateHz, c.Ppm);
    ASSERT_FALSE(HasFatalFailure());
    const uint8_t address = DataEndpoints(false).at(0);
    RunForMs(60000);
    Device().ClearRecords();
    const sim::RenderBufferStats minute = Streams().RenderBuffer(address);
    uint64_t recordedFrames = 0;
    for (int chunk = 1; chunk < 60; ++chunk)
    {
        RunForMs(60000);
        for (const sim::StreamPacketRecord& r : DataPackets(false))
            recordedFrames += r.Bytes / BlockBytes();
        Device().ClearRecords(); // 480,000 packets a minute at high speed
    }
    const sim::RenderBufferStats hour = Streams().RenderBuffer(address);
    EXPECT_EQ(hour.Underruns, 0u);
    EXPECT_EQ(hour.Overflows, 0u);
    EXPECT_EQ(hour.Primings, 1u);
    // What the device's record says arrived is what its buffer counted.
    EXPECT_EQ(hour.ReceivedFrames - minute.ReceivedFrames, recordedFrames);
    const double clockHz = c.RateHz * (1 + c.Ppm / 1e6);
    const double seconds = (hour.LastMicroframe - minute.LastMicroframe) / 8000.0;
    const double gathered = double(Fill(hour) - Fill(minute));
    EXPECT_LT(std::abs(gathered), clockHz * seconds * 0.1e-6)
        << "the host sent " << gathered << " frames more than the device played in " << seconds << " s";
    EXPECT_NEAR(double(hour.ReceivedFrames - minute.ReceivedFrames), clockHz * seconds, 100);
}

const HourCase kHourCases[] = {
    {"uac2-interface-fs", 44100, 0}, {"uac2-interface-fs", 44100, 500}, {"uac2-interface-fs", 44100, -500},
    {"uac2-interface-fs", 48000, 0}, {"uac2-interface-fs", 48000, 500}, {"uac2-interface-fs", 48000, -500},
    {"uac2-interface", 44100, 0},    {"uac2-interface", 44100, 500},    {"uac2-interface", 44100, -500},
    {"uac2-interface", 48000, 0},    {"uac2-interface", 48000, 500},    {"uac2-interface", 48000, -500},
};

std::string HourName(const ::testing::TestParamInfo<HourCase>& info)
{
    const HourCase& c = info.param;
    return std::string(std::strstr(c.Profile, "-fs") ? "Full" : "High") + std::to_string(c.RateHz) +
           (c.Ppm > 0   ? "Fast"
            : c.Ppm < 0 ? "Slow"
                        : "Nominal");
}

// An hour of virtual time each: behind the "long" label.
INSTANTIATE_TEST_SUITE_P(LongRun, Uac2RenderHour, ::testing::ValuesIn(kHourCases), HourName);

} // namespace
