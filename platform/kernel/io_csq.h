// Cancel-safe IRP queues: the driver keeps the queue and its lock, and these routines insert
// and take IRPs under that lock with the cancel routine set before anyone else can see the
// IRP, so that a cancel and a removal can never both have it.
#pragma once

#include "io.h"

struct _IO_CSQ;

typedef VOID IO_CSQ_INSERT_IRP(struct _IO_CSQ* Csq, PIRP Irp);
typedef NTSTATUS IO_CSQ_INSERT_IRP_EX(struct _IO_CSQ* Csq, PIRP Irp, PVOID InsertContext);
typedef VOID IO_CSQ_REMOVE_IRP(struct _IO_CSQ* Csq, PIRP Irp);
// The IRP after Irp (the first one for a null Irp) that PeekContext selects, or null.
typedef PIRP IO_CSQ_PEEK_NEXT_IRP(struct _IO_CSQ* Csq, PIRP Irp, PVOID PeekContext);
typedef VOID IO_CSQ_ACQUIRE_LOCK(struct _IO_CSQ* Csq, PKIRQL Irql);
typedef VOID IO_CSQ_RELEASE_LOCK(struct _IO_CSQ* Csq, KIRQL Irql);
typedef VOID IO_CSQ_COMPLETE_CANCELED_IRP(struct _IO_CSQ* Csq, PIRP Irp);
typedef IO_CSQ_INSERT_IRP* PIO_CSQ_INSERT_IRP;
typedef IO_CSQ_INSERT_IRP_EX* PIO_CSQ_INSERT_IRP_EX;
typedef IO_CSQ_REMOVE_IRP* PIO_CSQ_REMOVE_IRP;
typedef IO_CSQ_PEEK_NEXT_IRP* PIO_CSQ_PEEK_NEXT_IRP;
typedef IO_CSQ_ACQUIRE_LOCK* PIO_CSQ_ACQUIRE_LOCK;
typedef IO_CSQ_RELEASE_LOCK* PIO_CSQ_RELEASE_LOCK;
typedef IO_CSQ_COMPLETE_CANCELED_IRP* PIO_CSQ_COMPLETE_CANCELED_IRP;

#define IO_TYPE_CSQ_IRP_CONTEXT 1
#define IO_TYPE_CSQ 2
#define IO_TYPE_CSQ_EX 3

typedef struct _IO_CSQ
{
    ULONG Type;
    PIO_CSQ_INSERT_IRP CsqInsertIrp; // an IO_CSQ_INSERT_IRP_EX for a queue of type IO_TYPE_CSQ_EX
    PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
    PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
    PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
    PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
    PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
    PVOID ReservePointer;
} IO_CSQ, *PIO_CSQ;

// Names a queued IRP for IoCsqRemoveIrp; Irp is null once the IRP has left the queue.
typedef struct _IO_CSQ_IRP_CONTEXT
{
    ULONG Type;
    PIRP Irp;
    PIO_CSQ Csq;
} IO_CSQ_IRP_CONTEXT, *PIO_CSQ_IRP_CONTEXT;

NTKERNELAPI NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp,
                                     PIO_CSQ_REMOVE_IRP CsqRemoveIrp, PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp,
                                     PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock, PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                                     PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
// The insert routine may refuse an IRP: IoCsqInsertIrpEx then returns its status and the IRP
// is neither queued nor marked pending.
NTKERNELAPI NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp,
                                       PIO_CSQ_REMOVE_IRP CsqRemoveIrp, PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp,
                                       PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                                       PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                                       PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);

// IRQL <= DISPATCH_LEVEL. Queues the IRP and marks it pending, all under the queue's lock with
// the cancel routine in place; an IRP cancelled meanwhile is taken out again and handed to the
// queue's CsqCompleteCanceledIrp. The IRP's DriverContext[3] belongs to the queue while queued.
NTKERNELAPI VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context);
NTKERNELAPI NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context,
                                      PVOID InsertContext);
// IRQL <= DISPATCH_LEVEL. Takes the first queued IRP that PeekContext selects and whose cancel
// is not under way; null when there is none.
NTKERNELAPI PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext);
// IRQL <= DISPATCH_LEVEL. Takes the IRP the context names; null when it has already left the
// queue or its cancel is under way.
NTKERNELAPI PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context);
