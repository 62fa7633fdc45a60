// CUac1MixerUnit: a class-1 mixer unit. Its only node is a mixer node with one source slot per
// input of the unit; the unit's own controls are not exposed.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/topology/nodes/usb_entity_node.h"

// PASSIVE_LEVEL throughout.
class CUac1MixerUnit : public CUsbEntityNode
{
public:
    CUac1MixerUnit(PUNKNOWN UnknownOuter, ULONG Id) : CUsbEntityNode(UnknownOuter, Id) {}

    // As CUac1FeatureUnit::Init, for a class-1 mixer-unit descriptor (the mixer node takes no lock).
    NTSTATUS Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon);

    // Entity id, kind and sources from the descriptor, then the mixer node.
    NTSTATUS BuildMixerNode(IAdapterCommon* AdapterCommon);
};
