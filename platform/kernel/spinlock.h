// Spin locks of the stand-in: executive spin locks and in-stack queued spin locks. Both raise
// to DISPATCH_LEVEL (or expect it, in the AtDpcLevel forms) and are not recursive: taking a
// lock the thread already holds, or releasing one it does not hold, stops the process.
#pragma once

#include "irql.h"
#include "ntdef.h"

// Zero when free; while held, a word that identifies the holding thread.
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef struct _KSPIN_LOCK_QUEUE
{
    struct _KSPIN_LOCK_QUEUE* volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE
{
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK is pointer-sized");
static_assert(sizeof(KLOCK_QUEUE_HANDLE) == 24, "KLOCK_QUEUE_HANDLE is 24 bytes on x86-64");

// Any IRQL.
NTKERNELAPI VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);

// IRQL <= DISPATCH_LEVEL; returns at DISPATCH_LEVEL with the previous IRQL in *OldIrql.
NTKERNELAPI VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);

// IRQL >= DISPATCH_LEVEL (checked); the IRQL is left as it is.
NTKERNELAPI VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
// Any IRQL: TRUE when nobody holds the lock. It says nothing about who holds it.
NTKERNELAPI BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);

// In-stack queued forms: the handle lives on the caller's stack and remembers the lock and the
// previous IRQL.
NTKERNELAPI VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock,
                                                          PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);
