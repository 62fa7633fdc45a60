// CLevelNode: per-channel levels with their range, and the interfaces the ranged kinds answer.
#include "driver/topology/nodes/level_node.h"

#include "driver/topology/nodes/boolean_node.h"
#include "driver/topology/nodes/node_atomic.h"

CLevelNode::CLevelNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG Kind)
    : CTopologyNode(UnknownOuter, Id, Kind), m_nChannelCount(0), m_pLevels(nullptr), m_lMaximum(0),
      m_lMinimum(0), m_lStep(0), m_nPinType(0)
{
}

CLevelNode::~CLevelNode()
{
    FreeLevels();
}

STDMETHODIMP_(NTSTATUS) CLevelNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    return NodeQueryControlOrPinTypeSink(InterfaceId, Interface, IID_ILevelControl,
                                         PVOID(static_cast<ILevelControl*>(this)),
                                         PVOID(static_cast<IPinTypeSink*>(this)));
}

VOID CLevelNode::FreeLevels()
{
    if (m_pLevels)
    {
        ExFreePoolWithTag(m_pLevels, LEVEL_NODE_POOL_TAG);
        m_pLevels = nullptr;
    }
}

LONG CLevelNode::ReadLevel(ULONG Channel)
{
    return NodeReadLong(&m_pLevels[Channel]);
}

VOID CLevelNode::WriteLevel(ULONG Channel, LONG Level)
{
    NodeWriteLong(&m_pLevels[Channel], Level);
}

ULONG CLevelNode::NodeReadPinType()
{
    return NodeReadUlong(&m_nPinType);
}

VOID CLevelNode::NodeWritePinType(ULONG PinType)
{
    NodeWriteUlong(&m_nPinType, PinType);
}

STDMETHODIMP_(NTSTATUS) CLevelNode::GetLevel(ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    if (Channel > m_nChannelCount || !Level || !m_pLevels)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Level = ReadLevel(Channel);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CLevelNode::SetLevel(ULONG Channel, LONG Level)
{
    PAGED_CODE();
    if (Channel > m_nChannelCount || !m_pLevels)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WriteLevel(Channel, Level);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CLevelNode::GetRange(PLONG Maximum, PLONG Minimum, PLONG Step)
{
    PAGED_CODE();
    if (!Maximum || !Minimum || !Step)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Maximum = m_lMaximum;
    *Minimum = m_lMinimum;
    *Step = m_lStep;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CLevelNode::GetChannelCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = NodeVisibleChannelCount(m_nChannelCount, NodeReadPinType());
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CLevelNode::Init(ULONG SourceId, ULONG ChannelCount, LONG Maximum, LONG Minimum, LONG Step)
{
    PAGED_CODE();
    if (ChannelCount >= MAXULONG / sizeof(LONG) - 1)
    {
        return STATUS_INVALID_PARAMETER;
    }
    FreeLevels();
    m_nChannelCount = 0;
    SIZE_T size = (SIZE_T(ChannelCount) + 1) * sizeof(LONG);
    m_pLevels = static_cast<PLONG>(ExAllocatePoolWithTag(PagedPool, size, LEVEL_NODE_POOL_TAG));
    if (!m_pLevels)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_pLevels, size);
    NTSTATUS status = SetSourceIdList(1, &SourceId);
    if (!NT_SUCCESS(status))
    {
        FreeLevels();
        return status;
    }
    m_lMaximum = Maximum;
    m_lMinimum = Minimum;
    m_lStep = Step;
    m_nChannelCount = ChannelCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CLevelNode::SetPinType(ULONG PinType, PCALLBACK_OBJECT Notify)
{
    NodeWritePinType(PinType);
    return STATUS_SUCCESS;
}
