// The class-1 transfer chain on the real objects: the driver loaded on the simulated headset,
// a client registers with its render or capture stream, opens and starts it, and the device's
// own record of the isochronous traffic is the oracle for packet sizes, chain depth and the
// samples that crossed the bus.
#include "support/graph_test_doubles.h"
#include "support/stream_rig.h"

#include "driver/topology/nodes/node_processing.h"
#include "driver/wave/uac1_render_stream.h"
#include "usbioctl.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>

namespace
{

// The driver's own gain and mute slots, as a DSP volume node runs them, with settings the test
// chooses: the left channel halved, the right doubled (and saturated).
class CLevelNode : public IDspNode, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CLevelNode(PUNKNOWN Outer) : CUnknown(Outer) {}
    float volatile Gains[2] = {0.5f, 2.0f};
    BOOLEAN Muted = FALSE;
    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE Format, PVOID Data, ULONG Frames) override
    {
        ChannelGainProcess(Format, Data, Frames, Gains, 2);
        return SoftwareMuteProcess(Format, Data, Frames, Muted);
    }
};

STDMETHODIMP_(NTSTATUS) CLevelNode::NonDelegatingQueryInterface(REFIID, PVOID*)
{
    return STATUS_INVALID_PARAMETER;
}

// A render stream whose worker the test wakes for a submission, and whose next completions can
// be kept from resubmitting so that transfers fall free.
class CKickedRenderStream : public CUac1RenderStream
{
public:
    using CUac1RenderStream::CUac1RenderStream;
    std::atomic<int> Skip{0};
    void Kick()
    {
        InterlockedExchange(&m_PendingFlag, 1);
        KeSetEvent(&m_WorkEvent, IO_NO_INCREMENT, FALSE);
    }
    STDMETHODIMP_(NTSTATUS) SubmitNextTransfer() override
    {
        return Skip > 0 && Skip-- > 0 ? STATUS_BUFFER_TOO_SMALL : CUac1RenderStream::SubmitNextTransfer();
    }
};

// The headset at a speed, edited as a case asks, with the driver started on it; stream 0
// renders on interface 1 (endpoint 0x01), stream 1 captures on interface 2 (endpoint 0x82).
class UsbStreamChain : public rig::StreamRig
{
protected:
    void PlugHeadset(const std::string& speed = "full",
                     std::vector<std::pair<std::string, std::string>> edits = {})
    {
        PlugBuiltin("uac1-headset", speed, edits);
    }
    size_t Resets() { return PortRequestCount(IOCTL_INTERNAL_USB_RESET_PORT); }
    size_t Cycles() { return PortRequestCount(IOCTL_INTERNAL_USB_CYCLE_PORT); }
    size_t PortStatusReads() { return PortRequestCount(IOCTL_INTERNAL_USB_GET_PORT_STATUS); }
};

// Frames of packet i for a host that carries each packet's fraction on: an oracle computed
// from the whole count rather than a running remainder.
ULONG PacketFrames(ULONG Rate, ULONG PerFrame, ULONG Index)
{
    const unsigned long long perSecond = PerFrame * 1000ull;
    return ULONG(Rate * (Index + 1ull) / perSecond - Rate * 1ull * Index / perSecond);
}

