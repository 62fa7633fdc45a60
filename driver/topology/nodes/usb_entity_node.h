// CUsbEntityNode: the base of every audio-control entity object (terminal, mixer, selector,
// feature unit, clock source). It keeps a copy of the entity's class-specific descriptor, the
// device object it reaches the USB device through, and the topology nodes it created, and it
// wires those nodes to each other and to the entities around it.
#pragma once

#include "driver/core/pointer_list.h"
#include "driver/core/topology_node.h"

// The descriptor copy and the child list header.
#define USB_ENTITY_POOL_TAG MAKE_POOL_TAG('A', 'U', 'A', 'T')

// PASSIVE_LEVEL throughout. Entities are never in the device's node list; their kind and id
// are the descriptor's subtype and unit or terminal id, set by the derived class's builder.
class CUsbEntityNode : public CTopologyNode
{
public:
    CUsbEntityNode(PUNKNOWN UnknownOuter, ULONG Id);
    ~CUsbEntityNode() override;

    // Copies the descriptor (its bLength bytes, which must be at least 1 and lie within the
    // Length bytes received: else STATUS_UNSUCCESSFUL) and keeps Device without a reference.
    virtual NTSTATUS SetDescriptor(const VOID* Descriptor, ULONG Length, PUNKNOWN Device);
    // The id of the only child, when there is exactly one.
    virtual NTSTATUS OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id);

    // Children are added at the head: the head is the newest child, the tail the oldest.
    NTSTATUS AddChildNode(ITopologyNode* Node);
    NTSTATUS GetChildCount(PULONG Count);
    // From the head, 0-based; no reference added.
    NTSTATUS GetChildAt(ULONG Index, ITopologyNode** Node);
    // The oldest child's id: what nodes downstream of the entity take as their source.
    NTSTATUS GetFirstChildId(PULONG Id);
    // The newest child takes the entity's input: selectors and mixers the whole list when its
    // length matches theirs, chained kinds Ids[0].
    NTSTATUS SetFirstChildValue(ULONG Count, const ULONG* Ids);
    // Links each child to the one added after it, so the chain runs from the newest child (the
    // entity's input) to the oldest (its output).
    VOID ChainChildNodes();

    PUNKNOWN GetDevice() { return m_pDevice; }
    const UCHAR* GetDescriptor() { return m_pDescriptor; }

protected:
    // The entity's id (bUnitID or bTerminalID, byte 3 in every entity descriptor), its kind and
    // its one source (the descriptor's byte SourceOffset), as the builders of the entities with a
    // single input start. PASSIVE_LEVEL.
    NTSTATUS TakeSingleSourceIdentity(ULONG Kind, ULONG SourceOffset);

    PUNKNOWN m_pDevice;
    PUCHAR m_pDescriptor;      // bLength bytes
    CPointerList* m_pChildren; // ITopologyNode*, one reference each
};

// Kinds whose first source is set when children are chained or the entity's input is given.
BOOLEAN NodeKindTakesChainedSource(ULONG Kind);
