// CClockNode: a class-2 clock source with the sample rates it offers and the current one.
#pragma once

#include "driver/core/topology_node.h"

// The rate list of the clock nodes (non-paged).
#define CLOCK_NODE_POOL_TAG MAKE_POOL_TAG('c', 'l', 'o', 'c')

// PASSIVE_LEVEL throughout.
class CClockNode : public IClockSourceNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();

    CClockNode(PUNKNOWN UnknownOuter, ULONG Id);
    ~CClockNode() override;

    // IClockSourceNode
    STDMETHODIMP_(NTSTATUS) GetSampleRates(PULONG Count, PULONG Rates) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRateCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG Rate) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRate(PULONG Rate) override;
    STDMETHODIMP_(NTSTATUS) IsClockValid(PUCHAR Valid) override;
    STDMETHODIMP_(NTSTATUS) Init(ULONG Count, const ULONG* Rates) override;

protected:
    ULONG m_nRateCount;
    PULONG m_pRates;
    ULONG volatile m_nRate;
};
