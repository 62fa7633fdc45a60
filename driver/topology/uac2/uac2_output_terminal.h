// CUac2OutputTerminal: a class-2 output terminal. It is the class-1 output terminal with its
// terminal-type and jack extensions asked as class requests, gated by the terminal's connector
// control: without a readable connector the terminal has its descriptor's type only and no
// jacks. It also names the clock source that times it.
#pragma once

#include "driver/topology/uac1/uac1_output_terminal.h"
#include "driver/topology/uac2/uac2_entity_request.h"

// PASSIVE_LEVEL throughout, as the class-1 terminal.
class CUac2OutputTerminal : public IClockedTerminal, public CUac1OutputTerminal
{
public:
    DECLARE_STD_UNKNOWN();

    CUac2OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id) : CUac1OutputTerminal(UnknownOuter, Id) {}

    // Selects the type on the device even when it is the current one, then saves it and has the
    // output pin nodes re-read their pin type. A type the terminal does not offer:
    // STATUS_UNSUCCESSFUL.
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetJackCountAt(ULONG PinIndex, PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetJackDescriptionsAt(ULONG PinIndex, ULONG Bytes, PVOID Records) override;

    // IClockedTerminal
    STDMETHODIMP_(NTSTATUS) GetClockSourceId(PULONG Id) override;

    // Argument1: the report's control selector. The connector (2) refreshes the pin-type node
    // and the output pin nodes; the terminal type (8) first takes the device's current type.
    // Other selectors: STATUS_UNSUCCESSFUL. No id is written.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

protected:
    NTSTATUS ReadTerminalTypeList(USHORT TerminalType) override;
    NTSTATUS ReadPinTypeJacks(ULONG Index) override;
    NTSTATUS ReadDeviceTerminalType(PUSHORT TerminalType) override;
    VOID SelectTerminalType(USHORT TerminalType) override;

private:
    BOOLEAN ConnectorReadable() { return Uac2TerminalConnectorReadable(m_pDescriptor); }
    NTSTATUS UseSinglePinType(USHORT TerminalType);
};
