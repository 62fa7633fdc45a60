// System threads of the stand-in. Each runs on its own host thread at PASSIVE_LEVEL, is a
// waitable dispatcher object that is signalled when it ends, and is joined by the platform.
// Priorities are recorded, not applied.
#pragma once

#include "dispatcher.h"
#include "ntdef.h"
#include "object.h"

// The thread object. Drivers treat it as opaque; the header makes it waitable.
typedef struct _KTHREAD
{
    DISPATCHER_HEADER Header;
    PVOID PlatformThread; // the stand-in's record of the thread
} KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef KTHREAD ETHREAD;
typedef ETHREAD* PETHREAD;

typedef struct _CLIENT_ID
{
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()

// PASSIVE_LEVEL. Returns a handle (kernel handle; the thread is always in the system process)
// that ObReferenceObjectByHandle turns into the waitable thread object. New threads start at
// priority 8.
NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                          PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                          PVOID StartContext);

// Ends the calling system thread (PASSIVE_LEVEL, no mutex held). The frames between the start
// routine and this call are unwound without running their destructors, as on the target.
[[noreturn]] NTKERNELAPI NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);

NTKERNELAPI PKTHREAD KeGetCurrentThread();
NTKERNELAPI PETHREAD PsGetCurrentThread();
NTKERNELAPI HANDLE PsGetCurrentThreadId();
NTKERNELAPI BOOLEAN PsIsSystemThread(PETHREAD Thread);

// Records the priority (0..31) and returns the previous one.
NTKERNELAPI KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTKERNELAPI KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);

// IRQL <= APC_LEVEL. Interval as a wait time-out (negative relative, positive absolute);
// returns STATUS_SUCCESS when it has passed.
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval);
