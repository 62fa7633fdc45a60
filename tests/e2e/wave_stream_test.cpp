// Wave pins end to end: the host's audio engine opens the driver's wave filters through the
// stand-in's WaveCyclic port, runs, pauses, runs again, stops and closes render and capture pins,
// and the simulated device's record is the oracle: render frames must leave the device in the
// order the engine wrote them, bit for bit, and capture must hand the engine the device's own
// known signal sample for sample.
#include "support/stream_rig.h"

#include "sim/host/audio_engine.h"

#include <algorithm>
#include <xmmintrin.h>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace
{

// Every render frame carries its own index, so order and content can be read back from the
// device's OUT stream: the left sample is the low 15 bits of the index with the top bit set
// (never silence), the right its complement.
void RenderFrame(ULONGLONG index, UCHAR* frame)
{
    const USHORT left = USHORT(0x8000 | (index & 0x7FFF));
    const USHORT right = USHORT(~left);
    frame[0] = UCHAR(left);
    frame[1] = UCHAR(left >> 8);
    frame[2] = UCHAR(right);
    frame[3] = UCHAR(right >> 8);
}

constexpr ULONG kStereo16Bytes = 4;
constexpr ULONG kRate = 48000;
constexpr ULONGLONG kBytesPerMs = kRate / 1000 * kStereo16Bytes;
// Three transfers of 5 ms in flight.
constexpr ULONG kInFlightFrames = 15 * kRate / 1000;

// The stereo format as the audio stack asks for it: with its speaker positions, which the
// endpoint's render formats carry.
std::vector<UCHAR> StereoFormat(WORD bits = 16)
{
    std::vector<UCHAR> format = sim::WaveDataFormat(2, kRate, bits, bits);
    const DWORD mask = KSAUDIO_SPEAKER_STEREO;
    std::memcpy(format.data() + offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt.dwChannelMask),
                &mask, sizeof(mask));
    return format;
}

class WaveStreamE2e : public rig::StreamRig
{
protected:
    // The driver's wave filter of the direction, as the audio engine finds it.
    std::u16string Filter(bool capture)
    {
        for (const sim::WaveFilterInfo& f : sim::AudioPin::EnumerateWaveFilters(Pdo()))
            if (f.Capture == capture)
                return f.Name;
        ADD_FAILURE() << "no " << (capture ? "capture" : "render") << " wave filter";
        return u"";
    }

    std::unique_ptr<sim::AudioPin> OpenRender()
    {
        std::unique_ptr<sim::AudioPin> pin;
        EXPECT_EQ(sim::AudioPin::Open(Pdo(), Filter(false), 0, StereoFormat(), &pin), STATUS_SUCCESS);
        if (pin)
            pin->SetRenderSource(
                [this](UCHAR* data, ULONG bytes)
                {
                    for (ULONG i = 0; i + kStereo16Bytes <= bytes; i += kStereo16Bytes)
                        RenderFrame(m_NextFrame++, data + i);
                });
        return pin;
    }

    std::unique_ptr<sim::AudioPin> OpenCapture()
    {
        std::unique_ptr<sim::AudioPin> pin;
        EXPECT_EQ(sim::AudioPin::Open(Pdo(), Filter(true), 0, sim::WaveDataFormat(1, kRate, 16, 16), &pin),
                  STATUS_SUCCESS);
        if (pin)
            pin->SetCaptureSink([this](const UCHAR* data, ULONG bytes)
                                { m_Captured.insert(m_Captured.end(), data, data + bytes); });
        return pin;
    }

    // The render frames the device received, in order: each must be silence, the next frame the
    // engine wrote, or, where a run starts again after a pause, one the engine wrote earlier
    // (replayed from the end of the cyclic buffer) or a frame a little ahead (the transfers in
    // flight at the pause were stopped unsent but counted, so the engine moved past them).
    // Returns the count of frames that arrived in order.
    ULONGLONG CheckRenderedInOrder(ULONG* replayed, ULONG* skipped)
    {
        const uint8_t address = DataEndpoints(false).at(0);
        const std::vector<uint8_t> out = Streams().OutStream(address);
        ULONGLONG expected = 0, inOrder = 0;
        *replayed = 0;
        *skipped = 0;
        for (size_t i = 0; i + kStereo16Bytes <= out.size(); i += kStereo16Bytes)
        {
            const USHORT left = USHORT(out[i] | (out[i + 1] << 8));
            const USHORT right = USHORT(out[i + 2] | (out[i + 3] << 8));
            if (left == 0 && right == 0)
                continue;
            const bool wellFormed = (left & 0x8000) && right == USHORT(~left);
            EXPECT_TRUE(wellFormed) << "frame " << i / kStereo16Bytes << " is not one the engine wrote";
            if (!wellFormed)
                return inOrder;
            const ULONG ahead = (ULONG(left) - ULONG(expected)) & 0x7FFF;
            if (ahead == 0)
                ++inOrder;
            else if (ahead <= kInFlightFrames)
                *skipped += ahead;
            else
            {
                ++*replayed;
                continue;
            }
            expected += ahead + 1;
        }
        return inOrder;
    }

