// The variant-D render stream on the real USB device object over the simulated class-1
// speaker, whose endpoint carries two channels: a client streams 2 to 8 channels, and the
// device's record must hold the limited samples packed to the first two channels of each frame,
// in packets sized for two channels, while the client hears its own frame count back. The
// limiter's output is modelled by a separate limiter run in one long pass over everything the
// client wrote, with the conversions written out here.
#include "support/node_test_doubles.h"
#include "support/stream_rig.h"

#include "driver/wave/variant_d_stream.h"
#include "driver/topology/variants/variant_d_effect_controls.h"
#include "driver/dsp/effect_processor.h"

#include <xmmintrin.h>

#include <cmath>

namespace
{

using rig::ClientFormat;

constexpr ULONG kRate = 48000;
constexpr ULONG kSpeakerInterface = 1;
constexpr UCHAR kSetting16 = 1; // the speaker's 16-bit stereo setting
constexpr UCHAR kSetting24 = 2; // and its 24-bit one

DWORD MaskFor(WORD channels)
{
    const DWORD masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
    return masks[channels];
}

WAVEFORMATEXTENSIBLE Format(WORD channels, WORD bytes)
{
    return ClientFormat(channels, kRate, bytes, WORD(bytes * 8), MaskFor(channels));
}

int32_t ReadSample(const UCHAR* p, ULONG bytes)
{
    if (bytes == 2)
        return int16_t(p[0] | p[1] << 8);
    const int32_t v = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
    return v >> 8;
}

// Back to integers as the stream does: 16 bits toward zero, packed 24 bits to nearest with ties
// to even, both saturating.
int32_t ToInteger(float value, ULONG bytes)
{
    if (bytes == 2)
    {
        const double scaled = std::trunc(double(value) * 32768.0);
        return int32_t(std::min(32767.0, std::max(-32768.0, scaled)));
    }
    const double scaled = std::nearbyint(double(value) * 8388608.0);
    return int32_t(std::min(8388607.0, std::max(-8388608.0, scaled)));
}

// The device's bytes for `frames` client frames: every channel through one limiter pass, then
// the first two samples of each frame.
std::vector<UCHAR> ExpectedDeviceBytes(const std::vector<UCHAR>& written, const WAVEFORMATEXTENSIBLE& format,
                                       size_t frames)
{
    const ULONG channels = format.Format.nChannels;
    const ULONG bytes = format.Format.nBlockAlign / channels;
    const double scale = bytes == 2 ? 32768.0 : 8388608.0;
    std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
    for (size_t n = 0; n < frames; ++n)
        for (ULONG c = 0; c < channels; ++c)
            planes[c][n] =
                float(ReadSample(&written[n * format.Format.nBlockAlign + c * bytes], bytes) / scale);
    CEffectProcessor limiter;
    EXPECT_TRUE(limiter.AllocateBuffers());
    limiter.SetMode(0);
    limiter.SetGain(1.0f);
    limiter.SetCeiling(1.0f);
    limiter.SetFormat(&format);
    std::vector<float*> pointers;
    for (auto& plane : planes)
        pointers.push_back(plane.data());
    const unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~0x6000u) | 0x8000u);
    limiter.Process(pointers.data(), ULONG(frames));
    _mm_setcsr(saved);
    limiter.FreeBuffers();
    std::vector<UCHAR> out;
    for (size_t n = 0; n < frames; ++n)
        for (ULONG c = 0; c < 2; ++c)
        {
            // A mono-less stream has two channels at least; the device frame is channels 0 and 1.
            const int32_t v = ToInteger(planes[c][n], bytes);
            for (ULONG b = 0; b < bytes; ++b)
                out.push_back(UCHAR(uint32_t(v) >> (8 * b)));
        }
    return out;
}

// Effect nodes on a feature-unit double, released at the end of the test.
class CFakeEntityHolder
{
public:
    CFakeEntityHolder() : m_Entity(gd::Make<nd::CFakeEntity>(10u)) {}
    ~CFakeEntityHolder()
    {
        for (CVariantDEffectControl140* node : m_Nodes)
            nd::Drop(node);
        nd::Drop(m_Entity);
    }
    CVariantDEffectControl140* Node(ULONG id)
    {
        CVariantDEffectControl140* node = gd::Make<CVariantDEffectControl140>(id);
        m_Nodes.push_back(node);
        EXPECT_EQ(node->Init(m_Entity, 140, nullptr, &m_Lock), STATUS_SUCCESS);
        return node;
    }

private:
    nd::CFakeEntity* m_Entity;
    CMutexLock m_Lock;
    std::vector<CVariantDEffectControl140*> m_Nodes;
};

