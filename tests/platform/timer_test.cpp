// Timers, DPCs and work items: where and at what IRQL their routines run, the queue rules,
// and timers as wait objects on the virtual clock.
#include "kernel_test_support.h"

#include "plat_pool.h"

#include <atomic>
#include <vector>

namespace
{

using kt::RelativeMs;

struct DpcSeen
{
    std::atomic<int> Runs{0};
    KIRQL Irql = PASSIVE_LEVEL;
    PKTHREAD Thread = nullptr;
    PVOID Argument1 = nullptr;
    ULONGLONG Time = 0;
};

void NoteDpc(PKDPC, PVOID context, PVOID argument1, PVOID)
{
    auto* seen = static_cast<DpcSeen*>(context);
    seen->Irql = KeGetCurrentIrql();
    seen->Thread = KeGetCurrentThread();
    seen->Argument1 = argument1;
    seen->Time = KeQueryInterruptTime();
    ++seen->Runs;
}

// A timer whose expiry queues a DPC that notes where it ran.
struct TimedDpc
{
    DpcSeen Seen;
    KTIMER Timer;
    KDPC Dpc;
    TimedDpc()
    {
        KeInitializeTimer(&Timer);
        KeInitializeDpc(&Dpc, NoteDpc, &Seen);
    }
};

TEST(Dpc, RunsAtDispatchLevelOnThePlatformDpcThread)
{
    DpcSeen seen;
    KDPC dpc;
    KeInitializeDpc(&dpc, NoteDpc, &seen);
    int marker;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &marker, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(seen.Runs, 1);
    EXPECT_EQ(seen.Irql, DISPATCH_LEVEL);
    EXPECT_NE(seen.Thread, KeGetCurrentThread());
    EXPECT_EQ(plat::ThreadName(seen.Thread), "dpc");
    EXPECT_EQ(seen.Argument1, &marker);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// The first DPC holds the DPC thread until released, so the second stays queued meanwhile.
TEST(Dpc, InsertingAQueuedDpcReturnsFalseAndRemoveUnqueues)
{
    static std::atomic<bool> release;
    static std::atomic<bool> blocking;
    release = false;
    blocking = false;
    KDPC blocker, second;
    DpcSeen seen;
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID, PVOID, PVOID)
        {
            blocking = true;
            while (!release)
            {
            }
        },
        nullptr);
    KeInitializeDpc(&second, NoteDpc, &seen);
    KeInsertQueueDpc(&blocker, nullptr, nullptr);
    while (!blocking)
    {
    }
    EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&second, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&second));
    EXPECT_FALSE(KeRemoveQueueDpc(&second));
    release = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(seen.Runs, 0);
    EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(seen.Runs, 1);
}

TEST(Timer, SetAndCancelReportWhetherItWasQueued)
{
    TimedDpc t;
    EXPECT_FALSE(KeSetTimer(&t.Timer, RelativeMs(100), &t.Dpc));
    kt::DelayMs(20);
    EXPECT_TRUE(KeSetTimer(&t.Timer, RelativeMs(100), &t.Dpc));
    EXPECT_EQ(plat::QueuedTimerCount(), 1u);
    EXPECT_TRUE(KeCancelTimer(&t.Timer));
    EXPECT_FALSE(KeCancelTimer(&t.Timer));
    EXPECT_EQ(plat::QueuedTimerCount(), 0u);
    kt::DelayMs(200);
    KeFlushQueuedDpcs();
    EXPECT_FALSE(KeReadStateTimer(&t.Timer)) << "a cancelled timer never expires";
    EXPECT_EQ(t.Seen.Runs, 0);
}

TEST(Timer, NotificationTimerSignalsAtItsDueTimeAndStaysSignalled)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&timer, RelativeMs(250), nullptr);
    EXPECT_EQ(kt::Wait(&timer), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - start, 2500000ULL);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(kt::Wait(&timer, 0), STATUS_SUCCESS);
    KeSetTimer(&timer, RelativeMs(250), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "setting a timer clears its state";
    KeCancelTimer(&timer);
}

