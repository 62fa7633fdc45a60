// Dispatcher objects and waits of the stand-in. As on the target, a signal satisfies waiters
// on the signaller's side: the signalling thread takes the object for the waiter (resets the
// synchronization event, takes the mutex, decrements the semaphore) before waking it, so
// "a synchronization event wakes exactly one waiter" holds without any race on wake-up.
#include "plat_fatal.h"
#include "plat_irql.h"
#include "sched_internal.h"

namespace plat
{
namespace sched
{

namespace
{

bool Satisfiable(PDISPATCHER_HEADER header, ThreadRec* thread)
{
    if (header->Type == MutantObject)
        return header->SignalState > 0 || reinterpret_cast<PKMUTEX>(header)->OwnerThread == thread->Object;
    return header->SignalState > 0;
}

// Takes the object for `thread`: what a satisfied wait does to each kind of object.
void Consume(PDISPATCHER_HEADER header, ThreadRec* thread)
{
    switch (header->Type)
    {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        header->SignalState = 0;
        break;
    case SemaphoreObject:
        --header->SignalState;
        break;
    case MutantObject:
    {
        auto* mutex = reinterpret_cast<PKMUTEX>(header);
        if (header->SignalState == 1)
        {
            mutex->OwnerThread = thread->Object;
            InsertTail(&thread->OwnedMutexes, &mutex->MutantListEntry);
        }
        if (header->SignalState == -MAXLONG)
            Fatal("kernel mutex %p acquired recursively too often", static_cast<void*>(mutex));
        --header->SignalState;
        break;
    }
    default: // notification events and timers stay signalled; so do ended threads
        break;
    }
}

bool AllSatisfiable(ThreadRec* thread)
{
    for (ULONG i = 0; i < thread->Wait.Count; ++i)
        if (!Satisfiable(static_cast<PDISPATCHER_HEADER>(thread->Wait.Blocks[i].Object), thread))
            return false;
    return true;
}

void ConsumeAll(ULONG count, PVOID* objects, ThreadRec* thread)
{
    for (ULONG i = 0; i < count; ++i)
        Consume(static_cast<PDISPATCHER_HEADER>(objects[i]), thread);
}

// Satisfies the wait at once when it can be; returns false when the thread must block.
bool TrySatisfy(ULONG count, PVOID* objects, WAIT_TYPE type, ThreadRec* self, NTSTATUS* status)
{
    if (count == 0)
        return false;
    if (type == WaitAny)
    {
        for (ULONG i = 0; i < count; ++i)
            if (Satisfiable(static_cast<PDISPATCHER_HEADER>(objects[i]), self))
            {
                Consume(static_cast<PDISPATCHER_HEADER>(objects[i]), self);
                *status = STATUS_WAIT_0 + NTSTATUS(i);
                return true;
            }
        return false;
    }
    for (ULONG i = 0; i < count; ++i)
        if (!Satisfiable(static_cast<PDISPATCHER_HEADER>(objects[i]), self))
            return false;
    ConsumeAll(count, objects, self);
    *status = STATUS_WAIT_0;
    return true;
}

bool KnownType(UCHAR type)
{
    switch (type)
    {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return true;
    default:
        return false;
    }
}

void CheckWaitArguments(ULONG count, PVOID* objects, WAIT_TYPE type, PKWAIT_BLOCK blocks, const char* api)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        Fatal("%s: %u objects (1 to %d allowed)", api, count, MAXIMUM_WAIT_OBJECTS);
    if (count > THREAD_WAIT_OBJECTS && blocks == nullptr)
        Fatal("%s: %u objects need a wait block array (the thread has %d wait blocks)", api, count,
              THREAD_WAIT_OBJECTS);
    for (ULONG i = 0; i < count; ++i)
    {
        CheckObject(objects[i], api);
        for (ULONG j = 0; type == WaitAll && j < i; ++j)
            if (objects[j] == objects[i])
                Fatal("%s: object %p appears twice in a WaitAll wait", api, objects[i]);
    }
}

} // namespace

void CheckObject(PVOID object, const char* api)
{
    auto* header = static_cast<PDISPATCHER_HEADER>(object);
    if (header == nullptr)
        Fatal("%s: null dispatcher object", api);
    if (header->WaitListHead.Flink == nullptr || !KnownType(header->Type))
        Fatal("%s: %p is not an initialised dispatcher object", api, object);
}

void CheckIrqlAtMostDispatch(const char* api)
{
    if (tCurrentIrql > DISPATCH_LEVEL)
        Fatal("%s at IRQL %d: it must run at or below DISPATCH_LEVEL", api, tCurrentIrql);
}

void InitHeader(PDISPATCHER_HEADER header, UCHAR type, UCHAR sizeBytes, LONG signalState)
{
    header->Type = type;
    header->Signalling = 0;
    header->Size = UCHAR(sizeBytes / sizeof(LONG));
    header->Inserted = 0;
    header->SignalState = signalState;
    InitList(&header->WaitListHead);
}

const char* ObjectKindName(const DISPATCHER_HEADER* header)
{
    switch (header->Type)
    {
    case EventNotificationObject:
        return "NotificationEvent";
    case EventSynchronizationObject:
        return "SynchronizationEvent";
    case MutantObject:
        return "Mutex";
    case SemaphoreObject:
        return "Semaphore";
    case ThreadObject:
        return "Thread";
    case TimerNotificationObject:
        return "NotificationTimer";
    case TimerSynchronizationObject:
        return "SynchronizationTimer";
    default:
        return "Object";
    }
}

void WakeLocked(ThreadRec* rec, NTSTATUS status)
{
    if (rec->WaitDone)
        return;
    if (!rec->Wait.Idle)
        S().LastProgress = NowLocked(S());
    for (ULONG i = 0; i < rec->Wait.Count; ++i)
    {
        Unlink(&rec->Wait.Blocks[i].WaitListEntry);
        rec->Wait.Blocks[i].BlockState = 0;
    }
    if (rec->Wait.HasDeadline)
        RemoveDeadlineLocked(rec->Wait.Deadline, rec->Wait.DeadlineSeq);
    rec->Wait = WaitState{};
    rec->WaitStatus = status;
    rec->WaitDone = true;
    ++S().Runnable;
    rec->Cv.notify_one();
}

// Walks the object's waiters in arrival order; after each satisfied waiter the walk restarts,
// since waking it unlinked its blocks (possibly the next one in this very list).
void SignalLocked(PDISPATCHER_HEADER header)
{
    bool woke = true;
    while (woke)
    {
        woke = false;
        for (PLIST_ENTRY entry = header->WaitListHead.Flink; entry != &header->WaitListHead;
             entry = entry->Flink)
        {
            if (header->SignalState <= 0 && header->Type != MutantObject)
                return;
            auto* block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
            auto* waiter = static_cast<ThreadRec*>(block->Thread);
            if (block->WaitType == WaitAny)
            {
                if (!Satisfiable(header, waiter))
                    continue;
                Consume(header, waiter);
                WakeLocked(waiter, STATUS_WAIT_0 + NTSTATUS(block->WaitKey));
            }
            else
            {
                if (!AllSatisfiable(waiter))
                    continue;
                for (ULONG i = 0; i < waiter->Wait.Count; ++i)
                    Consume(static_cast<PDISPATCHER_HEADER>(waiter->Wait.Blocks[i].Object), waiter);
                WakeLocked(waiter, STATUS_WAIT_0);
            }
            woke = true;
            break;
        }
    }
}

NTSTATUS WaitLocked(std::unique_lock<std::mutex>& lock, ThreadRec* self, ULONG count, PVOID* objects,
                    WAIT_TYPE type, PKWAIT_BLOCK blocks, bool infinite, ULONGLONG due, const WaitState& info)
{
    NTSTATUS status;
    if (TrySatisfy(count, objects, type, self, &status))
        return status;
    if (!infinite && due <= NowLocked(S()))
        return STATUS_TIMEOUT;
    self->Wait = info;
    self->Wait.Blocks = blocks;
    self->Wait.Count = count;
    self->Wait.Type = type;
    for (ULONG i = 0; i < count; ++i)
    {
        PKWAIT_BLOCK block = &blocks[i];
        block->WaitType = UCHAR(type);
        block->BlockState = 1;
        block->WaitKey = USHORT(i);
        block->Thread = self;
        block->Object = objects[i];
        InsertTail(&static_cast<PDISPATCHER_HEADER>(objects[i])->WaitListHead, &block->WaitListEntry);
    }
    if (!infinite)
    {
        self->Wait.HasDeadline = true;
        self->Wait.Deadline = due;
        self->Wait.DeadlineSeq = S().NextSeq++;
        InsertDeadlineLocked(Deadline{due, self->Wait.DeadlineSeq, DeadlineKind::Wait, self});
    }
    self->WaitDone = false;
    BlockLocked(lock, self);
    return self->WaitStatus;
}

LONG SetEventLocked(PRKEVENT event)
{
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    SignalLocked(&event->Header);
    return previous;
}

} // namespace sched
} // namespace plat

