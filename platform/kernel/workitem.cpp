// Work items of the stand-in. Items wait in one queue served by platform worker threads at
// PASSIVE_LEVEL; a worker is added whenever every worker is busy, so a work item that waits
// for another work item does not deadlock the queue (the target has many workers too).
#include "workitem.h"

#include "plat_fatal.h"
#include "plat_irql.h"
#include "pool.h"
#include "sched_internal.h"

namespace
{

using namespace plat;
using namespace plat::sched;

constexpr ULONG kWorkItemTag = MAKE_POOL_TAG('I', 'o', 'W', 'k');
constexpr size_t kMaxWorkers = 32;

} // namespace

struct _IO_WORKITEM
{
    ULONG Magic; // kWorkItemTag while allocated
    bool Queued;
    bool DeviceReferenced; // the platform holds a reference on Device while queued and running
    PDEVICE_OBJECT Device;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    WORK_QUEUE_TYPE QueueType;
    LIST_ENTRY Link;
};

namespace
{

// Guarded by the scheduler lock.
struct WorkState
{
    bool Initialised = false;
    bool Stop = false;
    bool Held = false; // tests: items stay queued while held
    LIST_ENTRY Queue;
    KSEMAPHORE Pending; // released once per queued item; idle workers wait on it
    std::vector<ThreadRec*> Workers;
    size_t Busy = 0;
};
WorkState* g_work = new WorkState;

void EnsureWorkStateLocked()
{
    if (g_work->Initialised)
        return;
    g_work->Initialised = true;
    InitList(&g_work->Queue);
    InitHeader(&g_work->Pending.Header, SemaphoreObject, sizeof(KSEMAPHORE), 0);
    g_work->Pending.Limit = MAXLONG;
}

void ReleasePendingLocked(LONG count)
{
    g_work->Pending.Header.SignalState += count;
    SignalLocked(&g_work->Pending.Header);
}

void RunItem(std::unique_lock<std::mutex>& lock, PIO_WORKITEM item)
{
    // The routine may free its own item: nothing below reads it after the call.
    PIO_WORKITEM_ROUTINE routine = item->Routine;
    PDEVICE_OBJECT device = item->Device;
    PVOID context = item->Context;
    bool referenced = item->DeviceReferenced;
    item->DeviceReferenced = false;
    ++g_work->Busy;
    lock.unlock();
    routine(device, context);
    if (tCurrentIrql != PASSIVE_LEVEL)
        Fatal("work item routine %p returned at IRQL %d: it must return at PASSIVE_LEVEL",
              reinterpret_cast<void*>(routine), tCurrentIrql);
    if (referenced)
        ObDereferenceObject(device);
    lock.lock();
    --g_work->Busy;
}

void WorkerBody(ThreadRec* self)
{
    std::unique_lock<std::mutex> lock(S().Lock);
    for (;;)
    {
        if (!ListEmpty(&g_work->Queue) && !g_work->Held)
        {
            PIO_WORKITEM item = CONTAINING_RECORD(g_work->Queue.Flink, IO_WORKITEM, Link);
            Unlink(&item->Link);
            item->Queued = false;
            RunItem(lock, item);
            continue;
        }
        if (g_work->Stop)
            break;
        WaitState info;
        info.Api = "the work queue";
        info.Idle = true;
        PVOID pending = &g_work->Pending;
        KWAIT_BLOCK block;
        WaitLocked(lock, self, 1, &pending, WaitAny, &block, true, 0, info);
    }
    ExitInternalThreadLocked(lock, self);
}

size_t QueuedItemsLocked()
{
    size_t count = 0;
    for (PLIST_ENTRY e = g_work->Queue.Flink; e != &g_work->Queue; e = e->Flink)
        ++count;
    return count;
}

void AddWorkerIfAllBusyLocked()
{
    size_t idle = g_work->Workers.size() - g_work->Busy;
    if (g_work->Held || QueuedItemsLocked() <= idle || g_work->Workers.size() >= kMaxWorkers)
        return;
    std::string name = "worker-" + std::to_string(g_work->Workers.size());
    g_work->Workers.push_back(StartInternalThread(ThreadKind::Worker, name.c_str(), WorkerBody));
}

} // namespace

namespace plat
{
namespace sched
{

void ShutdownWorkers()
{
    std::vector<ThreadRec*> workers;
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        if (g_work->Workers.empty())
            return;
        g_work->Stop = true;
        workers = g_work->Workers;
        ReleasePendingLocked(LONG(workers.size()));
    }
    for (ThreadRec* worker : workers)
        JoinInternalThread(worker);
    std::lock_guard<std::mutex> lock(S().Lock);
    g_work->Workers.clear();
    g_work->Stop = false;
    g_work->Pending.Header.SignalState = 0;
}

} // namespace sched

void HoldWorkQueue(bool hold)
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    EnsureWorkStateLocked();
    g_work->Held = hold;
    if (hold)
        return;
    // Items queued while held found no worker started for them: start them now.
    size_t before;
    do
    {
        before = g_work->Workers.size();
        AddWorkerIfAllBusyLocked();
    } while (g_work->Workers.size() != before);
    ReleasePendingLocked(LONG(g_work->Workers.size()));
}

} // namespace plat

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    CheckIrqlAtMostDispatch("IoAllocateWorkItem");
    auto* item =
        static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemTag));
    if (item == nullptr)
        return nullptr;
    *item = IO_WORKITEM{};
    item->Magic = kWorkItemTag;
    item->Device = DeviceObject;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    CheckIrqlAtMostDispatch("IoFreeWorkItem");
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        if (IoWorkItem == nullptr || IoWorkItem->Magic != kWorkItemTag)
            Fatal("IoFreeWorkItem: %p is not an allocated work item", static_cast<void*>(IoWorkItem));
        if (IoWorkItem->Queued)
            Fatal("IoFreeWorkItem: work item %p is still queued", static_cast<void*>(IoWorkItem));
        IoWorkItem->Magic = 0;
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context)
{
    CheckIrqlAtMostDispatch("IoQueueWorkItem");
    if (IoWorkItem == nullptr || IoWorkItem->Magic != kWorkItemTag || WorkerRoutine == nullptr)
        Fatal("IoQueueWorkItem: %p is not an allocated work item (or the routine is null)",
              static_cast<void*>(IoWorkItem));
    // Only objects the object manager created are reference counted; tests may pass others.
    bool managed = ObGetObjectType(IoWorkItem->Device) != nullptr;
    Current();
    std::lock_guard<std::mutex> lock(S().Lock);
    if (IoWorkItem->Queued)
        Fatal("IoQueueWorkItem: work item %p is already queued", static_cast<void*>(IoWorkItem));
    if (managed)
        ObReferenceObject(IoWorkItem->Device);
    EnsureWorkStateLocked();
    IoWorkItem->Queued = true;
    IoWorkItem->DeviceReferenced = managed;
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    IoWorkItem->QueueType = QueueType;
    InsertTail(&g_work->Queue, &IoWorkItem->Link);
    AddWorkerIfAllBusyLocked();
    ReleasePendingLocked(1);
}
