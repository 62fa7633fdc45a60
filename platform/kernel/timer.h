// Timers and deferred procedure calls of the stand-in. Timers run on the platform clock
// (virtual by default); their DPCs, like every DPC, run on the platform's DPC thread at
// DISPATCH_LEVEL, one at a time, as on a single processor.
#pragma once

#include "dispatcher.h"
#include "ntdef.h"

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC
{
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry; // links the DPC into the platform's DPC queue
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData; // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef enum _TIMER_TYPE
{
    NotificationTimer,
    SynchronizationTimer
} TIMER_TYPE;

typedef struct _KTIMER
{
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;    // interrupt time of the next expiry while queued
    LIST_ENTRY TimerListEntry; // Flink holds the queue sequence number while queued
    struct _KDPC* Dpc;
    ULONG Processor;
    LONG Period; // milliseconds, 0 for one-shot
} KTIMER, *PKTIMER, *PRKTIMER;

static_assert(sizeof(KDPC) == 64, "KDPC is 64 bytes on x86-64");
static_assert(sizeof(KTIMER) == 64, "KTIMER is 64 bytes on x86-64");

#define LowImportance 0
#define MediumImportance 1
#define HighImportance 2

// Timers: any IRQL <= DISPATCH_LEVEL. DueTime as for waits (negative relative, positive absolute
// system time); a due time already past expires the timer at once. Setting a timer resets its
// signal state. KeSetTimer(Ex) and KeCancelTimer return whether the timer was queued.
NTKERNELAPI VOID KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN KeReadStateTimer(PKTIMER Timer);

// DPCs: KeInsertQueueDpc returns FALSE when the DPC is already queued. KeFlushQueuedDpcs
// (PASSIVE_LEVEL) returns once every DPC queued before it has run.
NTKERNELAPI VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID KeFlushQueuedDpcs();
NTKERNELAPI VOID KeSetImportanceDpc(PRKDPC Dpc, ULONG Importance);
