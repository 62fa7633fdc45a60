// The terminals of the model variants that keep the class-1 terminal behaviour but build
// simpler nodes: one pin node of the pin type the terminal type stands for, without jacks read
// from the device and without a pin-type choice. A USB streaming terminal is a stream pin.
#pragma once

#include "driver/topology/uac1/uac1_input_terminal.h"
#include "driver/topology/uac1/uac1_output_terminal.h"

// PASSIVE_LEVEL throughout.
class CVariantInputTerminal : public CUac1InputTerminal
{
public:
    CVariantInputTerminal(PUNKNOWN UnknownOuter, ULONG Id, ULONG NodeTag)
        : CUac1InputTerminal(UnknownOuter, Id), m_nNodeTag(NodeTag)
    {
    }

    // Id from bTerminalID, no source, one input pin node.
    NTSTATUS BuildTerminalNodes(IAdapterCommon* AdapterCommon) override;

private:
    ULONG m_nNodeTag;
};

class CVariantOutputTerminal : public CUac1OutputTerminal
{
public:
    CVariantOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id, ULONG NodeTag)
        : CUac1OutputTerminal(UnknownOuter, Id), m_nNodeTag(NodeTag)
    {
    }

    // Id from bTerminalID, source bSourceID, one output pin node.
    NTSTATUS BuildTerminalNodes(IAdapterCommon* AdapterCommon) override;

private:
    ULONG m_nNodeTag;
};

// The pin type of a terminal type for the variant builders: as the class-1 mapping, with USB
// streaming a stream pin in both directions. Any IRQL.
ULONG VariantInputPinType(USHORT TerminalType);
ULONG VariantOutputPinType(USHORT TerminalType);

class CVariantBInputTerminal : public CVariantInputTerminal
{
public:
    CVariantBInputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
};
class CVariantCInputTerminal : public CVariantInputTerminal
{
public:
    CVariantCInputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
};
class CVariantBOutputTerminal : public CVariantOutputTerminal
{
public:
    CVariantBOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
};
class CVariantCOutputTerminal : public CVariantOutputTerminal
{
public:
    CVariantCOutputTerminal(PUNKNOWN UnknownOuter, ULONG Id);
};
