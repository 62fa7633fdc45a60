// 8-bit samples between the clients and the device, through the real stream objects of both
// releases: a client's 8-bit samples are offset binary whatever the device carries, and the
// device's follow its format (USB's PCM format: two's complement; class 1's PCM8: offset
// binary). The oracles are the device's record and the device's signal values, converted here
// by arithmetic of their own rather than by the simulator's encoder.
#include "support/stream_rig.h"

#include <mutex>

namespace
{

using EightBitEdit = std::pair<std::string, std::string>;

// The headset's 16-bit settings carried as 8 bits; the general descriptors keep the PCM tag
// unless PCM8 is edited in.
const EightBitEdit kHeadsetRender8 = {"0E 24 02 01 02 02 10 02", "0E 24 02 01 02 01 08 02"};
const EightBitEdit kHeadsetRenderPcm8 = {"07 24 01 01 01 01 00", "07 24 01 01 01 02 00"};
const EightBitEdit kHeadsetCapture8 = {"0E 24 02 01 01 02 10 02", "0E 24 02 01 01 01 08 02"};
const EightBitEdit kHeadsetCapturePcm8 = {"07 24 01 07 01 01 00", "07 24 01 07 01 02 00"};
// Class 2: the render setting's format type comes first, the capture setting's second.
const EightBitEdit kClassTwo8 = {"06 24 02 01 02 10", "06 24 02 01 01 08"};

struct EightBitCase
{
    const char* Name;
    const char* Profile; // uac1-headset or uac2-interface-fs
    bool Capture;
    bool Pcm8;   // the setting is tagged PCM8 (offset binary); else PCM (two's complement)
    bool Silent; // render: the client writes nothing, so the stream's own silence plays
    WAVEFORMATEXTENSIBLE Format;
};

// The profile's edits for the case: its setting of the direction carried as 8 bits.
std::vector<EightBitEdit> EditsFor(const EightBitCase& c)
{
    if (std::string(c.Profile) != "uac1-headset")
        return {kClassTwo8, kClassTwo8};
    std::vector<EightBitEdit> edits = {c.Capture ? kHeadsetCapture8 : kHeadsetRender8};
    if (c.Pcm8)
        edits.push_back(c.Capture ? kHeadsetCapturePcm8 : kHeadsetRenderPcm8);
    return edits;
}

// A client's offset-binary byte as the device's two's complement one, or unchanged.
uint8_t DeviceByte(uint8_t clientByte, bool deviceSigned)
{
    return deviceSigned ? uint8_t(int(clientByte) - 128) : clientByte;
}

// The top 8 bits of one of the device's 16-bit signal values, offset binary.
uint8_t OffsetBinaryTop(int16_t value)
{
    return uint8_t((int32_t(value) + 32768) / 256);
}

class EightBitStream : public rig::StreamRig, public ::testing::WithParamInterface<EightBitCase>
{
protected:
    std::mutex m_Lock;
    std::vector<uint8_t> m_DeviceSent; // the device's IN bytes in order, as they crossed the bus
};

TEST_P(EightBitStream, ClientsGetOffsetBinaryAndTheDeviceItsOwnEncoding)
{
    const EightBitCase& c = GetParam();
    const bool deviceSigned = !c.Pcm8;
    ASSERT_EQ(PlugAndStart(EditedProfile(c.Profile, EditsFor(c))), STATUS_SUCCESS) << plat::DebugLogText();
    const int index = StreamOf(c.Capture);
    ASSERT_GE(index, 0);
    Streams().SetPacketListener(
        [this](const sim::StreamPacketRecord& record, const uint8_t* data)
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            if (record.In && !record.Feedback && data)
                m_DeviceSent.insert(m_DeviceSent.end(), data, data + record.Bytes);
        },
        true);
    rig::StreamTestClient& client = Client();
    client.Format = c.Format;
    client.Silent = c.Silent;
    ASSERT_EQ(client.Run(Stream(ULONG(index))), STATUS_SUCCESS) << plat::DebugLogText();
    sim::StreamFormat device;
    const uint8_t endpoint = StreamingEndpoint(c.Capture, &device);
    ASSERT_NE(endpoint, 0);
    EXPECT_EQ(device.SubframeBytes, 1);
    EXPECT_EQ(device.Unsigned, c.Pcm8) << "the device's reading of its own format tag";
    ASSERT_TRUE(client.WaitDone(30));
    client.Leave();
    Streams().SetPacketListener(nullptr, true);

