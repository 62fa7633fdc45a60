// Processes of the stand-in. The world has one address space, so a process is only a name for
// whose user views and handles are whose: every thread runs "in" a process (the simulated
// client unless the host says otherwise), and a driver that must reach a view from another
// context attaches to the view's process for the while.
#pragma once

#include "ntdef.h"
#include "object.h"

// The process object: reference counted like any object, opaque to drivers.
typedef struct _KPROCESS
{
    ULONG ProcessId;
} KPROCESS, *PKPROCESS, *PRKPROCESS;
typedef KPROCESS EPROCESS;
typedef EPROCESS* PEPROCESS;

// What KeStackAttachProcess saves to put back at KeUnstackDetachProcess.
typedef struct _KAPC_STATE
{
    struct _KAPC_STATE* Outer; // the attachment this one nests in
    ULONG PreviousProcessId;
    PRKPROCESS Attached;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

extern POBJECT_TYPE PsProcessType;

// The process the calling thread runs in (attached to, while attached); the reference is the
// caller's to take. Any IRQL.
NTKERNELAPI PEPROCESS PsGetCurrentProcess();
NTKERNELAPI PEPROCESS IoGetCurrentProcess();
NTKERNELAPI HANDLE PsGetProcessId(PEPROCESS Process);

// IRQL <= APC_LEVEL. Runs the calling thread in Process until KeUnstackDetachProcess with the
// same state; attachments nest and must be undone in reverse order (else the process stops).
NTKERNELAPI VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
NTKERNELAPI VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState);
