// The event list of a port. An entry is made when a client enables an event and lives until the
// client disables it or closes its handle; it is signalled only once the miniport's handler has
// kept it with AddEventToEventList. The list is guarded by a spin lock, since GenerateEventList
// may run at DISPATCH_LEVEL; the miniport's handlers are always called outside it.
#include "pc_port_events.h"

#include "dispatcher.h"
#include "object.h"
#include "plat_fatal.h"
#include "pool.h"
#include "rtl.h"

struct _KSEVENT_ENTRY
{
    LIST_ENTRY Links; // in the port's list of every enabled entry
    ULONG Magic;
    BOOLEAN Listed; // kept by the miniport: GenerateEventList signals it
    BOOLEAN OneShot;
    PFILE_OBJECT FileObject;
    const void* EventData; // the client's KSEVENTDATA, which names the entry on disable
    GUID Set;
    ULONG Id;
    ULONG Node;
    const PCEVENT_ITEM* Item;
    ULONG NotificationType;
    PVOID Object; // the referenced event or semaphore
    LONG Adjustment;
};

namespace
{

constexpr ULONG kEntryTag = MAKE_POOL_TAG('P', 'c', 'E', 'v');
constexpr ULONG kEntryMagic = MAKE_POOL_TAG('E', 'v', 'n', 't');
#ifndef SEMAPHORE_MODIFY_STATE
constexpr ACCESS_MASK SEMAPHORE_MODIFY_STATE = 0x0002;
#endif

using plat::pc::kNoTarget;

// The object a client's KSEVENTDATA names, referenced; only the client's own event and semaphore
// handles are served (a user-mode client has nothing else to offer).
NTSTATUS ReferenceNotifyObject(const KSEVENTDATA& Data, KPROCESSOR_MODE Mode, PVOID* Object, LONG* Adjustment)
{
    *Adjustment = 0;
    if (Data.NotificationType == KSEVENTF_EVENT_HANDLE)
        return ObReferenceObjectByHandle(Data.EventHandle.Event, EVENT_MODIFY_STATE, ExEventObjectType, Mode,
                                         Object, nullptr);
    if (Data.NotificationType != KSEVENTF_SEMAPHORE_HANDLE)
        return Data.NotificationType & (KSEVENTF_EVENT_OBJECT | KSEVENTF_SEMAPHORE_OBJECT | KSEVENTF_DPC |
                                        KSEVENTF_WORKITEM | KSEVENTF_KSWORKITEM)
                   ? STATUS_NOT_SUPPORTED
                   : STATUS_INVALID_PARAMETER;
    if (Data.SemaphoreHandle.Adjustment < 1)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = ObReferenceObjectByHandle(Data.SemaphoreHandle.Semaphore, SEMAPHORE_MODIFY_STATE,
                                                nullptr, Mode, Object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    if (static_cast<DISPATCHER_HEADER*>(*Object)->Type != SemaphoreObject)
    {
        ObDereferenceObject(*Object);
        *Object = nullptr;
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Adjustment = Data.SemaphoreHandle.Adjustment;
    return STATUS_SUCCESS;
}

void Signal(PKSEVENT_ENTRY Entry)
{
    if (Entry->NotificationType == KSEVENTF_EVENT_HANDLE)
        KeSetEvent(static_cast<PRKEVENT>(Entry->Object), EVENT_INCREMENT, FALSE);
    else
        KeReleaseSemaphore(static_cast<PRKSEMAPHORE>(Entry->Object), SEMAPHORE_INCREMENT, Entry->Adjustment,
                           FALSE);
}

void FreeEntry(PKSEVENT_ENTRY Entry)
{
    ObDereferenceObject(Entry->Object);
    Entry->Magic = 0;
    ExFreePoolWithTag(Entry, kEntryTag);
}

NTSTATUS CallHandler(PUNKNOWN MajorTarget, const PCEVENT_ITEM* Item, ULONG Node, PKSEVENT_ENTRY Entry,
                     ULONG Verb, PIRP Irp)
{
    PCEVENT_REQUEST request = {};
    request.MajorTarget = MajorTarget;
    request.Node = Node;
    request.EventItem = Item;
    request.EventEntry = Entry;
    request.Verb = Verb;
    request.Irp = Irp;
    return Item->Handler(&request);
}

} // namespace

namespace plat
{
namespace pc
{

CPortEventList::CPortEventList()
{
    KeInitializeSpinLock(&m_Lock);
    InitializeListHead(&m_Entries);
}

CPortEventList::~CPortEventList()
{
    while (!IsListEmpty(&m_Entries))
        FreeEntry(CONTAINING_RECORD(RemoveHeadList(&m_Entries), KSEVENT_ENTRY, Links));
}

NTSTATUS CPortEventList::Enable(PUNKNOWN MajorTarget, const PCFILTER_DESCRIPTOR* Descriptor,
                                PFILE_OBJECT FileObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR* input = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    Irp->IoStatus.Information = 0;
    if (input == nullptr || inputLength < sizeof(KSEVENT))
        return STATUS_INVALID_PARAMETER;
    KSE_NODE event = {};
    std::memcpy(&event, input, inputLength < sizeof(event) ? sizeof(KSEVENT) : sizeof(event));
    ULONG node = kNoTarget;
    if (event.Event.Flags & KSEVENT_TYPE_TOPOLOGY)
    {
        if (inputLength < sizeof(KSE_NODE))
            return STATUS_INVALID_PARAMETER;
        if (event.NodeId >= Descriptor->NodeCount)
            return STATUS_NOT_FOUND;
        node = event.NodeId;
    }
    const PCEVENT_ITEM* item =
        FindEventItem(AutomationTableOf(Descriptor, node, kNoTarget), event.Event.Set, event.Event.Id);
    if (item == nullptr)
        return STATUS_NOT_FOUND;
    ULONG verb = event.Event.Flags & ~ULONG(KSEVENT_TYPE_TOPOLOGY);
    if (verb == KSEVENT_TYPE_BASICSUPPORT)
    {
        if (!(item->Flags & KSEVENT_TYPE_BASICSUPPORT) || item->Handler == nullptr)
            return STATUS_SUCCESS;
        return CallHandler(MajorTarget, item, node, nullptr, PCEVENT_VERB_SUPPORT, Irp);
    }
    if (verb != KSEVENT_TYPE_ENABLE && verb != KSEVENT_TYPE_ONESHOT)
        return STATUS_INVALID_PARAMETER;
    if (!(item->Flags & verb) || item->Handler == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Irp->UserBuffer == nullptr ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(KSEVENTDATA))
        return STATUS_INVALID_PARAMETER;

    KSEVENTDATA data;
    std::memcpy(&data, Irp->UserBuffer, sizeof(data));
    PVOID object = nullptr;
    LONG adjustment = 0;
    NTSTATUS status = ReferenceNotifyObject(data, Irp->RequestorMode, &object, &adjustment);
    if (!NT_SUCCESS(status))
        return status;
    auto entry =
        static_cast<PKSEVENT_ENTRY>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSEVENT_ENTRY), kEntryTag));
    if (entry == nullptr)
    {
        ObDereferenceObject(object);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Magic = kEntryMagic;
    entry->OneShot = verb == KSEVENT_TYPE_ONESHOT;
    entry->FileObject = FileObject;
    entry->EventData = Irp->UserBuffer;
    entry->Set = event.Event.Set;
    entry->Id = event.Event.Id;
    entry->Node = node;
    entry->Item = item;
    entry->NotificationType = data.NotificationType;
    entry->Object = object;
    entry->Adjustment = adjustment;

    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    InsertTailList(&m_Entries, &entry->Links);
    KeReleaseSpinLock(&m_Lock, irql);
    status = CallHandler(MajorTarget, item, node, entry, PCEVENT_VERB_ADD, Irp);
    if (!NT_SUCCESS(status))
    {
        KeAcquireSpinLock(&m_Lock, &irql);
        RemoveEntryList(&entry->Links);
        KeReleaseSpinLock(&m_Lock, irql);
        FreeEntry(entry);
    }
    return status;
}

NTSTATUS CPortEventList::Disable(PUNKNOWN MajorTarget, PFILE_OBJECT FileObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    Irp->IoStatus.Information = 0;
    if (input == nullptr || inputLength == 0)
    {
        DisableHandle(MajorTarget, FileObject);
        return STATUS_SUCCESS;
    }
    if (inputLength < sizeof(KSEVENTDATA))
        return STATUS_INVALID_PARAMETER;
    PKSEVENT_ENTRY entry = Take(FileObject, input);
    if (entry == nullptr)
        return STATUS_NOT_FOUND;
    Remove(MajorTarget, entry);
    return STATUS_SUCCESS;
}

void CPortEventList::DisableHandle(PUNKNOWN MajorTarget, PFILE_OBJECT FileObject)
{
    while (PKSEVENT_ENTRY entry = Take(FileObject, nullptr))
        Remove(MajorTarget, entry);
}

void CPortEventList::Add(PKSEVENT_ENTRY EventEntry)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (PLIST_ENTRY link = m_Entries.Flink; link != &m_Entries; link = link->Flink)
    {
        if (CONTAINING_RECORD(link, KSEVENT_ENTRY, Links) == EventEntry)
        {
            EventEntry->Listed = TRUE;
            KeReleaseSpinLock(&m_Lock, irql);
            return;
        }
    }
    KeReleaseSpinLock(&m_Lock, irql);
    plat::Fatal("IPortEvents::AddEventToEventList: %p is no event entry of this port",
                static_cast<void*>(EventEntry));
}

void CPortEventList::Generate(const GUID* Set, ULONG EventId, BOOL PinFlag, ULONG PinId, BOOL NodeFlag,
                              ULONG NodeId)
{
    if (Set == nullptr)
        plat::Fatal("IPortEvents::GenerateEventList without an event set");
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (PLIST_ENTRY link = m_Entries.Flink; link != &m_Entries; link = link->Flink)
    {
        PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, Links);
        // Events enabled on a filter handle belong to no pin instance.
        bool match = entry->Listed && entry->Id == EventId && IsEqualGUIDAligned(entry->Set, *Set) &&
                     (!PinFlag || PinId == kNoTarget) && (!NodeFlag || entry->Node == NodeId);
        if (!match)
            continue;
        Signal(entry);
        if (entry->OneShot)
            entry->Listed = FALSE;
    }
    KeReleaseSpinLock(&m_Lock, irql);
}

ULONG CPortEventList::Count()
{
    ULONG count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (PLIST_ENTRY link = m_Entries.Flink; link != &m_Entries; link = link->Flink)
        ++count;
    KeReleaseSpinLock(&m_Lock, irql);
    return count;
}

PKSEVENT_ENTRY CPortEventList::Take(PFILE_OBJECT FileObject, const void* EventData)
{
    PKSEVENT_ENTRY found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (PLIST_ENTRY link = m_Entries.Flink; link != &m_Entries && !found; link = link->Flink)
    {
        PKSEVENT_ENTRY entry = CONTAINING_RECORD(link, KSEVENT_ENTRY, Links);
        if (entry->FileObject == FileObject && (EventData == nullptr || entry->EventData == EventData))
            found = entry;
    }
    if (found)
        RemoveEntryList(&found->Links);
    KeReleaseSpinLock(&m_Lock, irql);
    return found;
}

void CPortEventList::Remove(PUNKNOWN MajorTarget, PKSEVENT_ENTRY Entry)
{
    CallHandler(MajorTarget, Entry->Item, Entry->Node, Entry, PCEVENT_VERB_REMOVE, nullptr);
    FreeEntry(Entry);
}

} // namespace pc
} // namespace plat
