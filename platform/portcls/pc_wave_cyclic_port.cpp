// The WaveCyclic port. Like the topology port it holds its miniport from Init until its
// registration ends, and the registry breaks the miniport's hold on it through ReleaseChildren.
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

CPortWaveCyclic::CPortWaveCyclic(PUNKNOWN Outer)
    : CUnknown(Outer), m_pMiniport(nullptr), m_pRegistrationOnly(nullptr), m_pDescriptor(nullptr),
      m_pVersion(nullptr), m_bInitCalled(FALSE)
{
    KeInitializeMutex(&m_Mutex, 0);
    KeInitializeSpinLock(&m_NotifyLock);
    KeInitializeDpc(&m_ServiceDpc, ServiceDpc, this);
}

CPortWaveCyclic::~CPortWaveCyclic()
{
    ReleaseChildren();
    for (auto& entry : m_Pins)
        entry.second->NonDelegatingRelease();
    KeRemoveQueueDpc(&m_ServiceDpc);
    KeFlushQueuedDpcs();
    for (PSERVICEGROUP group : m_Pending)
        group->Release();
    if (m_pVersion)
        m_pVersion->Release();
}

NTSTATUS CPortWaveCyclic::Construct()
{
    return PcCreateVersionObject(GetOuterUnknown(), &m_pVersion);
}

void CPortWaveCyclic::Lock()
{
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
}

void CPortWaveCyclic::Unlock()
{
    KeReleaseMutex(&m_Mutex, FALSE);
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (Interface == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Interface = nullptr;
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IPort) ||
        IsEqualGUIDAligned(InterfaceId, IID_IPortWaveCyclic))
        *Interface = PVOID(static_cast<IPortWaveCyclic*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IUnregisterSubdevice))
        *Interface = PVOID(static_cast<IUnregisterSubdevice*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IUnregisterPhysicalConnection))
        *Interface = PVOID(static_cast<IUnregisterPhysicalConnection*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPcSubdevicePort))
        *Interface = PVOID(static_cast<IPcSubdevicePort*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPcPinPort))
        *Interface = PVOID(static_cast<IPcPinPort*>(this));
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPortClsVersion) && m_pVersion)
        return m_pVersion->QueryInterface(InterfaceId, Interface);
    else
        return STATUS_INVALID_PARAMETER;
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CPortWaveCyclic::Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                      IResourceList* ResourceList)
{
    PAGED_CODE();
    if (DeviceObject == nullptr || UnknownMiniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    PMINIPORTWAVECYCLIC miniport = nullptr;
    bool wave = NT_SUCCESS(
        UnknownMiniport->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&miniport)));
    Lock();
    // A port binds once, even when its first Init failed: its miniport may hold on to it.
    if (m_bInitCalled)
    {
        Unlock();
        if (miniport)
            miniport->Release();
        return STATUS_INVALID_DEVICE_STATE;
    }
    m_bInitCalled = TRUE;
    if (!wave)
    {
        // An object that is no wave miniport takes part in registration only: it gets no
        // filter, so no interface is registered for it and nothing opens on it.
        UnknownMiniport->AddRef();
        m_pRegistrationOnly = UnknownMiniport;
        Unlock();
        return STATUS_SUCCESS;
    }
    NTSTATUS status = miniport->Init(UnknownAdapter, ResourceList, static_cast<IPortWaveCyclic*>(this));
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

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
{
    return plat::pc::UnregisterSubdevice(DeviceObject, Unknown);
}

STDMETHODIMP_(NTSTATUS)
CPortWaveCyclic::UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                              ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin)
{
    return plat::pc::UnregisterPhysicalConnection(DeviceObject, FromUnknown, FromPin, ToUnknown, ToPin);
}

// Connections to other drivers' filters are never registered here, so there is none to remove.
STDMETHODIMP_(NTSTATUS)
CPortWaveCyclic::UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT, PUNKNOWN, ULONG, PUNICODE_STRING,
                                                        ULONG)
{
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(NTSTATUS)
CPortWaveCyclic::UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT, PUNICODE_STRING, ULONG, PUNKNOWN,
                                                          ULONG)
{
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP_(BOOLEAN) CPortWaveCyclic::IsBound()
{
    return m_pMiniport != nullptr || m_pRegistrationOnly != nullptr;
}

STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) CPortWaveCyclic::GetFilterDescriptor()
{
    return m_pDescriptor;
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
        status = IntersectFormat(m_pMiniport, id, ks, create.Format);
    if (!NT_SUCCESS(status))
        return status;
    CPortPinWaveCyclic* instance = new (NonPagedPool, kPinTag) CPortPinWaveCyclic(nullptr);
    if (instance == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    instance->NonDelegatingAddRef();
    status = instance->Open(m_pMiniport, id, ks.DataFlow == KSPIN_DATAFLOW_OUT, create.Format);
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

STDMETHODIMP_(void) CPortWaveCyclic::PowerChangeNotify(POWER_STATE PowerState)
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

STDMETHODIMP_(void) CPortWaveCyclic::ReleaseChildren()
{
    Lock();
    // Streams go before their miniport; their handles stay, refusing their requests.
    for (auto& entry : m_Pins)
        entry.second->Close();
    PMINIPORTWAVECYCLIC miniport = m_pMiniport;
    PUNKNOWN other = m_pRegistrationOnly;
    m_pMiniport = nullptr;
    m_pRegistrationOnly = nullptr;
    m_pDescriptor = nullptr;
    Unlock();
    // The miniport may release this port's last outside reference as it goes; the caller holds
    // one of its own for the call.
    if (miniport)
        miniport->Release();
    if (other)
        other->Release();
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
    CPortWaveCyclic* port = new (NonPagedPool, kPortTag) CPortWaveCyclic(nullptr);
    if (port == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    port->NonDelegatingAddRef();
    NTSTATUS status = port->Construct();
    if (!NT_SUCCESS(status))
    {
        port->NonDelegatingRelease();
        return status;
    }
    *OutPort = static_cast<IPortWaveCyclic*>(port);
    return STATUS_SUCCESS;
}

} // namespace pc
} // namespace plat
