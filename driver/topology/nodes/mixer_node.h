// CMixerNode: a summing node. In pin mode it stands for a capture pin of its own ("StereoMix"):
// it then reports the input-terminal kind, no sources, and answers ITerminalNode.
#pragma once

#include "driver/topology/nodes/terminal_node.h"

// PASSIVE_LEVEL throughout.
class CMixerNode : public IMixerNode, public CTerminalNode
{
public:
    DECLARE_STD_UNKNOWN();

    CMixerNode(PUNKNOWN UnknownOuter, ULONG Id);

    // IMixerNode
    STDMETHODIMP_(NTSTATUS) SetPinMode(UCHAR On) override;

    // Also gives the terminal part its one pin type (StereoMix) and its one jack; a failed
    // allocation there leaves the node without them but does not fail the call.
    STDMETHODIMP_(NTSTATUS) SetSourceIdList(ULONG Count, const ULONG* Ids) override;

protected:
    UCHAR m_bPinMode;
    ULONG m_nSavedSourceCount;
};
