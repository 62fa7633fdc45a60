// CUac1SelectorUnit: a class-1 selector unit. It builds the unit's selector node and answers the
// node's questions about the selected input with requests to the unit.
#pragma once

#include "driver/core/mutex_lock.h"
#include "driver/core/adapter_common.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout; the selector node holds the device lock around its calls.
class CUac1SelectorUnit : public ISelectorNode, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CUac1SelectorUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // As CUac1FeatureUnit::Init, for a class-1 selector-unit descriptor.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // ISelectorNode: inputs 1 to bNrInPins.
    STDMETHODIMP_(NTSTATUS) GetSelectedInput(PULONG Input) override;
    STDMETHODIMP_(NTSTATUS) SetSelectedInput(ULONG Input) override;
    STDMETHODIMP_(NTSTATUS) GetInputCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) AddSelectorSink(IConnectionIndexSync* Sink) override;

    // Entity id, kind and sources from the descriptor, then the selector node.
    // Model variants add to the builder.
    virtual NTSTATUS BuildSelectorNode(IAdapterCommon* AdapterCommon);

protected:
    BOOLEAN IsSelectorDescriptor();

    CMutexLock* m_pDeviceLock;
};
