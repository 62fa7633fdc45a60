// The filter descriptor as the ports read it: the checks a miniport's descriptor must pass
// before a port exposes it, and the lookups of automation tables and their items. Item and
// descriptor arrays are stepped by the sizes the descriptor gives, since a miniport may append
// fields of its own to each record.
#include "pc_port_internal.h"

namespace
{

template <typename T> const T* Element(const T* Array, ULONG Size, ULONG Index)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const UCHAR*>(Array) + SIZE_T(Size) * Index);
}

// A non-empty array needs its pointer and records at least as large as the stand-in's own.
bool ArrayOk(ULONG Count, const void* Array, ULONG ItemSize, ULONG MinimumSize)
{
    return Count == 0 || (Array != nullptr && ItemSize >= MinimumSize);
}

bool AutomationTableOk(const PCAUTOMATION_TABLE* Table)
{
    if (Table == nullptr)
        return true;
    if (!ArrayOk(Table->PropertyCount, Table->Properties, Table->PropertyItemSize, sizeof(PCPROPERTY_ITEM)) ||
        !ArrayOk(Table->MethodCount, Table->Methods, Table->MethodItemSize, sizeof(PCMETHOD_ITEM)) ||
        !ArrayOk(Table->EventCount, Table->Events, Table->EventItemSize, sizeof(PCEVENT_ITEM)))
        return false;
    for (ULONG i = 0; i < Table->PropertyCount; ++i)
        if (Element(Table->Properties, Table->PropertyItemSize, i)->Set == nullptr)
            return false;
    for (ULONG i = 0; i < Table->EventCount; ++i)
        if (Element(Table->Events, Table->EventItemSize, i)->Set == nullptr)
            return false;
    return true;
}

bool PinOk(const PCPIN_DESCRIPTOR* Pin)
{
    const KSPIN_DESCRIPTOR& ks = Pin->KsPinDescriptor;
    if (ks.DataFlow != KSPIN_DATAFLOW_IN && ks.DataFlow != KSPIN_DATAFLOW_OUT)
        return false;
    if ((ks.InterfacesCount && !ks.Interfaces) || (ks.MediumsCount && !ks.Mediums) ||
        (ks.DataRangesCount && !ks.DataRanges))
        return false;
    for (ULONG i = 0; i < ks.DataRangesCount; ++i)
        if (ks.DataRanges[i] == nullptr || ks.DataRanges[i]->FormatSize < sizeof(KSDATARANGE))
            return false;
    if (Pin->MinFilterInstanceCount > Pin->MaxFilterInstanceCount && Pin->MaxFilterInstanceCount != 0)
        return false;
    return AutomationTableOk(Pin->AutomationTable);
}

// One end of a connection: a node and any pin of it, or the filter and one of its pins.
bool EndOk(const PCFILTER_DESCRIPTOR* Descriptor, ULONG Node, ULONG Pin)
{
    if (Node == PCFILTER_NODE)
        return Pin < Descriptor->PinCount;
    return Node < Descriptor->NodeCount;
}

} // namespace

namespace plat
{
namespace pc
{

NTSTATUS ValidateFilterDescriptor(const PCFILTER_DESCRIPTOR* Descriptor)
{
    if (Descriptor == nullptr || !AutomationTableOk(Descriptor->AutomationTable))
        return STATUS_INVALID_PARAMETER;
    if (!ArrayOk(Descriptor->PinCount, Descriptor->Pins, Descriptor->PinSize, sizeof(PCPIN_DESCRIPTOR)) ||
        !ArrayOk(Descriptor->NodeCount, Descriptor->Nodes, Descriptor->NodeSize, sizeof(PCNODE_DESCRIPTOR)) ||
        (Descriptor->ConnectionCount && !Descriptor->Connections) ||
        (Descriptor->CategoryCount && !Descriptor->Categories))
        return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < Descriptor->PinCount; ++i)
        if (!PinOk(Element(Descriptor->Pins, Descriptor->PinSize, i)))
            return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < Descriptor->NodeCount; ++i)
    {
        const PCNODE_DESCRIPTOR* node = Element(Descriptor->Nodes, Descriptor->NodeSize, i);
        if (node->Type == nullptr || !AutomationTableOk(node->AutomationTable))
            return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < Descriptor->ConnectionCount; ++i)
    {
        const PCCONNECTION_DESCRIPTOR& c = Descriptor->Connections[i];
        if (!EndOk(Descriptor, c.FromNode, c.FromNodePin) || !EndOk(Descriptor, c.ToNode, c.ToNodePin))
            return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

const PCAUTOMATION_TABLE* AutomationTableOf(const PCFILTER_DESCRIPTOR* Descriptor, ULONG Node, ULONG Pin)
{
    if (Node != kNoTarget)
        return Node < Descriptor->NodeCount
                   ? Element(Descriptor->Nodes, Descriptor->NodeSize, Node)->AutomationTable
                   : nullptr;
    if (Pin != kNoTarget)
        return Pin < Descriptor->PinCount
                   ? Element(Descriptor->Pins, Descriptor->PinSize, Pin)->AutomationTable
                   : nullptr;
    return Descriptor->AutomationTable;
}

const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* Table, const GUID& Set, ULONG Id)
{
    if (Table == nullptr)
        return nullptr;
    for (ULONG i = 0; i < Table->PropertyCount; ++i)
    {
        const PCPROPERTY_ITEM* item = Element(Table->Properties, Table->PropertyItemSize, i);
        if (item->Id == Id && IsEqualGUIDAligned(*item->Set, Set))
            return item;
    }
    return nullptr;
}

const PCEVENT_ITEM* FindEventItem(const PCAUTOMATION_TABLE* Table, const GUID& Set, ULONG Id)
{
    if (Table == nullptr)
        return nullptr;
    for (ULONG i = 0; i < Table->EventCount; ++i)
    {
        const PCEVENT_ITEM* item = Element(Table->Events, Table->EventItemSize, i);
        if (item->Id == Id && IsEqualGUIDAligned(*item->Set, Set))
            return item;
    }
    return nullptr;
}

} // namespace pc
} // namespace plat
