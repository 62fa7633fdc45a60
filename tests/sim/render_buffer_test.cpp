// The simulated device's render buffer and its drifting sample clock: a host that sends at the
// nominal rate runs a fast device dry and overfills a slow one, a host that follows the clock
// does neither, and the feedback endpoint reports the clock as it drifts.
#include "usb/isoch_rig.h"

#include <numeric>

namespace
{

using isochrig::IsochRig;
using isochrig::PacketFrames;
using isochrig::Transfer;

constexpr ULONG kRateHz = 48000;
constexpr ULONG kTransfers = 1500; // 15 s of 10 ms transfers at full speed

// Streams kTransfers transfers to the full-speed interface's render endpoint with packets
// sized for hostRateHz while the device's clock runs at ppm; the buffer's record at the end.
sim::RenderBufferStats Play(int32_t ppm, double hostRateHz)
{
    IsochRig rig;
    rig.Plug("uac2-interface-fs");
    USBD_PIPE_HANDLE pipe = rig.SelectInterface(1, 1, 2, 0x01);
    rig.SetRate(0x01, kRateHz);
    sim::StreamFaults clock;
    clock.ClockOffsetPpm = ppm;
    rig.Device().Streams().SetFaults(clock);
    const ULONG block = 16; // 8 channels of 16 bits
    ULONG done = 0;
    rig.RunChain(
        pipe, false, kTransfers, 10,
        [&](ULONG i)
        {
            const double before = hostRateHz * i / 1000.0, after = hostRateHz * (i + 1) / 1000.0;
            return ULONG(ULONGLONG(after) - ULONGLONG(before)) * block;
        },
        [&](Transfer& t)
        {
            EXPECT_EQ(t.Irp->IoStatus.Status, STATUS_SUCCESS);
            if (++done % 100 == 0)
                rig.Device().Streams().ClearRecords(); // the buffer's record stays
        });
    return rig.Device().Streams().RenderBuffer(0x01);
}

TEST(RenderBuffer, RunsDryOrOverWhenTheHostIgnoresTheDevicesClock)
{
    const struct
    {
        int32_t Ppm;
        double HostRateHz;
        bool Underruns, Overflows;
    } cases[] = {
        {0, kRateHz, false, false},            // both at nominal
        {2000, kRateHz, true, false},          // the device plays 96 frames a second more
        {-2000, kRateHz, false, true},         // ... or less than it is sent
        {2000, kRateHz * 1.002, false, false}, // a host that follows the device
        {-2000, kRateHz * 0.998, false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.Ppm) + " ppm, host at " + std::to_string(c.HostRateHz));
        const sim::RenderBufferStats stats = Play(c.Ppm, c.HostRateHz);
        EXPECT_EQ(stats.Underruns != 0, c.Underruns);
        EXPECT_EQ(stats.Overflows != 0, c.Overflows);
        EXPECT_EQ(stats.ReceivedFrames, ULONGLONG(c.HostRateHz * kTransfers / 100));
        EXPECT_DOUBLE_EQ(stats.ClockHz, kRateHz * (1 + c.Ppm / 1e6));
        if (!c.Underruns && !c.Overflows)
        {
            // Primed at 20 ms, it stays within a packet of that: nothing gathers or drains.
            EXPECT_EQ(stats.Primings, 1u);
            EXPECT_GE(stats.MinFill, 960 - 50);
            EXPECT_LE(stats.MaxFill, 960 + 50);
            const double seconds = (stats.LastMicroframe - stats.FirstMicroframe) / 8000.0;
            EXPECT_NEAR(double(stats.PlayedFrames), stats.ClockHz * (seconds - 0.02), 50.0);
        }
    }
}

TEST(RenderBuffer, FeedbackFollowsTheClockAsItDrifts)
{
    IsochRig rig;
    rig.Plug("uac2-interface");
    USBD_PIPE_HANDLE feedback = rig.SelectInterface(1, 1, 2, 0x81);
    rig.SetRate(0x81, kRateHz);
    sim::StreamFaults clock;
    clock.ClockOffsetPpm = -100;
    clock.ClockDriftPpmPerSecond = 20; // -100 ppm now, +100 ppm 10 s later
    rig.Device().Streams().SetFaults(clock);
    std::vector<double> hz;
    rig.RunChain(
        feedback, true, 1001, 10, [](ULONG) { return 4u; },
        [&](Transfer& t)
        {
            for (ULONG p = 0; p < t.Iso().NumberOfPackets; ++p)
            {
                ULONG value = 0;
                for (ULONG b = 0; b < 4; ++b)
                    value |= ULONG(t.Buffer[t.Iso().IsoPacket[p].Offset + b]) << (8 * b);
                hz.push_back(value * 8000.0 / 65536.0); // 16.16 samples per microframe
            }
        });
    ASSERT_EQ(hz.size(), 10010u);
    const double quantum = 8000.0 / 65536.0;
    EXPECT_NEAR(hz.front(), kRateHz * (1 - 100e-6), quantum);
    EXPECT_NEAR(hz[5000], kRateHz, quantum + kRateHz * 20e-6 * 0.002); // 5 s in
    EXPECT_NEAR(hz[10000], kRateHz * (1 + 100e-6), quantum);
    // Word by word the values step between neighbours as their fraction comes due; a tenth of a
    // second's mean rises with the clock.
    std::vector<double> means;
    for (size_t at = 0; at + 100 <= hz.size(); at += 100)
        means.push_back(std::accumulate(hz.begin() + long(at), hz.begin() + long(at) + 100, 0.0) / 100);
    EXPECT_TRUE(std::is_sorted(means.begin(), means.end()));
    EXPECT_NEAR(std::accumulate(hz.begin(), hz.end(), 0.0) / double(hz.size()), kRateHz, 0.02);
}

} // namespace
