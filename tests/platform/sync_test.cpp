// IRQL, spin locks, events, kernel mutexes, semaphores and waits: the semantics drivers rely
// on, and the misuse that stops the process.
#include "kernel_test_support.h"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace
{

using kt::RelativeMs;

// ---- IRQL and spin locks ----

TEST(SpinLock, AcquireRaisesToDispatchReleaseRestoresAndQueuedFormsNest)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock, 0u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);
    // The in-stack queued forms nest under a plain lock.
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KLOCK_QUEUE_HANDLE outerHandle, innerHandle;
    KeAcquireInStackQueuedSpinLock(&outer, &outerHandle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeAcquireInStackQueuedSpinLockAtDpcLevel(&inner, &innerHandle);
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&innerHandle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&inner));
    KeReleaseSpinLockFromDpcLevel(&inner);
    KeReleaseInStackQueuedSpinLock(&outerHandle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Four threads increment a plain counter under the lock; a lock that fails to exclude loses
// increments.
TEST(SpinLock, ExcludesOtherThreads)
{
    constexpr int kThreads = 4, kRounds = 200000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    {
        std::vector<std::unique_ptr<plat::HostThread>> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.push_back(
                std::make_unique<plat::HostThread>("adder",
                                                   [&]
                                                   {
                                                       for (int i = 0; i < kRounds; ++i)
                                                       {
                                                           KLOCK_QUEUE_HANDLE handle;
                                                           KeAcquireInStackQueuedSpinLock(&lock, &handle);
                                                           counter = counter + 1;
                                                           KeReleaseInStackQueuedSpinLock(&handle);
                                                       }
                                                   }));
    }
    EXPECT_EQ(counter, long(kThreads) * kRounds);
}

TEST(Irql, RaiseAndLowerNestPerThread)
{
    KIRQL first, second;
    KeRaiseIrql(APC_LEVEL, &first);
    KeRaiseIrql(DISPATCH_LEVEL, &second);
    EXPECT_EQ(first, PASSIVE_LEVEL);
    EXPECT_EQ(second, APC_LEVEL);
    KeLowerIrql(second);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    PAGED_CODE(); // allowed at APC_LEVEL
    KeLowerIrql(first);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
    // IRQL is per thread.
    KIRQL seen = HIGH_LEVEL;
    std::thread other([&] { seen = KeGetCurrentIrql(); }); // touches no wait: any thread will do
    other.join();
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(seen, PASSIVE_LEVEL);
}

// A thread the platform has not seen yet may make its first call at DISPATCH_LEVEL.
TEST(Irql, FirstPlatformCallAtDispatchLevelKeepsTheIrql)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL seen = PASSIVE_LEVEL;
    std::thread newcomer(
        [&]
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            seen = KeGetCurrentIrql();
            KeLowerIrql(old);
        });
    newcomer.join(); // the newcomer never waits, so a host join is safe here
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

void PageableRoutine()
{
    PAGED_CODE();
}

// ---- events ----

// Each waiter counts itself once woken and ends.
struct Waiters
{
    std::atomic<int> Woken{0};
    std::vector<std::unique_ptr<plat::HostThread>> Threads;

    Waiters(int count, PKEVENT event)
    {
        for (int i = 0; i < count; ++i)
            Threads.push_back(std::make_unique<plat::HostThread>("waiter",
                                                                 [this, event]
                                                                 {
                                                                     kt::Wait(event);
                                                                     ++Woken;
                                                                 }));
        kt::LetOthersSettle();
    }
};

