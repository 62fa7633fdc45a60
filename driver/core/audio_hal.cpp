// CAudioHal: node and stream lists, the control-change callback object, the selector-path
// linking that follows the descriptor walks, and the base power handling.
#include "driver/core/audio_hal.h"

#include "driver/core/callback_registration.h"

namespace
{

// Room for the name, the terminator included. The formatted name is "\Callback\AudioHalAddr"
// and 16 hexadecimal digits: 38 characters.
constexpr SIZE_T CALLBACK_NAME_BUFFER_CHARS = 51;
constexpr SIZE_T CALLBACK_NAME_FORMAT_CHARS = 49;

CPointerList* NewList()
{
    return new (NonPagedPool, AUDIO_HAL_POOL_TAG) CPointerList();
}

VOID FreeList(CPointerList** ppList)
{
    if (*ppList)
    {
        ExFreePoolWithTag(*ppList, AUDIO_HAL_POOL_TAG);
        *ppList = nullptr;
    }
}

VOID ReleaseAll(CPointerList* pList)
{
    PVOID pData;
    while (pList && pList->RemoveHead(&pData))
    {
        static_cast<IUnknown*>(pData)->Release();
    }
}

NTSTATUS Append(CPointerList* pList, IUnknown* pUnknown)
{
    if (!pUnknown)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!pList)
    {
        return STATUS_UNSUCCESSFUL;
    }
    pUnknown->AddRef();
    if (!pList->AddTail(pUnknown))
    {
        pUnknown->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Index lookups add no reference: the device holds its entries for as long as it lives.
NTSTATUS GetEntry(CPointerList* pList, ULONG Index, PVOID* ppEntry)
{
    if (!ppEntry)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *ppEntry = nullptr;
    if (!pList)
    {
        return STATUS_UNSUCCESSFUL;
    }
    return pList->GetAt(Index, ppEntry) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

BOOLEAN PathContains(ITopologyNode** Path, ULONG Length, ITopologyNode* Node)
{
    for (ULONG i = 0; i < Length; i++)
    {
        if (Path[i] == Node)
        {
            return TRUE;
        }
    }
    return FALSE;
}

// Makes Node a sink of the selector input it feeds, and tells it which input is selected now.
VOID LinkSink(ITopologyNode* Node, ISelectorNode* Selector, ULONG InputIndex)
{
    ULONG selected = 0;
    Selector->GetSelectedInput(&selected);
    IConnectionIndexSync* pSync = nullptr;
    if (!NT_SUCCESS(Node->QueryInterface(IID_IConnectionIndexSync, reinterpret_cast<PVOID*>(&pSync))))
    {
        return;
    }
    Selector->AddSelectorSink(pSync);
    pSync->SetWalkIndex(InputIndex);
    pSync->SetExpectedIndex(selected);
    pSync->Release();
}

} // namespace

VOID AudioHalNotifyControlChange(PCALLBACK_OBJECT CallbackObject, ULONG NodeId)
{
    if (!CallbackObject)
    {
        return;
    }
    // Zeroed whole, reserved bytes included, so no stack contents reach the listeners.
    AudioHalNotification notification;
    RtlZeroMemory(&notification, sizeof(notification));
    notification.Class = AUDIO_HAL_CLASS_CONTROL_CHANGE;
    notification.Event = AUDIO_HAL_EVENT_VALUE_CHANGED;
    notification.NodeId = NodeId;
    ExNotifyCallback(CallbackObject, &notification, nullptr);
}

CAudioHal::CAudioHal(PUNKNOWN UnknownOuter)
    : CUnknown(UnknownOuter), m_pFunctionalDeviceObject(nullptr), m_pLowerDeviceObject(nullptr),
      m_pPhysicalDeviceObject(nullptr), m_DevicePowerState(PowerDeviceUnspecified),
      m_pCallbackObject(nullptr), m_pNodeList(nullptr), m_pStreamList(nullptr)
{
    RtlZeroMemory(&m_EndpointCaps, sizeof(m_EndpointCaps));
}

// The callback object was created permanent so that its name stays while the device lives;
// it is made temporary before the last reference goes, or every device ever started would
// leave a named object behind, and a later device at the same address would open the old one.
CAudioHal::~CAudioHal()
{
    PAGED_CODE();
    ReleaseNodes();
    ReleaseStreams();
    FreeLists();
    DeleteCallbackObject(&m_pCallbackObject);
}

STDMETHODIMP_(NTSTATUS) CAudioHal::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_IAdapterCommon))
    {
        *Interface = PVOID(static_cast<PADAPTERCOMMON>(this));
    }
    else if (IsEqualGUIDAligned(InterfaceId, IID_IAdapterPowerManagement))
    {
        *Interface = PVOID(static_cast<PADAPTERPOWERMANAGEMENT>(this));
    }
    else
    {
        *Interface = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::GetEndpointCaps(ULONG EndpointIndex, EndpointCaps* Caps)
{
    PAGED_CODE();
    if (!Caps)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Caps = m_EndpointCaps;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::GetEndpointCapsByType(ULONG Capture, ULONG Type, EndpointCaps* Caps)
{
    PAGED_CODE();
    return CAudioHal::GetEndpointCaps(0, Caps);
}

STDMETHODIMP_(NTSTATUS) CAudioHal::GetComponentId(PKSCOMPONENTID ComponentId)
{
    PAGED_CODE();
    return STATUS_INVALID_DEVICE_REQUEST;
}

STDMETHODIMP_(ULONG) CAudioHal::GetStreamCount()
{
    return m_pStreamList ? m_pStreamList->GetCount() : 0;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::GetStream(ULONG Index, IStreamEngine** Stream)
{
    PAGED_CODE();
    return GetEntry(m_pStreamList, Index, reinterpret_cast<PVOID*>(Stream));
}

STDMETHODIMP_(ULONG) CAudioHal::GetNodeCount()
{
    return m_pNodeList ? m_pNodeList->GetCount() : 0;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::GetNode(ULONG Index, ITopologyNode** Node)
{
    PAGED_CODE();
    return GetEntry(m_pNodeList, Index, reinterpret_cast<PVOID*>(Node));
}

STDMETHODIMP_(PDEVICE_OBJECT) CAudioHal::GetDeviceObject()
{
    return m_pFunctionalDeviceObject;
}

NTSTATUS CAudioHal::CreateLists()
{
    m_pNodeList = NewList();
    if (!m_pNodeList)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_pStreamList = NewList();
    return m_pStreamList ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID CAudioHal::FreeLists()
{
    FreeList(&m_pNodeList);
    FreeList(&m_pStreamList);
}

// Named after this object's own address, so every device object has its own, and a listener
// that holds the name can tell the devices apart.
NTSTATUS CAudioHal::CreateCallbackObject()
{
    PWSTR pName = static_cast<PWSTR>(ExAllocatePoolWithTag(
        PagedPool, CALLBACK_NAME_BUFFER_CHARS * sizeof(WCHAR), AUDIO_HAL_NAME_POOL_TAG));
    if (!pName)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = RtlStringCchPrintfW(pName, CALLBACK_NAME_FORMAT_CHARS, u"\\Callback\\AudioHalAddr%p",
                                          static_cast<CAudioHal*>(this));
    if (NT_SUCCESS(status))
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, pName);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr,
                                   nullptr);
        status = ExCreateCallback(&m_pCallbackObject, &attributes, TRUE, TRUE);
    }
    ExFreePoolWithTag(pName, AUDIO_HAL_NAME_POOL_TAG);
    return status;
}

STDMETHODIMP_(NTSTATUS)
CAudioHal::Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT FunctionalDeviceObject,
                PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    // A second Init would orphan the lists and the callback object of the first.
    if (m_pNodeList || m_pStreamList || m_pCallbackObject)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = CreateLists();
    if (NT_SUCCESS(status))
    {
        status = CreateCallbackObject();
    }
    if (NT_SUCCESS(status))
    {
        m_pFunctionalDeviceObject = FunctionalDeviceObject;
        m_pLowerDeviceObject = LowerDeviceObject;
        m_pPhysicalDeviceObject = PhysicalDeviceObject;
        m_DevicePowerState = PowerDeviceD0;
        status = InitHardware();
    }
    if (NT_SUCCESS(status))
    {
        status = BuildConnections();
    }
    if (!NT_SUCCESS(status))
    {
        // The callback object stays: registrations may already be made on it, and the
        // destructor removes it.
        ReleaseNodes();
        ReleaseStreams();
        FreeLists();
        return status;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::Start()
{
    PAGED_CODE();
    PPOINTER_LIST_NODE position = m_pNodeList ? m_pNodeList->GetHeadPosition() : nullptr;
    PVOID pData;
    while (m_pNodeList && m_pNodeList->GetNext(&position, &pData))
    {
        static_cast<ITopologyNode*>(pData)->Start();
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::Stop()
{
    PAGED_CODE();
    PPOINTER_LIST_NODE position = m_pNodeList ? m_pNodeList->GetHeadPosition() : nullptr;
    PVOID pData;
    while (m_pNodeList && m_pNodeList->GetNext(&position, &pData))
    {
        static_cast<ITopologyNode*>(pData)->Stop();
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CAudioHal::RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration)
{
    PAGED_CODE();
    return RegisterObjectCallback(m_pCallbackObject, Callback, Context, Registration);
}

STDMETHODIMP_(NTSTATUS) CAudioHal::UnregisterCallback(PVOID Registration)
{
    PAGED_CODE();
    return UnregisterObjectCallback(Registration);
}

STDMETHODIMP_(NTSTATUS) CAudioHal::WakeForAccess(PIRP Irp)
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::InitHardware()
{
    PAGED_CODE();
    return STATUS_NOT_IMPLEMENTED;
}

// Links every selector to the nodes on the paths that feed its inputs, then writes the cached
// node values to the device now that the graph is complete.
STDMETHODIMP_(NTSTATUS) CAudioHal::BuildConnections()
{
    PAGED_CODE();
    ULONG nodeCount = GetNodeCount();
    if (nodeCount)
    {
        // A path visits each node at most once, so the node count bounds its length.
        ITopologyNode** path = static_cast<ITopologyNode**>(
            ExAllocatePoolWithTag(PagedPool, nodeCount * sizeof(ITopologyNode*), AUDIO_HAL_POOL_TAG));
        if (!path)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PPOINTER_LIST_NODE position = m_pNodeList->GetHeadPosition();
        PVOID pData;
        while (m_pNodeList->GetNext(&position, &pData))
        {
            LinkSelectorInputs(static_cast<ITopologyNode*>(pData), path, nodeCount);
        }
        ExFreePoolWithTag(path, AUDIO_HAL_POOL_TAG);
    }
    return RestoreNodeValues();
}

VOID CAudioHal::LinkSelectorInputs(ITopologyNode* Selector, ITopologyNode** Path, ULONG PathRoom)
{
    ULONG sourceIds[AUDIO_HAL_MAX_SELECTOR_INPUTS];
    ULONG count = Selector->GetSourceCount();
    if (Selector->GetKind() != NODE_KIND_SELECTOR || count > AUDIO_HAL_MAX_SELECTOR_INPUTS)
    {
        return;
    }
    if (!NT_SUCCESS(Selector->GetSourceIdList(&count, sourceIds)))
    {
        return;
    }
    ISelectorNode* pSelector = nullptr;
    if (!NT_SUCCESS(Selector->QueryInterface(IID_ISelectorNode, reinterpret_cast<PVOID*>(&pSelector))))
    {
        return;
    }
    for (ULONG input = 1; input <= count; input++)
    {
        LinkSelectorPath(input, pSelector, sourceIds[input - 1], Path, PathRoom);
    }
    pSelector->Release();
}

// Follows the single-source chain upstream from SourceId and links its nodes, the farthest
// first. A descriptor set whose units feed each other in a loop ends the walk at the first
// node seen twice, instead of following the loop for ever.
VOID CAudioHal::LinkSelectorPath(ULONG InputIndex, ISelectorNode* Selector, ULONG SourceId,
                                 ITopologyNode** Path, ULONG PathRoom)
{
    ULONG length = 0;
    ULONG id = SourceId;
    ITopologyNode* pNode = nullptr;
    while (length < PathRoom && NT_SUCCESS(FindNodeById(id, &pNode)) && pNode->GetSourceCount() == 1 &&
           !PathContains(Path, length, pNode))
    {
        Path[length++] = pNode;
        ULONG count = 1;
        if (!NT_SUCCESS(pNode->GetSourceIdList(&count, &id)) || count != 1)
        {
            break;
        }
    }
    while (length)
    {
        LinkSink(Path[--length], Selector, InputIndex);
    }
}

STDMETHODIMP_(void) CAudioHal::PowerChangeState(POWER_STATE NewState)
{
    PAGED_CODE();
    DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_DevicePowerState || state < PowerDeviceD0 || state > PowerDeviceD3)
    {
        return;
    }
    if (state == PowerDeviceD0)
    {
        RestoreNodeValues();
    }
    m_DevicePowerState = state;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::QueryPowerChangeState(POWER_STATE NewStateQuery)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAudioHal::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps)
{
    PAGED_CODE();
    if (!PowerDeviceCaps)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PowerDeviceCaps->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::AddNode(ITopologyNode* Node)
{
    PAGED_CODE();
    return Append(m_pNodeList, Node);
}

NTSTATUS CAudioHal::AddStream(IStreamEngine* Stream)
{
    PAGED_CODE();
    return Append(m_pStreamList, Stream);
}

NTSTATUS CAudioHal::FindNodeById(ULONG Id, ITopologyNode** Node)
{
    PAGED_CODE();
    if (!Node)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Node = nullptr;
    if (!m_pNodeList || m_pNodeList->IsEmpty())
    {
        return STATUS_UNSUCCESSFUL;
    }
    PPOINTER_LIST_NODE position = m_pNodeList->GetHeadPosition();
    PVOID pData;
    while (m_pNodeList->GetNext(&position, &pData))
    {
        ITopologyNode* pNode = static_cast<ITopologyNode*>(pData);
        if (pNode->GetId() == Id)
        {
            *Node = pNode;
        }
    }
    return *Node ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAudioHal::RestoreNodeValues()
{
    PAGED_CODE();
    PPOINTER_LIST_NODE position = m_pNodeList ? m_pNodeList->GetHeadPosition() : nullptr;
    PVOID pData;
    while (m_pNodeList && m_pNodeList->GetNext(&position, &pData))
    {
        NTSTATUS status = static_cast<ITopologyNode*>(pData)->RestoreValues();
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

VOID CAudioHal::ReleaseNodes()
{
    ReleaseAll(m_pNodeList);
}

VOID CAudioHal::ReleaseStreams()
{
    ReleaseAll(m_pStreamList);
}
