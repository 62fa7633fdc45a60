// Test doubles for the driver shell tests: an adapter object answering IAdapterCommon and
// IAsioDevice and stream objects answering IStreamEngine, each logging the calls the shell makes
// into one shared log, and the script that the tests' start routine follows.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/asio_device_if.h"
#include "support/stream_engine_double.h"

#include <string>
#include <vector>

namespace shell_test
{

// Interface states and live link names at the moment of a call, so that a log line shows what
// the device looked like from outside when the call was made.
std::string DeviceState();

struct ShellLog
{
    std::vector<std::string> Lines;
    void Add(const std::string& line) { Lines.push_back(line); }
};

class FakeStream : public sd::CStreamEngineDouble
{
public:
    FakeStream(ShellLog* Log, ULONG Index) : m_pLog(Log), m_Index(Index) {}

    NTSTATUS UnregisterStatus = STATUS_SUCCESS;
    PDEVICE_OBJECT ExpectedDevice = nullptr;
    PUNKNOWN ExpectedUnknown = nullptr;
    LONG RefCount = 1;

    STDMETHODIMP QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++RefCount); }
    STDMETHODIMP_(ULONG) Release() override { return ULONG(--RefCount); }

    STDMETHODIMP_(NTSTATUS)
    UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN AdapterUnknown) override
    {
        bool argsOk = DeviceObject == ExpectedDevice && Irp == nullptr && AdapterUnknown == ExpectedUnknown;
        m_pLog->Add("unregister " + std::to_string(m_Index) + (argsOk ? "" : " (wrong arguments)"));
        return UnregisterStatus;
    }

private:
    // The shell has no business with the rest of a stream; a call shows up in the log.
    NTSTATUS Unanswered(const char* name) override
    {
        m_pLog->Add("stream " + std::to_string(m_Index) + " " + name);
        return STATUS_NOT_IMPLEMENTED;
    }

    ShellLog* m_pLog;
    ULONG m_Index;
};