    // Every captured sample is the device's signal from the first sample frame it sent on.
    void CheckCapturedSignal(size_t fromByte, uint64_t firstSample)
    {
        size_t wrong = 0;
        for (size_t i = fromByte; i + 2 <= m_Captured.size(); i += 2)
        {
            const int16_t got = int16_t(m_Captured[i] | (m_Captured[i + 1] << 8));
            if (got != sim::StreamSignalSample(firstSample + (i - fromByte) / 2, 0))
                ++wrong;
        }
        EXPECT_EQ(wrong, 0u) << "of " << (m_Captured.size() - fromByte) / 2 << " samples";
    }

    uint64_t FirstInSample(size_t afterPacket)
    {
        const std::vector<sim::StreamPacketRecord> in = DataPackets(true);
        for (size_t i = afterPacket; i < in.size(); ++i)
            if (in[i].Bytes > 0 && in[i].Status == USBD_STATUS_SUCCESS)
                return in[i].FirstSample;
        ADD_FAILURE() << "no captured packet";
        return 0;
    }

    ULONGLONG OutBytes()
    {
        ULONGLONG bytes = 0;
        for (const sim::StreamPacketRecord& r : DataPackets(false))
            bytes += r.Bytes;
        return bytes;
    }

    void RenderBitExact(WORD bytes);

    ULONGLONG m_NextFrame = 0;
    std::vector<UCHAR> m_Captured;
};

// Open, run, pause, run, stop, close: the frames leave the device in order and bit for bit,
// the pause/run cycle keeps them coming, and the engine's position stays within the transfers
// in flight of what the device has received.
TEST_F(WaveStreamE2e, RenderPinLifecycleDeliversTheFramesInOrder)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin = OpenRender();
    ASSERT_TRUE(pin);
    plat::PcPinView view;
    ASSERT_EQ(pin->View(&view), STATUS_SUCCESS);
    EXPECT_EQ(view.BufferSize, 9600u);
    EXPECT_EQ(view.FramingSize, 1920u);

    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(300 * rig::kMillisecond);
    const sim::AudioPinStats running = pin->Stats();
    const ULONGLONG sent = OutBytes();
    EXPECT_EQ(running.Underruns, 0u);
    // The position trails the device by at most the three 5 ms transfers in flight and a period,
    // and runs ahead of its record by less than the one transfer it extrapolates into.
    EXPECT_LE(running.PositionBytes, sent + 5 * kBytesPerMs);
    EXPECT_LE(sent, running.PositionBytes + 25 * kBytesPerMs);
    EXPECT_GE(running.PositionBytes, 250 * kBytesPerMs);

    ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
    RunFor(50 * rig::kMillisecond);
    const ULONGLONG paused = OutBytes();
    RunFor(50 * rig::kMillisecond);
    EXPECT_EQ(OutBytes(), paused) << "a paused pin still streams";
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(300 * rig::kMillisecond);
    EXPECT_GE(OutBytes(), paused + 250 * kBytesPerMs) << "audio stopped after the pause";
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);

    EXPECT_TRUE(Streams().SizeErrors().empty());
    ULONG replayed = 0, skipped = 0;
    const ULONGLONG inOrder = CheckRenderedInOrder(&replayed, &skipped);
    EXPECT_GE(inOrder, 500 * kRate / 1000) << "frames of both runs arrive";
    // Only the run after the pause may replay its lead (15 ms of the buffer's end) and lose what
    // was in flight when it paused.
    EXPECT_LE(replayed, kInFlightFrames);
    EXPECT_LE(skipped, kInFlightFrames);
}

