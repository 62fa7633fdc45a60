// The simulated device's streaming endpoints over seconds of virtual time: OUT packets checked
// against the alternate setting and rate and kept byte for byte, IN packets paced by the
// device's own clock and carrying its known signal, the IN faults, and the feedback value.
#include "usb/isoch_rig.h"

namespace
{

using isochrig::IsochRig;
using isochrig::PacketFrames;
using isochrig::Transfer;

struct Setting
{
    const char* Profile;
    UCHAR Interface, Pipes, Address;
    ULONG RateHz;
};

// Plugs the device, selects alternate setting 1 and sets its rate; returns the data pipe.
USBD_PIPE_HANDLE Open(IsochRig& rig, const Setting& s, sim::StreamFormat* format)
{
    rig.Plug(s.Profile);
    USBD_PIPE_HANDLE pipe = rig.SelectInterface(s.Interface, 1, s.Pipes, s.Address);
    rig.SetRate(s.Address, s.RateHz);
    EXPECT_TRUE(rig.Device().Streams().CurrentFormat(s.Address, format));
    EXPECT_EQ(format->RateHz, s.RateHz);
    return pipe;
}

TEST(StreamEndpoint, OutPacketsAreKeptAndCheckedAgainstTheSettingAndRate)
{
    const struct
    {
        Setting Where;
        int ExtraFrames, ExtraBytes; // on top of a rate-following host's packets
        bool Fits;
    } cases[] = {
        {{"uac1-speaker", 1, 1, 0x01, 44100}, 0, 0, true},      // 44 or 45 frames
        {{"uac1-speaker", 1, 1, 0x01, 44100}, 1, 0, false},     // adaptive: no slack
        {{"uac1-speaker", 1, 1, 0x01, 44100}, 0, -2, false},    // half a frame
        {{"uac2-interface", 1, 2, 0x01, 48000}, 0, 0, true},    // 6 frames a microframe
        {{"uac2-interface", 1, 2, 0x01, 48000}, 1, 0, true},    // asynchronous: one frame slack
        {{"uac2-interface", 1, 2, 0x01, 48000}, 2, 0, false},   // but not two
        {{"uac2-interface-fs", 1, 2, 0x01, 44100}, 0, 0, true}, // class 2 at full speed
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.Where.Profile) + " " + std::to_string(c.ExtraFrames) +
                     std::to_string(c.ExtraBytes));
        IsochRig rig;
        sim::StreamFormat format;
        USBD_PIPE_HANDLE pipe = Open(rig, c.Where, &format);
        const ULONG perFrame = format.PacketsPerFrame;
        std::vector<UCHAR> sent;
        auto size = [&](ULONG i) {
            return (PacketFrames(c.Where.RateHz, perFrame, i) + c.ExtraFrames) * format.BlockBytes() +
                   c.ExtraBytes;
        };
        auto fill = [&](Transfer& t)
        {
            for (ULONG i = 0; i < t.Iso().TransferBufferLength; ++i)
                sent.push_back(t.Buffer[i] = UCHAR(sent.size() * 7));
        };
        // Two seconds in 10 ms transfers.
        rig.RunChain(
            pipe, false, 200, 10 * perFrame, size,
            [](Transfer& t) { EXPECT_EQ(t.Irp->IoStatus.Status, STATUS_SUCCESS); }, fill);
        const std::vector<std::string> errors = rig.Device().Streams().SizeErrors();
        EXPECT_EQ(errors.empty(), c.Fits) << (errors.empty() ? "" : errors.front());
        EXPECT_EQ(rig.Device().Streams().OutStream(c.Where.Address), sent);
        if (c.ExtraFrames == 0 && c.ExtraBytes == 0)
        {
            EXPECT_EQ(sent.size(), 2ull * c.Where.RateHz * format.BlockBytes()); // bytes per second = rate
        }
        EXPECT_EQ(rig.Device().Streams().Packets().size(), 2000u * perFrame);
    }
}

