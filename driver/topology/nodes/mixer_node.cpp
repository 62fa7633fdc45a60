// CMixerNode: source list, pin mode and the StereoMix pin it stands for in pin mode.
#include "driver/topology/nodes/mixer_node.h"

#include "driver/core/pin_type.h"

namespace
{

// The jack of the StereoMix pin: front-left and front-right, internal, on the primary box.
const JackRecord kStereoMixJack = {
    3,  // ChannelMapping
    0,  // Color
    7,  // ConnectionType
    14, // GeoLocation
    1,  // GenLocation
    1,  // PortConnection
    0,  // Flags
    1,  // IsConnected
    0,  // Reserved
};

} // namespace

CMixerNode::CMixerNode(PUNKNOWN UnknownOuter, ULONG Id)
    : CTerminalNode(UnknownOuter, Id, NODE_KIND_MIXER), m_bPinMode(0), m_nSavedSourceCount(0)
{
}

STDMETHODIMP_(NTSTATUS) CMixerNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    // A mixer in pin mode stands for a terminal and answers as one.
    return QueryNodeInterface(this, InterfaceId, Interface, IID_IMixerNode, static_cast<IMixerNode*>(this),
                              IID_ITerminalNode, m_bPinMode ? static_cast<ITerminalNode*>(this) : nullptr);
}

// The source ids stay allocated in pin mode; only the count the node reports changes.
STDMETHODIMP_(NTSTATUS) CMixerNode::SetPinMode(UCHAR On)
{
    PAGED_CODE();
    if (On)
    {
        m_nKind = NODE_KIND_INPUT_TERMINAL;
        m_nSourceCount = 0;
    }
    else
    {
        m_nKind = NODE_KIND_MIXER;
        m_nSourceCount = m_pSourceIds ? m_nSavedSourceCount : 0;
    }
    m_bPinMode = On;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMixerNode::SetSourceIdList(ULONG Count, const ULONG* Ids)
{
    PAGED_CODE();
    static const ULONG stereoMix = PIN_TYPE_STEREOMIX;
    if (!NT_SUCCESS(InitTerminal(1, &stereoMix, 1, &kStereoMixJack)))
    {
        FreePinTypes();
        FreeJacks();
    }
    // A list that could not be stored is reported: a mixer without its sources would be
    // linked into the graph as if it had none.
    NTSTATUS status = CTopologyNode::SetSourceIdList(Count, Ids);
    if (NT_SUCCESS(status))
    {
        m_nSavedSourceCount = Count;
        if (m_bPinMode)
        {
            m_nSourceCount = 0;
        }
    }
    return status;
}
