// System threads: start at PASSIVE_LEVEL, handles that give waitable thread objects signalled
// at the end, PsTerminateSystemThread, recorded priorities, and the platform's shutdown.
#include "kernel_test_support.h"

#include <atomic>

namespace
{

HANDLE Start(PKSTART_ROUTINE routine, PVOID context, PCLIENT_ID clientId = nullptr)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    EXPECT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, clientId, routine, context),
        STATUS_SUCCESS);
    return handle;
}

// Starts a thread and keeps a reference to its object instead of the handle.
PKTHREAD StartReferenced(PKSTART_ROUTINE routine, PVOID context, PCLIENT_ID clientId = nullptr)
{
    HANDLE handle = Start(routine, context, clientId);
    PVOID thread = nullptr;
    EXPECT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    return static_cast<PKTHREAD>(thread);
}

struct Probe
{
    KEVENT Go;
    KIRQL Irql = HIGH_LEVEL;
    PKTHREAD Self = nullptr;
    BOOLEAN System = FALSE;
    bool Ended = false;
};

void ProbeRoutine(PVOID context)
{
    auto* probe = static_cast<Probe*>(context);
    probe->Irql = KeGetCurrentIrql();
    probe->Self = KeGetCurrentThread();
    probe->System = PsIsSystemThread(PsGetCurrentThread());
    kt::Wait(&probe->Go);
    probe->Ended = true;
}

TEST(SystemThread, RunsAtPassiveLevelAndItsObjectSignalsAtTheEnd)
{
    Probe probe;
    KeInitializeEvent(&probe.Go, NotificationEvent, FALSE);
    CLIENT_ID id = {};
    PKTHREAD thread = StartReferenced(ProbeRoutine, &probe, &id);
    EXPECT_NE(id.UniqueThread, nullptr);

    EXPECT_EQ(kt::Wait(thread, 0), STATUS_TIMEOUT);
    kt::LetOthersSettle();
    EXPECT_EQ(probe.Self, thread);
    EXPECT_EQ(probe.Irql, PASSIVE_LEVEL);
    EXPECT_TRUE(probe.System);
    EXPECT_EQ(plat::LiveSystemThreadCount(), 1u);

    KeSetEvent(&probe.Go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(kt::Wait(thread), STATUS_SUCCESS);
    EXPECT_TRUE(probe.Ended);
    EXPECT_EQ(plat::LiveSystemThreadCount(), 0u);
    EXPECT_EQ(kt::Wait(thread, 0), STATUS_SUCCESS) << "an ended thread stays signalled";
    ObDereferenceObject(thread);
}

// Destructors between the start routine and PsTerminateSystemThread do not run, as on the
// target; the code after the call never runs.
struct Terminating
{
    bool PastTerminate = false;
};

void NestedTerminate(Terminating* t)
{
    PsTerminateSystemThread(STATUS_SUCCESS);
    t->PastTerminate = true;
}

TEST(SystemThread, TerminateEndsTheThread)
{
    Terminating t;
    PKTHREAD thread =
        StartReferenced([](PVOID context) { NestedTerminate(static_cast<Terminating*>(context)); }, &t);
    EXPECT_EQ(kt::Wait(thread), STATUS_SUCCESS);
    EXPECT_FALSE(t.PastTerminate);
    ObDereferenceObject(thread);
    EXPECT_EQ(plat::LiveSystemThreadCount(), 0u);
}

TEST(SystemThread, PrioritiesAreRecorded)
{
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    PKTHREAD thread = StartReferenced([](PVOID context) { kt::Wait(context); }, &go);
    EXPECT_EQ(KeSetPriorityThread(thread, 31), 8);
    EXPECT_EQ(KeSetPriorityThread(thread, 24), 31);
    EXPECT_EQ(plat::RecordedPriority(thread), 24);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    kt::Wait(thread);
    ObDereferenceObject(thread);
}

TEST(SystemThread, ThreadObjectIsFreedAfterTheLastReference)
{
    SIZE_T before = plat::ObLiveObjectCount(PsThreadType);
    PKTHREAD thread = StartReferenced([](PVOID) {}, nullptr);
    EXPECT_EQ(plat::ObLiveObjectCount(PsThreadType), before + 1);
    kt::Wait(thread);
    ObDereferenceObject(thread);
    EXPECT_EQ(plat::ObLiveObjectCount(PsThreadType), before);
}

TEST(SystemThread, ShutdownWaitsForSystemThreadsThroughTheClock)
{
    HANDLE handle = Start([](PVOID) { kt::DelayMs(1000); }, nullptr);
    ZwClose(handle);
    ULONGLONG start = KeQueryInterruptTime();
    plat::Shutdown();
    EXPECT_EQ(plat::LiveSystemThreadCount(), 0u);
    EXPECT_EQ(KeQueryInterruptTime() - start, 10000000ULL);

    // The platform restarts its threads on demand afterwards.
    KEVENT ran;
    KeInitializeEvent(&ran, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID)
        { KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE); },
        &ran);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(kt::Wait(&ran), STATUS_SUCCESS);
}

using SystemThreadDeathTest = kt::DeathTest;

// Each misuse stops the process; a thread that never ends is named at shutdown.
TEST_F(SystemThreadDeathTest, MisuseStopsTheProcess)
{
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    kt::ExpectEachStops({
        {"never-ending thread at shutdown",
         []
         {
             ZwClose(Start(
                 [](PVOID)
                 {
                     plat::SetCurrentThreadName("status");
                     kt::Wait(&never);
                 },
                 nullptr));
             plat::Shutdown();
         },
         "deadlock.*'status': system thread, waiting in KeWaitForSingleObject for NotificationEvent"},
        {"running thread's object over-dereferenced",
         []
         {
             PKTHREAD thread = StartReferenced([](PVOID) { kt::Wait(&never); }, nullptr);
             ObDereferenceObject(thread);
             ObDereferenceObject(thread); // one too many: the thread's own reference
         },
         "thread object .* of running thread 'system-.*' deleted: it was dereferenced more often than "
         "referenced"},
        {"terminate outside a system thread", [] { PsTerminateSystemThread(STATUS_SUCCESS); },
         "PsTerminateSystemThread called outside a system thread"},
        {"thread ends at dispatch",
         []
         {
             kt::Wait(StartReferenced(
                 [](PVOID)
                 {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                 },
                 nullptr));
         },
         "ended at IRQL 2: threads must end at PASSIVE_LEVEL"},
        {"create at dispatch",
         []
         {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             Start([](PVOID) {}, nullptr);
         },
         "PsCreateSystemThread at IRQL 2"},
    });
}

} // namespace