TEST(StreamEndpoint, InPacketsCarryTheSignalPacedByTheDevicesClock)
{
    const struct
    {
        Setting Where;
        int32_t Ppm;
        ULONG Seconds, EmptyEvery, ShortEvery;
    } cases[] = {
        {{"uac1-headset", 2, 1, 0x82, 44100}, 0, 2, 0, 0},
        {{"uac1-headset", 2, 1, 0x82, 48000}, 100, 10, 0, 0},
        {{"uac2-interface", 2, 1, 0x82, 48000}, -50, 4, 0, 0}, // 8 packets a frame, 24 bits in 4 bytes
        {{"uac2-interface-fs", 2, 1, 0x82, 44100}, 0, 2, 0, 0},
        {{"uac1-headset", 2, 1, 0x82, 44100}, 0, 2, 20, 7}, // held-back samples come later
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.Where.Profile) + " " + std::to_string(c.Ppm));
        IsochRig rig;
        sim::StreamFormat format;
        USBD_PIPE_HANDLE pipe = Open(rig, c.Where, &format);
        sim::StreamFaults faults;
        faults.ClockOffsetPpm = c.Ppm;
        faults.EmptyInEvery = c.EmptyEvery;
        faults.ShortInEvery = c.ShortEvery;
        rig.Device().Streams().SetFaults(faults);
        std::vector<UCHAR> received;
        ULONG empty = 0;
        const ULONG packets = 10 * format.PacketsPerFrame;
        rig.RunChain(
            pipe, true, c.Seconds * 100, packets, [&](ULONG) { return ULONG(format.MaxPacketBytes); },
            [&](Transfer& t)
            {
                for (ULONG i = 0; i < packets; ++i)
                {
                    const USBD_ISO_PACKET_DESCRIPTOR& p = t.Iso().IsoPacket[i];
                    empty += p.Length == 0;
                    received.insert(received.end(), &t.Buffer[p.Offset], &t.Buffer[p.Offset] + p.Length);
                }
            });
        // Every byte is the signal, in order from the first packet's sample on.
        const ULONG block = format.BlockBytes();
        std::vector<sim::StreamPacketRecord> records = rig.Device().Streams().Packets();
        std::vector<UCHAR> expected(received.size());
        for (size_t f = 0; f * block < expected.size(); ++f)
            sim::StreamSignalFrame(format, records.front().FirstSample + f, &expected[f * block]);
        EXPECT_TRUE(received == expected);
        EXPECT_EQ(rig.Device().Streams().DroppedInFrames(c.Where.Address), 0u);
        EXPECT_EQ(empty, c.EmptyEvery ? records.size() / c.EmptyEvery : 0);
        // Sample frames over the run follow the device's clock; faults hold back at most two packets.
        const uint64_t exact = uint64_t(double(c.Where.RateHz) * c.Seconds * (1.0 + c.Ppm / 1e6));
        EXPECT_LE(received.size() / block, exact);
        EXPECT_GE(received.size() / block, exact - (c.EmptyEvery ? 2 * format.MaxPacketBytes / block : 0));
        for (size_t i = 0; !c.EmptyEvery && c.Where.RateHz == 44100 && i < records.size(); ++i)
            ASSERT_EQ(records[i].Bytes / block, i % 10 == 9 ? 45u : 44u) << i; // per 10 ms: 9 x 44, 1 x 45
    }
}

