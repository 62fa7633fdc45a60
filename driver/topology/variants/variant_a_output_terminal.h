// CVariantAOutputTerminal: the jack-sensing model's output terminal 3. Its pin types come from
// the model's feature switches (the speaker always, then headphones and S/PDIF when supported);
// the choice goes to the chip's registers rather than to the terminal, is kept in the settings,
// and each pin type has the fixed jacks the model's panel has.
#pragma once

#include "driver/core/variant_a_registers_if.h"
#include "driver/topology/uac1/uac1_output_terminal.h"

// PASSIVE_LEVEL throughout.
class CVariantAOutputTerminal : public CUac1OutputTerminal
{
public:
    CVariantAOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id);

    // The pin types from the switches, then the class-1 set-up with this class's builder, then
    // the chip programmed for the current pin type.
    NTSTATUS InitSwitchedOutput(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock,
                                IVariantARegisters* Registers, BOOLEAN SupportSpdif,
                                BOOLEAN SupportHeadphones, BOOLEAN EightChannels);

    // A type outside the list: STATUS_UNSUCCESSFUL. No request goes to the terminal.
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG PinType) override;
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG Count) override;
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG Bytes, PVOID Records) override;
    STDMETHODIMP_(NTSTATUS) GetJackCountAt(ULONG PinIndex, PULONG Count) override;
    // A buffer too small for every record is left untouched (success).
    STDMETHODIMP_(NTSTATUS) GetJackDescriptionsAt(ULONG PinIndex, ULONG Bytes, PVOID Records) override;

    NTSTATUS BuildTerminalNodes(IAdapterCommon* AdapterCommon) override;
    // The output pin node refreshes its jacks; its id is returned.
    NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id) override;

private:
    VOID ProgramChip(ULONG PinType);
    ULONG CurrentIndex();

    IVariantARegisters* m_pRegisters;
    IAdapterCommon* m_pAudioFunction;
    UCHAR m_EightChannelJacks;
};
