// CClockSourceNode: the topology node of a class-2 clock source entity. The rates come from
// the entity at set-up; rate changes and validity go to the device through it.
#pragma once

#include "driver/topology/nodes/clock_node.h"
#include "driver/topology/nodes/control_binding.h"

// PASSIVE_LEVEL throughout.
class CClockSourceNode : public CClockNode
{
public:
    CClockSourceNode(PUNKNOWN UnknownOuter, ULONG Id) : CClockNode(UnknownOuter, Id) {}

    // The owner's IClockSourceNode rate list: 1 to CLOCK_MAX_SAMPLE_RATES rates; more give
    // STATUS_NOT_SUPPORTED, none or an unreadable count STATUS_UNSUCCESSFUL.
    NTSTATUS InitClockSourceNode(ITopologyNode* Owner, CMutexLock* DeviceLock);

    // The owner sets the rate; only a success is cached.
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG Rate) override;
    STDMETHODIMP_(NTSTATUS) IsClockValid(PUCHAR Valid) override;

protected:
    CControlBinding m_Binding;
};
