// CInputPinNode and COutputPinNode: the terminal nodes of the terminal entities. They copy the
// entity's pin types, jack records and pin GUIDs at set-up and refresh the pin type and the
// jacks when the device reports a change. An output terminal gets one output pin node per pin
// type it can take (its pin index).
#pragma once

#include "driver/topology/nodes/control_binding.h"
#include "driver/topology/nodes/terminal_node.h"

// Jack records the pin nodes read from their terminal (paged).
#define PIN_NODE_JACK_POOL_TAG MAKE_POOL_TAG('T', 'e', 'r', 'm')

// PASSIVE_LEVEL throughout.
class CInputPinNode : public CInputTerminalNode
{
public:
    CInputPinNode(PUNKNOWN UnknownOuter, ULONG Id) : CInputTerminalNode(UnknownOuter, Id) {}

    // PinGuids: the 32 bytes the builder gives. A terminal with no jacks succeeds.
    NTSTATUS InitInputPinNode(ITopologyNode* Owner, const VOID* PinGuids, CMutexLock* DeviceLock);

    // Jack refresh: the terminal's pin type, then its jack records.
    STDMETHODIMP_(NTSTATUS) SaveValues() override;

protected:
    CControlBinding m_Binding;
};

class COutputPinNode : public COutputTerminalNode
{
public:
    COutputPinNode(PUNKNOWN UnknownOuter, ULONG Id, ULONG PinIndex)
        : COutputTerminalNode(UnknownOuter, Id), m_nPinIndex(PinIndex)
    {
    }

    // The pin type at the node's pin index and that index's jacks.
    NTSTATUS InitOutputPinNode(ITopologyNode* Owner, const VOID* PinGuids, CMutexLock* DeviceLock);

    STDMETHODIMP_(NTSTATUS) SaveValues() override;

    ULONG GetPinIndex() { return m_nPinIndex; }

protected:
    CControlBinding m_Binding;
    ULONG m_nPinIndex;
};
