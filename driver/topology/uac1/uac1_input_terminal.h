// CUac1InputTerminal: a class-1 input terminal. It reads the terminal's jacks from the device,
// builds the terminal's input pin node, and reports the terminal's pin type and its jacks with
// their plugged-in state.
#pragma once

#include "driver/core/mutex_lock.h"
#include "driver/core/adapter_common.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout.
class CUac1InputTerminal : public ITerminalNode, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CUac1InputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
    ~CUac1InputTerminal() override;

    // As CUac1FeatureUnit::Init, for a class-1 input-terminal descriptor.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // ITerminalNode: one pin type, fixed by the terminal type.
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG Types) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    // Bytes must hold every jack; each copy says whether the jack is plugged in now.
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG Bytes, PVOID Records) override;
    STDMETHODIMP_(NTSTATUS) GetPinGuids(PVOID Guids) override;

    // Entity id and kind from the descriptor, the jacks, then the input pin node.
    // Model variants build their terminals' nodes their own way.
    virtual NTSTATUS BuildTerminalNodes(IAdapterCommon* AdapterCommon);

    // The input pin node re-reads the jacks; its id is returned.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

protected:
    USHORT GetTerminalType();

    ULONG m_nJackCount;
    JackRecord* m_pJacks;
    CMutexLock* m_pDeviceLock;
};
