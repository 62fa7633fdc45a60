// CPU cost of the stream engine's sample pipeline on one 5 ms render transfer: the client's
// interleaved samples to per-channel float, a per-channel gain node, and back, under the stream
// lock and the pipeline's float modes; then the whole render path of a full-speed transfer (the
// client's copy into the transfer buffer, the pipeline, the URB's packet table); beside memcpy
// of the same bytes; and the render path of a high-speed class-2 transfer with feedback, whose
// packets are sized from the feedback values that travelled with it. The "xRealtime" counter is
// seconds of audio handled per second of CPU on one core.
#include <benchmark/benchmark.h>

#include "driver/primitives/dispatch/sp_cpu_level.h"
#include "driver/topology/nodes/node_processing.h"
#include "driver/wave/stream_engine.h"
#include "driver/wave/uac2_feedback.h"

#include "usbdlib.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr ULONG kRate = 48000;
constexpr ULONG kFramesPerTransfer = kRate / 200; // 5 ms
constexpr ULONG kPacketsPerTransfer = 5;          // one per 1 ms frame at full speed
constexpr ULONG kBenchTag = MAKE_POOL_TAG('B', 'n', 'c', 'h');

// The gain slot that the DSP volume node runs, -3 dB on every channel.
class CGainNode : public IDspNode, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CGainNode(PUNKNOWN outer) : CUnknown(outer)
    {
        for (float volatile& gain : m_Gains)
            gain = 0.7071f;
    }
    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE format, PVOID data, ULONG frames) override
    {
        return ChannelGainProcess(format, data, frames, m_Gains, STREAM_CHANNEL_BUFFER_COUNT);
    }

private:
    float volatile m_Gains[STREAM_CHANNEL_BUFFER_COUNT];
};

STDMETHODIMP_(NTSTATUS) CGainNode::NonDelegatingQueryInterface(REFIID, PVOID*)
{
    return STATUS_INVALID_PARAMETER;
}

class CBenchEngine : public CStreamEngine
{
public:
    CBenchEngine(PUNKNOWN outer, USHORT bits, USHORT channels, ULONG rate = kRate) : CStreamEngine(outer, 1)
    {
        m_CurrentWaveFormat.Format.wFormatTag = WAVE_FORMAT_PCM;
        m_CurrentWaveFormat.Format.nChannels = channels;
        m_CurrentWaveFormat.Format.wBitsPerSample = bits;
        m_CurrentWaveFormat.Format.nBlockAlign = USHORT(channels * bits / 8);
        m_CurrentWaveFormat.Format.nSamplesPerSec = rate;
    }
};

void SetRealtimeCounter(benchmark::State& state)
{
    const double seconds = double(kFramesPerTransfer) / kRate;
    state.counters["xRealtime"] =
        benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0) / 8 * state.range(1) *
                            kFramesPerTransfer);
}

void BM_PipelinePass(benchmark::State& state)
{
    const USHORT bits = USHORT(state.range(0)), channels = USHORT(state.range(1));
    auto* engine = new (NonPagedPool, kBenchTag) CBenchEngine(nullptr, bits, channels);
    engine->NonDelegatingAddRef();
    auto* node = new (NonPagedPool, kBenchTag) CGainNode(nullptr);
    node->NonDelegatingAddRef();
    if (!NT_SUCCESS(engine->Init(STREAM_DIRECTION_RENDER)) || !NT_SUCCESS(engine->AllocateBuffers()) ||
        !NT_SUCCESS(engine->AddProcessingNode(node)))
    {
        state.SkipWithError("stream engine set-up failed");
    }
    std::vector<UCHAR> transfer(SIZE_T(kFramesPerTransfer) * channels * bits / 8);
    for (auto _ : state)
    {
        // A gain below one would wear the samples down to zero over the iterations; the buffer
        // is refreshed as a client would fill the next transfer.
        std::memset(transfer.data(), 0x35, transfer.size());
        NTSTATUS status = engine->ProcessBuffer(transfer.data(), ULONG(transfer.size()));
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
    }
    SetRealtimeCounter(state);
    engine->Release();
    node->Release();
}
BENCHMARK(BM_PipelinePass)->Args({24, 2})->Args({32, 8});