TEST_F(UsbStreamChain, RenderPacketsDepthAndSamplesAsTheDeviceRecordsThem)
{
    struct Case
    {
        const char* Speed;
        UCHAR Alt;
        WORD Bytes;
        ULONG Rate, Ms, InFlight, PerFrame;
    } cases[] = {
        {"full", 1, 2, 44100, 10, 3, 1}, // ten-packet transfers of 441 frames: 176 x 9 and 180
        {"full", 1, 2, 48000, 5, 3, 1},  // the wave client's 5 ms x 3
        {"full", 2, 3, 44100, 5, 3, 1},  // 24-bit
        {"high", 1, 2, 48000, 10, 3, 8}, // 80 packets of 6 frames
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.Speed) + " " + std::to_string(c.Rate) + " " + std::to_string(c.Bytes * 8));
        PlugHeadset(c.Speed);
        const WAVEFORMATEXTENSIBLE format = rig::ClientFormat(2, c.Rate, c.Bytes, WORD(c.Bytes * 8), 3);
        ICyclicControl* stream = Stream(0);
        rig::StreamTestClient& client = RunClient(stream, format, c.Ms, c.InFlight);
        // The setting and its sampling frequency as the device took them; a second open is refused.
        sim::StreamFormat selected;
        ASSERT_TRUE(Streams().CurrentFormat(0x01, &selected));
        EXPECT_EQ(selected.AlternateSetting, c.Alt);
        EXPECT_EQ(selected.RateHz, c.Rate);
        ULONG frame = 0;
        EXPECT_EQ(stream->OpenStream(client.Record(), &frame), STATUS_INSUFFICIENT_RESOURCES);
        ASSERT_TRUE(client.WaitDone(60));
        client.Leave();
        EXPECT_EQ(Model().AlternateSetting(1), 0);
        const std::vector<sim::StreamPacketRecord> packets = DataPackets(false);
        // A completion that races the client's stop may send one more chain's worth of transfers,
        // which the stopped client no longer fills: they go out silent.
        const size_t perTransfer = size_t(c.Ms) * c.PerFrame;
        const LONG filled = client.Count(StreamNotifyRenderData);
        ASSERT_GE(packets.size(), size_t(filled) * perTransfer);
        ASSERT_LE(packets.size(), size_t(filled + LONG(c.InFlight)) * perTransfer);
        for (size_t i = 0; i < packets.size(); ++i)
        {
            ASSERT_EQ(packets[i].Bytes,
                      PacketFrames(c.Rate, c.PerFrame, ULONG(i)) * format.Format.nBlockAlign)
                << "packet " << i;
            // Back to back: the chain never ran dry.
            ASSERT_EQ(packets[i].Frame * 8 + packets[i].Microframe,
                      packets[0].Frame * 8 + packets[0].Microframe + i * (8 / c.PerFrame));
        }
        EXPECT_EQ(Streams().SizeErrors(), std::vector<std::string>{});
        EXPECT_EQ(client.MaxDepth(), LONG(c.InFlight));
        const std::vector<UCHAR> written = client.Written();
        const std::vector<uint8_t> out = Streams().OutStream(0x01);
        ASSERT_GE(out.size(), written.size());
        EXPECT_TRUE(std::equal(written.begin(), written.end(), out.begin()));
        EXPECT_TRUE(std::all_of(out.begin() + written.size(), out.end(), [](uint8_t b) { return b == 0; }));
        TearDown();
        SetUp();
    }
}

// A sample of `Bits` through the pipeline and a gain: to float (32-bit through the float's
// 24-bit mantissa), times the gain in float, back truncated (16, 32) or to nearest (24), saturated.
int64_t AfterGain(int64_t Sample, int Bits, float Gain)
{
    const double full = std::ldexp(1.0, Bits - 1);
    double value = double(float(double(float(Sample)) / full) * Gain) * full;
    value = Bits == 24 ? std::nearbyint(value) : std::trunc(value);
    return int64_t(std::fmax(-full, std::fmin(full - 1, value)));
}

