// Class-1 stream opens on the real driver objects: the sampling-frequency request goes only to an
// endpoint that announces the control, a refused open leaves no bandwidth held, and a packet the
// bus loses inside a good capture transfer keeps the capture timeline in place. The simulated
// device's log, selected settings and packet record are the oracle.
#include "support/stream_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kClassToEndpoint = 0x22; // host to device, class, endpoint
constexpr uint16_t kSamplingFrequency = 0x0100;
constexpr uint8_t kSetInterface = 0x0B;
constexpr uint8_t kHeadsetCaptureInterface = 2;
constexpr uint8_t kHeadsetRenderInterface = 1;

class StreamCapture : public rig::StreamRig
{
protected:
    // The sampling-frequency requests the device saw for the endpoint, with their rates.
    std::vector<uint32_t> RateRequests(uint8_t endpoint)
    {
        std::vector<uint32_t> rates;
        for (const sim::ControlRecord& r : Model().Log())
        {
            const sim::SetupPacket& s = r.Setup;
            if (s.RequestType == kClassToEndpoint && s.Request == kSetCur && s.Value == kSamplingFrequency &&
                s.Index == endpoint)
                rates.push_back(r.OutData.size() == 3 ? r.OutData[0] | r.OutData[1] << 8 | r.OutData[2] << 16
                                                      : 0);
        }
        return rates;
    }

    // The driver's count of streams that hold bandwidth, read through the counter itself.
    LONG ActiveCount()
    {
        IUsbDevice* usb = nullptr;
        EXPECT_EQ(Adapter()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb)), STATUS_SUCCESS);
        if (!usb)
            return -1;
        const LONG count = usb->IncrementActiveCount() - 1;
        usb->DecrementActiveCount();
        usb->Release();
        return count;
    }
};

// ---- A refused open holds no bandwidth ----

TEST_F(StreamCapture, EveryFailedOpenGivesTheBandwidthBack)
{
    struct Case
    {
        const char* Name;
        bool Capture;
        sim::RequestFilter Stall; // the request the device refuses
        bool Opens;               // whether OpenClient succeeds all the same
        const char* Says;         // what the driver prints about it, or null
    } cases[] = {
        // capture refuses to run at a rate the device did not take
        {"capture rate",
         true,
         {kClassToEndpoint, kSetCur, kSamplingFrequency, 0x82},
         false,
         "Capture endpoint 0x82 of interface 2 refused 48000 Hz"},
        // the setting itself refused: nothing was taken
        {"capture setting", true, {0x01, kSetInterface, 1, kHeadsetCaptureInterface}, false, nullptr},
        // render plays at the device's rate when it refuses the host's
        {"render rate", false, {kClassToEndpoint, kSetCur, kSamplingFrequency, 0x01}, true, nullptr},
    };
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        const int index = StreamOf(c.Capture);
        ASSERT_GE(index, 0);
        const uint8_t interfaceNumber = c.Capture ? kHeadsetCaptureInterface : kHeadsetRenderInterface;
        rig::StreamTestClient& client = Client();
        client.Format = rig::ClientFormat(c.Capture ? 1 : 2, 48000, 2, 16, c.Capture ? 4 : 3);
        ASSERT_EQ(client.Register(Stream(ULONG(index))), STATUS_SUCCESS);
        sim::DeviceFaults faults;
        faults.StallMatching = true;
        faults.StallFilter = c.Stall;
        SetDeviceFaults(faults);
        plat::ClearDebugLog();
        EXPECT_EQ(NT_SUCCESS(client.Open()), c.Opens);
        EXPECT_EQ(Model().AlternateSetting(interfaceNumber), c.Opens ? 1 : 0);
        EXPECT_EQ(ActiveCount(), c.Opens ? 1 : 0);
        if (c.Says)
        {
            EXPECT_NE(plat::DebugLogText().find(c.Says), std::string::npos) << plat::DebugLogText();
        }

        // Once the device takes the request the same client opens, and closing gives it back.
        SetDeviceFaults(sim::DeviceFaults{});
        if (!c.Opens)
        {
            EXPECT_EQ(client.Open(), STATUS_SUCCESS);
        }
        EXPECT_EQ(Model().AlternateSetting(interfaceNumber), 1);
        EXPECT_EQ(ActiveCount(), 1);
        client.Leave();
        EXPECT_EQ(Model().AlternateSetting(interfaceNumber), 0);
        EXPECT_EQ(ActiveCount(), 0);
    }
}

// ---- The sampling-frequency request only where the endpoint announces it ----