// Capture hands the engine the device's signal from the first sample frame the device sent,
// both before and after a pause, and the position follows the completed transfers.
TEST_F(WaveStreamE2e, CapturePinDeliversTheDeviceSignal)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin = OpenCapture();
    ASSERT_TRUE(pin);
    ASSERT_TRUE(pin->IsCapture());
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(300 * rig::kMillisecond);
    ASSERT_EQ(pin->Pause(), STATUS_SUCCESS);
    const sim::AudioPinStats first = pin->Stats();
    EXPECT_EQ(first.Overruns, 0u);
    EXPECT_GE(first.ReadBytes, 250u * 96);
    CheckCapturedSignal(0, FirstInSample(0));

    const size_t resumeByte = m_Captured.size();
    const size_t resumePacket = DataPackets(true).size();
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(300 * rig::kMillisecond);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_GE(m_Captured.size(), resumeByte + 250 * 96) << "audio stopped after the pause";
    CheckCapturedSignal(resumeByte, FirstInSample(resumePacket));
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
}

// A render pin and a capture pin of one device run at once, each on its own USB stream, and
// neither disturbs the other's content.
TEST_F(WaveStreamE2e, RenderAndCapturePinsRunTogether)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> render = OpenRender();
    std::unique_ptr<sim::AudioPin> capture = OpenCapture();
    ASSERT_TRUE(render && capture);
    ASSERT_EQ(render->Run(), STATUS_SUCCESS);
    ASSERT_EQ(capture->Run(), STATUS_SUCCESS);
    RunFor(300 * rig::kMillisecond);
    ASSERT_EQ(render->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(capture->Stop(), STATUS_SUCCESS);
    ULONG replayed = 0, skipped = 0;
    EXPECT_GE(CheckRenderedInOrder(&replayed, &skipped), 250 * kRate / 1000);
    EXPECT_EQ(replayed, 0u);
    EXPECT_EQ(skipped, 0u);
    CheckCapturedSignal(0, FirstInSample(0));
    EXPECT_GE(m_Captured.size(), 250u * 96);
    EXPECT_EQ(render->Close(), STATUS_SUCCESS);
    EXPECT_EQ(capture->Close(), STATUS_SUCCESS);
}

// One stream per pin at a time: the filter's instance count refuses a second render pin, and
// the pin opens again once the first is closed.
TEST_F(WaveStreamE2e, ASecondPinWaitsForTheFirstToClose)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> first = OpenRender();
    ASSERT_TRUE(first);
    std::unique_ptr<sim::AudioPin> second;
    EXPECT_NE(sim::AudioPin::Open(Pdo(), Filter(false), 0, StereoFormat(), &second), STATUS_SUCCESS);
    EXPECT_EQ(first->Close(), STATUS_SUCCESS);
    first.reset();
    EXPECT_EQ(sim::AudioPin::Open(Pdo(), Filter(false), 0, StereoFormat(), &second), STATUS_SUCCESS);
}

// While the ASIO path leads the capture stream in another format, the pin's buffer gets silence
// of the same duration instead of bytes of a foreign format, and the device's signal comes back
// once the pin leads again.
TEST_F(WaveStreamE2e, CaptureUnderAnotherLeaderIsSilence)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin = OpenCapture();
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    const size_t ledByPin = m_Captured.size();
    rig::StreamTestClient& asio = Client(STREAM_CLIENT_PRIORITY_ASIO);
    asio.Format = rig::ClientFormat(1, 44100, 2, 16, 0);
    ASSERT_EQ(asio.Run(Stream(1)), STATUS_SUCCESS);
    RunFor(200 * rig::kMillisecond);
    ASSERT_EQ(asio.Stop(), STATUS_SUCCESS);
    ASSERT_EQ(asio.Close(), STATUS_SUCCESS);
    ASSERT_EQ(asio.Unregister(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);

    ASSERT_GE(ledByPin, 50u * 96);
    std::vector<UCHAR> first(m_Captured.begin(), m_Captured.begin() + long(ledByPin));
    // The longest run of silent samples after the pin's own lead: the ASIO client's time.
    size_t run = 0, longest = 0, nonSilentAfter = 0;
    for (size_t i = ledByPin; i + 2 <= m_Captured.size(); i += 2)
    {
        const bool silent = m_Captured[i] == 0 && m_Captured[i + 1] == 0;
        run = silent ? run + 2 : 0;
        longest = std::max(longest, run);
        if (!silent && longest >= 150 * 96)
            ++nonSilentAfter;
    }
    EXPECT_GE(longest, 150u * 96) << "the other client's bytes reached the pin";
    EXPECT_GE(nonSilentAfter, 50u * 48) << "the signal did not come back";
    m_Captured.swap(first);
    CheckCapturedSignal(0, FirstInSample(0));
}

