// Device start: checks the port-class library, brings up CUsbDevice, installs the topology
// filter and lets every streaming endpoint install its wave filter under its own name, then
// starts the device and opens its private interfaces.
#include "driver/adapter/start_device.h"

#include "driver/core/miniport_subdevice_if.h"
#include "driver/topology/miniport/miniport_topology.h"
#include "driver/core/pin_type.h"
#include "driver/usb/usb_device.h"
#include "driver/core/stream_engine_if.h"
#include "driver/wave/wave_miniport_creator.h"

namespace
{

// What one start builds up and hands from step to step; everything referenced here is
// released once by ReleaseStart, whatever the outcome.
struct StartState
{
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    AdapterDeviceExtension* Extension;
    PADAPTERCOMMON Adapter;    // from CreateUsbDevice, referenced
    PUNKNOWN AdapterUnknown;   // referenced
    PUNKNOWN TopologyPort;     // referenced
    PUNKNOWN TopologyMiniport; // kept alive by the topology port
    PWSTR Name;                // STREAM_NAME_BUFFER_CHARS characters
    BOOLEAN HasAsioEndpoint;
};

template <class T> VOID ReleaseAndClear(T** Interface)
{
    if (*Interface)
    {
        (*Interface)->Release();
        *Interface = nullptr;
    }
}

// An older library than the driver needs cannot be told apart from a broken one, so both are
// refused the same way, before anything of the device exists.
NTSTATUS CheckPortClassVersion()
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status))
        return status;
    PPORTCLSVERSION version = nullptr;
    status = port->QueryInterface(IID_IPortClsVersion, reinterpret_cast<PVOID*>(&version));
    if (!NT_SUCCESS(status) || version == nullptr)
        status = STATUS_UNSUCCESSFUL;
    else if (version->GetVersion() < START_DEVICE_MIN_PORTCLS_VERSION)
        status = STATUS_UNSUCCESSFUL;
    ReleaseAndClear(&version);
    port->Release();
    return status;
}

NTSTATUS CreateAdapter(StartState* State, PRESOURCELIST ResourceList)
{
    NTSTATUS status = CreateUsbDevice(&State->Adapter);
    if (!NT_SUCCESS(status))
        return status;
    if (State->Adapter == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = State->Adapter->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&State->AdapterUnknown));
    if (!NT_SUCCESS(status))
        return status;
    AdapterDeviceExtension* extension = State->Extension;
    status = State->Adapter->Init(ResourceList, State->DeviceObject, extension->LowerDeviceObject,
                                  extension->PhysicalDeviceObject);
    if (!NT_SUCCESS(status))
        return status;
    return PcRegisterAdapterPowerManagement(State->AdapterUnknown, State->DeviceObject);
}

// One endpoint: named, handed the wave miniport and the topology filter, then asked to install
// its wave subdevice as its jack allows. Without a wave miniport in the driver the endpoint
// keeps its name and stays without a wave filter, and the device still starts.
NTSTATUS InstallEndpoint(StartState* State, ULONG Index)
{
    IStreamEngine* stream = nullptr;
    NTSTATUS status = State->Adapter->GetStream(Index, &stream);
    if (NT_SUCCESS(status) && stream == nullptr)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        status = FormatEndpointName(State->Extension, stream->GetKind(), stream->GetPinType(), State->Name,
                                    STREAM_NAME_BUFFER_CHARS);
    if (NT_SUCCESS(status))
        status = stream->SetName(State->Name);
    PFNCREATEWAVEMINIPORT creator = g_pfnCreateMiniportWaveCyclic;
    if (NT_SUCCESS(status) && creator != nullptr)
        status = stream->SetMiniportCreator(creator, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status))
        status = stream->SetTopologyPort(State->TopologyPort, State->TopologyMiniport);
    if (NT_SUCCESS(status))
    {
        status = stream->UpdateSubdevice(State->DeviceObject, State->Irp, State->AdapterUnknown);
        if (creator == nullptr)
            status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status))
        return status;

    EndpointCaps caps;
    RtlZeroMemory(&caps, sizeof(caps));
    State->Adapter->GetEndpointCaps(Index, &caps);
    if (caps.Flags & ENDPOINT_CAPS_FLAG_ASIO)
        State->HasAsioEndpoint = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS InstallSubdevices(StartState* State)
{
    State->Name = static_cast<PWSTR>(ExAllocatePoolWithTag(
        PagedPool, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR), START_DEVICE_NAME_POOL_TAG));
    if (State->Name == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(State->Name, STREAM_NAME_BUFFER_CHARS * sizeof(WCHAR));
    NTSTATUS status = InstallSubdevice(State->DeviceObject, State->Irp, CLSID_PortTopology,
                                       CLSID_PortTopology, CreateMiniportTopology, State->AdapterUnknown,
                                       &State->TopologyPort, &State->TopologyMiniport);
    ULONG count = NT_SUCCESS(status) ? State->Adapter->GetStreamCount() : 0;
    for (ULONG index = 0; index < count && NT_SUCCESS(status); ++index)
        status = InstallEndpoint(State, index);
    return status;
}

