// Helpers the class-1 walks share: a set of node ids, the ring of a breadth-first walk and a
// node's source list read into scratch memory. PASSIVE_LEVEL.
#pragma once

#include "driver/function/uac1/uac1_device.h"

namespace uac1walk
{

// The breadth-first walks keep their frontier in a ring of this many ids.
constexpr ULONG PATH_RING_IDS = 20;
// A unit has at most 255 inputs.
constexpr ULONG MAX_NODE_SOURCES = 256;

// Ids seen by one walk; sized by the number of nodes the device has.
class CIdSet
{
public:
    explicit CIdSet(ULONG Capacity)
        : m_pIds(Capacity ? static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, Capacity * sizeof(ULONG),
                                                                      UAC1_DEVICE_POOL_TAG))
                          : nullptr),
          m_nCapacity(Capacity), m_nCount(0)
    {
    }
    ~CIdSet()
    {
        if (m_pIds)
        {
            ExFreePoolWithTag(m_pIds, UAC1_DEVICE_POOL_TAG);
        }
    }
    BOOLEAN IsValid() const { return m_pIds != nullptr; }
    BOOLEAN Contains(ULONG Id) const
    {
        for (ULONG index = 0; index < m_nCount; index++)
        {
            if (m_pIds[index] == Id)
            {
                return TRUE;
            }
        }
        return FALSE;
    }
    // FALSE when full: every node is in the set already, so the caller sees a repeat.
    BOOLEAN Add(ULONG Id)
    {
        if (m_nCount == m_nCapacity)
        {
            return FALSE;
        }
        m_pIds[m_nCount++] = Id;
        return TRUE;
    }

private:
    PULONG m_pIds;
    ULONG m_nCapacity;
    ULONG m_nCount;
};

// The frontier of a breadth-first walk.
struct IdRing
{
    ULONG Ids[PATH_RING_IDS];
    ULONG Head;
    ULONG Count;

    VOID Push(ULONG Id) { Ids[(Head + Count++) % PATH_RING_IDS] = Id; }
    ULONG Pop()
    {
        ULONG id = Ids[Head];
        Head = (Head + 1) % PATH_RING_IDS;
        Count--;
        return id;
    }
};

// Node sources into a scratch array of MAX_NODE_SOURCES ids. A path starts at an input
// terminal: the source slot its node keeps names nothing upstream.
inline ULONG ReadSources(ITopologyNode* Node, PULONG Ids)
{
    ULONG count = Node->GetKind() == NODE_KIND_INPUT_TERMINAL ? 0 : Node->GetSourceCount();
    count = count < MAX_NODE_SOURCES ? count : MAX_NODE_SOURCES;
    if (count && !NT_SUCCESS(Node->GetSourceIdList(&count, Ids)))
    {
        count = 0;
    }
    return count;
}

// The shortest descriptor of each class-1 entity subtype whose fields the walk and the entity
// read: the fixed part and, for units, the source list that bNrInPins announces. With
// RequireControlSize a feature unit must also give its control bitmaps a size.
BOOLEAN EntityDescriptorFits(const UCHAR* Descriptor, BOOLEAN RequireControlSize);

inline PULONG AllocateSourceScratch()
{
    return static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, MAX_NODE_SOURCES * sizeof(ULONG), UAC1_DEVICE_POOL_TAG));
}

} // namespace uac1walk
