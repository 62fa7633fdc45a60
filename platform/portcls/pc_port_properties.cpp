// IOCTL_KS_PROPERTY on a filter handle. The port answers the standard pin and topology sets
// from the miniport's descriptor; every other request goes through the automation table of the
// node it names (KSPROPERTY_TYPE_TOPOLOGY), else of the filter, else of the pin its instance
// names, to the item's handler with a PCPROPERTY_REQUEST. The request record and the value are
// captured before the handler runs, so a handler never touches the client's buffers.
#include "pc_port_internal.h"

#include "ksmedia.h"
#include "plat_fatal.h"

#include <cstdio>
#include <vector>

namespace
{

using plat::pc::kNoTarget;

constexpr ULONG kVerbMask = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

struct Request
{
    std::vector<UCHAR> Input; // the captured request record and instance
    KSPROPERTY Property;
    ULONG Verb;
    ULONG OutputLength;
    UCHAR* Output;
    PIRP Irp;
};

// The reply of a get: a size query (no buffer) learns the size with STATUS_BUFFER_OVERFLOW, a
// short buffer gets STATUS_BUFFER_TOO_SMALL and nothing written.
NTSTATUS Reply(const Request& r, const void* Data, ULONG Size)
{
    r.Irp->IoStatus.Information = Size;
    if (r.OutputLength == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (r.OutputLength < Size)
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(r.Output, Data, Size);
    return STATUS_SUCCESS;
}

template <typename T> NTSTATUS ReplyMultiple(const Request& r, const T* Items, ULONG Count)
{
    std::vector<UCHAR> data(sizeof(KSMULTIPLE_ITEM) + sizeof(T) * Count);
    KSMULTIPLE_ITEM header = {ULONG(data.size()), Count};
    std::memcpy(data.data(), &header, sizeof(header));
    if (Count)
        std::memcpy(data.data() + sizeof(header), Items, sizeof(T) * Count);
    return Reply(r, data.data(), ULONG(data.size()));
}

// Names are GUIDs here: the stand-in has no media-category names to look them up in, so a name
// is answered as the GUID's registry form, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
NTSTATUS ReplyName(const Request& r, const GUID* Name)
{
    if (Name == nullptr)
        return STATUS_NOT_FOUND;
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  unsigned(Name->Data1), unsigned(Name->Data2), unsigned(Name->Data3), Name->Data4[0],
                  Name->Data4[1], Name->Data4[2], Name->Data4[3], Name->Data4[4], Name->Data4[5],
                  Name->Data4[6], Name->Data4[7]);
    WCHAR wide[40] = {};
    for (size_t i = 0; text[i]; ++i)
        wide[i] = WCHAR(text[i]);
    return Reply(r, wide, ULONG((std::strlen(text) + 1) * sizeof(WCHAR)));
}

const PCPIN_DESCRIPTOR* PinAt(const PCFILTER_DESCRIPTOR* d, ULONG Pin)
{
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                     SIZE_T(d->PinSize) * Pin);
}

const PCNODE_DESCRIPTOR* NodeAt(const PCFILTER_DESCRIPTOR* d, ULONG Node)
{
    return reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Nodes) +
                                                      SIZE_T(d->NodeSize) * Node);
}

// The pin or node id that follows the property record, or kNoTarget when it is missing.
ULONG IdAfterProperty(const Request& r)
{
    ULONG id = kNoTarget;
    if (r.Input.size() >= sizeof(KSPROPERTY) + sizeof(ULONG))
        std::memcpy(&id, r.Input.data() + sizeof(KSPROPERTY), sizeof(id));
    return id;
}

NTSTATUS DataRanges(const Request& r, const KSPIN_DESCRIPTOR& Pin)
{
    // Each range starts on an 8-byte boundary, as a client walks them.
    std::vector<UCHAR> data(sizeof(KSMULTIPLE_ITEM));
    for (ULONG i = 0; i < Pin.DataRangesCount; ++i)
    {
        const UCHAR* range = reinterpret_cast<const UCHAR*>(Pin.DataRanges[i]);
        data.insert(data.end(), range, range + Pin.DataRanges[i]->FormatSize);
        data.resize((data.size() + 7) & ~SIZE_T(7));
    }
    KSMULTIPLE_ITEM header = {ULONG(data.size()), Pin.DataRangesCount};
    std::memcpy(data.data(), &header, sizeof(header));
    return Reply(r, data.data(), ULONG(data.size()));
}

