// The transfer chain of the class-1 streams on the real driver objects: how many transfers a
// client may keep in flight, float settings carrying floats both ways, and an open refused
// before the pool is made leaving no reference behind. The device's record is the oracle.
#include "support/stream_rig.h"

#include "driver/core/usb_device_if.h"

#include <cstring>

namespace
{

using rig::StreamTestClient;

bool IsFloatFormat(const WAVEFORMATEXTENSIBLE& f)
{
    return f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE
               ? IsEqualGUIDAligned(f.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)
               : f.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
}

// The headset with its 24-bit render setting turned into a 32-bit IEEE float setting (format
// tag 3, 4-byte subframes, endpoint sized for 49 frames), and a second microphone setting that
// carries 32-bit floats beside its 16-bit PCM one: the wave filter needs a PCM format on every
// endpoint, so a float-only endpoint would keep the device from starting.
const std::vector<std::pair<std::string, std::string>> kFloatHeadset = {
    {"09 02 05 01", "09 02 33 01"}, // configuration: 46 bytes more
    {"07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM\n"
     "    0E 24 02 01 02 03 18 02 44 AC 00 80 BB 00",
     "07 24 01 01 01 03 00  # AS general: terminal 1, delay 1, IEEE float\n"
     "    0E 24 02 01 02 04 20 02 44 AC 00 80 BB 00"},
    {"09 05 01 09 26 01 01 00 00", "09 05 01 09 88 01 01 00 00"},
    {"09 05 82 05 62 00 01 00 00",
     "09 05 82 05 62 00 01 00 00 07 25 01 01 00 00 00"  // the PCM setting's endpoints
     " 09 04 02 02 01 01 02 00 00 07 24 01 07 01 03 00" // alt 2: IEEE float
     " 0E 24 02 01 01 04 20 02 44 AC 00 80 BB 00 09 05 82 05 C4 00 01 00 00"},
};

class StreamTransfers : public rig::StreamRig
{
protected:
    // The stream of a direction on the started device.
    ULONG StreamOf(bool capture)
    {
        for (ULONG i = 0; i < StreamCount(); ++i)
            if (IsCapture(i) == capture)
                return i;
        ADD_FAILURE() << "no " << (capture ? "capture" : "render") << " stream";
        return 0;
    }

    // The first format of stream i at the rate whose samples are (or are not) floats.
    bool OfferedFormat(ULONG index, bool isFloat, DWORD rateHz, WAVEFORMATEXTENSIBLE* format)
    {
        for (const WAVEFORMATEXTENSIBLE& f : Formats(index))
        {
            if (IsFloatFormat(f) == isFloat && f.Format.nSamplesPerSec == rateHz)
            {
                *format = f;
                return true;
            }
        }
        return false;
    }

    // References the device object holds now (the query's own given back).
    ULONG UsbReferences()
    {
        IUsbDevice* usb = nullptr;
        EXPECT_EQ(Adapter()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb)), STATUS_SUCCESS);
        return usb ? usb->Release() : 0;
    }
};

// A lone transfer completes only after its last frame, when the frame its successor must start
// in has begun, so it could only fail and recover; the host controller would refuse that start
// frame too. Two or more stream without a gap.
TEST_F(StreamTransfers, RegistrationTakesOnlyTransferCountsThatStreamWithoutAGap)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    const struct
    {
        bool Capture;
        ULONG Ms, InFlight;
        bool Streams;
    } kCases[] = {
        {false, 10, 1, false}, {false, 5, 1, false}, {false, 10, 0, false},
        {false, 5, 11, false}, {false, 10, 2, true}, {false, 1, 2, true},
        {false, 5, 10, true},  {true, 10, 1, false}, {true, 10, 2, true},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(std::string(c.Capture ? "capture " : "render ") + std::to_string(c.Ms) + " ms x " +
                     std::to_string(c.InFlight));
        const ULONG index = StreamOf(c.Capture);
        ICyclicControl* stream = Stream(index);
        StreamTestClient& client = Client();
        ASSERT_TRUE(OfferedFormat(index, false, 48000, &client.Format));
        client.FramesPerTransfer = c.Ms;
        client.TransfersInFlight = c.InFlight;
        Streams().ClearRecords();
        if (!c.Streams)
        {
            EXPECT_EQ(client.Register(stream), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(client.Record(), nullptr);
            continue;
        }
        ASSERT_EQ(client.Run(stream), STATUS_SUCCESS);
        ASSERT_TRUE(client.WaitDone(LONG(300 / c.Ms)));
        client.Leave();
        // One configure at the start and no recovery; the device saw a packet in every frame
        // from the first to the last.
        EXPECT_EQ(client.Restarts(), 1);
        const std::vector<sim::StreamPacketRecord> packets = DataPackets(c.Capture);
        ASSERT_GE(packets.size(), 300u);
        for (size_t i = 1; i < packets.size(); ++i)
            ASSERT_EQ(packets[i].Frame, packets[i - 1].Frame + 1) << "packet " << i;
        if (!c.Capture)
        {
            const std::vector<UCHAR> written = client.Written();
            const std::vector<uint8_t> heard = Streams().OutStream(0x01);
            ASSERT_GE(heard.size(), written.size());
            EXPECT_TRUE(std::equal(written.begin(), written.end(), heard.begin()));
        }
    }
}