// The ASIO interface is only offered when an endpoint serves it, and a device the companion
// cannot open is still a working audio device. The enumeration interface is what user mode
// finds the device by, so failing to offer it fails the start; when AddDevice could not
// register it there is nothing to enable.
NTSTATUS EnableInterfaces(StartState* State)
{
    AdapterDeviceExtension* extension = State->Extension;
    if (State->HasAsioEndpoint && extension->AsioInterfaceRegistered &&
        NT_SUCCESS(IoSetDeviceInterfaceState(&extension->AsioLinkName, TRUE)))
        extension->AsioInterfaceEnabled = TRUE;
    if (!extension->EnumInterfaceRegistered)
        return STATUS_SUCCESS;
    NTSTATUS status = IoSetDeviceInterfaceState(&extension->EnumLinkName, TRUE);
    if (!NT_SUCCESS(status))
        return status;
    // Enabling an interface that a previous start left enabled is fine, and no reason to
    // hand the system an informational status for the start.
    extension->EnumInterfaceEnabled = TRUE;
    return STATUS_SUCCESS;
}

// A device object started again (after a stop) still holds the adapter of its previous start;
// that one is stopped and let go, or its threads and timer would outlive every reference the
// driver can reach.
VOID KeepAdapter(StartState* State)
{
    PADAPTERCOMMON previous = State->Extension->AdapterCommon;
    if (previous != nullptr)
    {
        State->Extension->AdapterCommon = nullptr;
        previous->Stop();
        previous->Release();
    }
    State->Adapter->AddRef();
    State->Extension->AdapterCommon = State->Adapter;
}

VOID ReleaseStart(StartState* State)
{
    ReleaseAndClear(&State->Adapter);
    ReleaseAndClear(&State->AdapterUnknown);
    if (State->Name)
    {
        ExFreePoolWithTag(State->Name, START_DEVICE_NAME_POOL_TAG);
        State->Name = nullptr;
    }
    ReleaseAndClear(&State->TopologyPort);
    State->TopologyMiniport = nullptr;
}

} // namespace

NTSTATUS FormatEndpointName(AdapterDeviceExtension* Extension, ULONG Kind, ULONG PinType, PWSTR Buffer,
                            ULONG BufferChars)
{
    PAGED_CODE();
    if (Extension == nullptr || Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    // An unnamed pin type would index past the name table.
    if (PinType >= PIN_TYPE_COUNT)
        PinType = PIN_TYPE_STREAM;
    const bool render = Kind == STREAM_DIRECTION_RENDER;
    UCHAR* counter =
        render ? &Extension->RenderNameCounters[PinType] : &Extension->CaptureNameCounters[PinType];
    NTSTATUS status = RtlStringCchPrintfW(Buffer, BufferChars, render ? u"%sOut%02d" : u"%sIn%02d",
                                          PinTypeNames[PinType], int(*counter));
    if (NT_SUCCESS(status))
        ++*counter;
    return status;
}

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId,
                          REFCLSID MiniportClassId, PFNCREATEMINIPORT MiniportCreator,
                          PUNKNOWN AdapterUnknown, PUNKNOWN* PortUnknown, PUNKNOWN* Miniport)
{
    PAGED_CODE();
    if (AdapterUnknown == nullptr || Miniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    PADAPTERCOMMON adapter = nullptr;
    PPORT port = nullptr;
    PUNKNOWN miniport = nullptr;
    PMINIPORTSUBDEVICE subdevice = nullptr;
    PWSTR name = nullptr;
    NTSTATUS status = AdapterUnknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter));
    if (NT_SUCCESS(status))
        status = PcNewPort(&port, PortClassId);
    if (NT_SUCCESS(status))
        status = MiniportCreator ? MiniportCreator(&miniport, MiniportClassId, nullptr, NonPagedPool)
                                 : STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status) && miniport == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        status = port->Init(DeviceObject, Irp, miniport, AdapterUnknown, nullptr);
    if (NT_SUCCESS(status))
        status = miniport->QueryInterface(IID_IMiniportSubdevice, reinterpret_cast<PVOID*>(&subdevice));
    if (NT_SUCCESS(status))
        status = subdevice->GetSubdeviceName(&name);
    if (NT_SUCCESS(status) && name == nullptr)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(DeviceObject, name, port);
    if (NT_SUCCESS(status) && PortUnknown != nullptr)
        status = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(PortUnknown));
    if (NT_SUCCESS(status))
        *Miniport = miniport;
    ReleaseAndClear(&miniport);
    ReleaseAndClear(&subdevice);
    ReleaseAndClear(&port);
    ReleaseAndClear(&adapter);
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    PAGED_CODE();
    NTSTATUS status = CheckPortClassVersion();
    if (!NT_SUCCESS(status))
        return status;
    StartState state;
    RtlZeroMemory(&state, sizeof(state));
    state.DeviceObject = DeviceObject;
    state.Irp = Irp;
    state.Extension = GetAdapterExtension(DeviceObject);
    status = CreateAdapter(&state, ResourceList);
    if (NT_SUCCESS(status))
        status = InstallSubdevices(&state);
    if (NT_SUCCESS(status))
        status = state.Adapter->Start();
    if (NT_SUCCESS(status))
    {
        status = EnableInterfaces(&state);
        // The removal that follows a failed start cannot reach an adapter the extension does
        // not hold: the status thread the start set going (which holds the adapter) ends here.
        if (!NT_SUCCESS(status))
            state.Adapter->Stop();
    }
    if (NT_SUCCESS(status))
        KeepAdapter(&state);
    ReleaseStart(&state);
    return status;
}