// KSPROPSETID_Pin; kNoTarget's STATUS_NOT_FOUND lets the automation tables have the request.
NTSTATUS PinProperty(const Request& r, const PCFILTER_DESCRIPTOR* d)
{
    if (r.Property.Id == KSPROPERTY_PIN_CTYPES)
        return Reply(r, &d->PinCount, sizeof(ULONG));
    ULONG pin = IdAfterProperty(r);
    if (pin == kNoTarget || pin >= d->PinCount)
        return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& ks = PinAt(d, pin)->KsPinDescriptor;
    switch (r.Property.Id)
    {
    case KSPROPERTY_PIN_DATAFLOW:
        return Reply(r, &ks.DataFlow, sizeof(ULONG));
    case KSPROPERTY_PIN_COMMUNICATION:
        return Reply(r, &ks.Communication, sizeof(ULONG));
    case KSPROPERTY_PIN_CATEGORY:
        return ks.Category ? Reply(r, ks.Category, sizeof(GUID)) : STATUS_NOT_FOUND;
    case KSPROPERTY_PIN_NAME:
        return ReplyName(r, ks.Name);
    case KSPROPERTY_PIN_DATARANGES:
        return DataRanges(r, ks);
    default:
        return STATUS_NOT_FOUND;
    }
}

NTSTATUS TopologyProperty(const Request& r, const PCFILTER_DESCRIPTOR* d)
{
    switch (r.Property.Id)
    {
    case KSPROPERTY_TOPOLOGY_CATEGORIES:
        return ReplyMultiple(r, d->Categories, d->CategoryCount);
    case KSPROPERTY_TOPOLOGY_NODES:
    {
        std::vector<GUID> types;
        for (ULONG i = 0; i < d->NodeCount; ++i)
            types.push_back(*NodeAt(d, i)->Type);
        return ReplyMultiple(r, types.data(), ULONG(types.size()));
    }
    case KSPROPERTY_TOPOLOGY_CONNECTIONS:
        return ReplyMultiple(r, d->Connections, d->ConnectionCount);
    case KSPROPERTY_TOPOLOGY_NAME:
    {
        ULONG node = IdAfterProperty(r);
        if (node == kNoTarget || node >= d->NodeCount)
            return STATUS_INVALID_PARAMETER;
        return ReplyName(r, NodeAt(d, node)->Name);
    }
    default:
        return STATUS_NOT_FOUND;
    }
}

// Basic support of an item whose handler does not answer it: the verbs the item allows.
NTSTATUS GenericBasicSupport(const Request& r, const PCPROPERTY_ITEM* Item)
{
    KSPROPERTY_DESCRIPTION description = {};
    description.AccessFlags = Item->Flags & kVerbMask;
    description.DescriptionSize = sizeof(description);
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    if (r.OutputLength >= sizeof(description))
        return Reply(r, &description, sizeof(description));
    if (r.OutputLength >= sizeof(ULONG))
        return Reply(r, &description.AccessFlags, sizeof(ULONG));
    return Reply(r, &description, sizeof(description));
}

// The item that serves the request, with the node it targets; null when there is none.
const PCPROPERTY_ITEM* FindItem(const Request& r, const PCFILTER_DESCRIPTOR* d, ULONG Node)
{
    const GUID& set = r.Property.Set;
    if (Node != kNoTarget)
        return plat::pc::FindPropertyItem(plat::pc::AutomationTableOf(d, Node, kNoTarget), set,
                                          r.Property.Id);
    const PCPROPERTY_ITEM* item =
        plat::pc::FindPropertyItem(plat::pc::AutomationTableOf(d, kNoTarget, kNoTarget), set, r.Property.Id);
    ULONG pin = IdAfterProperty(r);
    if (item == nullptr && pin != kNoTarget && pin < d->PinCount)
        item = plat::pc::FindPropertyItem(plat::pc::AutomationTableOf(d, kNoTarget, pin), set, r.Property.Id);
    return item;
}