// Three waiters, then one signal: a synchronization event wakes one and its signal is taken;
// a notification event wakes all and stays set; a pulse wakes all and leaves it clear.
TEST(Event, EachKindWakesItsWaitersAndLeavesItsState)
{
    struct Row
    {
        EVENT_TYPE Type;
        bool Pulse;
        int Woken;
        LONG StateAfter;
    };
    const Row rows[] = {
        {SynchronizationEvent, false, 1, 0},
        {NotificationEvent, false, 3, 1},
        {NotificationEvent, true, 3, 0},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "type " << row.Type << (row.Pulse ? ", pulsed" : ""));
        KEVENT event;
        KeInitializeEvent(&event, row.Type, FALSE);
        Waiters waiters(3, &event);
        EXPECT_EQ(waiters.Woken, 0);
        EXPECT_EQ(row.Pulse ? KePulseEvent(&event, IO_NO_INCREMENT, FALSE)
                            : KeSetEvent(&event, IO_NO_INCREMENT, FALSE),
                  0);
        kt::LetOthersSettle();
        EXPECT_EQ(waiters.Woken, row.Woken);
        EXPECT_EQ(KeReadStateEvent(&event), row.StateAfter);
        // Whatever is still waiting is let go before the event leaves scope.
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        kt::LetOthersSettle();
        EXPECT_EQ(waiters.Woken, 3);
    }
    // With nobody waiting a synchronization event's signal stays until one wait takes it; a
    // notification event reports its previous state on set and reset.
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(kt::Wait(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(kt::Wait(&event, 0), STATUS_TIMEOUT);
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    KeClearEvent(&event);
    EXPECT_EQ(kt::Wait(&event, 0), STATUS_TIMEOUT);
}

// ---- kernel mutexes ----

NTSTATUS TryFromAnotherThread(PKMUTEX mutex)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    plat::HostThread other("other",
                           [&]
                           {
                               status = kt::Wait(mutex, 0);
                               if (status == STATUS_SUCCESS)
                                   KeReleaseMutex(mutex, FALSE);
                           });
    other.Join();
    return status;
}

