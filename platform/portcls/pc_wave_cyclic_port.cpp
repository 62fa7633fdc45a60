// The WaveCyclic port: its pins, Notify and the service DPC; binding, release and the shared
// interfaces are CPortBase's.
// Pins are created by a create whose name carries the KS pin string, the KSPIN_CONNECT and the
// data format; the port checks the connection against the pin factory, has the miniport
// intersect the format with the pin's ranges, and opens the stream through NewStream.
#include "pc_wave_cyclic_port.h"

#include "ks_requests.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr ULONG kPortTag = MAKE_POOL_TAG('P', 'c', 'W', 'p');
constexpr ULONG kPinTag = MAKE_POOL_TAG('P', 'c', 'W', 'i');
// Room for any result a miniport's intersection handler writes (a wave format is 104 bytes).
constexpr ULONG kIntersectionBytes = 1024;

struct PinCreate
{
    KSPIN_CONNECT Connect;
    std::vector<UCHAR> Format;
};

// "\{pin string}" followed by the binary KSPIN_CONNECT and the KSDATAFORMAT it announces.
NTSTATUS ParsePinCreate(const std::u16string& Rest, PinCreate* Out)
{
    const std::u16string prefix = std::u16string(u"\\") + KSSTRING_Pin;
    if (Rest.size() < prefix.size() || Rest.compare(0, prefix.size(), prefix) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const UCHAR* data = reinterpret_cast<const UCHAR*>(Rest.data() + prefix.size());
    size_t bytes = (Rest.size() - prefix.size()) * sizeof(char16_t);
    if (bytes < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT))
        return STATUS_INVALID_PARAMETER;
    std::memcpy(&Out->Connect, data, sizeof(KSPIN_CONNECT));
    KSDATAFORMAT header;
    std::memcpy(&header, data + sizeof(KSPIN_CONNECT), sizeof(header));
    if (header.FormatSize < sizeof(header) || header.FormatSize > bytes - sizeof(KSPIN_CONNECT))
        return STATUS_INVALID_PARAMETER;
    const UCHAR* format = data + sizeof(KSPIN_CONNECT);
    Out->Format.assign(format, format + header.FormatSize);
    return STATUS_SUCCESS;
}

bool GuidCovers(const GUID& Own, const GUID& Client)
{
    return IsEqualGUIDAligned(Own, GUID_NULL) || IsEqualGUIDAligned(Own, Client);
}

// The format as the range of exactly itself, which the miniport's intersection handler compares
// with its own range. The bit depth is the valid bits of an extensible format.
KSDATARANGE_AUDIO RangeOfFormat(const std::vector<UCHAR>& Format)
{
    KSDATARANGE_AUDIO range = {};
    std::memcpy(&range.DataRange, Format.data(), sizeof(KSDATAFORMAT));
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.Flags = 0;
    range.DataRange.SampleSize = 0;
    size_t offset = 0;
    if (IsEqualGUIDAligned(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
        offset = offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx);
    else if (IsEqualGUIDAligned(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_DSOUND))
        offset = offsetof(KSDATAFORMAT_DSOUND, BufferDesc.WaveFormatEx);
    if (offset == 0 || Format.size() < offset + sizeof(WAVEFORMATEX))
        return range;
    WAVEFORMATEX wave;
    std::memcpy(&wave, Format.data() + offset, sizeof(wave));
    ULONG bits = wave.wBitsPerSample;
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE && Format.size() >= offset + sizeof(WAVEFORMATEXTENSIBLE))
    {
        WAVEFORMATEXTENSIBLE extensible;
        std::memcpy(&extensible, Format.data() + offset, sizeof(extensible));
        bits = extensible.Samples.wValidBitsPerSample;
    }
    range.MaximumChannels = wave.nChannels;
    range.MinimumBitsPerSample = range.MaximumBitsPerSample = bits;
    range.MinimumSampleFrequency = range.MaximumSampleFrequency = wave.nSamplesPerSec;
    return range;
}

// The miniport's DataRangeIntersection against each of the pin's ranges that could hold the
// format; the first success accepts it. The last refusal is the answer otherwise.
NTSTATUS IntersectFormat(PMINIPORTWAVECYCLIC Miniport, ULONG PinId, const KSPIN_DESCRIPTOR& Pin,
                         const std::vector<UCHAR>& Format)
{
    KSDATARANGE_AUDIO client = RangeOfFormat(Format);
    NTSTATUS status = STATUS_NO_MATCH;
    for (ULONG i = 0; i < Pin.DataRangesCount; ++i)
    {
        PKSDATARANGE own = Pin.DataRanges[i];
        if (!GuidCovers(own->MajorFormat, client.DataRange.MajorFormat) ||
            !GuidCovers(own->SubFormat, client.DataRange.SubFormat) ||
            !GuidCovers(own->Specifier, client.DataRange.Specifier))
            continue;
        std::vector<UCHAR> result(kIntersectionBytes);
        ULONG length = 0;
        status = Miniport->DataRangeIntersection(PinId, &client.DataRange, own, kIntersectionBytes,
                                                 result.data(), &length);
        if (NT_SUCCESS(status))
            return STATUS_SUCCESS;
    }
    return status;
}