// The status-thread pattern: a periodic synchronization timer set at an absolute system
// time, waited on together with a stop event.
TEST(Timer, PeriodicSynchronizationTimerAsAWaitObject)
{
    KTIMER timer;
    KEVENT stop;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 50 * kt::kUnitsPerMs;
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimerEx(&timer, due, 50, nullptr);
    PVOID objects[2] = {&stop, &timer};
    for (int i = 1; i <= 10; ++i)
    {
        EXPECT_EQ(
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_1);
        EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(i) * 500000);
        EXPECT_FALSE(KeReadStateTimer(&timer)) << "the wait took the synchronization timer's signal";
    }
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0);
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST(Timer, SynchronizationTimerWakesOneWaiter)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    std::atomic<int> woken{0};
    auto wait = [&] { woken += kt::Wait(&timer, 100) == STATUS_SUCCESS; };
    plat::HostThread a("a", wait), b("b", wait);
    KeSetTimer(&timer, RelativeMs(10), nullptr);
    a.Join();
    b.Join();
    EXPECT_EQ(woken, 1);
}

TEST(Timer, DueTimeInThePastExpiresAtOnce)
{
    TimedDpc t;
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 1;
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_FALSE(KeSetTimer(&t.Timer, past, &t.Dpc));
    EXPECT_TRUE(KeReadStateTimer(&t.Timer));
    KeFlushQueuedDpcs();
    EXPECT_EQ(t.Seen.Runs, 1);
    EXPECT_EQ(t.Seen.Time, start);
    EXPECT_EQ(t.Seen.Irql, DISPATCH_LEVEL);
    EXPECT_EQ(ULONG(ULONG_PTR(t.Seen.Argument1)), ULONG(plat::SystemTime()))
        << "the DPC gets the expiry time";
}

// ---- work items ----

struct WorkSeen
{
    KEVENT Done;
    KIRQL Irql = HIGH_LEVEL;
    PDEVICE_OBJECT Device = nullptr;
    PVOID Context = nullptr;
    PKTHREAD Thread = nullptr;
    LONG_PTR DeviceReferences = 0;
};

void NoteWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* seen = static_cast<WorkSeen*>(context);
    seen->Irql = KeGetCurrentIrql();
    seen->Device = device;
    seen->Context = context;
    seen->Thread = KeGetCurrentThread();
    if (plat::ObGetObjectType(device) != nullptr)
        seen->DeviceReferences = plat::ObReferenceCount(device);
    KeSetEvent(&seen->Done, IO_NO_INCREMENT, FALSE);
}

TEST(WorkItem, RunsAtPassiveLevelOnAWorkerWithItsDeviceReferenced)
{
    // Any managed object stands in for the device: the I/O manager's own type expects
    // IoCreateDevice to have built it.
    static OBJECT_TYPE fakeDeviceType = {"FakeDevice", nullptr, nullptr};
    auto device = static_cast<PDEVICE_OBJECT>(plat::ObCreateObject(&fakeDeviceType, 64));
    const ULONG tag = MAKE_POOL_TAG('I', 'o', 'W', 'k');
    SIZE_T itemsBefore = plat::PoolLiveBlocks(tag);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(plat::PoolLiveBlocks(tag), itemsBefore + 1);

    WorkSeen seen;
    KeInitializeEvent(&seen.Done, NotificationEvent, FALSE);
    IoQueueWorkItem(item, NoteWork, DelayedWorkQueue, &seen);
    kt::Wait(&seen.Done);
    kt::LetOthersSettle(); // the worker drops its reference after the routine returns
    EXPECT_EQ(seen.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.Device, device);
    EXPECT_EQ(seen.Context, &seen);
    EXPECT_NE(seen.Thread, KeGetCurrentThread());
    EXPECT_EQ(seen.DeviceReferences, 2) << "the platform holds the device while the routine runs";
    EXPECT_EQ(plat::ObReferenceCount(device), 1);

    IoFreeWorkItem(item);
    EXPECT_EQ(plat::PoolLiveBlocks(tag), itemsBefore);
    ObDereferenceObject(device);
}

