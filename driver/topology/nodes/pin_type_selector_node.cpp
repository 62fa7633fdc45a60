// CPinTypeSelectorNode: the pin-type list, the current type, its changed flag and the sinks.
#include "driver/topology/nodes/pin_type_selector_node.h"

#include "driver/topology/nodes/node_atomic.h"

CPinTypeSelectorNode::CPinTypeSelectorNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CTopologyNode(UnknownOuter, Id, NODE_KIND_PIN_TYPE_SELECTOR), m_nPinTypeCount(0), m_pPinTypes(nullptr),
      m_nPinType(0), m_nChanged(0), m_pSinks(nullptr)
{
}

CPinTypeSelectorNode::~CPinTypeSelectorNode()
{
    PAGED_CODE();
    if (m_pSinks)
    {
        PVOID pData;
        while (m_pSinks->RemoveHead(&pData))
        {
            static_cast<IPinTypeSink*>(pData)->Release();
        }
        ExFreePoolWithTag(m_pSinks, TERMINAL_NODE_POOL_TAG);
    }
    if (m_pPinTypes)
    {
        ExFreePoolWithTag(m_pPinTypes, TERMINAL_NODE_POOL_TAG);
    }
}

STDMETHODIMP_(NTSTATUS)
CPinTypeSelectorNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_IPinTypeSelector))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<IPinTypeSelector*>(this));
    static_cast<IPinTypeSelector*>(this)->AddRef();
    return STATUS_SUCCESS;
}

BOOLEAN CPinTypeSelectorNode::HasPinType(ULONG PinType)
{
    for (ULONG i = 0; i < m_nPinTypeCount; i++)
    {
        if (m_pPinTypes[i] == PinType)
        {
            return TRUE;
        }
    }
    return FALSE;
}

VOID CPinTypeSelectorNode::NotifySinks(ULONG PinType, PCALLBACK_OBJECT Notify)
{
    PAGED_CODE();
    PPOINTER_LIST_NODE position = m_pSinks ? m_pSinks->GetHeadPosition() : nullptr;
    PVOID pData;
    while (m_pSinks && m_pSinks->GetNext(&position, &pData))
    {
        if (!NT_SUCCESS(static_cast<IPinTypeSink*>(pData)->SetPinType(PinType, Notify)))
        {
            break;
        }
    }
}

STDMETHODIMP_(NTSTATUS) CPinTypeSelectorNode::GetPinType(PULONG PinType)
{
    if (!PinType)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *PinType = NodeReadUlong(&m_nPinType);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPinTypeSelectorNode::GetPinTypeCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nPinTypeCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPinTypeSelectorNode::GetPinTypes(PULONG Types)
{
    if (!Types)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_nPinTypeCount)
    {
        RtlCopyMemory(Types, m_pPinTypes, m_nPinTypeCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPinTypeSelectorNode::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    if (!m_pPinTypes || !HasPinType(PinType))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (PinType == NodeReadUlong(&m_nPinType))
    {
        return STATUS_SUCCESS;
    }
    NodeWriteUlong(&m_nPinType, PinType);
    NodeWriteUlong(&m_nChanged, 1);
    NotifySinks(PinType, nullptr);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CPinTypeSelectorNode::IsPinTypeChanged()
{
    return NodeReadUlong(&m_nChanged);
}

STDMETHODIMP_(NTSTATUS) CPinTypeSelectorNode::ClearPinTypeChanged()
{
    NodeWriteUlong(&m_nChanged, 0);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPinTypeSelectorNode::AddPinTypeSink(IPinTypeSink* Sink)
{
    PAGED_CODE();
    if (!Sink)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pSinks)
    {
        return STATUS_UNSUCCESSFUL;
    }
    Sink->AddRef();
    if (!m_pSinks->AddTail(Sink))
    {
        Sink->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPinTypeSelectorNode::Init(ULONG SourceId, ULONG Count, const ULONG* PinTypes)
{
    PAGED_CODE();
    if (Count < 1 || Count > TERMINAL_MAX_PIN_TYPES || !PinTypes)
    {
        return STATUS_INVALID_PARAMETER;
    }
    // A second Init replaces the list but keeps the sinks already linked.
    PULONG pTypes =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, Count * sizeof(ULONG), TERMINAL_NODE_POOL_TAG));
    if (!pTypes)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!m_pSinks)
    {
        m_pSinks = new (NonPagedPool, TERMINAL_NODE_POOL_TAG) CPointerList();
    }
    NTSTATUS status = m_pSinks ? SetSourceIdList(1, &SourceId) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(pTypes, TERMINAL_NODE_POOL_TAG);
        return status;
    }
    RtlCopyMemory(pTypes, PinTypes, Count * sizeof(ULONG));
    if (m_pPinTypes)
    {
        ExFreePoolWithTag(m_pPinTypes, TERMINAL_NODE_POOL_TAG);
    }
    m_pPinTypes = pTypes;
    m_nPinTypeCount = Count;
    NodeWriteUlong(&m_nPinType, PinTypes[0]);
    return STATUS_SUCCESS;
}