struct RateCase
{
    const char* Name;
    std::string Device; // built-in profile or dump
    bool Capture;
    uint8_t Endpoint;
    bool Announced; // the class-specific endpoint descriptor's bmAttributes bit 0
    std::vector<std::pair<std::string, std::string>> Edits = {}; // to the built-in profile's text
};

// The headset's microphone at 44.1 kHz only: a device without the control can run at no other.
const std::pair<std::string, std::string> kMicrophoneOneRate = {
    "0E 24 02 01 01 02 10 02 44 AC 00 80 BB 00  # format type I: 1 channel, 2-byte subframes, 16 bits, 44100 "
    "48000 Hz",
    "0B 24 02 01 01 02 10 01 44 AC 00  # format type I: 1 channel, 2-byte subframes, 16 bits, 44100 Hz"};
const std::string kMicrophoneEndpointAlone =
    "09 05 82 05 62 00 01 00 00  # endpoint 0x82: isochronous IN, asynchronous, 98 bytes";
const std::string kMicrophoneEndpoint =
    kMicrophoneEndpointAlone + "\n    07 25 01 01 00 00 00  # CS endpoint: sampling frequency control";

class StreamRateRequest : public StreamCapture, public ::testing::WithParamInterface<RateCase>
{
};

// Every format of the stream opens and streams; where the device keeps a fixed rate, no request
// reaches it, and what is captured is the device's signal frame by frame.
TEST_P(StreamRateRequest, GoesOnlyToAnEndpointThatAnnouncesTheControl)
{
    const RateCase& c = GetParam();
    if (c.Device.find('/') != std::string::npos && !std::filesystem::exists(c.Device))
        GTEST_SKIP() << c.Device << " is not here";
    ASSERT_EQ(PlugAndStart(c.Edits.empty() ? c.Device : EditedProfile(c.Device, c.Edits)), STATUS_SUCCESS);
    const int index = StreamOf(c.Capture);
    ASSERT_GE(index, 0);
    const std::vector<WAVEFORMATEXTENSIBLE> formats = Formats(ULONG(index));
    ASSERT_FALSE(formats.empty());
    for (const WAVEFORMATEXTENSIBLE& format : formats)
    {
        SCOPED_TRACE(std::to_string(format.Format.nSamplesPerSec) + " Hz " +
                     std::to_string(format.Format.wBitsPerSample) + "-bit tag " +
                     std::to_string(format.Format.wFormatTag));
        Model().ClearLog();
        Streams().ClearRecords();
        rig::StreamTestClient& client = Client();
        client.Format = format;
        ASSERT_EQ(client.Run(Stream(ULONG(index))), STATUS_SUCCESS);
        ASSERT_TRUE(client.WaitDone(5));
        client.Leave();
        const std::vector<uint32_t> expected =
            c.Announced ? std::vector<uint32_t>{format.Format.nSamplesPerSec} : std::vector<uint32_t>{};
        EXPECT_EQ(RateRequests(c.Endpoint), expected);
        if (!c.Capture)
            continue;
        // The device's signal from the first sample it sent this time, every frame in place.
        sim::StreamFormat device;
        device.Channels = uint8_t(format.Format.nChannels);
        device.SubframeBytes = uint8_t(format.Format.wBitsPerSample / 8);
        const std::vector<UCHAR> received = client.Received();
        const size_t block = format.Format.nBlockAlign;
        ASSERT_GE(received.size(), 5 * block);
        const std::vector<sim::StreamPacketRecord> packets = DataPackets(true);
        ASSERT_FALSE(packets.empty());
        const uint64_t first = packets.front().FirstSample;
        std::vector<UCHAR> frame(block);
        for (size_t k = 0; k < received.size() / block; ++k)
        {
            sim::StreamSignalFrame(device, first + k, frame.data());
            ASSERT_TRUE(std::equal(frame.begin(), frame.end(), received.begin() + k * block))
                << "frame " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, StreamRateRequest,
    ::testing::Values(
        RateCase{"FixedRateMicrophone", rig::RealDevicesFolder() + "/dev01-uac1.bin", true, 0x81, false},
        RateCase{"FixedRateSpeaker", rig::RealDevicesFolder() + "/dev01-uac1.bin", false, 0x01, false},
        RateCase{"HeadsetMicrophone", "uac1-headset", true, 0x82, true},
        // bmAttributes 0: the control is not there
        RateCase{"OneRateMicrophone",
                 "uac1-headset",
                 true,
                 0x82,
                 false,
                 {{"09 02 05 01 03", "09 02 02 01 03"},
                  kMicrophoneOneRate,
                  {kMicrophoneEndpoint,
                   kMicrophoneEndpointAlone + "\n    07 25 01 00 00 00 00  # CS endpoint: no controls"}}},
        // an endpoint without its class-specific descriptor announces nothing
        RateCase{"BareEndpointMicrophone",
                 "uac1-headset",
                 true,
                 0x82,
                 false,
                 {{"09 02 05 01 03", "09 02 FB 00 03"},
                  kMicrophoneOneRate,
                  {kMicrophoneEndpoint, kMicrophoneEndpointAlone}}},
        RateCase{"HeadsetSpeaker", "uac1-headset", false, 0x01, true}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.Name); });

// ---- A lost packet keeps the capture timeline ----

struct LostPacketCase
{
    const char* Name;
    const char* Profile;
    WAVEFORMATEXTENSIBLE Format;
    uint64_t FailPacket;              // the IN packet that fails on the bus, counted from the start
    bool HighSpeed = false;           // a class-1 device moved to high speed: 8 packets of 125 us per frame
    const char* FormatFrom = nullptr; // a format descriptor of the profile, edited into FormatTo
    const char* FormatTo = nullptr;
};

class StreamLostPacket : public StreamCapture, public ::testing::WithParamInterface<LostPacketCase>
{
};

// The device's signal in the client's format, frame k at k: a client's 8-bit samples are
// offset binary whatever the device's are.
sim::StreamFormat SignalFormat(const WAVEFORMATEXTENSIBLE& format)
{
    sim::StreamFormat device;
    device.Channels = uint8_t(format.Format.nChannels);
    device.SubframeBytes = uint8_t(format.Format.wBitsPerSample / 8);
    device.Unsigned = format.Format.wBitsPerSample == 8;
    return device;
}

// The transfer that holds the failed packet succeeds as a whole. Captured frame k is the device's
// frame k wherever the device sent it, and silence where the failed packet lost it: nothing
// after the gap moves. Class 1 and class 2 alike.
TEST_P(StreamLostPacket, ArrivesAsSilenceInItsPlace)
{
    const LostPacketCase& c = GetParam();
    ASSERT_EQ(PlugAndStart(c.HighSpeed    ? EditedProfile(c.Profile, {{"speed full", "speed high"}})
                           : c.FormatFrom ? EditedProfile(c.Profile, {{c.FormatFrom, c.FormatTo}})
                                          : std::string(c.Profile)),
              STATUS_SUCCESS);
    const int index = StreamOf(true);
    ASSERT_GE(index, 0);
    sim::StreamFaults faults;
    faults.FailPacketNumber = c.FailPacket;
    SetStreamFaults(faults);
    rig::StreamTestClient& client = Client();
    client.Format = c.Format;
    ASSERT_EQ(client.Run(Stream(ULONG(index))), STATUS_SUCCESS);
    ASSERT_TRUE(client.WaitDone(8));
    client.Leave();
    EXPECT_EQ(Device().PortResets(), 0u) << "a good transfer needs no recovery";

    // The device's record: contiguous frames from 0, one packet failed.
    const size_t block = c.Format.Format.nBlockAlign;
    const std::vector<sim::StreamPacketRecord> packets = DataPackets(true);
    ASSERT_GT(packets.size(), c.FailPacket);
    const sim::StreamPacketRecord& lost = packets[c.FailPacket - 1];
    ASSERT_FALSE(USBD_SUCCESS(lost.Status));
    ASSERT_GT(lost.Bytes, 0u);
    ASSERT_EQ(packets.front().FirstSample, 0u);
    ASSERT_EQ(Streams().DroppedInFrames(lost.EndpointAddress), 0u);
    const uint64_t gapFirst = lost.FirstSample;
    const uint64_t gapEnd = gapFirst + lost.Bytes / block;

    const std::vector<UCHAR> received = client.Received();
    ASSERT_GT(received.size() / block, gapEnd + 100) << "the capture reached well past the gap";
    const sim::StreamFormat device = SignalFormat(c.Format);
    std::vector<UCHAR> want(block);
    for (uint64_t k = 0; k < received.size() / block; ++k)
    {
        if (k >= gapFirst && k < gapEnd)
            std::fill(want.begin(), want.end(), UCHAR(c.Format.Format.wBitsPerSample == 8 ? 0x80 : 0));
        else
            sim::StreamSignalFrame(device, k, want.data());
        ASSERT_TRUE(std::equal(want.begin(), want.end(), received.begin() + long(k * block)))
            << "frame " << k << " (gap " << gapFirst << " to " << gapEnd << ")";
    }
}

const WAVEFORMATEXTENSIBLE kMono48 = rig::ClientFormat(1, 48000, 2, 16, 4);
const WAVEFORMATEXTENSIBLE kMono44 = rig::ClientFormat(1, 44100, 2, 16, 4);

INSTANTIATE_TEST_SUITE_P(
    Rates, StreamLostPacket,
    ::testing::Values(
        LostPacketCase{"At48kHz", "uac1-headset", kMono48, 25},  // mid-transfer
        LostPacketCase{"At44k1Hz", "uac1-headset", kMono44, 20}, // a 45-frame packet
        LostPacketCase{"At44k1HzShort", "uac1-headset", kMono44, 13},
        // The device's 8-bit samples are two's complement, the client's unsigned: the gap is
        // midpoint silence among the flipped samples.
        LostPacketCase{"EightBitAt48kHz", "uac1-headset", rig::ClientFormat(1, 48000, 1, 8, 4), 25, false,
                       "0E 24 02 01 01 02 10 02", "0E 24 02 01 01 01 08 02"},
        LostPacketCase{"HighSpeedAt48kHz", "uac1-headset", kMono48, 100, true},
        LostPacketCase{"HighSpeedAt44k1Hz", "uac1-headset", kMono44, 37, true},
        LostPacketCase{"Class2At48kHz", "uac2-interface", rig::ClientFormat(2, 48000, 4, 24, 3), 100},
        LostPacketCase{"Class2At44k1Hz", "uac2-interface", rig::ClientFormat(2, 44100, 4, 24, 3), 37},
        LostPacketCase{"Class2FullSpeedAt44k1Hz", "uac2-interface-fs", rig::ClientFormat(2, 44100, 2, 16, 3),
                       20}),
    [](const ::testing::TestParamInfo<LostPacketCase>& info) { return std::string(info.param.Name); });

// ---- A device running fast fills the longest transfers past their nominal length ----

struct FastCaptureCase
{
    const char* Name;
    const char* Profile;
    WAVEFORMATEXTENSIBLE Format;
};

class StreamFastCapture : public StreamCapture, public ::testing::WithParamInterface<FastCaptureCase>
{
};

// Transfers of the longest a client may register (40 ms) from a device 500 ppm fast: every frame
// the device sent reaches the client in order, and the transfer-done counts add up to it.
TEST_P(StreamFastCapture, EveryFrameOfTheLongestTransfersArrives)
{
    const FastCaptureCase& c = GetParam();
    ASSERT_EQ(PlugAndStart(c.Profile), STATUS_SUCCESS);
    const int index = StreamOf(true);
    ASSERT_GE(index, 0);
    sim::StreamFaults faults;
    faults.ClockOffsetPpm = 500;
    SetStreamFaults(faults);
    rig::StreamTestClient& client = Client();
    client.Format = c.Format;
    client.FramesPerTransfer = 40;
    client.TransfersInFlight = 3;
    ASSERT_EQ(client.Run(Stream(ULONG(index))), STATUS_SUCCESS);
    ASSERT_TRUE(client.WaitDone(75)); // 3 s
    client.Leave();

    const size_t block = c.Format.Format.nBlockAlign;
    const std::vector<sim::StreamPacketRecord> packets = DataPackets(true);
    ASSERT_FALSE(packets.empty());
    ASSERT_EQ(packets.front().FirstSample, 0u);
    uint64_t sent = 0;
    for (const sim::StreamPacketRecord& r : packets)
        sent += USBD_SUCCESS(r.Status) ? r.Bytes / block : 0;
    const std::vector<UCHAR> received = client.Received();
    const std::vector<ULONG> done = client.DoneBytes();
    EXPECT_EQ(std::accumulate(done.begin(), done.end(), 0ull), received.size());
    // Transfers still with the bus when the client left are not the client's.
    EXPECT_LE(received.size() / block, sent);
    EXPECT_GE(received.size() / block, 75 * 40 * (c.Format.Format.nSamplesPerSec / 1000));
    const sim::StreamFormat device = SignalFormat(c.Format);
    std::vector<UCHAR> want(block);
    for (uint64_t k = 0; k < received.size() / block; ++k)
    {
        sim::StreamSignalFrame(device, k, want.data());
        ASSERT_TRUE(std::equal(want.begin(), want.end(), received.begin() + long(k * block)))
            << "frame " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, StreamFastCapture,
                         ::testing::Values(FastCaptureCase{"Class1", "uac1-headset", kMono48},
                                           FastCaptureCase{"Class2", "uac2-interface",
                                                           rig::ClientFormat(2, 48000, 4, 24, 3)},
                                           FastCaptureCase{"Class2FullSpeed", "uac2-interface-fs",
                                                           rig::ClientFormat(2, 48000, 2, 16, 3)}),
                         [](const ::testing::TestParamInfo<FastCaptureCase>& info)
                         { return std::string(info.param.Name); });

} // namespace