TEST(WorkItem, RoutineMayFreeItsOwnItemAndRequeueIsAllowedAfterItRan)
{
    struct Self
    {
        PIO_WORKITEM Item;
        KEVENT Done;
    } self;
    KeInitializeEvent(&self.Done, SynchronizationEvent, FALSE);
    self.Item = IoAllocateWorkItem(nullptr);
    IoQueueWorkItem(
        self.Item,
        [](PDEVICE_OBJECT, PVOID context)
        {
            auto* s = static_cast<Self*>(context);
            KeSetEvent(&s->Done, IO_NO_INCREMENT, FALSE);
        },
        CriticalWorkQueue, &self);
    kt::Wait(&self.Done);
    kt::LetOthersSettle();
    IoQueueWorkItem(
        self.Item,
        [](PDEVICE_OBJECT, PVOID context)
        {
            auto* s = static_cast<Self*>(context);
            IoFreeWorkItem(s->Item);
            KeSetEvent(&s->Done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &self);
    kt::Wait(&self.Done);
}

// The first item waits for the second: with a single worker this would never finish.
TEST(WorkItem, AnItemWaitingForAnotherDoesNotStallTheQueue)
{
    struct Pair
    {
        KEVENT SecondRan;
        KEVENT BothDone;
    } pair;
    KeInitializeEvent(&pair.SecondRan, NotificationEvent, FALSE);
    KeInitializeEvent(&pair.BothDone, NotificationEvent, FALSE);
    PIO_WORKITEM first = IoAllocateWorkItem(nullptr);
    PIO_WORKITEM second = IoAllocateWorkItem(nullptr);
    IoQueueWorkItem(
        first,
        [](PDEVICE_OBJECT, PVOID context)
        {
            auto* p = static_cast<Pair*>(context);
            kt::Wait(&p->SecondRan);
            KeSetEvent(&p->BothDone, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &pair);
    IoQueueWorkItem(
        second,
        [](PDEVICE_OBJECT, PVOID context)
        { KeSetEvent(&static_cast<Pair*>(context)->SecondRan, IO_NO_INCREMENT, FALSE); },
        DelayedWorkQueue, &pair);
    EXPECT_EQ(kt::Wait(&pair.BothDone), STATUS_SUCCESS);
    kt::LetOthersSettle();
    IoFreeWorkItem(first);
    IoFreeWorkItem(second);
}

using TimerDeathTest = kt::DeathTest;

TEST(WorkItem, HeldQueueRunsItemsWhenReleased)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
    plat::HoldWorkQueue(true);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID context)
        { KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE); },
        DelayedWorkQueue, &done);
    kt::LetOthersSettle();
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    plat::HoldWorkQueue(false);
    EXPECT_EQ(kt::Wait(&done), STATUS_SUCCESS);
    kt::LetOthersSettle();
    IoFreeWorkItem(item);
}

TEST_F(TimerDeathTest, MisuseStopsTheProcess)
{
    static KDPC dpc;
    auto runDpc = [](PKDEFERRED_ROUTINE routine)
    {
        KeInitializeDpc(&dpc, routine, nullptr);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
    };
    auto queuedItem = []
    {
        PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
        plat::HoldWorkQueue(true);
        IoQueueWorkItem(
            item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        return item;
    };
    kt::ExpectEachStops({
        {"work item queued twice",
         [&]
         {
             IoQueueWorkItem(
                 queuedItem(), [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
         },
         "IoQueueWorkItem: work item .* is already queued"},
        {"queued work item freed", [&] { IoFreeWorkItem(queuedItem()); },
         "IoFreeWorkItem: work item .* is still queued"},
        {"DPC returns at another IRQL",
         [&] { runDpc([](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }); },
         "DPC routine .* returned at IRQL 0: a DPC must return at DISPATCH_LEVEL"},
        {"flush from a DPC", [&] { runDpc([](PKDPC, PVOID, PVOID, PVOID) { KeFlushQueuedDpcs(); }); },
         "KeFlushQueuedDpcs at IRQL 2"},
    });
}

} // namespace
