// CClockNode: the rate list and the current rate of a clock source.
#include "driver/topology/nodes/clock_node.h"

#include "driver/topology/nodes/node_atomic.h"

CClockNode::CClockNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CTopologyNode(UnknownOuter, Id, NODE_KIND_CLOCK_SOURCE), m_nRateCount(0), m_pRates(nullptr), m_nRate(0)
{
}

CClockNode::~CClockNode()
{
    PAGED_CODE();
    if (m_pRates)
    {
        ExFreePoolWithTag(m_pRates, CLOCK_NODE_POOL_TAG);
    }
}

STDMETHODIMP_(NTSTATUS) CClockNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_IClockSourceNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<IClockSourceNode*>(this));
    static_cast<IClockSourceNode*>(this)->AddRef();
    return STATUS_SUCCESS;
}

// Count is the caller's room on entry; a room too small for every rate copies nothing.
STDMETHODIMP_(NTSTATUS) CClockNode::GetSampleRates(PULONG Count, PULONG Rates)
{
    if (!Count || !Rates || *Count < m_nRateCount)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nRateCount;
    if (m_nRateCount)
    {
        RtlCopyMemory(Rates, m_pRates, m_nRateCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CClockNode::GetSampleRateCount(PULONG Count)
{
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = m_nRateCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CClockNode::SetSampleRate(ULONG Rate)
{
    NodeWriteUlong(&m_nRate, Rate);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CClockNode::GetSampleRate(PULONG Rate)
{
    if (!Rate)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Rate = NodeReadUlong(&m_nRate);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CClockNode::IsClockValid(PUCHAR Valid)
{
    if (!Valid)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Valid = 1;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CClockNode::Init(ULONG Count, const ULONG* Rates)
{
    PAGED_CODE();
    if (!Rates || Count > CLOCK_MAX_SAMPLE_RATES)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PULONG pRates = nullptr;
    if (Count)
    {
        pRates = static_cast<PULONG>(
            ExAllocatePoolWithTag(NonPagedPool, Count * sizeof(ULONG), CLOCK_NODE_POOL_TAG));
        if (!pRates)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlCopyMemory(pRates, Rates, Count * sizeof(ULONG));
    }
    NTSTATUS status = SetSourceIdList(0, nullptr);
    if (!NT_SUCCESS(status))
    {
        if (pRates)
        {
            ExFreePoolWithTag(pRates, CLOCK_NODE_POOL_TAG);
        }
        return status;
    }
    if (m_pRates)
    {
        ExFreePoolWithTag(m_pRates, CLOCK_NODE_POOL_TAG);
    }
    m_pRates = pRates;
    m_nRateCount = Count;
    return STATUS_SUCCESS;
}
