// The class-2 streams' rate request through the clock source node.
#include "driver/wave/uac2_clock_rate.h"

#include "driver/core/adapter_common.h"
#include "driver/core/topology_node_if.h"

namespace
{

// The node list of the device is read without a reference of the caller's own; the device
// keeps its nodes for as long as its streams live.
ITopologyNode* FindClockNode(IAdapterCommon* Adapter, ULONG ClockNodeId)
{
    ITopologyNode* pFound = nullptr;
    const ULONG count = Adapter->GetNodeCount();
    for (ULONG i = 0; i < count; ++i)
    {
        ITopologyNode* pNode = nullptr;
        if (NT_SUCCESS(Adapter->GetNode(i, &pNode)) && pNode && pNode->GetId() == ClockNodeId)
        {
            pFound = pNode;
        }
    }
    return pFound;
}

} // namespace

NTSTATUS SetClockSourceRateUac2(PUNKNOWN DeviceUnknown, ULONG InterfaceNumber, ULONG ClockNodeId,
                                ULONG RateHz)
{
    PAGED_CODE();
    IAdapterCommon* pAdapter = nullptr;
    if (!DeviceUnknown ||
        !NT_SUCCESS(DeviceUnknown->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&pAdapter))))
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ITopologyNode* pNode = FindClockNode(pAdapter, ClockNodeId);
    IClockSourceNode* pClock = nullptr;
    NTSTATUS status = pNode ? pNode->QueryInterface(IID_IClockSourceNode, reinterpret_cast<PVOID*>(&pClock))
                            : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
    {
        status = pClock->SetSampleRate(RateHz);
        pClock->Release();
    }
    pAdapter->Release();
    if (!NT_SUCCESS(status))
    {
        DbgPrint("Streaming interface %u: clock node %u did not take %u Hz: 0x%08X\n", InterfaceNumber,
                 ClockNodeId, RateHz, status);
    }
    return status;
}
