// CUac2InputTerminal: a class-2 input terminal. It names the clock source that times it, reads
// its jacks while its connector control is readable, builds the terminal's input pin node, and
// reports the terminal's pin type and its jacks with their plugged-in state.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/topology/uac2/uac2_entity_request.h"

// PASSIVE_LEVEL throughout.
class CUac2InputTerminal : public ITerminalNode, public IClockedTerminal, public CUsbEntityNode
{
public:
    DECLARE_STD_UNKNOWN();

    CUac2InputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
    ~CUac2InputTerminal() override;

    // As CUac1FeatureUnit::Init, for a class-2 input-terminal descriptor.
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                  CMutexLock* DeviceLock);

    // ITerminalNode: one pin type, fixed by the terminal type.
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG Types) override;
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    // Needs a readable connector; each copy says whether the jack is plugged in now.
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG Bytes, PVOID Records) override;
    STDMETHODIMP_(NTSTATUS) GetPinGuids(PVOID Guids) override;

    // IClockedTerminal
    STDMETHODIMP_(NTSTATUS) GetClockSourceId(PULONG Id) override;

    // Entity id and kind from the descriptor, the jacks, then the input pin node.
    NTSTATUS BuildTerminalNodes(IAdapterCommon* AdapterCommon);

    // Argument1, Argument2: the report's control selector and channel. Only the connector
    // (selector 2, channel 0) is the terminal's: its pin node re-reads the jacks and gives its id.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

private:
    USHORT GetTerminalType();
    BOOLEAN IsInputTerminalDescriptor();

    ULONG m_nJackCount;
    JackRecord* m_pJacks;
    CMutexLock* m_pDeviceLock;
};
