// CSelectorNode: an input selector. Its inputs are its sources, numbered from 1; the nodes on
// the paths into it (its sinks) are told which input is selected after every change.
#pragma once

#include "driver/core/pointer_list.h"
#include "driver/core/topology_node.h"

// The sink list header of the selector nodes.
#define SELECTOR_NODE_POOL_TAG MAKE_POOL_TAG('S', 'e', 'l', 'T')

// PASSIVE_LEVEL throughout; the owner serialises changes.
class CSelectorNode : public ISelectorNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();

    CSelectorNode(PUNKNOWN UnknownOuter, ULONG Id);
    ~CSelectorNode() override;

    // ISelectorNode
    STDMETHODIMP_(NTSTATUS) GetSelectedInput(PULONG Input) override;
    STDMETHODIMP_(NTSTATUS) SetSelectedInput(ULONG Input) override;
    STDMETHODIMP_(NTSTATUS) GetInputCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) AddSelectorSink(IConnectionIndexSync* Sink) override;

    // Creates the sink list first (STATUS_UNSUCCESSFUL when it cannot).
    STDMETHODIMP_(NTSTATUS) SetSourceIdList(ULONG Count, const ULONG* Ids) override;

protected:
    BOOLEAN CreateSinkList();

    ULONG volatile m_nSelectedInput;
    CPointerList* m_pSinks; // IConnectionIndexSync*, one reference each
};
