// CTopologyNode: identifier, kind and the source list that ties a node to the nodes upstream
// of it. The do-nothing slots are the defaults that control nodes override.
#include "driver/core/topology_node.h"

CTopologyNode::CTopologyNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind)
    : CUnknown(UnknownOuter), m_nId(Id), m_nKind(Kind), m_nSourceCount(0), m_pSourceIds(nullptr)
{
}

CTopologyNode::~CTopologyNode()
{
    PAGED_CODE();
    FreeSourceIds();
}

STDMETHODIMP_(NTSTATUS) CTopologyNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (!Interface)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) || IsEqualGUIDAligned(InterfaceId, IID_ITopologyNode))
    {
        *Interface = PVOID(static_cast<PTOPOLOGYNODE>(this));
        static_cast<PTOPOLOGYNODE>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
}

VOID CTopologyNode::FreeSourceIds()
{
    if (m_pSourceIds)
    {
        ExFreePoolWithTag(m_pSourceIds, TOPOLOGY_NODE_POOL_TAG);
        m_pSourceIds = nullptr;
    }
    m_nSourceCount = 0;
}

STDMETHODIMP_(ULONG) CTopologyNode::GetId()
{
    return m_nId;
}

STDMETHODIMP_(ULONG) CTopologyNode::GetKind()
{
    return m_nKind;
}

STDMETHODIMP_(ULONG) CTopologyNode::GetSourceCount()
{
    return m_nSourceCount;
}

// Count is the caller's room on entry. Only a room larger than the list is lowered to the
// list's length; a smaller room gets the first ids and keeps its value.
STDMETHODIMP_(NTSTATUS) CTopologyNode::GetSourceIdList(PULONG Count, PULONG Ids)
{
    PAGED_CODE();
    if (!Count || !Ids)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (*Count > m_nSourceCount)
    {
        *Count = m_nSourceCount;
    }
    if (*Count)
    {
        RtlCopyMemory(Ids, m_pSourceIds, *Count * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTopologyNode::RestoreValues()
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTopologyNode::SaveValues()
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTopologyNode::Start()
{
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTopologyNode::Stop()
{
    return STATUS_SUCCESS;
}

// A second call replaces the list; the earlier array is freed rather than leaked. The new
// array is filled before the old one goes, so a caller may pass the node's own ids back.
STDMETHODIMP_(NTSTATUS) CTopologyNode::SetSourceIdList(ULONG Count, const ULONG* Ids)
{
    PAGED_CODE();
    if (Count && !Ids)
    {
        return STATUS_INVALID_PARAMETER;
    }
    PULONG pIds = nullptr;
    if (Count)
    {
        pIds = static_cast<PULONG>(
            ExAllocatePoolWithTag(PagedPool, SIZE_T(Count) * sizeof(ULONG), TOPOLOGY_NODE_POOL_TAG));
        if (pIds)
        {
            RtlCopyMemory(pIds, Ids, SIZE_T(Count) * sizeof(ULONG));
        }
    }
    FreeSourceIds();
    if (Count && !pIds)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_pSourceIds = pIds;
    m_nSourceCount = Count;
    return STATUS_SUCCESS;
}

NTSTATUS QueryNodeInterface(CTopologyNode* Node, REFIID InterfaceId, PVOID* Interface, REFIID FirstId,
                            PUNKNOWN First, REFIID SecondId, PUNKNOWN Second)
{
    PAGED_CODE();
    if (NT_SUCCESS(Node->CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (IsEqualGUIDAligned(InterfaceId, FirstId))
    {
        *Interface = PVOID(First);
    }
    else if (Second && IsEqualGUIDAligned(InterfaceId, SecondId))
    {
        *Interface = PVOID(Second);
    }
    else
    {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*Interface)->AddRef();
    return STATUS_SUCCESS;
}