NTSTATUS CallHandler(Request& r, PUNKNOWN MajorTarget, const PCPROPERTY_ITEM* Item, ULONG Node,
                     size_t InstanceOffset)
{
    // The value buffer: the client's value for a set, zeroes otherwise.
    std::vector<UCHAR> value(r.OutputLength);
    if (r.Verb == KSPROPERTY_TYPE_SET && r.OutputLength)
        std::memcpy(value.data(), r.Output, r.OutputLength);
    PCPROPERTY_REQUEST request = {};
    request.MajorTarget = MajorTarget;
    request.Node = Node;
    request.PropertyItem = Item;
    request.Verb = r.Verb;
    request.InstanceSize = ULONG(r.Input.size() - InstanceOffset);
    request.Instance = request.InstanceSize ? r.Input.data() + InstanceOffset : nullptr;
    request.ValueSize = r.OutputLength;
    request.Value = r.OutputLength ? value.data() : nullptr;
    request.Irp = r.Irp;
    NTSTATUS status = Item->Handler(&request);
    if (status == STATUS_PENDING)
        plat::Fatal("property handler pended a request; the stand-in's ports complete every request at once");
    if (NT_SUCCESS(status) && request.ValueSize > r.OutputLength)
        plat::Fatal("property handler reported %lu bytes written into a value buffer of %lu bytes",
                    static_cast<unsigned long>(request.ValueSize),
                    static_cast<unsigned long>(r.OutputLength));
    if (NT_SUCCESS(status) && r.Verb != KSPROPERTY_TYPE_SET && request.ValueSize)
        std::memcpy(r.Output, value.data(), request.ValueSize);
    // Success reports the bytes written; a short-buffer status reports the size the handler needs.
    bool sizeReply = status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL;
    r.Irp->IoStatus.Information =
        (NT_SUCCESS(status) && r.Verb != KSPROPERTY_TYPE_SET) || sizeReply ? request.ValueSize : 0;
    return status;
}

NTSTATUS Route(Request& r, PUNKNOWN MajorTarget, const PCFILTER_DESCRIPTOR* d)
{
    ULONG node = kNoTarget;
    size_t instanceOffset = sizeof(KSPROPERTY);
    if (r.Property.Flags & KSPROPERTY_TYPE_TOPOLOGY)
    {
        if (r.Input.size() < sizeof(KSNODEPROPERTY))
            return STATUS_INVALID_PARAMETER;
        std::memcpy(&node, r.Input.data() + offsetof(KSNODEPROPERTY, NodeId), sizeof(node));
        if (node >= d->NodeCount)
            return STATUS_NOT_FOUND;
        instanceOffset = sizeof(KSNODEPROPERTY);
    }
    else if (r.Verb != KSPROPERTY_TYPE_SET && (IsEqualGUIDAligned(r.Property.Set, KSPROPSETID_Pin) ||
                                               IsEqualGUIDAligned(r.Property.Set, KSPROPSETID_Topology)))
    {
        if (r.Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        {
            ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
            return Reply(r, &access, sizeof(access));
        }
        NTSTATUS status =
            IsEqualGUIDAligned(r.Property.Set, KSPROPSETID_Pin) ? PinProperty(r, d) : TopologyProperty(r, d);
        if (status != STATUS_NOT_FOUND || r.Irp->IoStatus.Information)
            return status;
    }
    const PCPROPERTY_ITEM* item = FindItem(r, d, node);
    if (item == nullptr)
        return STATUS_NOT_FOUND;
    if (!(item->Flags & r.Verb) || item->Handler == nullptr)
    {
        if (r.Verb == KSPROPERTY_TYPE_BASICSUPPORT)
            return GenericBasicSupport(r, item);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return CallHandler(r, MajorTarget, item, node, instanceOffset);
}

} // namespace

namespace plat
{
namespace pc
{

NTSTATUS HandleFilterProperty(PUNKNOWN MajorTarget, const PCFILTER_DESCRIPTOR* Descriptor, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR* input = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    Request r;
    r.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    r.Output = static_cast<UCHAR*>(Irp->UserBuffer);
    r.Irp = Irp;
    Irp->IoStatus.Information = 0;
    if (input == nullptr || inputLength < sizeof(KSPROPERTY) || (r.OutputLength && r.Output == nullptr))
        return STATUS_INVALID_PARAMETER;
    r.Input.assign(input, input + inputLength);
    std::memcpy(&r.Property, r.Input.data(), sizeof(KSPROPERTY));
    r.Verb = r.Property.Flags & ~ULONG(KSPROPERTY_TYPE_TOPOLOGY);
    if (r.Verb != KSPROPERTY_TYPE_GET && r.Verb != KSPROPERTY_TYPE_SET &&
        r.Verb != KSPROPERTY_TYPE_BASICSUPPORT)
        return STATUS_INVALID_PARAMETER;
    return Route(r, MajorTarget, Descriptor);
}

} // namespace pc
} // namespace plat