TEST(Mutex, OwnerReacquiresAndNeedsAsManyReleases)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(kt::Wait(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(kt::Wait(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(kt::Wait(&mutex, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -2);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_EQ(TryFromAnotherThread(&mutex), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -2);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(TryFromAnotherThread(&mutex), STATUS_TIMEOUT) << "still held once";
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_EQ(TryFromAnotherThread(&mutex), STATUS_SUCCESS);
}

TEST(Mutex, WaiterGetsItWhenTheOwnerReleases)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    kt::Wait(&mutex);
    std::atomic<bool> acquired{false};
    plat::HostThread waiter("waiter",
                            [&]
                            {
                                kt::Wait(&mutex);
                                acquired = true;
                                EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
                                KeReleaseMutex(&mutex, FALSE);
                            });
    kt::LetOthersSettle();
    EXPECT_FALSE(acquired);
    KeReleaseMutex(&mutex, FALSE);
    waiter.Join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// ---- semaphores ----

TEST(Semaphore, CountsAndWakesOnePerUnit)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 3);
    EXPECT_EQ(kt::Wait(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(kt::Wait(&semaphore, 0), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(kt::Wait(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

// ---- waits ----

TEST(Wait, WaitAnyReturnsTheIndexOfTheFirstSignalledObject)
{
    KEVENT events[3];
    PVOID objects[3];
    for (int i = 0; i < 3; ++i)
    {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        objects[i] = &events[i];
    }
    LARGE_INTEGER zero = kt::Zero();
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_2);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_1);
    KeClearEvent(&events[1]);
    KeClearEvent(&events[2]);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    plat::HostThread waiter("waiter",
                            [&] {
                                status = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode,
                                                                  FALSE, nullptr, nullptr);
                            });
    kt::LetOthersSettle();
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    waiter.Join();
    EXPECT_EQ(status, STATUS_WAIT_1);
}

// Five objects need the caller's wait blocks; WaitAll returns only when all are signalled,
// and takes the synchronization events' signals only then.
TEST(Wait, WaitAllWithAWaitBlockArray)
{
    constexpr int kCount = 5;
    KEVENT events[kCount];
    PVOID objects[kCount];
    KWAIT_BLOCK blocks[kCount];
    for (int i = 0; i < kCount; ++i)
    {
        KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
        objects[i] = &events[i];
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::atomic<bool> done{false};
    plat::HostThread waiter("waiter",
                            [&]
                            {
                                status = KeWaitForMultipleObjects(kCount, objects, WaitAll, Executive,
                                                                  KernelMode, FALSE, nullptr, blocks);
                                done = true;
                            });
    for (int i = 0; i < kCount - 1; ++i)
        KeSetEvent(&events[i], IO_NO_INCREMENT, FALSE);
    kt::LetOthersSettle();
    EXPECT_FALSE(done);
    EXPECT_EQ(KeReadStateEvent(&events[0]), 1) << "a WaitAll takes nothing until it can take everything";
    KeSetEvent(&events[kCount - 1], IO_NO_INCREMENT, FALSE);
    waiter.Join();
    EXPECT_EQ(status, STATUS_WAIT_0);
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(KeReadStateEvent(&events[i]), 0) << i;
}

TEST(Wait, ZeroTimeoutWaitIsAllowedAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(kt::Wait(&event, 0), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(kt::Wait(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(kt::Wait(&mutex, 0), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
    KeLowerIrql(old);
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(kt::Wait(&event, 0), STATUS_SUCCESS) << "initially signalled";
}

using SyncDeathTest = kt::DeathTest;

// Each misuse stops the process with a message that names the broken rule.
TEST_F(SyncDeathTest, MisuseStopsTheProcess)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    static KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    static KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    auto atDispatch = [](std::function<void()> act)
    {
        return [act]
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            act();
        };
    };
    kt::ExpectEachStops({
        {"spin lock twice",
         []
         {
             KIRQL a, b;
             KeAcquireSpinLock(&lock, &a);
             KeAcquireSpinLock(&lock, &b);
         },
         "KeAcquireSpinLock: spin lock .* is already held by this thread \\(spin locks are not recursive\\)"},
        {"queued then plain",
         []
         {
             KLOCK_QUEUE_HANDLE a;
             KeAcquireInStackQueuedSpinLock(&lock, &a);
             KeAcquireSpinLockAtDpcLevel(&lock);
         },
         "already held by this thread"},
        {"release unheld", [] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }, "spin lock .* is not held"},
        {"release twice",
         []
         {
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             KeReleaseSpinLock(&lock, old);
             KeReleaseSpinLock(&lock, old);
         },
         "is not held \\(released twice"},
        {"at-DPC form at passive", [] { KeAcquireSpinLockAtDpcLevel(&lock); },
         "require IRQL >= DISPATCH_LEVEL"},
        {"queued at-DPC form at passive",
         []
         {
             KLOCK_QUEUE_HANDLE handle;
             KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock, &handle);
         },
         "require IRQL >= DISPATCH_LEVEL"},
        {"raise downwards",
         atDispatch(
             []
             {
                 KIRQL old;
                 KeRaiseIrql(APC_LEVEL, &old);
             }),
         "KeRaiseIrql to 1 from 2"},
        {"lower upwards", [] { KeLowerIrql(DISPATCH_LEVEL); }, "KeLowerIrql to 2 from 0"},
        {"paged code at dispatch", atDispatch(PageableRoutine),
         "PAGED_CODE\\(\\) in PageableRoutine .* at IRQL 2: pageable code must run at or below APC_LEVEL"},
        {"mutex released by another thread",
         []
         {
             kt::Wait(&mutex);
             plat::HostThread thief("thief", [] { KeReleaseMutex(&mutex, FALSE); });
         },
         "KeReleaseMutex: mutex .* released by thread 'thief', which does not own it \\(owner: 'main'\\)"},
        {"mutex released twice",
         []
         {
             kt::Wait(&mutex);
             KeReleaseMutex(&mutex, FALSE);
             KeReleaseMutex(&mutex, FALSE);
         },
         "mutex .* is not held"},
        {"thread ends holding a mutex", [] { plat::HostThread holder("holder", [] { kt::Wait(&mutex); }); },
         "thread 'holder' ended while it holds kernel mutex"},
        {"semaphore beyond its limit",
         []
         {
             KSEMAPHORE semaphore;
             KeInitializeSemaphore(&semaphore, 2, 2);
             KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
         },
         "exceeds its limit 2"},
        {"timed wait at dispatch", atDispatch([] { kt::Wait(&event, 500); }),
         "KeWaitForSingleObject at IRQL 2 with a non-zero time-out: only a zero time-out is allowed at "
         "DISPATCH_LEVEL"},
        {"endless wait under a spin lock",
         []
         {
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             kt::Wait(&event);
         },
         "KeWaitForSingleObject at IRQL 2 with no time-out"},
        {"delay at dispatch", atDispatch([] { kt::DelayMs(1); }), "KeDelayExecutionThread at IRQL 2"},
        {"many objects without wait blocks",
         []
         {
             PVOID objects[4] = {&event, &event, &event, &event};
             KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
         },
         "4 objects need a wait block array"},
        {"uninitialised object",
         []
         {
             KEVENT blank = {};
             kt::Wait(&blank, 0);
         },
         "is not an initialised dispatcher object"},
    });
}

} // namespace
