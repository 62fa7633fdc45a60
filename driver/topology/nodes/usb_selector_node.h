// CUsbSelectorNode: the topology node of a selector unit. The selected input (1-based) goes to
// the unit, is kept in the settings and is restored; the paths into the selector follow it.
#pragma once

#include "driver/topology/nodes/control_binding.h"
#include "driver/topology/nodes/selector_node.h"

// PASSIVE_LEVEL throughout; every operation holds the device lock.
class CUsbSelectorNode : public CSelectorNode
{
public:
    CUsbSelectorNode(PUNKNOWN UnknownOuter, ULONG Id) : CSelectorNode(UnknownOuter, Id) {}

    // One zero source id per input of the owner's ISelectorNode; the selected input is the
    // unit's, replaced by the saved one, and limited to 1 to the input count.
    NTSTATUS InitSelectorNode(ITopologyNode* Owner, PDEVICE_OBJECT SettingsDevice, CMutexLock* DeviceLock);

    // Input 1 to the input count; the unit's refusal is returned and changes nothing.
    STDMETHODIMP_(NTSTATUS) SetSelectedInput(ULONG Input) override;
    // Best effort: the unit gets the cached input.
    STDMETHODIMP_(NTSTATUS) RestoreValues() override;
    // The unit's input into the cache.
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

protected:
    CControlBinding m_Binding;
};