// The float settings are offered as floats (and not as 32-bit integers), and a float client's
// samples reach the device, and the device's reach the client, bit for bit.
TEST_F(StreamTransfers, FloatSettingsCarryFloatsBitExactBothWays)
{
    ASSERT_EQ(PlugAndStart(EditedProfile("uac1-headset", kFloatHeadset)), STATUS_SUCCESS);
    for (const bool capture : {false, true})
    {
        SCOPED_TRACE(capture ? "capture" : "render");
        const ULONG index = StreamOf(capture);
        for (const WAVEFORMATEXTENSIBLE& f : Formats(index))
            EXPECT_TRUE(f.Format.wBitsPerSample != 32 || IsFloatFormat(f)) << "float offered as PCM";
        StreamTestClient& client = Client();
        ASSERT_TRUE(OfferedFormat(index, true, 48000, &client.Format));
        EXPECT_EQ(client.Format.Format.wBitsPerSample, 32);
        EXPECT_EQ(client.Format.Samples.wValidBitsPerSample, 32);
        client.FramesPerTransfer = 5;
        Streams().ClearRecords();
        ASSERT_EQ(client.Run(Stream(index)), STATUS_SUCCESS);
        ASSERT_TRUE(client.WaitDone(100));
        client.Leave();

        if (!capture)
        {
            // Every bit pattern the client wrote, NaNs and denormals among them, went out as it was.
            const std::vector<UCHAR> written = client.Written();
            const std::vector<uint8_t> heard = Streams().OutStream(0x01);
            ASSERT_GE(written.size(), 48000u * 8 / 2);
            ASSERT_GE(heard.size(), written.size());
            EXPECT_TRUE(std::equal(written.begin(), written.end(), heard.begin()));
            EXPECT_TRUE(Streams().SizeErrors().empty());
            continue;
        }
        // The device's known signal as floats (value / 32768), frame by frame from the first
        // packet's first sample, against what the client was handed.
        const std::vector<sim::StreamPacketRecord> packets = DataPackets(true);
        ASSERT_FALSE(packets.empty());
        std::vector<UCHAR> expected;
        for (uint64_t n = packets.front().FirstSample; expected.size() < 48000u * 4 / 2; ++n)
        {
            const float sample = float(sim::StreamSignalSample(n, 0)) / 32768.0f;
            UCHAR bytes[4];
            std::memcpy(bytes, &sample, 4);
            expected.insert(expected.end(), bytes, bytes + 4);
        }
        const std::vector<UCHAR> received = client.Received();
        ASSERT_GE(received.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), received.begin()));
    }
}

// An open refused before the transfer pool is made (a client format without whole sample
// frames) leaves the device object's references as they were, and the stream usable.
TEST_F(StreamTransfers, RefusedOpenLeavesTheDeviceReferencesAsTheyWere)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    for (const bool capture : {false, true})
    {
        SCOPED_TRACE(capture ? "capture" : "render");
        const ULONG index = StreamOf(capture);
        ICyclicControl* stream = Stream(index);
        WAVEFORMATEXTENSIBLE offered{};
        ASSERT_TRUE(OfferedFormat(index, false, 48000, &offered));
        // A plain format is matched by its numbers; its block alignment is the client's own.
        StreamTestClient& broken = Client();
        broken.Format = offered;
        broken.Format.Format.wFormatTag = WAVE_FORMAT_PCM;
        broken.Format.Format.cbSize = 0;
        broken.Format.Format.nBlockAlign = 0;
        const ULONG before = UsbReferences();
        ASSERT_EQ(broken.Register(stream), STATUS_SUCCESS);
        EXPECT_EQ(broken.Open(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(UsbReferences(), before);
        EXPECT_EQ(broken.Unregister(), STATUS_SUCCESS);

        StreamTestClient& good = Client();
        good.Format = offered;
        ASSERT_EQ(good.Run(stream), STATUS_SUCCESS);
        EXPECT_EQ(UsbReferences(), before + 1); // the open stream holds one until it closes
        ASSERT_TRUE(good.WaitDone(5));
        good.Leave();
        EXPECT_EQ(UsbReferences(), before);
    }
}

} // namespace
