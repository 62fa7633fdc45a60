// CTerminalNode: pin types, jack records and pin GUIDs of the terminal kinds.
#include "driver/topology/nodes/terminal_node.h"

#include "driver/topology/nodes/node_atomic.h"

CTerminalNode::CTerminalNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind)
    : CTopologyNode(UnknownOuter, Id, Kind), m_nPinTypeCount(0), m_pPinTypes(nullptr), m_nPinType(0),
      m_nJackCount(0), m_pJacks(nullptr), m_nJackTag(TERMINAL_NODE_POOL_TAG)
{
    RtlZeroMemory(m_PinGuids, sizeof(m_PinGuids));
}

CTerminalNode::~CTerminalNode()
{
    PAGED_CODE();
    FreePinTypes();
    FreeJacks();
}

STDMETHODIMP_(NTSTATUS) CTerminalNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_ITerminalNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<ITerminalNode*>(this));
    static_cast<ITerminalNode*>(this)->AddRef();
    return STATUS_SUCCESS;
}

VOID CTerminalNode::FreePinTypes()
{
    if (m_pPinTypes)
    {
        ExFreePoolWithTag(m_pPinTypes, TERMINAL_NODE_POOL_TAG);
        m_pPinTypes = nullptr;
    }
    m_nPinTypeCount = 0;
}

VOID CTerminalNode::FreeJacks()
{
    if (m_pJacks)
    {
        ExFreePoolWithTag(m_pJacks, m_nJackTag);
        m_pJacks = nullptr;
    }
    m_nJackCount = 0;
}

NTSTATUS CTerminalNode::AllocateJacks(ULONG JackCount, ULONG Tag)
{
    PAGED_CODE();
    FreeJacks();
    if (JackCount == 0)
    {
        return STATUS_SUCCESS;
    }
    if (JackCount > MAXULONG / sizeof(JackRecord))
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_pJacks =
        static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, JackCount * sizeof(JackRecord), Tag));
    if (!m_pJacks)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_pJacks, JackCount * sizeof(JackRecord));
    m_nJackTag = Tag;
    m_nJackCount = JackCount;
    return STATUS_SUCCESS;
}

BOOLEAN CTerminalNode::HasPinType(ULONG PinType)
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

NTSTATUS CTerminalNode::InitTerminal(ULONG Count, const ULONG* PinTypes, ULONG JackCount, const VOID* Jacks)
{
    PAGED_CODE();
    if (Count < 1 || Count > TERMINAL_MAX_PIN_TYPES || !PinTypes || (JackCount && !Jacks))
    {
        return STATUS_INVALID_PARAMETER;
    }
    FreePinTypes();
    m_pPinTypes =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, Count * sizeof(ULONG), TERMINAL_NODE_POOL_TAG));
    if (!m_pPinTypes)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = AllocateJacks(JackCount, TERMINAL_NODE_POOL_TAG);
    if (!NT_SUCCESS(status))
    {
        FreePinTypes();
        return status;
    }
    RtlCopyMemory(m_pPinTypes, PinTypes, Count * sizeof(ULONG));
    m_nPinTypeCount = Count;
    NodeWriteUlong(&m_nPinType, PinTypes[0]);
    if (JackCount)
    {
        RtlCopyMemory(m_pJacks, Jacks, JackCount * sizeof(JackRecord));
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTerminalNode::GetPinType(PULONG PinType)
{
    if (!PinType)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *PinType = NodeReadUlong(&m_nPinType);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTerminalNode::GetPinTypeCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nPinTypeCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTerminalNode::GetJackCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nJackCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTerminalNode::GetPinTypes(PULONG Types)
{
    PAGED_CODE();
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

STDMETHODIMP_(NTSTATUS) CTerminalNode::SetPinType(ULONG PinType)
{
    PAGED_CODE();
    if (!m_pPinTypes || !HasPinType(PinType))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NodeWriteUlong(&m_nPinType, PinType);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTerminalNode::GetJackDescriptions(ULONG Bytes, PVOID Records)
{
    PAGED_CODE();
    if (!Records || Bytes == 0 || !m_pJacks || m_nJackCount == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG available = m_nJackCount * ULONG(sizeof(JackRecord));
    RtlCopyMemory(Records, m_pJacks, Bytes < available ? Bytes : available);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CTerminalNode::GetPinGuids(PVOID Guids)
{
    if (!Guids)
    {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(Guids, m_PinGuids, sizeof(m_PinGuids));
    return STATUS_SUCCESS;
}

NTSTATUS CInputTerminalNode::Init(ULONG Count, const ULONG* PinTypes, ULONG JackCount, const VOID* Jacks)
{
    PAGED_CODE();
    NTSTATUS status = InitTerminal(Count, PinTypes, JackCount, Jacks);
    if (NT_SUCCESS(status))
    {
        status = SetSourceIdList(0, nullptr);
    }
    return status;
}

NTSTATUS COutputTerminalNode::Init(ULONG SourceId, ULONG Count, const ULONG* PinTypes, ULONG JackCount,
                                   const VOID* Jacks)
{
    PAGED_CODE();
    NTSTATUS status = InitTerminal(Count, PinTypes, JackCount, Jacks);
    if (NT_SUCCESS(status))
    {
        status = SetSourceIdList(1, &SourceId);
    }
    return status;
}
