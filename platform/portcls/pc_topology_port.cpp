// The topology port. It holds its miniport from Init until its registration ends (or Init
// fails), and the miniport usually holds it back: the registry breaks that cycle through
// ReleaseChildren. Every request that reaches the miniport runs under the port's mutex, so a
// subdevice cannot lose its miniport while a handler runs.
#include "pc_topology_port.h"

#include "plat_fatal.h"

namespace
{

constexpr ULONG kPortTag = MAKE_POOL_TAG('P', 'c', 'T', 'p');

} // namespace

namespace plat
{
namespace pc
{

CPortTopology::CPortTopology(PUNKNOWN Outer)
    : CUnknown(Outer), m_pMiniport(nullptr), m_pDescriptor(nullptr), m_pVersion(nullptr), m_bInitCalled(FALSE)
{
    KeInitializeMutex(&m_Mutex, 0);
}

CPortTopology::~CPortTopology()
{
    ReleaseChildren();
    if (m_pVersion)
        m_pVersion->Release();
}

NTSTATUS CPortTopology::Construct()
{
    return PcCreateVersionObject(GetOuterUnknown(), &m_pVersion);
}

void CPortTopology::Lock()
{
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
}

void CPortTopology::Unlock()
{
    KeReleaseMutex(&m_Mutex, FALSE);
}

STDMETHODIMP_(NTSTATUS) CPortTopology::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (Interface == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Interface = nullptr;
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IPort) ||
        IsEqualGUIDAligned(InterfaceId, IID_IPortTopology))
        *Interface = PVOID(static_cast<IPortTopology*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPortEvents))
        *Interface = PVOID(static_cast<IPortEvents*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IUnregisterSubdevice))
        *Interface = PVOID(static_cast<IUnregisterSubdevice*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IUnregisterPhysicalConnection))
        *Interface = PVOID(static_cast<IUnregisterPhysicalConnection*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPcSubdevicePort))
        *Interface = PVOID(static_cast<IPcSubdevicePort*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPortClsVersion) && m_pVersion)
        return m_pVersion->QueryInterface(InterfaceId, Interface);
    else
        return STATUS_INVALID_PARAMETER;
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CPortTopology::Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                    IResourceList* ResourceList)
{
    PAGED_CODE();
    if (DeviceObject == nullptr || UnknownMiniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    PMINIPORTTOPOLOGY miniport = nullptr;
    if (!NT_SUCCESS(
            UnknownMiniport->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport))))
        return STATUS_INVALID_PARAMETER;
    Lock();
    // A port binds once, even when its first Init failed: its miniport may hold on to it.
    if (m_bInitCalled)
    {
        Unlock();
        miniport->Release();
        return STATUS_INVALID_DEVICE_STATE;
    }
    m_bInitCalled = TRUE;
    NTSTATUS status = miniport->Init(UnknownAdapter, ResourceList, static_cast<IPortTopology*>(this));
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    if (NT_SUCCESS(status))
        status = miniport->GetDescription(&descriptor);
    if (NT_SUCCESS(status))
        status = ValidateFilterDescriptor(descriptor);
    if (NT_SUCCESS(status))
    {
        m_pMiniport = miniport;
        m_pDescriptor = descriptor;
    }
    Unlock();
    if (!NT_SUCCESS(status))
        miniport->Release();
    return status;
}

STDMETHODIMP_(void) CPortTopology::AddEventToEventList(PKSEVENT_ENTRY EventEntry)
{
    m_Events.Add(EventEntry);
}

STDMETHODIMP_(void)
CPortTopology::GenerateEventList(GUID* Set, ULONG EventId, BOOL PinFlag, ULONG PinId, BOOL NodeFlag,
                                 ULONG NodeId)
{
    m_Events.Generate(Set, EventId, PinFlag, PinId, NodeFlag, NodeId);
}

STDMETHODIMP_(NTSTATUS) CPortTopology::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
{
    return plat::pc::UnregisterSubdevice(DeviceObject, Unknown);
}

STDMETHODIMP_(NTSTATUS)
CPortTopology::UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                            PUNKNOWN ToUnknown, ULONG ToPin)
{
    return plat::pc::UnregisterPhysicalConnection(DeviceObject, FromUnknown, FromPin, ToUnknown, ToPin);
}

// Connections to other drivers' filters are never registered here, so there is none to remove.
STDMETHODIMP_(NTSTATUS)
CPortTopology::UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT, PUNKNOWN, ULONG, PUNICODE_STRING, ULONG)
{
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(NTSTATUS)
CPortTopology::UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT, PUNICODE_STRING, ULONG, PUNKNOWN,
                                                        ULONG)
{
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(BOOLEAN) CPortTopology::IsBound()
{
    return m_pMiniport != nullptr;
}

STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) CPortTopology::GetFilterDescriptor()
{
    return m_pDescriptor;
}

// Topology pins carry no data and cannot be instantiated: only the filter itself opens.
STDMETHODIMP_(NTSTATUS) CPortTopology::OpenHandle(PFILE_OBJECT, const std::u16string& Rest)
{
    if (!Rest.empty())
        return STATUS_INVALID_DEVICE_REQUEST;
    return m_pMiniport ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

STDMETHODIMP_(void) CPortTopology::CloseHandle(PFILE_OBJECT FileObject)
{
    Lock();
    if (m_pMiniport)
        m_Events.DisableHandle(MajorTarget(), FileObject);
    Unlock();
}

STDMETHODIMP_(NTSTATUS) CPortTopology::DeviceControl(PFILE_OBJECT FileObject, PIRP Irp)
{
    PAGED_CODE();
    Irp->IoStatus.Information = 0;
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    Lock();
    NTSTATUS status;
    if (m_pMiniport == nullptr)
        status = STATUS_DEVICE_NOT_READY;
    else if (code == IOCTL_KS_PROPERTY)
        status = HandleFilterProperty(MajorTarget(), m_pDescriptor, Irp);
    else if (code == IOCTL_KS_ENABLE_EVENT)
        status = m_Events.Enable(MajorTarget(), m_pDescriptor, FileObject, Irp);
    else if (code == IOCTL_KS_DISABLE_EVENT)
        status = m_Events.Disable(MajorTarget(), FileObject, Irp);
    else
        status = STATUS_INVALID_DEVICE_REQUEST;
    Unlock();
    return status;
}

STDMETHODIMP_(void) CPortTopology::PowerChangeNotify(POWER_STATE PowerState)
{
    Lock();
    PPOWERNOTIFY notify = nullptr;
    if (m_pMiniport &&
        NT_SUCCESS(m_pMiniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify))))
    {
        notify->PowerChangeNotify(PowerState);
        notify->Release();
    }
    Unlock();
}

STDMETHODIMP_(void) CPortTopology::ReleaseChildren()
{
    Lock();
    PMINIPORTTOPOLOGY miniport = m_pMiniport;
    m_pMiniport = nullptr;
    m_pDescriptor = nullptr;
    Unlock();
    // The miniport may release this port's last outside reference as it goes; the caller holds
    // one of its own for the call.
    if (miniport)
        miniport->Release();
}

NTSTATUS NewTopologyPort(PPORT* OutPort)
{
    CPortTopology* port = new (NonPagedPool, kPortTag) CPortTopology(nullptr);
    if (port == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    port->NonDelegatingAddRef();
    NTSTATUS status = port->Construct();
    if (!NT_SUCCESS(status))
    {
        port->NonDelegatingRelease();
        return status;
    }
    *OutPort = static_cast<IPortTopology*>(port);
    return STATUS_SUCCESS;
}

} // namespace pc
} // namespace plat