// The client's samples as the device receives them through a node: integer formats with each
// channel's gain as the pipeline computes it, float untouched (the gain slot is PCM only), and
// silence when muted. Alternate setting 2 carries 32-bit integer or float once its descriptors
// say so.
TEST_F(UsbStreamChain, RenderThroughGainAndMuteNodesArrivesAsThePipelineComputesIt)
{
    const std::string alt2 = "0E 24 02 01 02 03 18", ep2 = "09 05 01 09 26 01";
    const std::string general2 = "07 24 01 01 01 01 00  # AS general: terminal 1, delay 1, PCM\n    " + alt2;
    struct Case
    {
        UCHAR Alt;
        WORD Bytes;
        bool Float;
        std::vector<std::pair<std::string, std::string>> Edits;
    } cases[] = {
        {1, 2, false, {}},
        {2, 3, false, {}},
        {2, 4, false, {{alt2, "0E 24 02 01 02 04 20"}, {ep2, "09 05 01 09 88 01"}}},
        {2, 4, true, {{general2, "07 24 01 01 01 03 00\n 0E 24 02 01 02 04 20"}, {ep2, "09 05 01 09 88 01"}}},
    };
    for (const Case& c : cases)
        for (BOOLEAN muted : {FALSE, TRUE})
        {
            SCOPED_TRACE(std::to_string(c.Bytes * 8) + (c.Float ? " float" : " int") +
                         (muted ? " muted" : ""));
            PlugHeadset("full", c.Edits);
            auto node = gd::Make<CLevelNode>();
            node->Muted = muted;
            const WAVEFORMATEXTENSIBLE format =
                gd::Pcm(2, 48000, c.Bytes, WORD(c.Bytes * 8), 3,
                        c.Float ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM);
            // The test's stream carries the node; the USB device object is the driver's own.
            auto stream = MadeStream<CUac1RenderStream>(1, {{c.Alt, format}}, node);
            rig::StreamTestClient& client = RunClient(stream, format, 5, 3);
            ASSERT_TRUE(client.WaitDone(20));
            client.Leave();
            EXPECT_EQ(Streams().SizeErrors(), std::vector<std::string>{});
            std::vector<UCHAR> expected = client.Written();
            const int bits = c.Bytes * 8;
            for (size_t at = 0; !c.Float && at < expected.size(); at += c.Bytes)
            {
                uint64_t raw = 0;
                for (int b = 0; b < c.Bytes; ++b)
                    raw |= uint64_t(expected[at + b]) << (8 * b);
                const int64_t sample = int64_t(raw << (64 - bits)) >> (64 - bits);
                const uint64_t out = uint64_t(AfterGain(sample, bits, node->Gains[at / c.Bytes % 2]));
                for (int b = 0; b < c.Bytes; ++b)
                    expected[at + b] = UCHAR(out >> (8 * b));
            }
            if (muted)
                std::fill(expected.begin(), expected.end(), 0);
            EXPECT_GE(expected.size(), 20u * 240 * 2 * c.Bytes);
            EXPECT_TRUE(Streams().OutStream(0x01) == expected);
            LeaveAll();
            node->Release();
            TearDown();
            SetUp();
        }
}

TEST_F(UsbStreamChain, CaptureDeliversTheDeviceSignalWithSilenceForEmptyPackets)
{
    for (uint32_t emptyEvery : {0u, 7u})
    {
        SCOPED_TRACE(emptyEvery);
        PlugHeadset();
        const WAVEFORMATEXTENSIBLE format = rig::ClientFormat(1, 44100, 2, 16, 4);
        sim::StreamFaults faults;
        faults.EmptyInEvery = emptyEvery;
        rig::StreamTestClient& client = RunClient(Stream(1), format, 2, 3);
        EXPECT_EQ(client.Record()->TransfersInFlight, 5u); // at least 10 ms in flight
        SetStreamFaults(faults);
        ASSERT_TRUE(client.WaitDone(40));
        client.Leave();
        sim::StreamFormat device;
        device.Channels = 1;
        device.SubframeBytes = 2;
        device.BitResolution = 16;
        std::vector<UCHAR> expected;
        for (const sim::StreamPacketRecord& r : DataPackets(true))
        {
            const uint32_t frames = r.Bytes ? r.Bytes / 2 : 45; // silence: 44.1 frames rounded up
            for (uint32_t f = 0; f < frames; ++f)
            {
                UCHAR sample[2] = {0, 0};
                if (r.Bytes)
                    sim::StreamSignalFrame(device, r.FirstSample + f, sample);
                expected.insert(expected.end(), sample, sample + 2);
            }
        }
        // Transfers that came back after the client stopped reach nobody.
        const std::vector<UCHAR> received = client.Received();
        ASSERT_GE(received.size(), 40u * 2 * 88);
        ASSERT_LE(received.size(), expected.size());
        expected.resize(received.size());
        EXPECT_EQ(received, expected);
        TearDown();
        SetUp();
    }
}

