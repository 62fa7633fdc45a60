// COutputPinTypeNode: the pin-type choice of an output terminal that can be switched between
// several types (speaker, headphones, line, ...). A change goes to the terminal, re-installs
// the output's wave subdevices, and moves every linked control node to the values saved for
// the new type; the choice itself is saved and restored.
#pragma once

#include "driver/topology/nodes/control_binding.h"
#include "driver/topology/nodes/pin_type_selector_node.h"

// PASSIVE_LEVEL throughout; every operation holds the device lock.
class COutputPinTypeNode : public CPinTypeSelectorNode
{
public:
    COutputPinTypeNode(PUNKNOWN UnknownOuter, ULONG Id)
        : CPinTypeSelectorNode(UnknownOuter, Id), m_pAudioFunction(nullptr)
    {
    }

    // The terminal's list and current type; a saved type replaces the current one when the
    // terminal offers it. AudioFunction (kept without a reference, as it holds the node)
    // answers IUsbAudioFunction.
    NTSTATUS InitOutputPinTypeNode(ITopologyNode* Owner, PDEVICE_OBJECT SettingsDevice,
                                   PUNKNOWN AudioFunction, CMutexLock* DeviceLock);

    // The terminal's current type, cached.
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG PinType) override;
    // On any failure the terminal goes back to the old type and the first failure is returned.
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    // Best effort: the terminal gets the cached type.
    STDMETHODIMP_(NTSTATUS) RestoreValues() override;
    // Follows a type the device switched to by itself.
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

protected:
    NTSTATUS AnnounceChange(ULONG PinType);

    CControlBinding m_Binding;
    PUNKNOWN m_pAudioFunction;
};
