// Every class-1 device the driver starts, built-in or a real device's dump, and every real
// class-2 dump it starts, streams every format it offers through the real stream objects: a fixed-seed signal
// rendered for two virtual seconds arrives as the device records it, capture brings the device's own known
// signal, and every packet carries the frames its (micro)frame is owed.
#include "support/stream_rig.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{

using rig::StreamTestClient;

// Frames of packet i of a stream that spreads a rate over P packets per millisecond: computed
// from the whole count, not from a running remainder as the driver does.
ULONG PacketFrames(ULONG rateHz, ULONG perFrame, ULONG index)
{
    const unsigned long long perSecond = perFrame * 1000ull;
    return ULONG(rateHz * (index + 1ull) / perSecond - rateHz * 1ull * index / perSecond);
}

std::string Describe(const WAVEFORMATEXTENSIBLE& f)
{
    char text[80];
    std::snprintf(text, sizeof(text), "%u ch (mask 0x%X) %u Hz %u/%u bits, sub-format 0x%X",
                  f.Format.nChannels, unsigned(f.dwChannelMask), unsigned(f.Format.nSamplesPerSec),
                  f.Samples.wValidBitsPerSample, f.Format.wBitsPerSample, unsigned(f.SubFormat.Data1));
    return text;
}

// Devices of the suite: the built-in class-1 profiles and the real class-1 dumps.
std::vector<std::string> ClassOneDevices()
{
    std::vector<std::string> devices;
    for (const std::string& name : sim::BuiltinProfileNames())
    {
        sim::DeviceProfile profile;
        std::string error;
        // The effects model's render stream limits and packs what it carries (variant_d_test).
        if (name.rfind("uac1-variant-d", 0) == 0)
            continue;
        if (sim::LoadBuiltinProfile(name, &profile, &error) && profile.AudioControlProtocol() == 0)
            devices.push_back(name);
    }
    for (const std::string& path : rig::RealDumps(0))
        devices.push_back(path);
    return devices;
}