// A failed transfer holds the chain until every transfer is back; the worker then recovers the
// port, pauses 100 ms, tells the client to restart and streams again, once for a whole burst of
// failures. A vanished device ends the worker instead, and the stream still stops and closes.
TEST_F(UsbStreamChain, TheWorkerRecoversFromAFailedTransferAndEndsWithTheDevice)
{
    for (uint32_t burst : {1u, 3u, 0u}) // 0: the device vanishes
    {
        const bool vanish = burst == 0;
        SCOPED_TRACE(burst);
        PlugHeadset();
        rig::StreamTestClient& client = RunClient(Stream(0), rig::ClientFormat(2, 48000, 2, 16, 3), 5, 3);
        ASSERT_TRUE(client.WaitDone(4));
        sim::StreamFaults fail;
        fail.FailTransferNumber = 1;
        fail.FailTransferCount = burst;
        sim::DeviceFaults gone;
        gone.Vanished = true;
        const size_t asked = PortStatusReads();
        vanish ? SetDeviceFaults(gone) : SetStreamFaults(fail);
        RunForMs(300);
        // The worker asks the port once; a port that answers needs neither a reset nor a cycle.
        EXPECT_EQ(PortStatusReads() - asked, 1u);
        EXPECT_EQ(Resets(), 0u);
        EXPECT_EQ(Cycles(), 0u);
        EXPECT_EQ(client.Restarts(), vanish ? 1 : 2);
        if (vanish)
        {
            const LONG submitted = client.Count(StreamNotifyRenderData);
            RunForMs(300);
            EXPECT_EQ(client.Count(StreamNotifyRenderData), submitted);
            EXPECT_EQ(client.Done(), submitted);
        }
        else
            ASSERT_TRUE(client.WaitDone(client.Done() + 20));
        client.Leave();
        if (!vanish)
        {
            std::vector<ULONG> gaps;
            const std::vector<sim::StreamPacketRecord> packets = DataPackets(false);
            for (size_t i = 1; i < packets.size(); ++i)
                if (packets[i].Frame != packets[i - 1].Frame + 1)
                    gaps.push_back(packets[i].Frame - packets[i - 1].Frame);
            ASSERT_EQ(gaps.size(), 1u);
            EXPECT_GE(gaps[0], 100u);
            EXPECT_LE(gaps[0], 120u);
        }
        TearDown();
        SetUp();
    }
}

// Pending flag 1 makes the worker submit until no transfer is free; then the worker, woken
// every 50 ms, races the bus thread's completions for 10 virtual minutes and the chain keeps
// its depth: never more than three in flight, never dry, and nothing left at close.
TEST_F(UsbStreamChain, TheWorkerRefillsTheChainAndRacesCompletionsWithoutChangingItsDepth)
{
    PlugHeadset();
    const WAVEFORMATEXTENSIBLE format = rig::ClientFormat(2, 48000, 2, 16, 3);
    auto stream = MadeStream<CKickedRenderStream>(1, {{1, format}});
    rig::StreamTestClient& client = Client();
    client.Keep = false;
    client.Format = format;
    client.FramesPerTransfer = 5;
    ASSERT_EQ(client.Run(stream), STATUS_SUCCESS);
    stream->Skip = 2; // two completions in a row leave their transfer free
    while (stream->Skip > 0)
        RunForMs(1);
    auto inFlight = [&] { return client.Count(StreamNotifyRenderData) - client.Done(); };
    EXPECT_EQ(inFlight(), 1);
    const LONG done = client.Done();
    stream->Kick();
    RunForMs(1);
    EXPECT_EQ(client.Done(), done); // less than one transfer's time later
    EXPECT_EQ(inFlight(), 3);
    for (int second = 0; second < 600; ++second)
    {
        Streams().ClearRecords();
        for (int kick = 0; kick < 20; ++kick, stream->Kick())
            RunForMs(50);
        const std::vector<sim::StreamPacketRecord> packets = DataPackets(false);
        for (size_t i = 1; i < packets.size(); ++i)
            ASSERT_EQ(packets[i].Frame, packets[i - 1].Frame + 1) << "second " << second;
        ASSERT_LE(inFlight(), 3);
    }
    EXPECT_EQ(client.MaxDepth(), 3);
    EXPECT_GE(client.Done(), 600 * 200 - 10);
}

} // namespace
