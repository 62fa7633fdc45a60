// Every class-1 device the driver starts, built-in or a real device's dump, and every real
// class-2 dump it starts, streams every format it offers through the real stream objects: a fixed-seed signal
// rendered for two virtual seconds arrives as the device records it, capture brings the device's own known
// signal, and every packet carries the frames its (micro)frame is owed.
#include "support/stream_rig.h"

#include "e2e_rig.h"
#include "sim/host/audio_engine.h"

#include <cstdio>
#include <fstream>
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

// ---- Endpoints too small for some of their formats ----

// A client format as the audio stack asks for it.
struct ClientShape
{
    bool Capture;
    WORD Channels;
    DWORD RateHz;
    WORD ContainerBits, ValidBits;
    DWORD Mask;
};

// A device with one wMaxPacketSize (or two) edited: what it offers then, one line of what the
// driver says of a format it leaves out, how many it leaves out, and one of them as a client
// would ask for it.
struct EndpointFit
{
    const char* Name;
    const char* Device;                            // a built-in profile, or a dump in the real-device folder
    Edits Text;                                    // built-in profile: (old, new) pairs of its text
    std::vector<std::pair<size_t, uint8_t>> Bytes; // dump: (offset, new byte)
    const char* Offers;                            // OfferedFormats
    const char* Refusal;                           // null: nothing is left out
    size_t Refused;                                // formats the driver names as left out
    ClientShape Asked;                             // a format left out; none when Refusal is null
};

// A failing row is named, not dumped byte by byte.
void PrintTo(const EndpointFit& Row, std::ostream* Out)
{
    *Out << Row.Name;
}

// The class-1 speaker's 16-bit setting widened to six channels on a 540-byte endpoint: 45 frames
// of 12 bytes, exactly what 44.1 kHz spreads to, short of 48 kHz's 48.
const Edits kSixChannelSpeaker = {
    {"09 02 9F 00", "09 02 A3 00"},                   // configuration: 4 bytes more
    {"09 24 01 00 01 28 00", "09 24 01 00 01 2C 00"}, // audio-control header: 4 bytes more
    {"0C 24 02 01 01 01 00 02 03 00 00 00", "0C 24 02 01 01 01 00 06 3F 00 00 00"},
    {"0A 24 06 02 01 01 03 00 00 00", "0E 24 06 02 01 01 03 00 00 00 00 00 00 00"},
    {"0E 24 02 01 02 02 10 02 44 AC 00 80 BB 00", "0E 24 02 01 06 02 10 02 44 AC 00 80 BB 00"},
    {"09 05 01 09 C4 00", "09 05 01 09 1C 02"},
};

// clang-format off
const EndpointFit kEndpointFits[] = {
    // dev14's render endpoint (high speed, with feedback): 12 frames a microframe at 96 kHz and
    // the one the feedback may add take 52 bytes.
    {"Dev14Render40Bytes", "dev14-uac2.bin", {}, {{159, 40}, {160, 0}},
     "SPKOut00 2x16 0x3: 44100 48000 | SPKOut00 2x24 0x3: 44100 48000 96000",
     "endpoint 0x05 of alternate setting 1 of streaming interface 1 takes packets of 40 bytes; a packet of "
     "96000 Hz, 2 x 16-bit (mask 0x3) takes 52: the format is not offered", 1,
     {false, 2, 96000, 16, 16, 0x3}},
    {"Dev14Render48BytesLeaveNoRoomForTheFeedback", "dev14-uac2.bin", {}, {{159, 48}, {160, 0}},
     "SPKOut00 2x16 0x3: 44100 48000 | SPKOut00 2x24 0x3: 44100 48000 96000",
     "takes packets of 48 bytes; a packet of 96000 Hz, 2 x 16-bit (mask 0x3) takes 52", 1,
     {false, 2, 96000, 16, 16, 0x3}},
    {"Dev14Render52BytesFitExactly", "dev14-uac2.bin", {}, {{159, 52}, {160, 0}},
     "SPKOut00 2x16 0x3: 44100 48000 96000 | SPKOut00 2x24 0x3: 44100 48000 96000", nullptr, 0, {}},
    {"ClassOneSixChannelRender", "uac1-speaker", kSixChannelSpeaker, {},
     "SPKOut00 6x16 0x3F: 44100 | SPKOut00 2x24 0x3: 44100 48000",
     "endpoint 0x01 of alternate setting 1 of streaming interface 1 takes packets of 540 bytes; a packet of "
     "48000 Hz, 6 x 16-bit (mask 0x3F) takes 576", 1,
     {false, 6, 48000, 16, 16, 0x3F}},
    // Capture: the device must send 45 frames at 44.1 kHz, 48 at 48 kHz; both channel layouts go.
    {"ClassOneCapture", "uac1-headset", {{"09 05 82 05 62 00", "09 05 82 05 5A 00"}}, {},
     "HPOut00 2x16 0x3: 44100 48000 | HPOut00 2x24 0x3: 44100 48000 | MicIn00 1x16 0x4: 44100 | "
     "MicIn00 1x16 0x0: 44100",
     "endpoint 0x82 of alternate setting 1 of streaming interface 2 takes packets of 90 bytes; a packet of "
     "48000 Hz, 1 x 16-bit (mask 0x4) takes 96", 2,
     {true, 1, 48000, 16, 16, 0x4}},
    // A continuous range keeps the table rates whose packets fit: its top is clipped.
    {"ClassOneContinuousRangeCapture", "dev03-uac1.bin", {}, {{133, 64}, {134, 0}},
     "MicIn00 1x16 0x4: 8000 11025 16000 22050 32000 | MicIn00 1x16 0x0: 8000 11025 16000 22050 32000",
     "takes packets of 64 bytes; a packet of 44100 Hz, 1 x 16-bit (mask 0x4) takes 90", 4,
     {true, 1, 48000, 16, 16, 0x4}},
    // 96 kHz at high speed on the nominal 12 frames: capture fits, render has no room for the
    // frame its feedback may add.
    {"ClassTwoRenderAndCaptureOnTheNominal", "uac2-interface",
     {{"07 05 01 05 A0 01 01", "07 05 01 05 80 01 01"}, {"07 05 82 05 68 00 01", "07 05 82 05 60 00 01"}}, {},
     "LineOut00 8x32/24 0x63F: 44100 48000 | LineIn00 2x32/24 0x3: 44100 48000 96000",
     "endpoint 0x01 of alternate setting 1 of streaming interface 1 takes packets of 384 bytes; a packet of "
     "96000 Hz, 8 x 32-bit (mask 0x63F) takes 416", 1,
     {false, 8, 96000, 32, 24, 0x63F}},
    // The effects model's endpoint carries the first two channels of a 5.1 stream.
    {"VariantDSixChannelsOnTheirTwoWireChannels", "uac1-variant-d5",
     {{"09 05 01 09 4C 02", "09 05 01 09 B4 00"}}, {},
     "SPKOut00 2x16 0x3: 44100 48000 | SPKOut00 6x16 0x3F: 44100 | SPKOut00 8x16 0x63F: 44100 48000 | "
     "SPKOut00 2x24 0x3: 44100 48000 | SPKOut00 6x24 0x3F: 44100 48000 | MicIn00 1x16 0x4: 44100 48000 | "
     "MicIn00 1x16 0x0: 44100 48000",
     "takes packets of 180 bytes; a packet of 48000 Hz, 6 x 16-bit (mask 0x3F) takes 192", 1,
     {false, 6, 48000, 16, 16, 0x3F}},
};
// clang-format on

