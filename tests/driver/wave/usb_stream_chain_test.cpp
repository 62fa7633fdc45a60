// The class-1 transfer chain on the simulated device: a client registers with a render or
// capture stream, opens and starts it, and the device's own record of the isochronous traffic
// is the oracle for packet sizes, chain depth and the samples that crossed the bus.
#include "support/usb_stream_rig.h"

#include "driver/topology/nodes/node_processing.h"

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
        m_Client = {};
        const WAVEFORMATEXTENSIBLE format = gd::Pcm(2, c.Rate, c.Bytes, WORD(c.Bytes * 8), 3);
        Start<CUac1RenderStream>(c.Speed, 1, c.Alt, format, c.Ms, c.InFlight);
        // The setting and its sampling frequency as the device took them; a second open is refused.
        sim::StreamFormat selected;
        ASSERT_TRUE(m_device->Streams().CurrentFormat(0x01, &selected));
        EXPECT_EQ(selected.AlternateSetting, c.Alt);
        EXPECT_EQ(selected.RateHz, c.Rate);
        ULONG frame = 0;
        EXPECT_EQ(m_Stream->OpenStream(m_Record, &frame), STATUS_INSUFFICIENT_RESOURCES);
        RunAndClose(60);
        EXPECT_EQ(m_device->Model().AlternateSetting(1), 0);
        const std::vector<sim::StreamPacketRecord> packets = Packets(false);
        // A completion that races the client's stop may send one more chain's worth of transfers,
        // which the stopped client no longer fills: they go out silent.
        const size_t perTransfer = size_t(c.Ms) * c.PerFrame;
        ASSERT_GE(packets.size(), size_t(m_Client.Submitted) * perTransfer);
        ASSERT_LE(packets.size(), size_t(m_Client.Submitted + LONG(c.InFlight)) * perTransfer);
        for (size_t i = 0; i < packets.size(); ++i)
        {
            ASSERT_EQ(packets[i].Bytes,
                      PacketFrames(c.Rate, c.PerFrame, ULONG(i)) * format.Format.nBlockAlign)
                << "packet " << i;
            // Back to back: the chain never ran dry.
            ASSERT_EQ(packets[i].Frame * 8 + packets[i].Microframe,
                      packets[0].Frame * 8 + packets[0].Microframe + i * (8 / c.PerFrame));
        }
        EXPECT_EQ(m_device->Streams().SizeErrors(), std::vector<std::string>{});
        EXPECT_EQ(m_Client.MaxDepth, LONG(c.InFlight));
        EXPECT_TRUE(m_Client.DepthHeld);
        const std::vector<uint8_t> out = m_device->Streams().OutStream(0x01);
        ASSERT_GE(out.size(), m_Client.Written.size());
        EXPECT_TRUE(std::equal(m_Client.Written.begin(), m_Client.Written.end(), out.begin()));
        EXPECT_TRUE(
            std::all_of(out.begin() + m_Client.Written.size(), out.end(), [](uint8_t b) { return b == 0; }));
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
            m_Client = {};
            m_Edits = c.Edits;
            auto node = gd::Make<CLevelNode>();
            node->Muted = muted;
            m_Node = node;
            const WAVEFORMATEXTENSIBLE format =
                gd::Pcm(2, 48000, c.Bytes, WORD(c.Bytes * 8), 3,
                        c.Float ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM);
            Start<CUac1RenderStream>("full", 1, c.Alt, format, 5, 3);
            RunAndClose(20);
            EXPECT_EQ(m_device->Streams().SizeErrors(), std::vector<std::string>{});
            std::vector<UCHAR> expected = m_Client.Written;
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
            EXPECT_TRUE(m_device->Streams().OutStream(0x01) == expected);
            node->Release();
            m_Node = nullptr;
            TearDown();
            SetUp();
        }
}

TEST_F(UsbStreamChain, CaptureDeliversTheDeviceSignalWithSilenceForEmptyPackets)
{
    for (uint32_t emptyEvery : {0u, 7u})
    {
        SCOPED_TRACE(emptyEvery);
        m_Client = {};
        const WAVEFORMATEXTENSIBLE format = gd::Pcm(1, 44100, 2, 16, 4);
        sim::StreamFaults faults;
        faults.EmptyInEvery = emptyEvery;
        Start<CUac1CaptureStream>("full", 2, 1, format, 2, 3);
        EXPECT_EQ(m_Record->TransfersInFlight, 5u); // at least 10 ms in flight
        m_device->Streams().SetFaults(faults);
        RunAndClose(40);
        sim::StreamFormat device;
        device.Channels = 1;
        device.SubframeBytes = 2;
        device.BitResolution = 16;
        std::vector<UCHAR> expected;
        for (const sim::StreamPacketRecord& r : Packets(true))
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
        ASSERT_GE(m_Client.Received.size(), 40u * 2 * 88);
        ASSERT_LE(m_Client.Received.size(), expected.size());
        expected.resize(m_Client.Received.size());
        EXPECT_EQ(m_Client.Received, expected);
        TearDown();
        SetUp();
    }
}

