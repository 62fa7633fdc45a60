// Dispatcher objects of the stand-in (events, kernel mutexes, semaphores) and the waits on
// them. Each object's whole state lives in its own bytes, sized as on x86-64 Windows, so a
// driver can embed them anywhere: the header's wait list links wait blocks that live on the
// waiting thread's stack (or in the caller's wait block array).
#pragma once

#include "irql.h"
#include "ntdef.h"
#include "ntstatus.h"

struct _KTHREAD;

// Kinds of dispatcher object, in DISPATCHER_HEADER.Type.
typedef enum _KOBJECTS
{
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER
{
    UCHAR Type;              // KOBJECTS
    UCHAR Signalling;        // unused
    UCHAR Size;              // size of the object in 32-bit words, as the target records it
    UCHAR Inserted;          // timers: set while the timer is queued
    LONG SignalState;        // > 0 signalled; mutexes: 1 free, 1 - n when held n times
    LIST_ENTRY WaitListHead; // KWAIT_BLOCKs of the threads waiting on the object
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE
{
    NotificationEvent,
    SynchronizationEvent
} EVENT_TYPE;

typedef struct _KEVENT
{
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT
{
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;   // links the mutex into its owner's list of held mutexes
    struct _KTHREAD* OwnerThread; // null when free
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE
{
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef enum _WAIT_TYPE
{
    WaitAll,
    WaitAny
} WAIT_TYPE;

typedef enum _KWAIT_REASON
{
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

// One per object a thread waits on; linked into that object's wait list while it waits.
typedef struct _KWAIT_BLOCK
{
    LIST_ENTRY WaitListEntry;
    UCHAR WaitType;   // WAIT_TYPE of the whole wait
    UCHAR BlockState; // 1 while linked
    USHORT WaitKey;   // index of the object in the wait's array
    LONG SpareLong;
    PVOID Thread; // the waiting thread's platform record
    PVOID Object; // the dispatcher object
    PVOID SparePtr;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

// Priority increments are accepted and ignored: priorities are recorded, not applied.
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1
#define IO_SOUND_INCREMENT 8

static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER is 24 bytes on x86-64");
static_assert(sizeof(KEVENT) == 24, "KEVENT is 24 bytes on x86-64");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX is 56 bytes on x86-64");
static_assert(sizeof(KSEMAPHORE) == 32, "KSEMAPHORE is 32 bytes on x86-64");
static_assert(sizeof(KWAIT_BLOCK) == 48, "KWAIT_BLOCK is 48 bytes on x86-64");

// Events. KeSetEvent and KeClearEvent/KeResetEvent at IRQL <= DISPATCH_LEVEL. A synchronization
// event wakes exactly one waiter and resets; a notification event wakes every waiter and stays
// set. KeSetEvent's Wait argument is accepted and has no effect.
NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);
NTKERNELAPI LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

// Kernel mutexes: recursive for the owner, each acquisition needs its own release; a release by
// any other thread, or of a free mutex, stops the process, as does a thread ending while it
// holds one. Level is recorded nowhere. KeReleaseMutex returns the previous signal state.
NTKERNELAPI VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI LONG KeReadStateMutex(PRKMUTEX Mutex);

// Semaphores; a release beyond the limit stops the process.
NTKERNELAPI VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTKERNELAPI LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                    BOOLEAN Wait);
NTKERNELAPI LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits on events, mutexes, semaphores, timers and thread objects. Timeout: null waits for
// ever, negative is relative in 100 ns units, positive an absolute system time, zero polls.
// Returns STATUS_WAIT_0 + index (WaitAny: the first signalled object) or STATUS_TIMEOUT.
// A wait that may block (any time-out but zero) at DISPATCH_LEVEL or above stops the process.
// WaitReason, WaitMode and Alertable are accepted and have no effect.
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                           BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// More than THREAD_WAIT_OBJECTS objects need a WaitBlockArray of Count entries.
NTKERNELAPI NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                              KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                              PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