    if (!c.Capture)
    {
        // What the client wrote, or the client's silence it left in place, in the device's
        // encoding; then the device's silence for the transfers that raced the stop.
        const std::vector<UCHAR> written = client.Written();
        const std::vector<uint8_t> out = Streams().OutStream(endpoint);
        ASSERT_GT(written.size(), 0u);
        ASSERT_GE(out.size(), written.size());
        for (size_t i = 0; i < out.size(); ++i)
        {
            const uint8_t clientByte = i < written.size() && !c.Silent ? written[i] : 0x80;
            ASSERT_EQ(out[i], DeviceByte(clientByte, deviceSigned)) << "byte " << i;
        }
        return;
    }
    // Capture: frame by frame from each packet's first sample, the device's bytes in its own
    // encoding and the client's in offset binary.
    std::vector<uint8_t> wantDevice, wantClient;
    for (const sim::StreamPacketRecord& r : DataPackets(true))
        for (uint32_t f = 0; f < r.Bytes / device.BlockBytes(); ++f)
            for (uint32_t ch = 0; ch < device.Channels; ++ch)
            {
                const uint8_t top = OffsetBinaryTop(sim::StreamSignalSample(r.FirstSample + f, ch));
                wantClient.push_back(top);
                wantDevice.push_back(DeviceByte(top, deviceSigned));
            }
    EXPECT_TRUE(m_DeviceSent == wantDevice) << "the device's bytes";
    const std::vector<UCHAR> received = client.Received();
    ASSERT_GT(received.size(), 0u);
    ASSERT_LE(received.size(), wantClient.size());
    for (size_t i = 0; i < received.size(); ++i)
        ASSERT_EQ(received[i], wantClient[i]) << "byte " << i;
}

const WAVEFORMATEXTENSIBLE kHeadsetRender = rig::ClientFormat(2, 48000, 1, 8, 3);
const WAVEFORMATEXTENSIBLE kHeadsetCapture = rig::ClientFormat(1, 48000, 1, 8, 4);
const WAVEFORMATEXTENSIBLE kClassTwoRender = rig::ClientFormat(8, 48000, 1, 8, 0x63F);
const WAVEFORMATEXTENSIBLE kClassTwoCapture = rig::ClientFormat(2, 48000, 1, 8, 3);

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Formats, EightBitStream,
    ::testing::Values(
        //           name                         profile              capture PCM8  silent format
        EightBitCase{"ClassOnePcmRender",         "uac1-headset",      false, false, false, kHeadsetRender},
        EightBitCase{"ClassOnePcm8Render",        "uac1-headset",      false, true,  false, kHeadsetRender},
        EightBitCase{"ClassOnePcmRenderSilence",  "uac1-headset",      false, false, true,  kHeadsetRender},
        EightBitCase{"ClassOnePcm8RenderSilence", "uac1-headset",      false, true,  true,  kHeadsetRender},
        EightBitCase{"ClassOnePcmCapture",        "uac1-headset",      true,  false, false, kHeadsetCapture},
        EightBitCase{"ClassOnePcm8Capture",       "uac1-headset",      true,  true,  false, kHeadsetCapture},
        EightBitCase{"ClassTwoPcmRender",         "uac2-interface-fs", false, false, false, kClassTwoRender},
        EightBitCase{"ClassTwoPcmCapture",        "uac2-interface-fs", true,  false, false, kClassTwoCapture}),
    [](const ::testing::TestParamInfo<EightBitCase>& info) { return std::string(info.param.Name); });
// clang-format on

} // namespace
