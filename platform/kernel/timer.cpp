// Timers and DPCs of the stand-in. Timers sit in the scheduler's deadline queue; when one
// expires it is signalled and its DPC queued. One platform thread runs the DPC queue at
// DISPATCH_LEVEL, so DPCs never overlap, as on a single processor.
#include "plat_fatal.h"
#include "plat_irql.h"
#include "sched_internal.h"

namespace plat
{
namespace sched
{

namespace
{

constexpr UCHAR kDpcObjectType = 19;
constexpr ULONGLONG kUnitsPerMs = 10000;

// Guarded by the scheduler lock. Plain structures: nothing to destroy at exit.
struct DpcState
{
    bool Initialised;
    bool Stop;
    LIST_ENTRY Queue;
    KEVENT Work;       // synchronization: set for each insertion
    KEVENT Idle;       // notification: set while the queue is empty and no DPC runs
    ThreadRec* Thread; // null until the first DPC is queued
} g_dpc;

// The late-expiry fault switch (SetTimerLateness). Guarded by the scheduler lock.
struct LatenessState
{
    ULONGLONG Late; // 100 ns units; 0: off
    ULONG Nth;      // 0: every expiry; N: only the Nth from when the switch was set
    ULONG Seen;     // expiries counted since the switch was set
} g_lateness;

// A timer whose expiry is being held back keeps its original due time in TimerListEntry.Blink
// (plus one, so that zero means none) until the late expiry has run.
ULONGLONG HeldBackDue(PKTIMER timer)
{
    return reinterpret_cast<ULONGLONG>(timer->TimerListEntry.Blink);
}

void SetHeldBackDue(PKTIMER timer, ULONGLONG value)
{
    timer->TimerListEntry.Blink = reinterpret_cast<PLIST_ENTRY>(value);
}

// How late this expiry is to be; 0 when the switch does not apply to it.
ULONGLONG LatenessOfExpiryLocked(PKTIMER timer)
{
    if (g_lateness.Late == 0 || HeldBackDue(timer) != 0)
        return 0;
    ++g_lateness.Seen;
    return g_lateness.Nth == 0 || g_lateness.Seen == g_lateness.Nth ? g_lateness.Late : 0;
}

void EnsureDpcStateLocked()
{
    if (g_dpc.Initialised)
        return;
    g_dpc.Initialised = true;
    InitList(&g_dpc.Queue);
    InitHeader(&g_dpc.Work.Header, EventSynchronizationObject, sizeof(KEVENT), 0);
    InitHeader(&g_dpc.Idle.Header, EventNotificationObject, sizeof(KEVENT), 1);
}

// Runs one DPC outside the scheduler lock at DISPATCH_LEVEL.
void RunDpc(std::unique_lock<std::mutex>& lock, PRKDPC dpc)
{
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    lock.unlock();
    tCurrentIrql = DISPATCH_LEVEL;
    routine(dpc, context, argument1, argument2);
    if (tCurrentIrql != DISPATCH_LEVEL)
        Fatal("DPC routine %p returned at IRQL %d: a DPC must return at DISPATCH_LEVEL (a spin lock left "
              "held, or "
              "an IRQL left raised or lowered?)",
              reinterpret_cast<void*>(routine), tCurrentIrql);
    tCurrentIrql = PASSIVE_LEVEL;
    lock.lock();
}

void DpcThreadBody(ThreadRec* self)
{
    std::unique_lock<std::mutex> lock(S().Lock);
    for (;;)
    {
        if (ListEmpty(&g_dpc.Queue))
        {
            SetEventLocked(&g_dpc.Idle);
            if (g_dpc.Stop)
                break;
            WaitState info;
            info.Api = "the DPC queue";
            info.Idle = true;
            PVOID work = &g_dpc.Work;
            KWAIT_BLOCK block;
            WaitLocked(lock, self, 1, &work, WaitAny, &block, true, 0, info);
            continue;
        }
        PRKDPC dpc = CONTAINING_RECORD(g_dpc.Queue.Flink, KDPC, DpcListEntry);
        Unlink(&dpc->DpcListEntry);
        dpc->DpcData = nullptr;
        RunDpc(lock, dpc);
    }
    ExitInternalThreadLocked(lock, self);
}

void QueueTimerLocked(PKTIMER timer, ULONGLONG due)
{
    timer->DueTime.QuadPart = due;
    if (due <= NowLocked(S()))
    {
        ExpireTimerLocked(timer);
        return;
    }
    ULONGLONG seq = S().NextSeq++;
    timer->TimerListEntry.Flink = reinterpret_cast<PLIST_ENTRY>(seq);
    timer->Header.Inserted = 1;
    InsertDeadlineLocked(Deadline{due, seq, DeadlineKind::Timer, timer});
}

bool CancelTimerLocked(PKTIMER timer)
{
    SetHeldBackDue(timer, 0);
    if (!timer->Header.Inserted)
        return false;
    RemoveDeadlineLocked(timer->DueTime.QuadPart, reinterpret_cast<ULONGLONG>(timer->TimerListEntry.Flink));
    timer->Header.Inserted = 0;
    timer->TimerListEntry.Flink = nullptr;
    return true;
}

void CheckTimer(PKTIMER timer, const char* api)
{
    CheckObject(timer, api);
    if (timer->Header.Type != TimerNotificationObject && timer->Header.Type != TimerSynchronizationObject)
        Fatal("%s: %p is not a timer", api, static_cast<void*>(timer));
}

} // namespace

void InsertDpcLocked(PRKDPC dpc, PVOID argument1, PVOID argument2)
{
    EnsureDpcStateLocked();
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = &g_dpc;
    if (dpc->Importance == HighImportance)
        InsertHead(&g_dpc.Queue, &dpc->DpcListEntry);
    else
        InsertTail(&g_dpc.Queue, &dpc->DpcListEntry);
    g_dpc.Idle.Header.SignalState = 0;
    if (g_dpc.Thread == nullptr)
        g_dpc.Thread = StartInternalThread(ThreadKind::Dpc, "dpc", DpcThreadBody);
    SetEventLocked(&g_dpc.Work);
}

// The timer's DPC gets the expiry's system time as its arguments, as on the target.
void ExpireTimerLocked(PKTIMER timer)
{
    ULONGLONG late = LatenessOfExpiryLocked(timer);
    if (late != 0)
    {
        SetHeldBackDue(timer, timer->DueTime.QuadPart + 1);
        QueueTimerLocked(timer, timer->DueTime.QuadPart + late);
        return;
    }
    ULONGLONG heldBack = HeldBackDue(timer);
    if (heldBack != 0)
    {
        // The grid of a periodic timer runs from the due time, not from the late expiry.
        timer->DueTime.QuadPart = heldBack - 1;
        SetHeldBackDue(timer, 0);
    }
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    SignalLocked(&timer->Header);
    ULONGLONG now = NowLocked(S());
    if (timer->Dpc != nullptr && timer->Dpc->DpcData == nullptr)
    {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = LONGLONG(now + S().SystemTimeOffset.load(std::memory_order_relaxed));
        InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(systemTime.LowPart)),
                        reinterpret_cast<PVOID>(ULONG_PTR(ULONG(systemTime.HighPart))));
    }
    if (timer->Period > 0)
    {
        // A late expiry (real mode, or the fault switch) skips the missed periods instead of
        // firing a burst.
        ULONGLONG period = ULONGLONG(timer->Period) * kUnitsPerMs;
        ULONGLONG next = timer->DueTime.QuadPart + period;
        while (next <= now)
            next += period;
        QueueTimerLocked(timer, next);
    }
}