// A slot of the adapter double the shell has no business with: a call shows up in the log.
#define SHELL_UNEXPECTED(Type, Name, ...)                                                                    \
    STDMETHODIMP_(Type) Name(__VA_ARGS__) override                                                           \
    {                                                                                                        \
        return Type(Unexpected(#Name));                                                                      \
    }

class FakeAdapter : public IAdapterCommon, public IAsioDevice
{
public:
    explicit FakeAdapter(ShellLog* Log) : m_pLog(Log) {}

    // What the double answers.
    bool RefuseAsio = false;
    bool RefuseUnknown = false;
    NTSTATUS OpenStatus = STATUS_SUCCESS;
    NTSTATUS CloseStatus = STATUS_SUCCESS;
    // What the sample-rate query answers (the one control the shell tests send through).
    NTSTATUS RateStatus = STATUS_SUCCESS;
    ULONG Rate = 0;
    ULONG GetStreamFailsAt = ~0u; // GetStream refuses this index
    std::vector<FakeStream*> Streams;
    // What the shell handed to it.
    PFILE_OBJECT LastFile = nullptr;
    // The test holds the first reference; every other one belongs to the driver.
    LONG RefCount = 1;

    IAsioDevice* AsAsio() { return static_cast<IAsioDevice*>(this); }
    PUNKNOWN AsUnknown() { return static_cast<IAdapterCommon*>(this); }

    STDMETHODIMP QueryInterface(REFIID Iid, PVOID* Interface) override
    {
        *Interface = nullptr;
        if (IsEqualGUID(Iid, IID_IUnknown) && !RefuseUnknown)
            *Interface = AsUnknown();
        else if (IsEqualGUID(Iid, IID_IAdapterCommon))
            *Interface = static_cast<IAdapterCommon*>(this);
        else if (IsEqualGUID(Iid, IID_IAsioDevice) && !RefuseAsio)
            *Interface = AsAsio();
        if (*Interface == nullptr)
            return STATUS_NOT_SUPPORTED;
        ++RefCount;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(++RefCount); }
    STDMETHODIMP_(ULONG) Release() override
    {
        if (RefCount <= 0)
            m_pLog->Add("adapter released too often");
        return ULONG(--RefCount);
    }

    // ---- IAdapterCommon ----
    STDMETHODIMP_(NTSTATUS) WakeForAccess(PIRP Irp) override;
    STDMETHODIMP_(NTSTATUS) Stop() override
    {
        m_pLog->Add("stop " + DeviceState());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) GetStreamCount() override { return ULONG(Streams.size()); }
    STDMETHODIMP_(NTSTATUS) GetStream(ULONG Index, IStreamEngine** Stream) override
    {
        *Stream = nullptr;
        if (Index >= Streams.size() || Index == GetStreamFailsAt)
            return STATUS_INVALID_PARAMETER;
        *Stream = Streams[Index];
        return STATUS_SUCCESS;
    }
    SHELL_UNEXPECTED(NTSTATUS, GetEndpointCaps, ULONG, EndpointCaps*)
    SHELL_UNEXPECTED(NTSTATUS, GetComponentId, PKSCOMPONENTID)
    SHELL_UNEXPECTED(ULONG, GetNodeCount)
    SHELL_UNEXPECTED(NTSTATUS, GetNode, ULONG, ITopologyNode**)
    SHELL_UNEXPECTED(NTSTATUS, Init, PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT)
    SHELL_UNEXPECTED(NTSTATUS, Start)
    SHELL_UNEXPECTED(NTSTATUS, RegisterCallback, PCALLBACK_FUNCTION, PVOID, PVOID*)
    SHELL_UNEXPECTED(NTSTATUS, UnregisterCallback, PVOID)
    SHELL_UNEXPECTED(NTSTATUS, InitHardware)
    SHELL_UNEXPECTED(NTSTATUS, BuildConnections)
    SHELL_UNEXPECTED(NTSTATUS, GetEndpointCapsByType, ULONG, ULONG, EndpointCaps*)
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override
    {
        return Unexpected("GetDeviceObject"), nullptr;
    }

    // ---- IAsioDevice: the client slots matter, the rest only reach it through the device-control handler
    // ----
    STDMETHODIMP_(NTSTATUS) OpenAsioClient(PFILE_OBJECT FileObject) override
    {
        LastFile = FileObject;
        m_pLog->Add("open client");
        return OpenStatus;
    }
    STDMETHODIMP_(NTSTATUS) CloseAsioClient(PFILE_OBJECT FileObject) override
    {
        LastFile = FileObject;
        m_pLog->Add("close client");
        return CloseStatus;
    }
    SHELL_UNEXPECTED(NTSTATUS, Spare, PFILE_OBJECT)
    SHELL_UNEXPECTED(NTSTATUS, GetProductName, PFILE_OBJECT, PCHAR, PULONG)
    SHELL_UNEXPECTED(NTSTATUS, GetChannelCounts, PFILE_OBJECT, AsioChannelCounts*, ULONG)
    SHELL_UNEXPECTED(NTSTATUS, GetChannelInfo, PFILE_OBJECT, AsioChannelInfo*, ULONG)
    SHELL_UNEXPECTED(NTSTATUS, SetClientEvent, PFILE_OBJECT, PHANDLE)
    SHELL_UNEXPECTED(NTSTATUS, ClearClientEvent, PFILE_OBJECT)
    SHELL_UNEXPECTED(NTSTATUS, GetBuffersInUse, PFILE_OBJECT, PULONG)
    SHELL_UNEXPECTED(NTSTATUS, GetSampleTypes, PFILE_OBJECT, AsioSampleTypeList*, PULONG)
    SHELL_UNEXPECTED(NTSTATUS, GetLatencyTable, PFILE_OBJECT, AsioLatencyTable*, PULONG)
    SHELL_UNEXPECTED(NTSTATUS, SetSampleType, PFILE_OBJECT, ULONG)
    SHELL_UNEXPECTED(NTSTATUS, SetLatency, PFILE_OBJECT, ULONG)
    SHELL_UNEXPECTED(NTSTATUS, GetLatencies, PFILE_OBJECT, AsioLatencies*)
    STDMETHODIMP_(NTSTATUS) GetSampleRate(PFILE_OBJECT FileObject, PULONG SampleRate) override
    {
        LastFile = FileObject;
        m_pLog->Add("get sample rate");
        *SampleRate = Rate;
        return RateStatus;
    }
    SHELL_UNEXPECTED(NTSTATUS, CanSampleRate, PFILE_OBJECT, const ULONG*)
    SHELL_UNEXPECTED(NTSTATUS, SetSampleRate, PFILE_OBJECT, const ULONG*)
    SHELL_UNEXPECTED(NTSTATUS, GetBufferSize, PFILE_OBJECT, AsioBufferSize*)
    SHELL_UNEXPECTED(NTSTATUS, MapStreamingBuffers, PFILE_OBJECT, const AsioBufferRequest*, ULONG, PVOID,
                     PULONG)
    SHELL_UNEXPECTED(NTSTATUS, UnmapStreamingBuffers, PFILE_OBJECT)
    // Every ASIO handle's cleanup asks.
    STDMETHODIMP_(NTSTATUS) CleanupAsioClient(PFILE_OBJECT FileObject) override
    {
        LastFile = FileObject;
        m_pLog->Add("cleanup client");
        return STATUS_SUCCESS;
    }
    SHELL_UNEXPECTED(NTSTATUS, StartAsio, PFILE_OBJECT, PHANDLE)
    SHELL_UNEXPECTED(NTSTATUS, StopAsio, PFILE_OBJECT, PIRP)
    SHELL_UNEXPECTED(NTSTATUS, CanIoFormat, PFILE_OBJECT, const ULONG*)
    SHELL_UNEXPECTED(NTSTATUS, SetIoFormat, PFILE_OBJECT, const ULONG*)
    SHELL_UNEXPECTED(NTSTATUS, GetIoFormat, PFILE_OBJECT, PULONG)
#undef SHELL_UNEXPECTED

private:
    NTSTATUS Unexpected(const char* name)
    {
        m_pLog->Add(std::string("adapter ") + name);
        return STATUS_NOT_IMPLEMENTED;
    }

    ShellLog* m_pLog;
};

// What the tests' start routine does with the device it is asked to start: enable the
// interfaces it is told to, and on success keep the adapter (with a reference of the device's
// own), as the device start code does at its end.
struct StartScript
{
    FakeAdapter* Adapter = nullptr;
    bool EnableAsio = true;
    bool EnableEnum = true;
    NTSTATUS Status = STATUS_SUCCESS;
};

// The shell test in progress; the tests' start and device-control routines reach it here.
struct ShellWorld
{
    ShellLog Log;
    StartScript Start;
};
extern ShellWorld* g_pShellWorld;

// The start routine the shell tests put in place of the driver's own once AddDevice has named
// it to the port-class library: it follows g_pShellWorld->Start.
NTSTATUS ScriptedStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

} // namespace shell_test
