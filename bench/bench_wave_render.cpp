// CPU cost of one second of audio through the whole driver: the host's audio engine keeps a
// render pin's cyclic buffer fed, the wave stream copies it into 5 ms transfers, the stream
// engine's pipeline converts it to per-channel float and back, and the isochronous URBs go to
// the simulated bus and device, at 48 kHz stereo in 16 and packed 24-bit on the class-1
// speaker. Time is virtual, so a second of audio costs only the CPU it takes; the process CPU
// time counts every thread (the driver's completions and DPCs, the bus, the device and the
// audio engine), so the figure is an upper bound on the driver's own share.
//
// Counters: "cpu_ms_per_s" is CPU milliseconds per second of audio; "xRealtime" is seconds of
// audio per CPU second (how many times faster than real time the whole path runs on one core).
#include <benchmark/benchmark.h>

#include "driver/adapter/dispatch.h"
#include "driver/adapter/driver_entry.h"
#include "plat_portcls.h"
#include "plat_sched.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/audio_engine.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"

#include <cstring>
#include <ctime>
#include <memory>

namespace
{

constexpr ULONG kRate = 48000;

double ProcessCpuSeconds()
{
    timespec t = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void RunVirtual(ULONGLONG Duration100ns)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -LONGLONG(Duration100ns);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// The driver started on the speaker with a running render pin, torn down in reverse order.
class RenderRig
{
public:
    bool Start(WORD Bits, std::string* Error)
    {
        sim::DeviceProfile profile;
        if (!sim::LoadBuiltinProfile("uac1-speaker", &profile, Error))
            return false;
        m_pPnp = std::make_unique<sim::PnpManager>();
        m_pDevice = sim::SimUsbDevice::Create(profile);
        m_pDevice->AttachTo(*m_pPnp);
        if (!NT_SUCCESS(m_pPnp->LoadDriver(DriverEntry)) || !NT_SUCCESS(m_pPnp->AddDevice()) ||
            !NT_SUCCESS(m_pPnp->Start()))
            return Fail("the driver did not start", Error);
        m_bStarted = true;
        std::u16string filter;
        for (const sim::WaveFilterInfo& f : sim::AudioPin::EnumerateWaveFilters(m_pPnp->Pdo()))
            if (!f.Capture)
                filter = f.Name;
        std::vector<UCHAR> format = sim::WaveDataFormat(2, kRate, Bits, Bits);
        const DWORD mask = KSAUDIO_SPEAKER_STEREO;
        std::memcpy(format.data() + offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt.dwChannelMask),
                    &mask, sizeof(mask));
        if (filter.empty() || !NT_SUCCESS(sim::AudioPin::Open(m_pPnp->Pdo(), filter, 0, format, &m_pPin)))
            return Fail("the render pin did not open", Error);
        // A changing pattern, as a player's buffer would hold; never silence.
        m_pPin->SetRenderSource(
            [this](UCHAR* Data, ULONG Bytes)
            {
                for (ULONG i = 0; i < Bytes; ++i)
                    Data[i] = UCHAR(m_Next++ | 1);
            });
        if (!NT_SUCCESS(m_pPin->Run()))
            return Fail("the render pin did not run", Error);
        return true;
    }

    ~RenderRig()
    {
        if (m_pPin)
        {
            m_pPin->Stop();
            m_pPin->Close();
            m_pPin.reset();
        }
        if (m_pPnp)
        {
            const PDEVICE_OBJECT fdo = m_pPnp->Fdo();
            if (m_bStarted)
                m_pPnp->Remove();
            if (fdo)
                plat::PcForgetDevice(fdo);
            m_pPnp->UnloadDriver();
            m_pDevice->Detach(*m_pPnp);
        }
        m_pPnp.reset();
        m_pDevice.reset();
    }

    sim::AudioPinStats Stats() { return m_pPin->Stats(); }

private:
    bool Fail(const char* What, std::string* Error)
    {
        *Error = What;
        return false;
    }

    std::shared_ptr<sim::SimUsbDevice> m_pDevice;
    std::unique_ptr<sim::PnpManager> m_pPnp;
    std::unique_ptr<sim::AudioPin> m_pPin;
    bool m_bStarted = false;
    UCHAR m_Next = 0;
};

// One iteration is one second of virtual time with the pin running.
void BM_WavePinToUsbPackets(benchmark::State& state)
{
    const WORD bits = WORD(state.range(0));
    plat::ScopedThreadRegistration registration("bench");
    double cpu = 0;
    uint64_t seconds = 0;
    ULONG underruns = 0;
    {
        RenderRig rig;
        std::string error;
        if (!rig.Start(bits, &error))
        {
            state.SkipWithError(error.c_str());
            return;
        }
        // The first second settles the stream (lead, first transfers) outside the timing.
        RunVirtual(1000 * 10000ULL);
        for (auto _ : state)
        {
            const double before = ProcessCpuSeconds();
            RunVirtual(1000 * 10000ULL);
            cpu += ProcessCpuSeconds() - before;
            ++seconds;
        }
        underruns = rig.Stats().Underruns;
    }
    plat::Shutdown();
    if (underruns != 0)
        state.SkipWithError("the pin underran: the figure would not be of a clean stream");
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / double(seconds);
    state.counters["xRealtime"] = double(seconds) / cpu;
    state.SetLabel(std::to_string(bits) + "-bit stereo 48 kHz, uac1-speaker");
}
BENCHMARK(BM_WavePinToUsbPackets)
    ->Arg(16)
    ->Arg(24)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
