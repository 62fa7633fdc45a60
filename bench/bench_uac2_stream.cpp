// CPU cost of a whole high-speed class-2 render stream with feedback: the driver's own
// CUac2RenderStream on CUsbDevice over the simulated device (bus, isochronous schedule, the
// device's record and its feedback endpoint running 500 ppm fast), streamed in virtual time.
// Each iteration streams one second of audio; its time is the process's CPU time over every
// thread (the bus thread runs the completions), so "xRealtime" is seconds of audio per second of
// CPU. Stereo 24-bit packed at 48 kHz and 192 kHz, 10 ms transfers, three in flight.
#include <benchmark/benchmark.h>

#include "ntddk.h"
#include "plat_io.h"
#include "plat_portcls.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"

#include "driver/adapter/driver_entry.h"
#include "driver/core/audio_hal.h"
#include "driver/core/device_extension.h"
#include "driver/core/usb_audio_function_if.h"
#include "driver/topology/nodes/clock_node.h"
#include "driver/usb/usb_device.h"
#include "driver/wave/uac2_feedback.h"
#include "driver/wave/uac2_render_stream.h"

#include "usbdlib.h"

#include <ctime>
#include <string>
#include <vector>

namespace
{

constexpr ULONG kBenchTag = MAKE_POOL_TAG('B', 'n', 'c', '2');
constexpr UCHAR kClockEntity = 10;
constexpr ULONG kClockNodeId = 0x0A00;

// A stereo 24-bit speaker at high speed: one clock source (48 and 192 kHz), render with an
// explicit feedback endpoint (16.16 every 1 ms).
const char kProfile[] = R"(name bench-uac2-stereo
speed high
descriptors
  12 01 00 02 EF 02 01 40 F1 FF 09 00 00 01 01 02 03 01
  09 02 86 00 02 01 00 80 FA
  08 0B 00 02 01 00 20 00
  09 04 00 00 00 01 01 20 00
    09 24 01 00 02 08 2E 00 00
    08 24 0A 0A 03 07 00 00
    11 24 02 01 01 01 00 0A 02 03 00 00 00 00 00 00 00
    0C 24 03 03 01 03 00 01 0A 00 00 00
  09 04 01 00 00 01 02 20 00
  09 04 01 01 02 01 02 20 00
    10 24 01 01 00 01 01 00 00 00 02 03 00 00 00 00
    06 24 02 01 03 18
    07 05 01 05 C0 00 01
    08 25 01 00 00 00 00 00
    07 05 81 11 04 00 04
end
string 1 "Uacsim"
string 2 "Uacsim bench stereo"
string 3 "BN0001"
clock 10 48000 192000
feedback-offset-ppm 500
)";

// The clock source's node, which the stream finds among the device's nodes by id: it sends
// the sampling-frequency request the clock entity sends.
class CBenchClockNode : public CClockNode
{
public:
    CBenchClockNode(PUNKNOWN outer, PUNKNOWN device) : CClockNode(outer, kClockNodeId), m_pDevice(device) {}
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG rate) override
    {
        IUsbDevice* usb = nullptr;
        if (!NT_SUCCESS(m_pDevice->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb))))
            return STATUS_INVALID_DEVICE_STATE;
        URB urb{};
        ULONG data = rate;
        UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, 0x01, 0x0100, USHORT(kClockEntity << 8), &data,
                              nullptr, 4, nullptr);
        const NTSTATUS status = usb->SubmitUrbSync(&urb);
        usb->Release();
        return status;
    }

private:
    PUNKNOWN m_pDevice;
};

// The audio function: only the clock node, which is all a stream needs of it.
class CBenchFunction : public CAudioHal, public IUsbAudioFunction
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CBenchFunction(PUNKNOWN outer) : CAudioHal(outer) {}
    STDMETHODIMP_(NTSTATUS) InitHardware() override
    {
        auto* node = new (NonPagedPool, kBenchTag) CBenchClockNode(nullptr, GetOuterUnknown());
        if (!node)
            return STATUS_INSUFFICIENT_RESOURCES;
        node->NonDelegatingAddRef();
        const NTSTATUS status = AddNode(node);
        node->Release();
        return status;
    }
    STDMETHODIMP_(NTSTATUS) UpdateStreamSubdevices(ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) GetCallbackObject(PCALLBACK_OBJECT* object) override
    {
        *object = m_pCallbackObject;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR, ULONG) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) PostInit() override { return STATUS_SUCCESS; }
};

STDMETHODIMP_(NTSTATUS) CBenchFunction::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUIDAligned(id, IID_IUsbAudioFunction))
    {
        *out = static_cast<PUSBAUDIOFUNCTION>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CAudioHal::NonDelegatingQueryInterface(id, out);
}

NTSTATUS CreateBenchFunction(PUNKNOWN* out, PUNKNOWN outer, USHORT, USHORT)
{
    auto* function = new (NonPagedPool, kBenchTag) CBenchFunction(outer);
    if (!function)
        return STATUS_INSUFFICIENT_RESOURCES;
    *out = function->GetNonDelegatingUnknown();
    (*out)->AddRef();
    return STATUS_SUCCESS;
}

const AudioFunctionCreators kBenchCreators = {nullptr, CreateBenchFunction, nullptr, nullptr, nullptr,
                                              nullptr};

NTSTATUS BareStart(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}
NTSTATUS BareAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, BareStart, 20, sizeof(AdapterDeviceExtension));
}
NTSTATUS BareDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    return PcInitializeAdapterDriver(driver, path, BareAddDevice);
}

WAVEFORMATEXTENSIBLE Stereo24(ULONG rate)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = 6;
    f.Format.nAvgBytesPerSec = rate * 6;
    f.Format.wBitsPerSample = 24;
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = 24;
    f.dwChannelMask = 3;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// The client copies each transfer's bytes from its cyclic buffer, as the wave stream does.
