// CUac1OutputTerminal: a class-1 output terminal. A terminal the device can switch between
// terminal types (speaker, headphones, ...) has one pin type per type it lists, with the jacks of
// each, one output pin node per pin type and a pin-type node to choose between them; the choice
// goes to the device and is kept in the settings.
#pragma once

#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/terminal_jacks_if.h"
#include "driver/core/adapter_common.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout. The pin-type node and the status handling hold the device lock
// around their calls.
class CUac1OutputTerminal : public ITerminalNode, public ITerminalJacks, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CUac1OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
    ~CUac1OutputTerminal() override;

    // As CUac1FeatureUnit::Init, for a class-1 output-terminal descriptor. AdapterCommon must
    // also answer IUsbAudioFunction for the pin-type node.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // ITerminalNode. The jack slots give the jacks of the current pin type.
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG Types) override;
    // Selects the type's terminal type on the device; the device's refusal is returned and
    // changes nothing. A type the terminal does not offer: STATUS_UNSUCCESSFUL.
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG Bytes, PVOID Records) override;
    STDMETHODIMP_(NTSTATUS) GetPinGuids(PVOID Guids) override;

    // ITerminalJacks. The current pin type's jacks carry the device's plugged-in state; the
    // others the "SetJackConnect" setting.
    STDMETHODIMP_(NTSTATUS) GetJackCountAt(ULONG PinIndex, PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetJackDescriptionsAt(ULONG PinIndex, ULONG Bytes, PVOID Records) override;

    // Entity id, kind and source from the descriptor, the pin types with their jacks, then the
    // output pin nodes and, with two or more pin types, the pin-type node.
    // Model variants build their terminals' nodes their own way.
    virtual NTSTATUS BuildTerminalNodes(IAdapterCommon* AdapterCommon);

    // Follows a terminal type the device switched to by itself and refreshes the pin nodes.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

protected:
    // The steps the class-2 output terminal does with its own requests are virtual.
    USHORT GetTerminalType();
    BOOLEAN IsStreaming();
    NTSTATUS AllocPinTypeArrays(ULONG Count);
    VOID FreePinTypeArrays();
    virtual NTSTATUS ReadTerminalTypeList(USHORT TerminalType);
    virtual NTSTATUS ReadPinTypeJacks(ULONG Index);
    // The pin index of PinType, or the pin-type count when the terminal does not offer it.
    ULONG FindPinType(ULONG PinType);
    VOID ChooseStartPinType(PDEVICE_OBJECT SettingsDevice, BOOLEAN DeviceTypeRead, USHORT DeviceType);
    NTSTATUS BuildPinNodes(IAdapterCommon* AdapterCommon);
    NTSTATUS AccessPinTypeValue(PDEVICE_OBJECT SettingsDevice, ULONG Operation, PULONG PinType);
    NTSTATUS GetSettingsDevice(PDEVICE_OBJECT* SettingsDevice);
    virtual NTSTATUS ReadDeviceTerminalType(PUSHORT TerminalType);
    virtual VOID SelectTerminalType(USHORT TerminalType);

    ULONG m_nPinType; // current
    ULONG m_nPinTypeCount;
    PULONG m_pPinTypes;
    PUSHORT m_pTerminalTypes;
    PULONG m_pJackCounts;
    JackRecord** m_ppJacks;
    CMutexLock* m_pDeviceLock;
};

// Has Terminal's output pin nodes re-read their values, and the first pin-type node it meets as
// well unless TypeNodeDone; whether any node did. Shared by the terminal's subclasses, whose
// type switches and reports refresh the same nodes. PASSIVE_LEVEL.
BOOLEAN Uac1SaveTerminalPinNodes(CUsbEntityNode* Terminal, BOOLEAN TypeNodeDone);
