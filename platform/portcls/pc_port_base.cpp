// The shared half of the stand-in's ports. A port holds its miniport from Init until its
// registration ends (or Init fails), and the miniport usually holds it back: the registry breaks
// that cycle through ReleaseChildren. Every request that reaches the miniport runs under the
// port's mutex, so a subdevice cannot lose its miniport while a handler runs.
#include "pc_port_base.h"

namespace plat
{
namespace pc
{

CPortBase::CPortBase(PUNKNOWN Outer)
    : CUnknown(Outer), m_pMiniport(nullptr), m_pDescriptor(nullptr), m_pVersion(nullptr), m_bInitCalled(FALSE)
{
    KeInitializeMutex(&m_Mutex, 0);
}

CPortBase::~CPortBase()
{
    if (m_pVersion)
        m_pVersion->Release();
}

NTSTATUS CPortBase::Construct()
{
    return PcCreateVersionObject(GetOuterUnknown(), &m_pVersion);
}

void CPortBase::Lock()
{
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
}

void CPortBase::Unlock()
{
    KeReleaseMutex(&m_Mutex, FALSE);
}

NTSTATUS CPortBase::QueryPortInterface(REFIID InterfaceId, PUNKNOWN Own, PVOID* Interface)
{
    if (Interface == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Interface = nullptr;
    if (Own)
        *Interface = PVOID(Own);
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

bool CPortBase::TakeFirstInit()
{
    if (m_bInitCalled)
        return false;
    m_bInitCalled = TRUE;
    return true;
}

NTSTATUS CPortBase::InitPort(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport, REFIID MiniportId,
                             PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList)
{
    PAGED_CODE();
    if (DeviceObject == nullptr || UnknownMiniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Each kind of miniport derives from IMiniport alone, so its pointer is its IMiniport's.
    PMINIPORT miniport = nullptr;
    if (NT_SUCCESS(UnknownMiniport->QueryInterface(MiniportId, reinterpret_cast<PVOID*>(&miniport))))
        return Bind(miniport, UnknownAdapter, ResourceList);
    return BindOther(UnknownMiniport);
}

// Takes over the caller's reference on Miniport.
NTSTATUS CPortBase::Bind(PMINIPORT Miniport, PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList)
{
    Lock();
    if (!TakeFirstInit())
    {
        Unlock();
        Miniport->Release();
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = InitMiniport(Miniport, UnknownAdapter, ResourceList);
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    if (NT_SUCCESS(status))
        status = Miniport->GetDescription(&descriptor);
    if (NT_SUCCESS(status))
        status = ValidateFilterDescriptor(descriptor);
    if (NT_SUCCESS(status))
    {
        m_pMiniport = Miniport;
        m_pDescriptor = descriptor;
    }
    Unlock();
    if (!NT_SUCCESS(status))
        Miniport->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) CPortBase::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
{
    return plat::pc::UnregisterSubdevice(DeviceObject, Unknown);
}

STDMETHODIMP_(NTSTATUS)
CPortBase::UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                        PUNKNOWN ToUnknown, ULONG ToPin)
{
    return plat::pc::UnregisterPhysicalConnection(DeviceObject, FromUnknown, FromPin, ToUnknown, ToPin);
}

// Connections to other drivers' filters are never registered here, so there is none to remove.
STDMETHODIMP_(NTSTATUS)
CPortBase::UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT, PUNKNOWN, ULONG, PUNICODE_STRING, ULONG)
{
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(NTSTATUS)
CPortBase::UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT, PUNICODE_STRING, ULONG, PUNKNOWN, ULONG)
{
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(BOOLEAN) CPortBase::IsBound()
{
    return m_pMiniport != nullptr;
}

STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) CPortBase::GetFilterDescriptor()
{
    return m_pDescriptor;
}

STDMETHODIMP_(void) CPortBase::PowerChangeNotify(POWER_STATE PowerState)
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

STDMETHODIMP_(void) CPortBase::ReleaseChildren()
{
    Lock();
    PUNKNOWN other = DetachChildren();
    PMINIPORT miniport = m_pMiniport;
    m_pMiniport = nullptr;
    m_pDescriptor = nullptr;
    Unlock();
    // The miniport may release this port's last outside reference as it goes; the caller holds
    // one of its own for the call.
    if (miniport)
        miniport->Release();
    if (other)
        other->Release();
}

} // namespace pc
} // namespace plat