// A pin opened with a plain WAVEFORMATEX runs on the offered format it matches.
TEST_F(WaveStreamE2e, APlainFormatPinCapturesTheSignal)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(sim::AudioPin::Open(Pdo(), Filter(true), 0,
                                  sim::WaveDataFormat(1, kRate, 16, 16, KSDATAFORMAT_SUBTYPE_PCM, false),
                                  &pin),
              STATUS_SUCCESS);
    pin->SetCaptureSink([this](const UCHAR* data, ULONG bytes)
                        { m_Captured.insert(m_Captured.end(), data, data + bytes); });
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(100 * rig::kMillisecond);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_GE(m_Captured.size(), 80u * 96);
    CheckCapturedSignal(0, FirstInSample(0));
}

// Stereo render in each of the headset's integer formats arrives bit for bit: every sample of
// the 16-bit and the packed 24-bit format is distinct, so order and content are both checked.
void WaveStreamE2e::RenderBitExact(WORD bytes)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(sim::AudioPin::Open(Pdo(), Filter(false), 0, StereoFormat(WORD(bytes * 8)), &pin),
              STATUS_SUCCESS);
    // Sample n (frame-major) with its top bit set: never silence, distinct within a run.
    auto sampleByte = [bytes](ULONGLONG n, ULONG b)
    {
        const ULONGLONG top = 1ull << (bytes * 8 - 1);
        return UCHAR(((n % top) | top) >> (8 * b));
    };
    ULONGLONG written = 0;
    pin->SetRenderSource(
        [&](UCHAR* data, ULONG count)
        {
            for (ULONG i = 0; i + bytes <= count; i += bytes, ++written)
                for (ULONG b = 0; b < bytes; ++b)
                    data[i + b] = sampleByte(written, b);
        });
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(200 * rig::kMillisecond);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Stats().Underruns, 0u);
    EXPECT_TRUE(Streams().SizeErrors().empty());
    const std::vector<uint8_t> out = Streams().OutStream(DataEndpoints(false).at(0));
    size_t first = 0;
    while (first < out.size() && out[first] == 0)
        ++first;
    first -= first % (2 * bytes);
    ULONGLONG n = 0;
    size_t wrong = 0;
    for (size_t i = first; i + bytes <= out.size(); i += bytes, ++n)
        for (ULONG b = 0; b < bytes; ++b)
            wrong += out[i + b] != sampleByte(n, b) ? 1 : 0;
    EXPECT_EQ(wrong, 0u) << "of " << n << " samples";
    EXPECT_GE(n, 2 * 150 * kRate / 1000);
    EXPECT_EQ(first, 15 * kRate / 1000 * 2 * bytes) << "the render lead: 15 ms of the buffer's end";
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
}

TEST_F(WaveStreamE2e, SixteenBitRenderArrivesBitExact)
{
    RenderBitExact(2);
}

TEST_F(WaveStreamE2e, PackedTwentyFourBitRenderArrivesBitExact)
{
    RenderBitExact(3);
}

// ---- What a client of the pin leans on ----

// A capture position always falls on a sample frame, however far the clock has moved since the
// last transfer came in: the engine reads up to it in whole frames.
TEST_F(WaveStreamE2e, CapturePositionsFallOnWholeFrames)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin = OpenCapture();
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(50 * rig::kMillisecond);
    std::set<ULONGLONG> offsets;
    for (int i = 0; i < 400; ++i)
    {
        RunFor(130); // 13 us: many instants between the transfers' completions
        KSAUDIO_POSITION position{};
        ASSERT_EQ(pin->GetPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position.PlayOffset % pin->BlockAlign(), 0u) << "at step " << i;
        offsets.insert(position.PlayOffset);
    }
    EXPECT_GT(offsets.size(), 20u) << "the position stood still";
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
}