void SetTimerLatenessLocked(ULONGLONG late, ULONG nth)
{
    g_lateness.Late = late;
    g_lateness.Nth = nth;
    g_lateness.Seen = 0;
}

void ShutdownDpcs()
{
    ThreadRec* thread;
    {
        std::lock_guard<std::mutex> lock(S().Lock);
        if (g_dpc.Thread == nullptr)
            return;
        thread = g_dpc.Thread;
        g_dpc.Stop = true;
        SetEventLocked(&g_dpc.Work);
    }
    JoinInternalThread(thread);
    std::lock_guard<std::mutex> lock(S().Lock);
    g_dpc.Thread = nullptr;
    g_dpc.Stop = false;
}

} // namespace sched

void SetTimerLateness(ULONGLONG Late, ULONG Nth)
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    sched::SetTimerLatenessLocked(Late, Nth);
}

} // namespace plat

using namespace plat;
using namespace plat::sched;

VOID KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    UCHAR kind = Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
    InitHeader(&Timer->Header, kind, sizeof(KTIMER), 0);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    CheckIrqlAtMostDispatch("KeSetTimerEx");
    if (Period < 0)
        Fatal("KeSetTimerEx: negative period %d ms", Period);
    Current();
    std::lock_guard<std::mutex> lock(S().Lock);
    CheckTimer(Timer, "KeSetTimerEx");
    bool wasQueued = CancelTimerLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    ULONGLONG now = NowLocked(S());
    QueueTimerLocked(Timer, DueTime.QuadPart == 0 ? now : DueFromTimeout(DueTime.QuadPart, now));
    return wasQueued;
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    CheckIrqlAtMostDispatch("KeCancelTimer");
    std::lock_guard<std::mutex> lock(S().Lock);
    CheckTimer(Timer, "KeCancelTimer");
    return CancelTimerLocked(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    std::lock_guard<std::mutex> lock(S().Lock);
    return Timer->Header.SignalState > 0;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = kDpcObjectType;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

VOID KeSetImportanceDpc(PRKDPC Dpc, ULONG Importance)
{
    Dpc->Importance = UCHAR(Importance);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc->Type != kDpcObjectType || Dpc->DeferredRoutine == nullptr)
        Fatal("KeInsertQueueDpc: %p is not an initialised DPC", static_cast<void*>(Dpc));
    Current();
    std::lock_guard<std::mutex> lock(S().Lock);
    if (Dpc->DpcData != nullptr)
        return FALSE;
    InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2);
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    std::lock_guard<std::mutex> lock(S().Lock);
    if (Dpc->DpcData == nullptr)
        return FALSE;
    Unlink(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeFlushQueuedDpcs()
{
    if (tCurrentIrql != PASSIVE_LEVEL)
        Fatal("KeFlushQueuedDpcs at IRQL %d: it must run at PASSIVE_LEVEL", tCurrentIrql);
    ThreadRec* self = Current();
    std::unique_lock<std::mutex> lock(S().Lock);
    EnsureDpcStateLocked();
    WaitState info;
    info.Api = "KeFlushQueuedDpcs";
    PVOID idle = &g_dpc.Idle;
    KWAIT_BLOCK block;
    WaitLocked(lock, self, 1, &idle, WaitAny, &block, true, 0, info);
}