using namespace plat;
using namespace plat::sched;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    UCHAR kind = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
    InitHeader(&Event->Header, kind, sizeof(KEVENT), State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    CheckIrqlAtMostDispatch("KeSetEvent");
    Current();
    std::lock_guard<std::mutex> lock(S().Lock);
    CheckObject(Event, "KeSetEvent");
    return SetEventLocked(Event);
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    CheckIrqlAtMostDispatch("KePulseEvent");
    Current();
    std::lock_guard<std::mutex> lock(S().Lock);
    CheckObject(Event, "KePulseEvent");
    LONG previous = SetEventLocked(Event);
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeResetEvent(PRKEVENT Event)
{
    CheckIrqlAtMostDispatch("KeResetEvent");
    std::lock_guard<std::mutex> lock(S().Lock);
    CheckObject(Event, "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

// State reads take the scheduler lock: the state changes under it.
LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> lock(S().Lock);
    return Event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    InitHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX), 1);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    CheckIrqlAtMostDispatch("KeReleaseMutex");
    ThreadRec* self = Current();
    std::lock_guard<std::mutex> lock(S().Lock);
    CheckObject(Mutex, "KeReleaseMutex");
    if (Mutex->OwnerThread == nullptr)
        Fatal("KeReleaseMutex: mutex %p is not held (released more often than acquired)",
              static_cast<void*>(Mutex));
    if (Mutex->OwnerThread != self->Object)
        Fatal("KeReleaseMutex: mutex %p released by thread '%s', which does not own it (owner: '%s')",
              static_cast<void*>(Mutex), self->Name.c_str(), RecOf(Mutex->OwnerThread)->Name.c_str());
    LONG previous = Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1)
    {
        Unlink(&Mutex->MutantListEntry);
        Mutex->OwnerThread = nullptr;
        SignalLocked(&Mutex->Header);
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard<std::mutex> lock(S().Lock);
    return Mutex->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    if (Limit <= 0 || Count < 0 || Count > Limit)
        Fatal("KeInitializeSemaphore: count %d and limit %d (need 0 <= count <= limit, limit > 0)", Count,
              Limit);
    InitHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    CheckIrqlAtMostDispatch("KeReleaseSemaphore");
    Current();
    std::lock_guard<std::mutex> lock(S().Lock);
    CheckObject(Semaphore, "KeReleaseSemaphore");
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || Adjustment > Semaphore->Limit - previous)
        Fatal("KeReleaseSemaphore: semaphore %p at %d released by %d exceeds its limit %d",
              static_cast<void*>(Semaphore), previous, Adjustment, Semaphore->Limit);
    Semaphore->Header.SignalState = previous + Adjustment;
    SignalLocked(&Semaphore->Header);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    std::lock_guard<std::mutex> lock(S().Lock);
    return Semaphore->Header.SignalState;
}

namespace
{

NTSTATUS WaitForObjects(const char* api, ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout,
                        PKWAIT_BLOCK blocks)
{
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    KIRQL irql = tCurrentIrql;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll))
        Fatal(
            "%s at IRQL %d with %s: only a zero time-out is allowed at DISPATCH_LEVEL, and nothing above it",
            api, irql, timeout ? "a non-zero time-out" : "no time-out");
    ThreadRec* self = Current();
    KWAIT_BLOCK local[THREAD_WAIT_OBJECTS];
    std::unique_lock<std::mutex> lock(S().Lock);
    CheckWaitArguments(count, objects, type, blocks, api);
    ULONGLONG due = 0;
    if (timeout != nullptr && !poll)
        due = DueFromTimeout(timeout->QuadPart, NowLocked(S()));
    WaitState info;
    info.Api = api;
    return WaitLocked(lock, self, count, objects, type, blocks ? blocks : local, timeout == nullptr, due,
                      info);
}

} // namespace

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    return WaitForObjects("KeWaitForSingleObject", 1, &Object, WaitAny, Timeout, nullptr);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    return WaitForObjects("KeWaitForMultipleObjects", Count, Object, WaitType, Timeout, WaitBlockArray);
}