class VariantDStream : public rig::StreamRig
{
protected:
    void SetUp() override
    {
        StreamRig::SetUp();
        ASSERT_EQ(PlugAndStart("uac1-speaker"), STATUS_SUCCESS) << plat::DebugLogText();
    }
    // The stream offers the client's channel count on each of the speaker's stereo settings.
    CVariantDStream* Make(WORD channels)
    {
        return MadeStream<CVariantDStream>(
            kSpeakerInterface, {{kSetting16, Format(channels, 2)}, {kSetting24, Format(channels, 3)}});
    }
};

TEST_F(VariantDStream, DeviceGetsTheLimitedFirstTwoChannelsInStereoPackets)
{
    struct Case
    {
        WORD Channels;
        WORD Bytes;
        ULONG Ms; // per transfer: 20 ms is 960 frames, more than one limiter piece
    };
    const Case cases[] = {{2, 2, 10}, {8, 2, 10}, {6, 3, 10}, {4, 2, 20},
                          {8, 3, 20}, {3, 2, 10}, {5, 3, 10}, {7, 2, 20}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message()
                     << c.Channels << " channels, " << c.Bytes << " bytes, " << c.Ms << " ms");
        CVariantDStream* stream = Make(c.Channels);
        ASSERT_NE(stream, nullptr);
        Streams().ClearRecords();
        const WAVEFORMATEXTENSIBLE format = Format(c.Channels, c.Bytes);
        rig::StreamTestClient& client = RunClient(stream, format, c.Ms);
        ASSERT_TRUE(client.WaitDone(12));
        ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
        const ULONG frameBytes = format.Format.nBlockAlign;
        const ULONG deviceFrame = 2u * c.Bytes;
        for (ULONG done : client.DoneBytes())
            ASSERT_EQ(done, c.Ms * (kRate / 1000) * frameBytes) << "the client counts its own frames";

        const std::vector<sim::StreamPacketRecord> packets = DataPackets(false);
        ASSERT_GE(packets.size(), size_t(12 * c.Ms));
        for (const sim::StreamPacketRecord& p : packets)
        {
            ASSERT_EQ(p.Bytes, (kRate / 1000) * deviceFrame);
            ASSERT_EQ(p.SizeError, "");
        }
        const std::vector<UCHAR> got = Streams().OutStream(packets[0].EndpointAddress);
        const size_t frames = got.size() / deviceFrame;
        const std::vector<UCHAR> written = client.Written();
        ASSERT_GE(written.size(), frames * frameBytes);
        const std::vector<UCHAR> expected = ExpectedDeviceBytes(written, format, frames);
        ASSERT_EQ(got.size(), expected.size());
        size_t mismatch = 0;
        while (mismatch < got.size() && got[mismatch] == expected[mismatch])
            ++mismatch;
        EXPECT_EQ(mismatch, got.size()) << "first difference at device frame " << mismatch / deviceFrame;
        LeaveAll();
    }
}

// A stereo device frame cannot be filled from one channel, and its packed transfer would not fit
// the buffer it was built in: the stream offers no such format and refuses to open on one.
TEST_F(VariantDStream, OneChannelIsRefused)
{
    CVariantDStream* stream = Make(1);
    ASSERT_NE(stream, nullptr);
    WAVEFORMATEXTENSIBLE mono = Format(1, 2);
    EXPECT_EQ(stream->FindFormat(&mono.Format), STATUS_NOT_SUPPORTED);
    rig::StreamTestClient& client = Client();
    client.Format = mono;
    NTSTATUS status = client.Register(stream);
    if (NT_SUCCESS(status))
        status = client.Open();
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(DataPackets(false).empty());
}