class StreamingFits : public StreamingRuns, public testing::WithParamInterface<EndpointFit>
{
protected:
    // The device of the row; false when its dump is absent.
    bool PlugEdited(const EndpointFit& Row)
    {
        std::string device = Row.Device;
        if (!Row.Bytes.empty())
        {
            std::ifstream in(rig::RealDevicesFolder() + "/" + Row.Device, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (bytes.empty())
                return false;
            for (const auto& edit : Row.Bytes)
                bytes.at(edit.first) = char(edit.second);
            device = testing::TempDir() + "/" + Row.Name + ".bin";
            std::ofstream(device, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
        }
        else if (!Row.Text.empty())
            device = EditedProfile(Row.Device, Row.Text);
        EXPECT_EQ(PlugAndStart(device), STATUS_SUCCESS) << plat::DebugLogText();
        return true;
    }

    // The wave filter's answer to a pin in the format.
    NTSTATUS OpenPin(const ClientShape& Shape)
    {
        std::vector<UCHAR> format =
            sim::WaveDataFormat(Shape.Channels, Shape.RateHz, Shape.ContainerBits, Shape.ValidBits);
        std::memcpy(format.data() + offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt.dwChannelMask),
                    &Shape.Mask, sizeof(Shape.Mask));
        for (const sim::WaveFilterInfo& f : sim::AudioPin::EnumerateWaveFilters(Pdo()))
            if (f.Capture == Shape.Capture)
            {
                std::unique_ptr<sim::AudioPin> pin;
                return sim::AudioPin::Open(Pdo(), f.Name, 0, format, &pin);
            }
        return STATUS_NOT_FOUND;
    }
};

// Only formats whose largest packet fits the endpoint are offered; the driver names each one it
// leaves out, the wave filter opens no pin for it, and every format that stays streams whole.
TEST_P(StreamingFits, OnlyFormatsWhosePacketsFitTheEndpointAreOfferedAndEachStreams)
{
    const EndpointFit& row = GetParam();
    if (!PlugEdited(row))
        GTEST_SKIP() << "no " << row.Device;
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(e2e::OfferedFormats(Adapter()), row.Offers);
    const std::string log = plat::DebugLogText();
    size_t refused = 0;
    for (size_t at = log.find("the format is not offered"); at != std::string::npos;
         at = log.find("the format is not offered", at + 1))
        ++refused;
    EXPECT_EQ(refused, row.Refused) << log;
    if (row.Refusal)
    {
        EXPECT_NE(log.find(row.Refusal), std::string::npos) << log;
        EXPECT_NE(OpenPin(row.Asked), STATUS_SUCCESS);
    }
    const bool effects = std::string(row.Device).rfind("uac1-variant-d", 0) == 0;
    for (ULONG i = 0; i < StreamCount() && !HasFatalFailure(); ++i)
        for (const WAVEFORMATEXTENSIBLE& format : Formats(i))
        {
            if (!effects)
            {
                StreamOneFormat(i, format, 10, 3, 1);
                continue;
            }
            // The effects model packs each frame to its first two channels: every packet the
            // device gets is one its endpoint takes, whole stereo frames of the nominal count.
            Streams().ClearRecords();
            StreamTestClient& client = RunClient(Stream(i), format);
            EXPECT_TRUE(client.WaitDone(100));
            client.Leave();
            const std::vector<sim::StreamPacketRecord> packets = DataPackets(IsCapture(i));
            EXPECT_GE(packets.size(), 1000u);
            EXPECT_TRUE(Streams().SizeErrors().empty()) << Streams().SizeErrors()[0];
        }
}

INSTANTIATE_TEST_SUITE_P(Edited, StreamingFits, testing::ValuesIn(kEndpointFits),
                         [](const testing::TestParamInfo<EndpointFit>& info)
                         { return std::string(info.param.Name); });

} // namespace
