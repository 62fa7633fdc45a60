// CPinTypeSelectorNode: the pin-type choice of an output terminal (speaker, headphones, line,
// ...). The control nodes on the output's path are its sinks and follow every change.
#pragma once

#include "driver/core/pointer_list.h"
#include "driver/topology/nodes/terminal_node.h"

// PASSIVE_LEVEL throughout; the owner serialises changes.
class CPinTypeSelectorNode : public IPinTypeSelector, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();

    CPinTypeSelectorNode(PUNKNOWN UnknownOuter, ULONG Id);
    ~CPinTypeSelectorNode() override;

    // IPinTypeSelector
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG Types) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    STDMETHODIMP_(ULONG) IsPinTypeChanged() override;
    STDMETHODIMP_(NTSTATUS) ClearPinTypeChanged() override;
    STDMETHODIMP_(NTSTATUS) AddPinTypeSink(IPinTypeSink* Sink) override;
    STDMETHODIMP_(NTSTATUS) Init(ULONG SourceId, ULONG Count, const ULONG* PinTypes) override;

protected:
    BOOLEAN HasPinType(ULONG PinType);
    // Every sink in list order gets the type, up to the first that fails.
    VOID NotifySinks(ULONG PinType, PCALLBACK_OBJECT Notify);

    ULONG m_nPinTypeCount;
    PULONG m_pPinTypes;
    ULONG volatile m_nPinType;
    ULONG volatile m_nChanged;
    CPointerList* m_pSinks; // IPinTypeSink*, one reference each
};