struct BenchClient
{
    std::vector<UCHAR> Cyclic = std::vector<UCHAR>(192000 * 6 / 10, 0x35);
    SIZE_T At = 0;
    StreamClient* Record = nullptr;

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto self = static_cast<BenchClient*>(context);
        auto n = static_cast<StreamNotification*>(argument1);
        if (n->Code != StreamNotifyRenderData || !self->Record || n->Client != self->Record)
            return;
        SIZE_T length = SIZE_T(n->Data.Length);
        auto data = static_cast<PUCHAR>(n->Data.Buffer);
        while (length)
        {
            const SIZE_T chunk = std::min(length, self->Cyclic.size() - self->At);
            std::memcpy(data, self->Cyclic.data() + self->At, chunk);
            self->At = (self->At + chunk) % self->Cyclic.size();
            data += chunk;
            length -= chunk;
        }
    }
};

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

void RunVirtualMs(ULONG ms)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -LONGLONG(ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

void StreamOneRun(benchmark::State& state)
{
    const ULONG rate = ULONG(state.range(0));
    plat::ScopedThreadRegistration registration("bench");
    sim::DeviceProfile profile;
    std::string error;
    if (!sim::DeviceProfile::Parse(kProfile, "bench", "", &profile, &error))
    {
        state.SkipWithError(("profile: " + error).c_str());
        return;
    }
    const AudioFunctionCreators* previous = UsbDeviceSetAudioFunctionCreators(&kBenchCreators);
    auto* pnp = new sim::PnpManager(sim::DefaultPnpDeviceConfig());
    std::shared_ptr<sim::SimUsbDevice> device = sim::SimUsbDevice::Create(profile);
    device->AttachTo(*pnp);
    pnp->SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL, [device](PDEVICE_OBJECT pdo, PIRP irp)
                       { return device->Bus().DispatchInternalDeviceControl(pdo, irp); });
    plat::RegCreateKeyPath(plat::IoDeviceInstanceKeyPath(pnp->Pdo()));
    PADAPTERCOMMON adapter = nullptr;
    CUac2RenderStream* stream = nullptr;
    BenchClient client;
    ULONG frames = 0, frame = 0;
    bool ready = NT_SUCCESS(pnp->LoadDriver(BareDriverEntry)) && NT_SUCCESS(pnp->AddDevice()) &&
                 NT_SUCCESS(CreateUsbDevice(&adapter)) &&
                 NT_SUCCESS(adapter->Init(nullptr, pnp->Fdo(), pnp->Pdo(), pnp->Pdo()));
    if (ready)
    {
        stream = new (NonPagedPool, kBenchTag) CUac2RenderStream(nullptr, 1, 1, kClockNodeId);
        stream->NonDelegatingAddRef();
        const WAVEFORMATEXTENSIBLE format = Stereo24(rate);
        const WAVEFORMATEXTENSIBLE other = Stereo24(rate == 48000 ? 192000 : 48000);
        ready = NT_SUCCESS(stream->Init(STREAM_DIRECTION_RENDER, adapter)) &&
                NT_SUCCESS(stream->AllocateBuffers()) && NT_SUCCESS(stream->AddDataFormat(&format, 1)) &&
                NT_SUCCESS(stream->AddDataFormat(&other, 1)) &&
                NT_SUCCESS(stream->RegisterClient(STREAM_CLIENT_PRIORITY_WAVE, &format, 10, 3,
                                                  BenchClient::Callback, &client, &client.Record)) &&
                NT_SUCCESS(stream->OpenClient(client.Record->Registration, &frames, &frame)) &&
                NT_SUCCESS(stream->StartClient(client.Record->Registration, frame + 2, &frames, nullptr));
    }
    if (!ready)
        state.SkipWithError("the class-2 stream did not start");
    RunVirtualMs(500); // past the first feedback
    double cpuSeconds = 0;
    for (auto _ : state)
    {
        if (!ready)
            break;
        const double before = ProcessCpuSeconds();
        RunVirtualMs(1000);
        const double spent = ProcessCpuSeconds() - before;
        cpuSeconds += spent;
        state.SetIterationTime(spent);
        device->ClearRecords(); // the record would grow by 8,000 packets a second
    }
    const sim::RenderBufferStats stats = device->Streams().RenderBuffer(0x01);
    state.counters["xRealtime"] = cpuSeconds > 0 ? double(state.iterations()) / cpuSeconds : 0;
    state.counters["sizingHz"] = double(stream ? stream->GetSizingRate() : 0) / double(Uac2RateFromHz(1));
    state.counters["underruns"] = double(stats.Underruns + stats.Overflows);
    if (stream)
    {
        if (client.Record)
        {
            PVOID key = client.Record->Registration;
            stream->StopClient(key, nullptr);
            stream->CloseClient(key);
            stream->UnregisterClient(key);
        }
        stream->Release();
    }
    plat::Settle();
    if (adapter)
    {
        adapter->Stop();
        adapter->Release();
    }
    if (pnp->Fdo())
    {
        PDEVICE_OBJECT fdo = pnp->Fdo();
        pnp->Remove();
        plat::PcForgetDevice(fdo);
    }
    pnp->UnloadDriver();
    device->Detach(*pnp);
    delete pnp;
    device.reset();
    UsbDeviceSetAudioFunctionCreators(previous);
}

void BM_Uac2RenderStream(benchmark::State& state)
{
    StreamOneRun(state);
    plat::Shutdown(); // every run starts on a fresh platform, as every test does
}
BENCHMARK(BM_Uac2RenderStream)->Arg(48000)->Arg(192000)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