// A failed transfer holds the chain until every transfer is back; the worker then resets the
// port, pauses 100 ms, tells the client to restart and streams again, once for a whole burst of
// failures. A vanished device ends the worker instead, and the stream still stops and closes.
TEST_F(UsbStreamChain, TheWorkerRecoversFromAFailedTransferAndEndsWithTheDevice)
{
    for (uint32_t burst : {1u, 3u, 0u}) // 0: the device vanishes
    {
        const bool vanish = burst == 0;
        SCOPED_TRACE(burst);
        m_Client = {};
        const WAVEFORMATEXTENSIBLE format = gd::Pcm(2, 48000, 2, 16, 3);
        Start<CUac1RenderStream>("full", 1, 1, format, 5, 3);
        m_Client.Target = 4;
        KeWaitForSingleObject(&m_Client.Reached, Executive, KernelMode, FALSE, nullptr);
        sim::StreamFaults fail;
        fail.FailTransferNumber = 1;
        fail.FailTransferCount = burst;
        sim::DeviceFaults gone;
        gone.Vanished = true;
        const SIZE_T threads = plat::LiveSystemThreadCount();
        vanish ? m_device->SetFaults(gone) : m_device->Streams().SetFaults(fail);
        LARGE_INTEGER wait;
        wait.QuadPart = -300 * 10000; // 300 ms
        KeDelayExecutionThread(KernelMode, FALSE, &wait);
        EXPECT_EQ(m_Usb.Resets, 1);
        EXPECT_EQ(m_Usb.Cycles, 0);
        EXPECT_EQ(m_Client.Restarts, vanish ? 1 : 2);
        if (vanish)
        {
            plat::Settle();
            EXPECT_EQ(plat::LiveSystemThreadCount(), threads - 1); // the worker has ended
            const LONG submitted = m_Client.Submitted;
            KeDelayExecutionThread(KernelMode, FALSE, &wait);
            EXPECT_EQ(m_Client.Submitted, submitted);
            EXPECT_EQ(m_Client.Done, submitted);
        }
        RunAndClose(vanish ? 0 : m_Client.Done + 20);
        if (!vanish)
        {
            std::vector<ULONG> gaps;
            const std::vector<sim::StreamPacketRecord> packets = Packets(false);
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
    m_Client.Keep = false;
    auto stream = Start<CKickedRenderStream>("full", 1, 1, gd::Pcm(2, 48000, 2, 16, 3), 5, 3);
    LARGE_INTEGER ms;
    ms.QuadPart = -10000;
    stream->Skip = 2; // two completions in a row leave their transfer free
    while (stream->Skip > 0)
        KeDelayExecutionThread(KernelMode, FALSE, &ms);
    EXPECT_EQ(m_Client.Submitted - m_Client.Done, 1);
    const LONG done = m_Client.Done;
    stream->Kick();
    KeDelayExecutionThread(KernelMode, FALSE, &ms);
    EXPECT_EQ(m_Client.Done, done); // less than one transfer's time later
    EXPECT_EQ(m_Client.Submitted - m_Client.Done, 3);
    m_Client.DepthHeld = true;
    for (int second = 0; second < 600; ++second)
    {
        m_device->Streams().ClearRecords();
        for (int kick = 0; kick < 20; ++kick, stream->Kick())
            KeDelayExecutionThread(KernelMode, FALSE, &(ms.QuadPart = -50 * 10000, ms));
        const std::vector<sim::StreamPacketRecord> packets = Packets(false);
        for (size_t i = 1; i < packets.size(); ++i)
            ASSERT_EQ(packets[i].Frame, packets[i - 1].Frame + 1) << "second " << second;
    }
    EXPECT_EQ(m_Client.MaxDepth, 3);
    EXPECT_TRUE(m_Client.DepthHeld);
    EXPECT_GE(m_Client.Done, 600 * 200 - 10);
    RunAndClose(0);
}

} // namespace