// A factory that lists its interfaces takes only those.
NTSTATUS CheckInterface(const KSPIN_DESCRIPTOR& Pin, const KSPIN_CONNECT& Connect)
{
    if (Pin.InterfacesCount == 0)
        return STATUS_SUCCESS;
    for (ULONG i = 0; i < Pin.InterfacesCount; ++i)
        if (IsEqualGUIDAligned(Pin.Interfaces[i].Set, Connect.Interface.Set) &&
            Pin.Interfaces[i].Id == Connect.Interface.Id)
            return STATUS_SUCCESS;
    return STATUS_NO_MATCH;
}

const PCPIN_DESCRIPTOR* PinAt(const PCFILTER_DESCRIPTOR* d, ULONG Pin)
{
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                     SIZE_T(d->PinSize) * Pin);
}

} // namespace

namespace plat
{
namespace pc
{

CPortWaveCyclic::CPortWaveCyclic(PUNKNOWN Outer) : CPortBase(Outer), m_pRegistrationOnly(nullptr)
{
    KeInitializeSpinLock(&m_NotifyLock);
    KeInitializeDpc(&m_ServiceDpc, ServiceDpc, this);
}

// The miniport goes while the pins still exist: by the base's destructor they are gone.
CPortWaveCyclic::~CPortWaveCyclic()
{
    ReleaseChildren();
    for (auto& entry : m_Pins)
        entry.second->NonDelegatingRelease();
    KeRemoveQueueDpc(&m_ServiceDpc);
    KeFlushQueuedDpcs();
    for (PSERVICEGROUP group : m_Pending)
        group->Release();
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PUNKNOWN own = nullptr;
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IPort) ||
        IsEqualGUIDAligned(InterfaceId, IID_IPortWaveCyclic))
        own = static_cast<IPortWaveCyclic*>(this);
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPcPinPort))
        own = static_cast<IPcPinPort*>(this);
    return QueryPortInterface(InterfaceId, own, Interface);
}

STDMETHODIMP_(NTSTATUS)
CPortWaveCyclic::Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                      IResourceList* ResourceList)
{
    return InitPort(DeviceObject, UnknownMiniport, IID_IMiniportWaveCyclic, UnknownAdapter, ResourceList);
}

NTSTATUS CPortWaveCyclic::InitMiniport(PMINIPORT Miniport, PUNKNOWN UnknownAdapter,
                                       PRESOURCELIST ResourceList)
{
    return static_cast<PMINIPORTWAVECYCLIC>(Miniport)->Init(UnknownAdapter, ResourceList,
                                                            static_cast<IPortWaveCyclic*>(this));
}

// An object that is no wave miniport takes part in registration only: it gets no filter, so no
// interface is registered for it and nothing opens on it. It binds once all the same.
NTSTATUS CPortWaveCyclic::BindOther(PUNKNOWN Unknown)
{
    Lock();
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    if (TakeFirstInit())
    {
        Unknown->AddRef();
        m_pRegistrationOnly = Unknown;
        status = STATUS_SUCCESS;
    }
    Unlock();
    return status;
}

STDMETHODIMP_(void) CPortWaveCyclic::Notify(PSERVICEGROUP ServiceGroup)
{
    if (ServiceGroup == nullptr)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&m_NotifyLock, &irql);
    if (std::find(m_Pending.begin(), m_Pending.end(), ServiceGroup) == m_Pending.end())
    {
        ServiceGroup->AddRef();
        m_Pending.push_back(ServiceGroup);
    }
    KeReleaseSpinLock(&m_NotifyLock, irql);
    KeInsertQueueDpc(&m_ServiceDpc, nullptr, nullptr);
}

VOID CPortWaveCyclic::ServiceDpc(PKDPC, PVOID Context, PVOID, PVOID)
{
    static_cast<CPortWaveCyclic*>(Context)->Service();
}

// DISPATCH_LEVEL. Each group notified since the last run is served once, outside the notify
// lock: a stream may notify again from inside its members' calls.
void CPortWaveCyclic::Service()
{
    std::vector<PSERVICEGROUP> groups;
    KeAcquireSpinLockAtDpcLevel(&m_NotifyLock);
    groups.swap(m_Pending);
    KeReleaseSpinLockFromDpcLevel(&m_NotifyLock);
    for (PSERVICEGROUP group : groups)
    {
        group->RequestService();
        group->Release();
    }
}