std::string TestName(const testing::TestParamInfo<std::string>& info)
{
    std::string name = info.param.substr(info.param.find_last_of('/') + 1);
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

// Runs one format of one stream and checks it against the device's record.
class StreamingRuns : public rig::StreamRig
{
protected:
    void TearDown() override
    {
        if (m_Runs)
            std::printf("%zu format runs\n", m_Runs);
        m_Runs = 0;
        rig::StreamRig::TearDown();
    }

    // One format of one stream for `seconds` of transfers of `ms` with `inFlight` of them
    // asked for; the device's record is the oracle.
    void StreamOneFormat(ULONG index, const WAVEFORMATEXTENSIBLE& format, ULONG ms = 10, ULONG inFlight = 3,
                         ULONG seconds = 2)
    {
        const bool capture = IsCapture(index);
        SCOPED_TRACE(std::string(capture ? "capture " : "render ") + Describe(format));
        ++m_Runs;
        Streams().ClearRecords();
        StreamTestClient& client = Client();
        client.Format = format;
        client.FramesPerTransfer = ms;
        client.TransfersInFlight = inFlight;
        ASSERT_EQ(client.Run(Stream(index)), STATUS_SUCCESS);
        // Capture keeps at least 10 ms in flight.
        const ULONG depth = capture && ms * inFlight < 10 ? (10 + ms - 1) / ms : inFlight;
        EXPECT_EQ(client.Record()->TransfersInFlight, depth);
        sim::StreamFormat device;
        const uint8_t endpoint = StreamingEndpoint(capture, &device);
        ASSERT_NE(endpoint, 0) << "no interface streams";
        // Encoded data (a type-III setting) has no samples the device could read; its bytes pass
        // as they are, framed as the client's format says.
        const bool encoded = device.Channels == 0;
        EXPECT_TRUE(encoded || device.BlockBytes() == format.Format.nBlockAlign);
        EXPECT_TRUE(encoded || device.RateHz == format.Format.nSamplesPerSec);
        EXPECT_FALSE(encoded && capture) << "encoded capture";
        EXPECT_TRUE(client.WaitDone(LONG(seconds * 1000 / ms)));
        client.Leave();
        if (!capture)
        {
            EXPECT_EQ(client.MaxDepth(), LONG(depth));
        }
        // Every transfer reported done carried its milliseconds' frames (capture: whole frames).
        const std::vector<ULONG> done = client.DoneBytes();
        for (size_t t = 0; t < done.size(); ++t)
        {
            const ULONGLONG frames = ULONGLONG(format.Format.nSamplesPerSec) * ms / 1000;
            ASSERT_EQ(done[t] % format.Format.nBlockAlign, 0u) << "transfer " << t;
            ASSERT_LE(done[t] / format.Format.nBlockAlign, frames + ms) << "transfer " << t;
            ASSERT_GE(done[t] / format.Format.nBlockAlign + ms, frames) << "transfer " << t;
        }
        const ULONG block = format.Format.nBlockAlign, rate = format.Format.nSamplesPerSec;
        // A class-2 render stream follows the device's feedback, so its packets take the nominal
        // count or one more in the order the feedback gives (its long-run total is checked
        // with the feedback's own tests); class 1 sizes from the nominal rate alone.
        const bool paced = Profile().AudioControlProtocol() == 0x20;
        const ULONG perSecond = 1000 * device.PacketsPerFrame;
        const std::vector<sim::StreamPacketRecord> packets = DataPackets(capture);
        ASSERT_GE(packets.size(), seconds * 1000u * device.PacketsPerFrame);
        for (size_t i = 0; i < packets.size(); ++i)
        {
            // Back to back, the chain never ran dry.
            const uint64_t at = packets[i].Frame * 8ull + packets[i].Microframe;
            const uint64_t first = packets[0].Frame * 8ull + packets[0].Microframe;
            ASSERT_EQ(at, first + i * (8 / device.PacketsPerFrame)) << "packet " << i;
            if (!capture && !paced)
                ASSERT_EQ(packets[i].Bytes, PacketFrames(rate, device.PacketsPerFrame, ULONG(i)) * block)
                    << "packet " << i;
            else if (!capture)
            {
                ASSERT_EQ(packets[i].Bytes % block, 0u) << "packet " << i;
                ASSERT_GE(packets[i].Bytes / block, rate / perSecond) << "packet " << i;
                ASSERT_LE(packets[i].Bytes / block, (rate + perSecond - 1) / perSecond) << "packet " << i;
            }
            else
                ASSERT_EQ(packets[i].Bytes % block, 0u) << "packet " << i;
        }
        EXPECT_TRUE(encoded || Streams().SizeErrors().empty()) << Streams().SizeErrors()[0];
        m_Seconds = seconds;
        m_LastPacketsPerFrame = device.PacketsPerFrame;
        capture ? ExpectCaptured(client, device, packets) : ExpectRendered(client, endpoint);
    }

    // The device holds what the client wrote, then silence for the transfers that raced the stop.
    void ExpectRendered(const StreamTestClient& client, uint8_t endpoint)
    {
        const std::vector<UCHAR> written = client.Written();
        const std::vector<uint8_t> out = Streams().OutStream(endpoint);
        ASSERT_GE(written.size(), m_Seconds * client.Format.Format.nAvgBytesPerSec);
        ASSERT_GE(out.size(), written.size());
        EXPECT_TRUE(std::equal(written.begin(), written.end(), out.begin())) << "render data differ";
        EXPECT_TRUE(std::all_of(out.begin() + written.size(), out.end(), [](uint8_t b) { return b == 0; }));
    }

    // The client received the device's signal, frame for frame, as the packets carried it.
    void ExpectCaptured(const StreamTestClient& client, const sim::StreamFormat& device,
                        const std::vector<sim::StreamPacketRecord>& packets)
    {
        const std::vector<UCHAR> received = client.Received();
        std::vector<UCHAR> expected;
        std::vector<uint8_t> frame(device.BlockBytes());
        for (const sim::StreamPacketRecord& r : packets)
            for (uint32_t f = 0; f < r.Bytes / device.BlockBytes(); ++f)
            {
                sim::StreamSignalFrame(device, r.FirstSample + f, frame.data());
                expected.insert(expected.end(), frame.begin(), frame.end());
            }
        ASSERT_GE(received.size(), m_Seconds * 99u * client.Format.Format.nAvgBytesPerSec / 100);
        ASSERT_LE(received.size(), expected.size());
        expected.resize(received.size());
        EXPECT_TRUE(received == expected) << "capture data differ";
    }

    std::string m_Device;
    ULONG m_Seconds = 2;
    ULONG m_LastPacketsPerFrame = 0;
    size_t m_Runs = 0;
};

class StreamingFormats : public StreamingRuns, public testing::WithParamInterface<std::string>
{
};

TEST_P(StreamingFormats, EveryStreamCarriesEveryFormatExactly)
{
    m_Device = GetParam();
    const NTSTATUS started = PlugAndStart(GetParam());
    if (started != STATUS_SUCCESS)
        GTEST_SKIP() << "the driver refuses this device (0x" << std::hex << started
                     << "); RealDeviceE2e names why";
    ASSERT_GT(StreamCount(), 0u);
    for (ULONG i = 0; i < StreamCount() && !HasFatalFailure(); ++i)
    {
        std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(i);
        EXPECT_FALSE(formats.empty()) << "stream " << i;
        for (size_t f = 0; f < formats.size() && !HasFatalFailure(); ++f)
        {
            // An alternate setting that repeats a format is never chosen for it.
            if (std::find_if(formats.begin(), formats.begin() + f,
                             [&](const WAVEFORMATEXTENSIBLE& e)
                             { return std::memcmp(&e, &formats[f], sizeof(e)) == 0; }) != formats.begin() + f)
                continue;
            SCOPED_TRACE("stream " + std::to_string(i));
            StreamOneFormat(i, formats[f]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ClassOne, StreamingFormats, testing::ValuesIn(ClassOneDevices()), TestName);
// The real class-2 dumps: those the driver starts stream every format as the class-1 ones do.
INSTANTIATE_TEST_SUITE_P(ClassTwo, StreamingFormats, testing::ValuesIn(rig::RealDumps(0x20)), TestName);

using Edits = std::vector<std::pair<std::string, std::string>>;

// The headset's render interface carries eight channels to a speaker (its terminal, feature
// unit and formats widened to match) in both settings, 16- and 24-bit; its microphone four.
const Edits kEightChannels = {
    {"09 02 05 01", "09 02 0E 01"},                   // configuration: 9 bytes more
    {"0A 24 01 00 01 4E 00", "0A 24 01 00 01 57 00"}, // audio-control header: 9 bytes more
    {"0C 24 02 01 01 01 00 02 03 00 00 00", "0C 24 02 01 01 01 00 08 FF 00 00 00"},
    {"0A 24 06 02 01 01 03 00 00 00", "10 24 06 02 01 01 03 00 00 00 00 00 00 00 00 00"},
    {"09 24 03 03 02 03 00 02 00", "09 24 03 03 01 03 00 02 00"}, // a speaker: headphones take two
    {"0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00", "0E 24 02 01 08 02 10 02 44 AC 00 80 BB 00"},
    {"09 05 01 09 C4 00", "09 05 01 09 70 00"}, // 7 frames of 16 bytes a microframe
    {"0E 24 02 01 02 03 18 02 44 AC 00 80 BB 00", "0E 24 02 01 08 03 18 02 44 AC 00 80 BB 00"},
    {"09 05 01 09 26 01", "09 05 01 09 A8 00"}, // 7 frames of 24 bytes
    {"0C 24 02 04 01 02 00 01 00 00 00 00", "0C 24 02 04 01 02 00 04 33 00 00 00"},
    {"09 24 06 05 04 01 03 00 00", "0C 24 06 05 04 01 03 00 00 00 00 00"},
    {"0E 24 02 01 01 02 10 02 44 AC 00 80 BB 00", "0E 24 02 01 04 02 10 02 44 AC 00 80 BB 00"},
    {"09 05 82 05 62 00", "09 05 82 05 38 00"}, // 7 frames of 8 bytes
};

class StreamingTransfers : public StreamingRuns
{
};

// Eight channels render and four capture, every format, with the device's record the oracle.
TEST_F(StreamingTransfers, EightChannelsCarryEveryChannelInPlace)
{
    PlugBuiltin("uac1-headset", "high", kEightChannels); // 24-bit octets need high-speed packets
    ASSERT_EQ(StreamCount(), 2u);
    for (ULONG i = 0; i < StreamCount(); ++i)
    {
        const std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(i);
        ASSERT_FALSE(formats.empty()) << "stream " << i;
        for (const WAVEFORMATEXTENSIBLE& f : formats)
        {
            EXPECT_EQ(f.Format.nChannels, IsCapture(i) ? 4 : 8);
            StreamOneFormat(i, f, 10, 3, 1);
        }
    }
}

// Transfers of every size the clients may ask for, from 1 ms to 40 ms, with depths that do and
// do not make up the 10 ms that capture keeps in flight (3 ms and 7 ms never divide it).
TEST_F(StreamingTransfers, TransfersOfEverySizeKeepTheirDepthAndEveryFrame)
{
    struct Case
    {
        ULONG Ms, InFlight;
    } cases[] = {{1, 10}, {1, 3}, {3, 3}, {3, 4}, {7, 2}, {7, 3}, {16, 2}, {40, 2}};
    PlugBuiltin("uac1-headset");
    for (ULONG i = 0; i < StreamCount(); ++i)
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::to_string(c.Ms) + " ms x " + std::to_string(c.InFlight));
            StreamOneFormat(i, Formats(i)[0], c.Ms, c.InFlight, 1);
        }
}

// At high speed the endpoint's interval sets the packets per frame (8, 4, 2, 1), and rates that
// are no whole number of frames per packet spread their remainder over the packets exactly.
TEST_F(StreamingTransfers, PacketsFollowTheIntervalAndSpreadInexactRates)
{
    for (int interval = 1; interval <= 4; ++interval)
    {
        SCOPED_TRACE("bInterval " + std::to_string(interval));
        const std::string b = "0" + std::to_string(interval);
        // Rates 22,050 and 11,025 Hz on the 16-bit settings, 44.1 and 48 kHz on the 24-bit one.
        PlugBuiltin(
            "uac1-headset", "high",
            {{"02 44 AC 00 80 BB 00  # format type I: 2 channels, 2-byte", "02 22 56 00 11 2B 00  # ("},
             {"09 05 01 09 C4 00 01", "09 05 01 09 C4 00 " + b},
             {"09 05 01 09 26 01 01", "09 05 01 09 26 01 " + b},
             {"02 44 AC 00 80 BB 00  # format type I: 1 channel", "02 22 56 00 11 2B 00  # ("},
             {"09 05 82 05 62 00 01", "09 05 82 05 62 00 " + b}});
        for (ULONG i = 0; i < StreamCount(); ++i)
            for (const WAVEFORMATEXTENSIBLE& f : Formats(i))
            {
                StreamOneFormat(i, f, 10, 3, 1);
                sim::StreamFormat device;
                Streams().CurrentFormat(IsCapture(i) ? 0x82 : 0x01, &device);
            }
        EXPECT_EQ(m_LastPacketsPerFrame, 8u >> (interval - 1));
        TearDown();
        SetUp();
    }
}

} // namespace