// The virtualiser node in the stream's pipeline: the device gets what a twin node and a twin
// limiter give when run here on the client's data in the same passes, with the conversions of
// the pipeline and of the limiter pass written out, packed to two channels.
TEST_F(VariantDStream, EffectNodeInThePipelineReachesTheDeviceAsItsTwinComputesIt)
{
    CFakeEntityHolder entity;
    const WORD channels = 6;
    const WAVEFORMATEXTENSIBLE format = Format(channels, 2);
    CVariantDEffectControl140* node = entity.Node(20);
    CVariantDEffectControl140* twin = entity.Node(21);
    ASSERT_EQ(node->SetEnable(1), STATUS_SUCCESS);
    ASSERT_EQ(twin->SetEnable(1), STATUS_SUCCESS);
    CVariantDStream* stream = MadeStream<CVariantDStream>(kSpeakerInterface, {{kSetting16, format}}, node);
    ASSERT_NE(stream, nullptr);
    rig::StreamTestClient& client = RunClient(stream, format, 10);
    ASSERT_TRUE(client.WaitDone(20));
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);

    const std::vector<sim::StreamPacketRecord> packets = DataPackets(false);
    ASSERT_FALSE(packets.empty());
    const std::vector<UCHAR> got = Streams().OutStream(packets[0].EndpointAddress);
    const std::vector<UCHAR> written = client.Written();
    const ULONG transferFrames = 480; // 10 ms: one pipeline pass each
    const size_t transfers = got.size() / (transferFrames * 4);
    ASSERT_GE(transfers, 20u);
    ASSERT_GE(written.size(), transfers * transferFrames * format.Format.nBlockAlign);

    ASSERT_EQ(twin->Start(&format), STATUS_SUCCESS);
    CEffectProcessor limiter;
    ASSERT_TRUE(limiter.AllocateBuffers());
    limiter.SetMode(0);
    limiter.SetGain(1.0f);
    limiter.SetCeiling(1.0f);
    limiter.SetFormat(&format);
    std::vector<std::vector<float>> planes(8, std::vector<float>(512));
    std::vector<float*> pointers;
    for (auto& plane : planes)
        pointers.push_back(plane.data());
    auto toFloat = [&](const int16_t* samples)
    {
        for (ULONG n = 0; n < transferFrames; ++n)
            for (ULONG c = 0; c < channels; ++c)
                planes[c][n] = float(samples[n * channels + c] / 32768.0);
    };
    auto toInteger = [&](int16_t* samples)
    {
        for (ULONG n = 0; n < transferFrames; ++n)
            for (ULONG c = 0; c < channels; ++c)
                samples[n * channels + c] = int16_t(ToInteger(planes[c][n], 2));
    };
    std::vector<UCHAR> expected;
    const unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~0x6000u) | 0x8000u);
    for (size_t t = 0; t < transfers; ++t)
    {
        std::vector<int16_t> samples(transferFrames * channels);
        std::memcpy(samples.data(), &written[t * transferFrames * format.Format.nBlockAlign],
                    samples.size() * sizeof(int16_t));
        toFloat(samples.data());
        ASSERT_EQ(twin->Process(&format, pointers.data(), transferFrames), STATUS_SUCCESS);
        toInteger(samples.data());
        toFloat(samples.data());
        limiter.Process(pointers.data(), transferFrames);
        toInteger(samples.data());
        for (ULONG n = 0; n < transferFrames; ++n)
            for (ULONG c = 0; c < 2; ++c)
            {
                expected.push_back(UCHAR(uint16_t(samples[n * channels + c])));
                expected.push_back(UCHAR(uint16_t(samples[n * channels + c]) >> 8));
            }
    }
    _mm_setcsr(saved);
    limiter.FreeBuffers();
    ASSERT_GE(got.size(), expected.size());
    size_t mismatch = 0;
    while (mismatch < expected.size() && got[mismatch] == expected[mismatch])
        ++mismatch;
    EXPECT_EQ(mismatch, expected.size()) << "first difference at device frame " << mismatch / 4;
    double energy = 0;
    for (size_t i = expected.size() / 2; i + 1 < expected.size(); i += 2)
        energy += std::fabs(double(int16_t(expected[i] | expected[i + 1] << 8)));
    EXPECT_GT(energy, 0.0) << "the virtualised stream is not silent";
    LeaveAll();
}

} // namespace