STDMETHODIMP_(BOOLEAN) CPortWaveCyclic::IsBound()
{
    return CPortBase::IsBound() || m_pRegistrationOnly != nullptr;
}

NTSTATUS CPortWaveCyclic::CheckInstances(ULONG PinId, const PCPIN_DESCRIPTOR* Pin)
{
    ULONG open = 0;
    for (const auto& entry : m_Pins)
        if (entry.second->IsOpen() && entry.second->PinId() == PinId)
            ++open;
    // One filter per port here, so the global limit is the filter's as well.
    ULONG limit = std::min(Pin->MaxFilterInstanceCount, Pin->MaxGlobalInstanceCount);
    return open < limit ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CPortWaveCyclic::OpenPin(PFILE_OBJECT FileObject, const std::u16string& Rest)
{
    PinCreate create;
    NTSTATUS status = ParsePinCreate(Rest, &create);
    if (!NT_SUCCESS(status))
        return status;
    ULONG id = create.Connect.PinId;
    if (id >= m_pDescriptor->PinCount)
        return STATUS_INVALID_PARAMETER;
    const PCPIN_DESCRIPTOR* pin = PinAt(m_pDescriptor, id);
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    // Bridge pins stand for the hardware's connectors: no data flows through a handle on them.
    if (ks.Communication == KSPIN_COMMUNICATION_NONE || ks.Communication == KSPIN_COMMUNICATION_BRIDGE)
        return STATUS_INVALID_DEVICE_REQUEST;
    status = CheckInterface(ks, create.Connect);
    if (NT_SUCCESS(status))
        status = CheckInstances(id, pin);
    if (NT_SUCCESS(status))
        status = IntersectFormat(Miniport(), id, ks, create.Format);
    if (!NT_SUCCESS(status))
        return status;
    CPortPinWaveCyclic* instance = new (NonPagedPool, kPinTag) CPortPinWaveCyclic(nullptr);
    if (instance == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    instance->NonDelegatingAddRef();
    status = instance->Open(Miniport(), id, ks.DataFlow == KSPIN_DATAFLOW_OUT, create.Format);
    if (!NT_SUCCESS(status))
    {
        instance->NonDelegatingRelease();
        return status;
    }
    m_Pins[FileObject] = instance;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::OpenHandle(PFILE_OBJECT FileObject, const std::u16string& Rest)
{
    PAGED_CODE();
    Lock();
    NTSTATUS status;
    if (m_pMiniport == nullptr)
        status = STATUS_DEVICE_NOT_READY;
    else if (Rest.empty())
        status = STATUS_SUCCESS;
    else
        status = OpenPin(FileObject, Rest);
    Unlock();
    return status;
}

STDMETHODIMP_(void) CPortWaveCyclic::CloseHandle(PFILE_OBJECT FileObject)
{
    PAGED_CODE();
    CPortPinWaveCyclic* pin = nullptr;
    Lock();
    auto it = m_Pins.find(FileObject);
    if (it != m_Pins.end())
    {
        pin = it->second;
        m_Pins.erase(it);
        pin->Close();
    }
    Unlock();
    if (pin)
        pin->NonDelegatingRelease();
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::DeviceControl(PFILE_OBJECT FileObject, PIRP Irp)
{
    PAGED_CODE();
    Irp->IoStatus.Information = 0;
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    Lock();
    NTSTATUS status;
    auto it = m_Pins.find(FileObject);
    if (it != m_Pins.end())
        status = it->second->DeviceControl(Irp);
    else if (m_pMiniport == nullptr)
        status = STATUS_DEVICE_NOT_READY;
    else if (code == IOCTL_KS_PROPERTY)
        status = HandleFilterProperty(m_pMiniport, m_pDescriptor, Irp);
    else
        status = STATUS_INVALID_DEVICE_REQUEST;
    Unlock();
    return status;
}

// Streams go before their miniport; their handles stay, refusing their requests.
PUNKNOWN CPortWaveCyclic::DetachChildren()
{
    for (auto& entry : m_Pins)
        entry.second->Close();
    PUNKNOWN other = m_pRegistrationOnly;
    m_pRegistrationOnly = nullptr;
    return other;
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::DescribePin(PFILE_OBJECT FileObject, PcPinView* View)
{
    Lock();
    auto it = m_Pins.find(FileObject);
    bool open = it != m_Pins.end() && it->second->IsOpen();
    if (open)
        it->second->Describe(View);
    Unlock();
    return open ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS NewWaveCyclicPort(PPORT* OutPort)
{
    return CPortBase::New<CPortWaveCyclic, IPortWaveCyclic>(kPortTag, OutPort);
}

} // namespace pc
} // namespace plat