// Client buffer -> pipeline -> URB packets, as the render stream's submission runs it: the
// client copies its next 5 ms from its cyclic buffer into the transfer, the pipeline runs on it
// in place, and the packet table is laid out with the running remainder of the packet sizing
// (48 kHz divides evenly, so every packet carries 48 frames). The bus itself is not timed.
// Argument 2 is 0 for the primitives' level 0, as the driver runs them (it never selects a
// level), and 1 for the level a host selects for this processor.
void BM_RenderPath(benchmark::State& state)
{
    const USHORT bits = USHORT(state.range(0)), channels = USHORT(state.range(1));
    const int32_t savedLevel = SpForceCpuLevelForTest(0);
    if (state.range(2))
        SpInitCpuLevel();
    state.SetLabel("level " + std::to_string(SpForceCpuLevelForTest(SpCpuLevel)));
    auto* engine = new (NonPagedPool, kBenchTag) CBenchEngine(nullptr, bits, channels);
    engine->NonDelegatingAddRef();
    auto* node = new (NonPagedPool, kBenchTag) CGainNode(nullptr);
    node->NonDelegatingAddRef();
    if (!NT_SUCCESS(engine->Init(STREAM_DIRECTION_RENDER)) || !NT_SUCCESS(engine->AllocateBuffers()) ||
        !NT_SUCCESS(engine->AddProcessingNode(node)))
    {
        state.SkipWithError("stream engine set-up failed");
    }
    const ULONG blockAlign = ULONG(channels) * bits / 8;
    std::vector<UCHAR> cyclic(SIZE_T(kFramesPerTransfer) * blockAlign * 8, 0x35);
    std::vector<UCHAR> transfer(SIZE_T(kFramesPerTransfer) * blockAlign);
    std::vector<UCHAR> urbBytes(GET_ISO_URB_SIZE(kPacketsPerTransfer));
    auto& iso = reinterpret_cast<PURB>(urbBytes.data())->UrbIsochronousTransfer;
    SIZE_T at = 0;
    LONG remainder = 0;
    for (auto _ : state)
    {
        std::memcpy(transfer.data(), cyclic.data() + at, transfer.size());
        at = (at + transfer.size()) % cyclic.size();
        const LONG perSecond = 1000, step = LONG(kRate) - LONG(kRate / 1000) * perSecond;
        ULONG offset = 0;
        for (ULONG i = 0; i < kPacketsPerTransfer; ++i)
        {
            remainder += step;
            const LONG carry = remainder / perSecond;
            remainder -= carry * perSecond;
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = (kRate / 1000 + ULONG(carry)) * blockAlign;
            offset += iso.IsoPacket[i].Length;
        }
        iso.TransferBufferLength = offset;
        iso.NumberOfPackets = kPacketsPerTransfer;
        NTSTATUS status = engine->ProcessBuffer(transfer.data(), offset);
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
    }
    SetRealtimeCounter(state);
    SpForceCpuLevelForTest(savedLevel);
    engine->Release();
    node->Release();
}
BENCHMARK(BM_RenderPath)->Args({24, 2, 0})->Args({24, 2, 1})->Args({32, 8, 0})->Args({32, 8, 1});

