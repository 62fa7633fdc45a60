// CUsbMixerNode: the topology node of a mixer or extension unit. It has one source slot per
// input of its unit; the device walk fills them when it connects the entities.
#pragma once

#include "driver/topology/nodes/mixer_node.h"

// The zeroed source ids it starts from (paged, freed at once).
#define USB_MIXER_NODE_POOL_TAG MAKE_POOL_TAG('T', 'M', 'i', 'x')

// PASSIVE_LEVEL.
class CUsbMixerNode : public CMixerNode
{
public:
    CUsbMixerNode(PUNKNOWN UnknownOuter, ULONG Id) : CMixerNode(UnknownOuter, Id) {}

    // As many zero source ids as the owner entity has sources.
    NTSTATUS InitMixerNode(ITopologyNode* Owner);
};
