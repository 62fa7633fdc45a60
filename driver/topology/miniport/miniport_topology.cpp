// CMiniportTopology: creation, the COM interfaces, Init and teardown, the record lookups and
// the control-change callback. The filter graph itself is built in miniport_topology_graph.cpp.
#include "driver/topology/miniport/miniport_topology.h"

namespace
{

const WCHAR kSubdeviceNameFirst[] = u"Global";
const WCHAR kSubdeviceNameSecond[] = u"Topo";

// Teardown and a failed Init drop the same references; each is cleared so neither path
// can release it twice.
template <typename TInterface> VOID ReleaseAndClear(TInterface** Object)
{
    if (*Object)
    {
        (*Object)->Release();
        *Object = nullptr;
    }
}

VOID FreeSubdeviceName(PWSTR* Name)
{
    if (*Name)
    {
        ExFreePoolWithTag(*Name, MINIPORT_TOPOLOGY_POOL_TAG);
        *Name = nullptr;
    }
}

// The first record of a pin or node list that Matches accepts, copied out; the lookups differ
// only in the list and the field they compare.
template <typename TRecord, typename TMatch>
BOOLEAN FindRecord(PLIST_ENTRY List, TRecord* Record, TMatch Matches)
{
    for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink)
    {
        TRecord* pRecord = CONTAINING_RECORD(entry, TRecord, ListEntry);
        if (Matches(*pRecord))
        {
            *Record = *pRecord;
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace

NTSTATUS CreateMiniportTopology(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter,
                                POOL_TYPE PoolType)
{
    PAGED_CODE();
    if (!Unknown)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Unknown = nullptr;
    CMiniportTopology* pMiniport = new (PoolType, MINIPORT_TOPOLOGY_POOL_TAG) CMiniportTopology(UnknownOuter);
    if (!pMiniport)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = pMiniport->GetNonDelegatingUnknown();
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

// The pool block arrives zeroed; only the list heads and the power state need more.
CMiniportTopology::CMiniportTopology(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter)
{
    PAGED_CODE();
    m_pFilterDescriptor = nullptr;
    m_pPinDescriptors = nullptr;
    m_pNodeDescriptors = nullptr;
    m_pConnectionDescriptors = nullptr;
    m_pPort = nullptr;
    m_pPortEvents = nullptr;
    m_pSubdeviceName = nullptr;
    m_pCallbackRegistration = nullptr;
    m_pAdapterCommon = nullptr;
    m_DevicePowerState = PowerDeviceD0;
    InitializeListHead(&m_PinList);
    InitializeListHead(&m_NodeList);
    InitializeListHead(&m_ConnectionList);
    m_nPinCount = 0;
    m_nNodeCount = 0;
    m_nConnectionCount = 0;
}

// The callback goes first: once it is unregistered no device thread can reach the records
// or the port events while they are released.
CMiniportTopology::~CMiniportTopology()
{
    PAGED_CODE();
    if (m_pCallbackRegistration && m_pAdapterCommon)
    {
        m_pAdapterCommon->UnregisterCallback(m_pCallbackRegistration);
        m_pCallbackRegistration = nullptr;
    }
    ReleaseAndClear(&m_pPort);
    ReleaseAndClear(&m_pPortEvents);
    FreeDescriptors();
    FreeRecords();
    FreeSubdeviceName(&m_pSubdeviceName);
    ReleaseAndClear(&m_pAdapterCommon);
}

STDMETHODIMP_(NTSTATUS) CMiniportTopology::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportTopology))
    {
        *Interface = PVOID(static_cast<IMiniportTopology*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IPowerNotify))
    {
        *Interface = PVOID(static_cast<IPowerNotify*>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IMiniportSubdevice))
    {
        *Interface = PVOID(static_cast<IMiniportSubdevice*>(this));
    }
    else
    {
        *Interface = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR* OutFilterDescriptor)
{
    PAGED_CODE();
    if (!OutFilterDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pFilterDescriptor)
    {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    *OutFilterDescriptor = m_pFilterDescriptor;
    return STATUS_SUCCESS;
}

// Topology pins carry no data; nothing ever opens one.
STDMETHODIMP_(NTSTATUS)
CMiniportTopology::DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                         ULONG OutputBufferLength, PVOID ResultantFormat,
                                         PULONG ResultantFormatLength)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
CMiniportTopology::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port)
{
    PAGED_CODE();
    if (!Port || !UnknownAdapter)
    {
        return STATUS_INVALID_PARAMETER;
    }
    // The port initialises its miniport once; a second Init would orphan the first graph.
    if (m_pPort || !IsListEmpty(&m_PinList) || !IsListEmpty(&m_NodeList))
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    m_pPort = Port;
    m_pPort->AddRef();
    NTSTATUS status =
        UnknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&m_pAdapterCommon));
    if (NT_SUCCESS(status))
    {
        status = BuildPinRecords();
    }
    if (NT_SUCCESS(status))
    {
        status = BuildNodeRecords();
    }
    if (NT_SUCCESS(status))
    {
        status = BuildFilterDescriptor();
    }
    if (NT_SUCCESS(status))
    {
        status = BuildSubdeviceName();
    }
    if (NT_SUCCESS(status))
    {
        status = Port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&m_pPortEvents));
    }
    if (NT_SUCCESS(status))
    {
        status =
            m_pAdapterCommon->RegisterCallback(GenerateControlChangeEvent, this, &m_pCallbackRegistration);
    }
    if (!NT_SUCCESS(status))
    {
        // The records stay until destruction; everything the port or the adapter could reach
        // goes now, so a failed miniport holds no one else's objects.
        m_pCallbackRegistration = nullptr;
        FreeDescriptors();
        FreeSubdeviceName(&m_pSubdeviceName);
        ReleaseAndClear(&m_pAdapterCommon);
        ReleaseAndClear(&m_pPortEvents);
        ReleaseAndClear(&m_pPort);
    }
    return status;
}

