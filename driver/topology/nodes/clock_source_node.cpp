// CClockSourceNode: the rate list, rate changes and validity of a clock source entity.
#include "driver/topology/nodes/clock_source_node.h"

NTSTATUS CClockSourceNode::InitClockSourceNode(ITopologyNode* Owner, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    m_Binding.Bind(Owner, 0, nullptr, DeviceLock);
    CControlLockGuard guard(m_Binding);
    IClockSourceNode* pClock = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IClockSourceNode, reinterpret_cast<PVOID*>(&pClock));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG count = 0;
    if (!NT_SUCCESS(pClock->GetSampleRateCount(&count)) || count < 1)
    {
        pClock->Release();
        return STATUS_UNSUCCESSFUL;
    }
    if (count > CLOCK_MAX_SAMPLE_RATES)
    {
        // The node's rate table has a fixed size: a clock beyond it is not supported; nothing ran out.
        pClock->Release();
        return STATUS_NOT_SUPPORTED;
    }
    PULONG pRates =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), CLOCK_NODE_POOL_TAG));
    if (!pRates)
    {
        pClock->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG room = count;
    status = pClock->GetSampleRates(&room, pRates);
    pClock->Release();
    if (NT_SUCCESS(status))
    {
        status = CClockNode::Init(room < count ? room : count, pRates);
    }
    ExFreePoolWithTag(pRates, CLOCK_NODE_POOL_TAG);
    return status;
}

STDMETHODIMP_(NTSTATUS) CClockSourceNode::SetSampleRate(ULONG Rate)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    IClockSourceNode* pClock = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IClockSourceNode, reinterpret_cast<PVOID*>(&pClock));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = pClock->SetSampleRate(Rate);
    pClock->Release();
    if (NT_SUCCESS(status))
    {
        CClockNode::SetSampleRate(Rate);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CClockSourceNode::IsClockValid(PUCHAR Valid)
{
    PAGED_CODE();
    CControlLockGuard guard(m_Binding);
    IClockSourceNode* pClock = nullptr;
    NTSTATUS status = m_Binding.QueryOwner(IID_IClockSourceNode, reinterpret_cast<PVOID*>(&pClock));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = pClock->IsClockValid(Valid);
    pClock->Release();
    return status;
}
