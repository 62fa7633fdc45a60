// The topology port: the filter's handles and the event list; binding, release and the shared
// interfaces are CPortBase's.
#include "pc_topology_port.h"

namespace
{

constexpr ULONG kPortTag = MAKE_POOL_TAG('P', 'c', 'T', 'p');

} // namespace

namespace plat
{
namespace pc
{

CPortTopology::CPortTopology(PUNKNOWN Outer) : CPortBase(Outer) {}

// The miniport goes before the event list, which it may still signal on its way out.
CPortTopology::~CPortTopology()
{
    ReleaseChildren();
}

STDMETHODIMP_(NTSTATUS) CPortTopology::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PUNKNOWN own = nullptr;
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IPort) ||
        IsEqualGUIDAligned(InterfaceId, IID_IPortTopology))
        own = static_cast<IPortTopology*>(this);
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPortEvents))
        own = static_cast<IPortEvents*>(this);
    return QueryPortInterface(InterfaceId, own, Interface);
}

STDMETHODIMP_(NTSTATUS)
CPortTopology::Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                    IResourceList* ResourceList)
{
    return InitPort(DeviceObject, UnknownMiniport, IID_IMiniportTopology, UnknownAdapter, ResourceList);
}

NTSTATUS CPortTopology::InitMiniport(PMINIPORT Miniport, PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList)
{
    return static_cast<PMINIPORTTOPOLOGY>(Miniport)->Init(UnknownAdapter, ResourceList,
                                                          static_cast<IPortTopology*>(this));
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

NTSTATUS NewTopologyPort(PPORT* OutPort)
{
    return CPortBase::New<CPortTopology, IPortTopology>(kPortTag, OutPort);
}

} // namespace pc
} // namespace plat
