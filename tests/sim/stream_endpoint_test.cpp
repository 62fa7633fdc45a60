// The simulated device's streaming endpoints over seconds of virtual time: OUT packets checked
// against the alternate setting and rate and kept byte for byte, IN packets paced by the
// device's own clock and carrying its known signal, the feedback value, and the IN faults.
#include "usb/isoch_rig.h"

namespace
{

using isochrig::IsochRig;
using isochrig::PacketFrames;
using isochrig::Transfer;

struct Setting
{
    const char* Profile;
    UCHAR Interface;
    UCHAR Alternate;
    ULONG Pipes;
    UCHAR Address;
    ULONG RateHz;
};

// Plugs the device, selects the setting and sets its rate; returns the data pipe.
USBD_PIPE_HANDLE Open(IsochRig& rig, const Setting& s, sim::StreamFormat* format)
{
    rig.Plug(s.Profile);
    USBD_PIPE_HANDLE pipe = rig.SelectInterface(s.Interface, s.Alternate, s.Pipes, s.Address).PipeHandle;
    if (std::string(s.Profile).rfind("uac2", 0) == 0)
        rig.SetClockRate(10, s.RateHz);
    else
        rig.SetEndpointRate(s.Address, s.RateHz);
    EXPECT_TRUE(rig.Device().Streams().CurrentFormat(s.Address, format));
    EXPECT_EQ(format->RateHz, s.RateHz);
    return pipe;
}

TEST(StreamEndpoint, OutPacketsAreKeptAndCheckedAgainstTheSettingAndRate)
{
    struct Case
    {
        const char* Name;
        Setting Where;
        int ExtraFrames; // added to each packet of a rate-following host
        int ExtraBytes;
        bool Fits;
    };
    const Case cases[] = {
        {"44.1 kHz 16-bit, remainder sizing", {"uac1-speaker", 1, 1, 1, 0x01, 44100}, 0, 0, true},
        {"48 kHz 24-bit", {"uac1-speaker", 1, 2, 1, 0x01, 48000}, 0, 0, true},
        {"one frame too many at an adaptive endpoint", {"uac1-speaker", 1, 1, 1, 0x01, 44100}, 1, 0, false},
        {"half a sample frame", {"uac1-speaker", 1, 1, 1, 0x01, 44100}, 0, -2, false},
        {"high speed, 6 frames a microframe", {"uac2-interface", 1, 1, 2, 0x01, 48000}, 0, 0, true},
        {"asynchronous endpoint one frame ahead", {"uac2-interface", 1, 1, 2, 0x01, 48000}, 1, 0, true},
        {"asynchronous endpoint two frames ahead", {"uac2-interface", 1, 1, 2, 0x01, 48000}, 2, 0, false},
        {"full-speed class 2 at 44.1 kHz", {"uac2-interface-fs", 1, 1, 2, 0x01, 44100}, 0, 0, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        IsochRig rig;
        sim::StreamFormat format;
        USBD_PIPE_HANDLE pipe = Open(rig, c.Where, &format);
        const ULONG perFrame = format.PacketsPerFrame;
        const ULONG block = format.BlockBytes();
        auto size = [&](ULONG index)
        { return (PacketFrames(c.Where.RateHz, perFrame, index) + c.ExtraFrames) * block + c.ExtraBytes; };
        std::vector<UCHAR> sent;
        UCHAR counter = 0;
        auto fill = [&](UCHAR* data, ULONG length)
        {
            for (ULONG i = 0; i < length; ++i)
                data[i] = counter++;
            sent.insert(sent.end(), data, data + length);
        };
        // Two seconds in 10 ms transfers, three in flight.
        rig.RunChain(
            pipe, false, 200, 10 * perFrame, 3, size,
            [](Transfer& t) { EXPECT_EQ(t.Irp->IoStatus.Status, STATUS_SUCCESS); }, fill);

        const std::vector<std::string> errors = rig.Device().Streams().SizeErrors();
        EXPECT_EQ(errors.empty(), c.Fits) << (errors.empty() ? "" : errors.front());
        EXPECT_EQ(rig.Device().Streams().OutStream(c.Where.Address), sent);
        if (c.Fits && c.ExtraFrames == 0)
        {
            EXPECT_EQ(sent.size(), 2ull * c.Where.RateHz * block); // bytes per second = rate
        }
        std::vector<sim::StreamPacketRecord> packets = rig.Device().Streams().Packets();
        ASSERT_EQ(packets.size(), 2000u * perFrame);
        for (size_t i = 1; i < packets.size(); ++i)
        {
            // Back to back, one packet per served (micro)frame.
            const ULONG at = packets[i].Frame * 8 + packets[i].Microframe;
            const ULONG before = packets[i - 1].Frame * 8 + packets[i - 1].Microframe;
            ASSERT_EQ(at - before, 8 / perFrame) << i;
        }
    }
}

// Reads `seconds` of an IN endpoint in 10 ms transfers and checks the received bytes against
// the signal from the first record's sample on; returns the records.
std::vector<sim::StreamPacketRecord> Capture(IsochRig& rig, USBD_PIPE_HANDLE pipe,
                                             const sim::StreamFormat& format, ULONG seconds,
                                             ULONG* emptyPackets)
{
    std::vector<UCHAR> received;
    *emptyPackets = 0;
    const ULONG packets = 10 * format.PacketsPerFrame;
    rig.RunChain(
        pipe, true, seconds * 100, packets, 3, [&](ULONG) { return ULONG(format.MaxPacketBytes); },
        [&](Transfer& t)
        {
            EXPECT_EQ(t.Irp->IoStatus.Status, STATUS_SUCCESS);
            for (ULONG i = 0; i < packets; ++i)
            {
                const USBD_ISO_PACKET_DESCRIPTOR& p = t.Iso().IsoPacket[i];
                *emptyPackets += p.Length == 0 ? 1 : 0;
                received.insert(received.end(), t.Buffer.begin() + p.Offset,
                                t.Buffer.begin() + p.Offset + p.Length);
            }
        });
    std::vector<sim::StreamPacketRecord> records = rig.Device().Streams().Packets();
    EXPECT_FALSE(records.empty());
    const ULONG block = format.BlockBytes();
    std::vector<UCHAR> expected(received.size());
    for (size_t f = 0; f * block < expected.size(); ++f)
        sim::StreamSignalFrame(format, records.front().FirstSample + f, &expected[f * block]);
    EXPECT_TRUE(received == expected) << "the captured samples differ from the device's signal";
    for (size_t i = 1; i < records.size(); ++i)
        EXPECT_EQ(records[i].FirstSample, records[i - 1].FirstSample + records[i - 1].Bytes / block) << i;
    return records;
}

TEST(StreamEndpoint, InPacketsCarryTheSignalPacedByTheDevicesClock)
{
    struct Case
    {
        const char* Name;
        Setting Where;
        int32_t Ppm;
        ULONG Seconds;
    };
    const Case cases[] = {
        {"44.1 kHz mono at full speed", {"uac1-headset", 2, 1, 1, 0x82, 44100}, 0, 2},
        {"48 kHz 100 ppm fast", {"uac1-headset", 2, 1, 1, 0x82, 48000}, 100, 10},
        {"high speed 48 kHz 24-bit 50 ppm slow", {"uac2-interface", 2, 1, 1, 0x82, 48000}, -50, 4},
        {"class 2 at full speed, 44.1 kHz", {"uac2-interface-fs", 2, 1, 1, 0x82, 44100}, 0, 2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        IsochRig rig;
        sim::StreamFormat format;
        USBD_PIPE_HANDLE pipe = Open(rig, c.Where, &format);
        sim::StreamFaults clock;
        clock.ClockOffsetPpm = c.Ppm;
        rig.Device().Streams().SetFaults(clock);
        ULONG empty = 0;
        std::vector<sim::StreamPacketRecord> records = Capture(rig, pipe, format, c.Seconds, &empty);
        EXPECT_EQ(empty, 0u);
        EXPECT_EQ(rig.Device().Streams().DroppedInFrames(c.Where.Address), 0u);

        uint64_t frames = 0;
        for (const sim::StreamPacketRecord& r : records)
            frames += r.Bytes / format.BlockBytes();
        const double exact = double(c.Where.RateHz) * c.Seconds * (1.0 + c.Ppm / 1e6);
        EXPECT_EQ(frames, uint64_t(exact)) << "sample frames over " << c.Seconds << " s";
        if (c.Ppm == 0 && format.PacketsPerFrame == 1 && c.Where.RateHz == 44100)
        {
            // Nine packets of 44 frames and one of 45 in every 10 ms.
            for (size_t i = 0; i < records.size(); ++i)
                ASSERT_EQ(records[i].Bytes / format.BlockBytes(), i % 10 == 9 ? 45u : 44u) << i;
        }
    }
}

TEST(StreamEndpoint, EmptyAndShortInPacketsDelaySamplesWithoutLosingThem)
{
    IsochRig rig;
    sim::StreamFormat format;
    USBD_PIPE_HANDLE pipe = Open(rig, {"uac1-headset", 2, 1, 1, 0x82, 44100}, &format);
    sim::StreamFaults faults;
    faults.EmptyInEvery = 20;
    faults.ShortInEvery = 7;
    rig.Device().Streams().SetFaults(faults);
    ULONG empty = 0;
    std::vector<sim::StreamPacketRecord> records = Capture(rig, pipe, format, 2, &empty);
    EXPECT_EQ(empty, 2000u / 20);
    EXPECT_EQ(rig.Device().Streams().DroppedInFrames(0x82), 0u);
    uint64_t frames = 0;
    for (const sim::StreamPacketRecord& r : records)
        frames += r.Bytes / format.BlockBytes();
    // What the faults held back is at most two packets behind.
    EXPECT_LE(frames, 88200u);
    EXPECT_GE(frames, 88200u - 2 * 49);
}

TEST(StreamEndpoint, FeedbackReportsTheDevicesClock)
{
    struct Case
    {
        const char* Profile;
        ULONG RateHz;
        int32_t Ppm;
        ULONG Bytes;
        ULONG Value; // 16.16 per microframe at high speed, 10.14 per frame at full speed
    };
    const Case cases[] = {
        {"uac2-interface", 48000, 0, 4, 6u << 16},
        {"uac2-interface", 48000, 100, 4, 393255},     // 6.0006 x 65536 = 393255.3
        {"uac2-interface-fs", 44100, 0, 3, 722534},    // 44.1 x 16384 = 722534.4
        {"uac2-interface-fs", 48000, -200, 3, 786275}, // 47.9904 x 16384 = 786274.7
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.Profile) + " " + std::to_string(c.Ppm));
        IsochRig rig;
        rig.Plug(c.Profile);
        USBD_PIPE_HANDLE feedback = rig.SelectInterface(1, 1, 2, 0x81).PipeHandle;
        rig.SetClockRate(10, c.RateHz);
        sim::StreamFaults clock;
        clock.ClockOffsetPpm = c.Ppm;
        rig.Device().Streams().SetFaults(clock);
        Transfer t;
        IsochRig::Build(&t, feedback, true, USBD_START_ISO_TRANSFER_ASAP, 0, {4});
        ASSERT_EQ(rig.Submit(&t), STATUS_PENDING);
        ASSERT_EQ(rig.Collect(&t), STATUS_SUCCESS);
        ASSERT_EQ(t.Iso().IsoPacket[0].Length, c.Bytes);
        ULONG value = 0;
        for (ULONG b = 0; b < c.Bytes; ++b)
            value |= ULONG(t.Buffer[b]) << (8 * b);
        EXPECT_EQ(value, c.Value);
    }
}

} // namespace