// Client buffer -> pipeline -> URB packets of a class-2 render transfer at high speed: 10 ms in
// 80 microframe packets, sized from the ten feedback values (16.16) that the transfer's feedback
// read brought, the device running 500 ppm fast, so that one packet in about 333 carries a frame
// more. Stereo 24-bit packed; argument 0 is the rate, 1 the primitives' level as BM_RenderPath.
void BM_Uac2RenderPath(benchmark::State& state)
{
    const ULONG rate = ULONG(state.range(0));
    const USHORT bits = 24, channels = 2;
    const ULONG packets = 80, perSecond = 8000;
    const int32_t savedLevel = SpForceCpuLevelForTest(0);
    if (state.range(1))
        SpInitCpuLevel();
    state.SetLabel("level " + std::to_string(SpForceCpuLevelForTest(SpCpuLevel)));
    auto* engine = new (NonPagedPool, kBenchTag) CBenchEngine(nullptr, bits, channels, rate);
    engine->NonDelegatingAddRef();
    auto* node = new (NonPagedPool, kBenchTag) CGainNode(nullptr);
    node->NonDelegatingAddRef();
    if (!NT_SUCCESS(engine->Init(STREAM_DIRECTION_RENDER)) || !NT_SUCCESS(engine->AllocateBuffers()) ||
        !NT_SUCCESS(engine->AddProcessingNode(node)))
    {
        state.SkipWithError("stream engine set-up failed");
    }
    const ULONG blockAlign = ULONG(channels) * bits / 8;
    const ULONG maxFrames = rate / perSecond + 1;
    const ULONG transferFrames = rate / 100;
    std::vector<UCHAR> cyclic(SIZE_T(transferFrames) * blockAlign * 8, 0x35);
    std::vector<UCHAR> transfer(SIZE_T(maxFrames) * packets * blockAlign);
    std::vector<UCHAR> urbBytes(GET_ISO_URB_SIZE(packets));
    auto& iso = reinterpret_cast<PURB>(urbBytes.data())->UrbIsochronousTransfer;
    // The device's 16.16 value per microframe, rounded as a device computes it.
    const ULONG value = ULONG(rate * 1.0005 / perSecond * 65536.0 + 0.5);
    std::vector<UCHAR> feedback;
    for (ULONG i = 0; i < 10; ++i)
        for (ULONG b = 0; b < 4; ++b)
            feedback.push_back(UCHAR(value >> (8 * b)));
    SIZE_T at = 0;
    LONGLONG remainder = 0;
    ULONGLONG sizingRate = Uac2RateFromHz(rate);
    for (auto _ : state)
    {
        Uac2FeedbackSizingRate(feedback.data(), 10, UAC2_FEEDBACK_BYTES_HIGH_SPEED, perSecond, rate,
                               &sizingRate);
        const ULONG length = Uac2SizeRenderPackets(&iso, packets, sizingRate, rate / perSecond, perSecond,
                                                   maxFrames, blockAlign, &remainder);
        iso.TransferBufferLength = length;
        iso.NumberOfPackets = packets;
        if (at + length > cyclic.size())
            at = 0;
        std::memcpy(transfer.data(), cyclic.data() + at, length);
        at += length;
        NTSTATUS status = engine->ProcessBuffer(transfer.data(), length);
        benchmark::DoNotOptimize(status);
        benchmark::ClobberMemory();
    }
    state.counters["xRealtime"] =
        benchmark::Counter(0.01 * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["sizingHz"] = double(sizingRate) / double(Uac2RateFromHz(1));
    SpForceCpuLevelForTest(savedLevel);
    engine->Release();
    node->Release();
}
BENCHMARK(BM_Uac2RenderPath)->Args({48000, 0})->Args({48000, 1})->Args({192000, 0})->Args({192000, 1});

// The same bytes, refreshed and copied once: the floor any pipeline pass stands on.
void BM_MemcpyOfTheTransfer(benchmark::State& state)
{
    const SIZE_T bytes = SIZE_T(kFramesPerTransfer) * state.range(1) * state.range(0) / 8;
    std::vector<UCHAR> source(bytes, 0x35), transfer(bytes);
    for (auto _ : state)
    {
        std::memset(source.data(), 0x35, bytes);
        std::memcpy(transfer.data(), source.data(), bytes);
        benchmark::ClobberMemory();
    }
    SetRealtimeCounter(state);
}
BENCHMARK(BM_MemcpyOfTheTransfer)->Args({24, 2})->Args({32, 8});

} // namespace

BENCHMARK_MAIN();