// A new format of another sample size at the same rate and channels takes effect: its buffer,
// and the device's alternate setting of that size once the pin runs.
TEST_F(WaveStreamE2e, SetFormatToAnotherSampleSizeTakesEffect)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin = OpenRender();
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->SetFormat(StereoFormat(24)), STATUS_SUCCESS);
    plat::PcPinView view;
    ASSERT_EQ(pin->View(&view), STATUS_SUCCESS);
    EXPECT_EQ(view.BufferSize, kRate * 6 / 20) << "50 ms of the new format";
    std::vector<UCHAR> now;
    ASSERT_EQ(pin->GetFormat(&now), STATUS_SUCCESS);
    ASSERT_GE(now.size(), sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
    const auto* wave = reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(now.data());
    EXPECT_EQ(wave->WaveFormatExt.Format.wBitsPerSample, 24);
    pin->SetRenderSource([](UCHAR* data, ULONG bytes) { std::fill(data, data + bytes, UCHAR(0x5A)); });
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(50 * rig::kMillisecond);
    sim::StreamFormat device;
    EXPECT_NE(StreamingEndpoint(false, &device), 0);
    EXPECT_EQ(device.SubframeBytes, 3);
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_TRUE(Streams().SizeErrors().empty());
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
}

// An 8-bit pin's silence is the unsigned midpoint: while another client leads the capture stream
// in its own format, the pin's buffer holds 0x80, never the full negative 0x00.
TEST_F(WaveStreamE2e, EightBitCaptureUnderAnotherLeaderIsMidpointSilence)
{
    // The headset's microphone as 8-bit mono.
    ASSERT_EQ(
        PlugAndStart(EditedProfile("uac1-headset", {{"0E 24 02 01 01 02 10 02", "0E 24 02 01 01 01 08 02"}})),
        STATUS_SUCCESS)
        << plat::DebugLogText();
    std::unique_ptr<sim::AudioPin> pin;
    ASSERT_EQ(sim::AudioPin::Open(Pdo(), Filter(true), 0, sim::WaveDataFormat(1, kRate, 8, 8), &pin),
              STATUS_SUCCESS);
    pin->SetCaptureSink([this](const UCHAR* data, ULONG bytes)
                        { m_Captured.insert(m_Captured.end(), data, data + bytes); });
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(50 * rig::kMillisecond);
    rig::StreamTestClient& asio = Client(STREAM_CLIENT_PRIORITY_ASIO);
    asio.Format = rig::ClientFormat(1, 44100, 1, 8, 0);
    ASSERT_EQ(asio.Run(Stream(1)), STATUS_SUCCESS);
    RunFor(200 * rig::kMillisecond);
    asio.Leave();
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
    size_t run = 0, longest = 0;
    for (UCHAR b : m_Captured)
    {
        run = b == 0x80 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_GE(longest, 150u * 48) << "the other client's time is not midpoint silence";
}

// A client that starts a render stream has its first transfers filled and run through the float
// pipeline in its own thread: it gets its control word back as it was, without the exception
// flags the processing raised.
TEST_F(WaveStreamE2e, StartingAStreamGivesTheCallerItsControlWordBack)
{
    // The variant's effect nodes process every render pass in float, which leaves results
    // inexact.
    ASSERT_EQ(PlugAndStart("uac1-variant-d5"), STATUS_SUCCESS);
    rig::StreamTestClient& client = Client();
    client.Format = rig::ClientFormat(2, kRate, 2, 16, KSAUDIO_SPEAKER_STEREO);
    ASSERT_EQ(client.Register(Stream(0)), STATUS_SUCCESS);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    const unsigned callerWord = 0x1F80 | 0x2000; // every exception masked, rounding down, no flags
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(callerWord);
    const NTSTATUS status = client.Start();
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_GE(client.Count(StreamNotifyRenderData), 1) << "no transfer was filled in the caller's thread";
    EXPECT_EQ(after, callerWord) << std::hex << "flags raised: " << (after & 0x3F);
    ASSERT_TRUE(client.WaitDone(3));
}

// A pause in low memory: closing the pin's stream client needs no memory, so the pause is
// truthful and the next run streams again.
TEST_F(WaveStreamE2e, APauseInLowMemoryKeepsThePinsRegistrationForTheNextRun)
{
    ASSERT_EQ(PlugAndStart("uac1-headset"), STATUS_SUCCESS);
    std::unique_ptr<sim::AudioPin> pin = OpenRender();
    ASSERT_TRUE(pin);
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(50 * rig::kMillisecond);
    plat::FailNextAllocationOf(POINTER_LIST_POOL_TAG, sizeof(POINTER_LIST_NODE));
    EXPECT_EQ(pin->Pause(), STATUS_SUCCESS);
    plat::ClearPoolFailures();
    const ULONGLONG paused = OutBytes();
    ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
    RunFor(300 * rig::kMillisecond);
    EXPECT_GE(OutBytes(), paused + 250 * kBytesPerMs) << "audio stopped after the pause";
    ASSERT_EQ(pin->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
}

} // namespace