// A listener sees every data packet with the bytes that crossed the bus, in order, whether the
// record is kept or not; an unkept record holds nothing, so a long stream takes no memory.
TEST(StreamEndpoint, AListenerSeesEveryPacketAndAnUnkeptRecordHoldsNothing)
{
    const struct
    {
        Setting Where;
        bool In, Keep;
    } cases[] = {
        {{"uac1-speaker", 1, 1, 0x01, 48000}, false, false},
        {{"uac1-speaker", 1, 1, 0x01, 48000}, false, true},
        {{"uac1-headset", 2, 1, 0x82, 44100}, true, false},
        {{"uac2-interface", 1, 2, 0x01, 96000}, false, false}, // 8 packets a frame
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.Where.Profile) + (c.Keep ? " kept" : " not kept"));
        IsochRig rig;
        sim::StreamFormat format;
        USBD_PIPE_HANDLE pipe = Open(rig, c.Where, &format);
        std::vector<UCHAR> heard;
        size_t packets = 0;
        rig.Device().SetStreamListener(
            [&](const sim::StreamPacketRecord& Record, const uint8_t* Data)
            {
                if (Record.Feedback || Record.EndpointAddress != c.Where.Address)
                    return;
                ++packets;
                ASSERT_EQ(Data != nullptr, Record.Status == USBD_STATUS_SUCCESS);
                heard.insert(heard.end(), Data, Data + Record.Bytes);
            },
            c.Keep);
        std::vector<UCHAR> host; // what the host sent, or received
        const ULONG perTransfer = 10 * format.PacketsPerFrame;
        rig.RunChain(
            pipe, c.In, 100, perTransfer,
            [&](ULONG i)
            {
                return c.In ? ULONG(format.MaxPacketBytes)
                            : PacketFrames(c.Where.RateHz, format.PacketsPerFrame, i) * format.BlockBytes();
            },
            [&](Transfer& t)
            {
                for (ULONG i = 0; c.In && i < perTransfer; ++i)
                {
                    const USBD_ISO_PACKET_DESCRIPTOR& p = t.Iso().IsoPacket[i];
                    host.insert(host.end(), &t.Buffer[p.Offset], &t.Buffer[p.Offset] + p.Length);
                }
            },
            [&](Transfer& t)
            {
                for (ULONG i = 0; !c.In && i < t.Iso().TransferBufferLength; ++i)
                    host.push_back(t.Buffer[i] = UCHAR(host.size() * 13 + 1));
            });
        rig.Device().SetStreamListener(nullptr, true);
        EXPECT_EQ(packets, 1000u * format.PacketsPerFrame);
        EXPECT_TRUE(heard == host) << heard.size() << " bytes heard, " << host.size() << " crossed the bus";
        EXPECT_EQ(rig.Device().Streams().DataBytes(c.Where.Address), host.size());
        EXPECT_EQ(rig.Device().Streams().Packets().empty(), !c.Keep);
        EXPECT_EQ(rig.Device().IsoPackets().empty(), !c.Keep);
        EXPECT_EQ(rig.Device().Streams().OutStream(c.Where.Address).size(), c.Keep ? host.size() : 0u);
        size_t isochronous = 0;
        for (const plat::UsbBusTransferRecord& t : rig.Device().Transfers())
            isochronous += t.PipeType == UsbdPipeTypeIsochronous;
        EXPECT_EQ(isochronous, c.Keep ? 100u : 0u);
    }
}

TEST(StreamEndpoint, FeedbackReportsTheDevicesClock)
{
    // 16.16 per microframe at high speed, 10.14 per frame at full speed.
    const struct
    {
        const char* Profile;
        ULONG RateHz;
        int32_t Ppm;
        ULONG Bytes, Value;
    } cases[] = {
        {"uac2-interface", 48000, 0, 4, 6u << 16},
        {"uac2-interface", 48000, 100, 4, 393255},     // 6.0006 x 65536 = 393255.3
        {"uac2-interface-fs", 44100, 0, 3, 722534},    // 44.1 x 16384 = 722534.4
        {"uac2-interface-fs", 48000, -200, 3, 786275}, // 47.9904 x 16384 = 786274.7
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.Profile) + " " + std::to_string(c.Ppm));
        IsochRig rig;
        rig.Plug(c.Profile);
        USBD_PIPE_HANDLE feedback = rig.SelectInterface(1, 1, 2, 0x81);
        rig.SetRate(0x81, c.RateHz);
        sim::StreamFaults clock;
        clock.ClockOffsetPpm = c.Ppm;
        rig.Device().Streams().SetFaults(clock);
        Transfer t;
        t.Build(feedback, true, USBD_START_ISO_TRANSFER_ASAP, 0, {4});
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