NTSTATUS CMiniportTopology::BuildSubdeviceName()
{
    PAGED_CODE();
    m_pSubdeviceName = static_cast<PWSTR>(ExAllocatePoolWithTag(
        PagedPool, TOPOLOGY_SUBDEVICE_NAME_CCH * sizeof(WCHAR), MINIPORT_TOPOLOGY_POOL_TAG));
    if (!m_pSubdeviceName)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return RtlStringCchPrintfW(m_pSubdeviceName, TOPOLOGY_SUBDEVICE_NAME_CCH, u"%s%s", kSubdeviceNameFirst,
                               kSubdeviceNameSecond);
}

STDMETHODIMP_(void) CMiniportTopology::PowerChangeNotify(POWER_STATE PowerState)
{
    PAGED_CODE();
    DEVICE_POWER_STATE state = PowerState.DeviceState;
    if (state != m_DevicePowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3)
    {
        m_DevicePowerState = state;
    }
}

STDMETHODIMP_(NTSTATUS) CMiniportTopology::FindPinId(PULONG NodeId, PULONG PinId)
{
    PAGED_CODE();
    if (!NodeId || !PinId)
    {
        return STATUS_INVALID_PARAMETER;
    }
    TopologyPinRecord record;
    if (FindPinRecordById(*NodeId, &record))
    {
        *PinId = record.PinId;
        return STATUS_SUCCESS;
    }
    *PinId = 0;
    return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CMiniportTopology::GetSubdeviceName(PWSTR* Name)
{
    PAGED_CODE();
    if (!Name)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Name = m_pSubdeviceName;
    return STATUS_SUCCESS;
}

BOOLEAN CMiniportTopology::FindNodeRecordByIndex(ULONG NodeId, TopologyNodeRecord* Record)
{
    return FindRecord(&m_NodeList, Record,
                      [NodeId](const TopologyNodeRecord& Node) { return Node.NodeId == NodeId; });
}

BOOLEAN CMiniportTopology::FindPinRecordByIndex(ULONG PinId, TopologyPinRecord* Record)
{
    return FindRecord(&m_PinList, Record,
                      [PinId](const TopologyPinRecord& Pin) { return Pin.PinId == PinId; });
}

BOOLEAN CMiniportTopology::FindNodeRecordById(ULONG TopologyNodeId, TopologyNodeRecord* Record)
{
    return FindRecord(&m_NodeList, Record,
                      [TopologyNodeId](const TopologyNodeRecord& Node)
                      { return Node.Node->GetId() == TopologyNodeId; });
}

BOOLEAN CMiniportTopology::FindPinRecordById(ULONG TopologyNodeId, TopologyPinRecord* Record)
{
    return FindRecord(&m_PinList, Record,
                      [TopologyNodeId](const TopologyPinRecord& Pin)
                      { return Pin.Node->GetId() == TopologyNodeId; });
}

BOOLEAN CMiniportTopology::FindFirstOutputTerminalPin(PLIST_ENTRY* Cursor, TopologyPinRecord* Record)
{
    PLIST_ENTRY entry = *Cursor ? *Cursor : m_PinList.Flink;
    for (; entry != &m_PinList; entry = entry->Flink)
    {
        TopologyPinRecord* pRecord = CONTAINING_RECORD(entry, TopologyPinRecord, ListEntry);
        if (pRecord->Node->GetKind() == NODE_KIND_OUTPUT_TERMINAL)
        {
            *Record = *pRecord;
            *Cursor = entry->Flink;
            return TRUE;
        }
    }
    *Cursor = entry;
    return FALSE;
}

VOID CMiniportTopology::RaiseControlChange(ULONG KsNodeId)
{
    if (m_pPortEvents)
    {
        m_pPortEvents->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_AudioControlChange),
                                         KSEVENT_CONTROL_CHANGE, FALSE, ULONG(-1), TRUE, KsNodeId);
    }
}

// Only a value change of a node that is a KS node of this filter becomes an event; the
// device also announces changes of terminals and clocks, which the filter has no node for.
VOID GenerateControlChangeEvent(PVOID Context, PVOID Argument1, PVOID Argument2)
{
    CMiniportTopology* pMiniport = static_cast<CMiniportTopology*>(Context);
    const AudioHalNotification* pNotification = static_cast<const AudioHalNotification*>(Argument1);
    if (!pMiniport || !pNotification || pNotification->Class != AUDIO_HAL_CLASS_CONTROL_CHANGE ||
        pNotification->Event != AUDIO_HAL_EVENT_VALUE_CHANGED)
    {
        return;
    }
    TopologyNodeRecord record;
    if (pMiniport->FindNodeRecordById(pNotification->NodeId, &record))
    {
        pMiniport->RaiseControlChange(record.NodeId);
    }
}
