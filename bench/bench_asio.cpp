// The ASIO path on the whole driver over the simulated headset that serves ASIO, 48 kHz 16-bit.
// RoundTrip/<index>: at each latency index the companion uses the preferred buffer length; a
// marker written into the render ring right at the driver's read position is timed (platform
// virtual time) until the device records it in an OUT packet. "latency_ms" is that delay, the
// shortest a companion can get at that index. Streaming: seconds of audio through both rings
// (a tone rendered, the microphone captured) per second of CPU on this process ("xRealtime"),
// and the CPU milliseconds per second of audio ("cpu_ms_per_s").
#include <benchmark/benchmark.h>

#include "sim/device/usb_sim_device.h"
#include "sim/host/asio_client.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"

#include "clock.h"
#include "plat_portcls.h"
#include "plat_sched.h"

#include "driver/adapter/driver_entry.h"

#include <cmath>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr ULONGLONG kMs = 10000;      // 100 ns units
constexpr ULONGLONG kPollStep = 1250; // 125 us

void Wait(ULONGLONG duration)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -LONGLONG(duration);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

double CpuSeconds()
{
    timespec t = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The driver loaded and started on the headset that serves ASIO, torn down at the end.
class AsioBench
{
public:
    explicit AsioBench(benchmark::State& State) : m_State(State)
    {
        sim::DeviceProfile profile;
        std::string error;
        if (!sim::LoadProfile("uac1-headset-asio", &profile, &error))
        {
            State.SkipWithError(error.c_str());
            return;
        }
        m_pPnp = std::make_unique<sim::PnpManager>();
        m_pDevice = sim::SimUsbDevice::Create(profile);
        m_pDevice->AttachTo(*m_pPnp);
        m_bLoaded = NT_SUCCESS(m_pPnp->LoadDriver(DriverEntry));
        m_bAdded = m_bLoaded && NT_SUCCESS(m_pPnp->AddDevice());
        m_pFdo = m_bAdded ? m_pPnp->Fdo() : nullptr;
        if (!m_bAdded || !NT_SUCCESS(m_pPnp->Start()) ||
            !NT_SUCCESS(sim::AsioClient::Open(&m_pClient, m_pPnp->Pdo())))
            State.SkipWithError("the driver did not start on the ASIO headset");
    }

    ~AsioBench()
    {
        if (m_pClient)
            m_pClient->Close();
        m_pClient.reset();
        if (m_bAdded)
            m_pPnp->Remove();
        if (m_pFdo)
            plat::PcForgetDevice(m_pFdo);
        if (m_bLoaded)
            m_pPnp->UnloadDriver();
        if (m_pDevice && m_pPnp)
            m_pDevice->Detach(*m_pPnp);
        m_pPnp.reset();
        m_pDevice.reset();
        plat::Shutdown();
    }

    bool Ok() const { return m_pClient != nullptr; }
    sim::AsioClient& Client() { return *m_pClient; }
    sim::SimUsbDevice& Device() { return *m_pDevice; }

    // The preferred buffer of the latency index, mapped for the given channels.
    ULONG MapAt(ULONG LatencyIndex, const std::vector<sim::AsioChannelRequest>& Channels)
    {
        AsioBufferSize size = {};
        m_pClient->SetValue(IOCTL_ASIO_SET_SAMPLE_RATE, 48000);
        m_pClient->SetValue(IOCTL_ASIO_SET_LATENCY, LatencyIndex);
        m_pClient->GetBufferSize(&size);
        if (!NT_SUCCESS(m_pClient->Map(Channels, size.PreferredFrames)))
            m_State.SkipWithError("map failed");
        return size.PreferredFrames;
    }

private:
    benchmark::State& m_State;
    plat::ScopedThreadRegistration m_Registration{"bench"};
    std::unique_ptr<sim::PnpManager> m_pPnp;
    std::shared_ptr<sim::SimUsbDevice> m_pDevice;
    std::unique_ptr<sim::AsioClient> m_pClient;
    PDEVICE_OBJECT m_pFdo = nullptr;
    bool m_bLoaded = false;
    bool m_bAdded = false;
};

// Whether the device has recorded any non-silent OUT byte since its records were cleared.
bool MarkerArrived(sim::SimUsbDevice& Device)
{
    const std::vector<uint8_t> out = Device.Streams().OutStream(0x01);
    for (uint8_t b : out)
        if (b != 0)
            return true;
    return false;
}

void RoundTrip(benchmark::State& State)
{
    const ULONG index = ULONG(State.range(0));
    AsioBench bench(State);
    if (!bench.Ok())
        return;
    const ULONG frames = bench.MapAt(index, {{false, 0}, {false, 1}});
    if (!NT_SUCCESS(bench.Client().Start()))
    {
        State.SkipWithError("start failed");
        return;
    }
    Wait(100 * kMs);
    const sim::AsioRingView ring = bench.Client().Rings().at(0);
    double total = 0;
    ULONG samples = 0;
    for (auto _ : State)
    {
        bench.Device().Streams().ClearRecords();
        const ULONG at = ring.Header->DriverPosition % ring.RingBytes;
        const ULONGLONG written = KeQueryInterruptTime();
        ring.Samples[at] = 0x5A;
        ring.Samples[at + 1] = 0x5A;
        ULONGLONG waited = 0;
        while (!MarkerArrived(bench.Device()) && waited < 200 * kMs)
        {
            Wait(kPollStep);
            waited += kPollStep;
        }
        const double ms = double(KeQueryInterruptTime() - written) / kMs;
        total += ms;
        ++samples;
        ring.Samples[at] = 0;
        ring.Samples[at + 1] = 0;
        // Let the marker's ring offset come round once more as silence before the next one.
        Wait(50 * kMs);
    }
    bench.Client().Stop();
    State.counters["latency_ms"] = samples ? total / samples : 0;
    State.counters["buffer_frames"] = frames;
}
BENCHMARK(RoundTrip)->DenseRange(0, 7)->Iterations(20)->Unit(benchmark::kMillisecond);

// A 440 Hz tone rendered and the microphone captured through the rings for 10 s of audio per
// iteration, at latency index 4 (960-frame buffers, 5 ms transfers).
void Streaming(benchmark::State& State)
{
    AsioBench bench(State);
    if (!bench.Ok())
        return;
    bench.MapAt(4, {{false, 0}, {false, 1}, {true, 0}});
    ULONGLONG frame = 0;
    bench.Client().SetRenderSource(
        [&](ULONG, UCHAR* data, ULONG bytes)
        {
            for (ULONG i = 0; i + 4 <= bytes; i += 4, ++frame)
            {
                const int16_t v =
                    int16_t(std::lround(8000.0 * std::sin(2 * 3.14159265358979 * 440.0 * frame / 48000)));
                data[i] = data[i + 2] = UCHAR(v);
                data[i + 1] = data[i + 3] = UCHAR(uint16_t(v) >> 8);
            }
        });
    ULONGLONG captured = 0;
    bench.Client().SetCaptureSink([&](ULONG, const UCHAR*, ULONG bytes) { captured += bytes; });
    if (!NT_SUCCESS(bench.Client().Start()))
    {
        State.SkipWithError("start failed");
        return;
    }
    constexpr double kAudioSeconds = 10;
    double cpu = 0;
    for (auto _ : State)
    {
        bench.Device().Streams().ClearRecords();
        const double before = CpuSeconds();
        Wait(ULONGLONG(kAudioSeconds * 1000) * kMs);
        cpu += CpuSeconds() - before;
    }
    bench.Client().Stop();
    const double audio = kAudioSeconds * double(State.iterations());
    State.counters["xRealtime"] = cpu > 0 ? audio / cpu : 0;
    State.counters["cpu_ms_per_s"] = audio > 0 ? 1000.0 * cpu / audio : 0;
    State.counters["late_renders"] = bench.Client().Stats().LateRenders;
}
BENCHMARK(Streaming)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
