// Cancel-safe IRP queues. While an IRP is queued its DriverContext[3] names the queue (or the
// caller's context record, which names the queue); whoever clears the cancel routine first
// owns the IRP: a removal that finds it cleared leaves the IRP to the running cancel.
#include "io_csq.h"

#include "io_internal.h"
#include "plat_fatal.h"

namespace
{

constexpr ULONG kQueueContextSlot = 3;

PVOID& QueueSlot(PIRP Irp)
{
    return Irp->Tail.Overlay.DriverContext[kQueueContextSlot];
}

// The queue an IRP's slot names: either the queue itself or a context record naming it.
PIO_CSQ QueueOf(PIRP Irp, PIO_CSQ_IRP_CONTEXT* Context)
{
    PVOID slot = QueueSlot(Irp);
    *Context = nullptr;
    if (slot == nullptr)
        plat::Fatal("IoCsq: IRP %p is not in a cancel-safe queue", static_cast<void*>(Irp));
    if (static_cast<PIO_CSQ_IRP_CONTEXT>(slot)->Type == IO_TYPE_CSQ_IRP_CONTEXT)
    {
        *Context = static_cast<PIO_CSQ_IRP_CONTEXT>(slot);
        return (*Context)->Csq;
    }
    return static_cast<PIO_CSQ>(slot);
}

// The IRP leaves the queue: the driver's list, the context that named it, the slot.
VOID TakeOut(PIO_CSQ Csq, PIRP Irp)
{
    PIO_CSQ_IRP_CONTEXT context;
    QueueOf(Irp, &context);
    Csq->CsqRemoveIrp(Csq, Irp);
    if (context != nullptr)
        context->Irp = nullptr;
    QueueSlot(Irp) = nullptr;
}

VOID CsqCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PIO_CSQ_IRP_CONTEXT context;
    PIO_CSQ csq = QueueOf(Irp, &context);
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    TakeOut(csq, Irp);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, Irp);
}

NTSTATUS Initialize(PIO_CSQ Csq, ULONG Type, PIO_CSQ_INSERT_IRP Insert, PIO_CSQ_REMOVE_IRP Remove,
                    PIO_CSQ_PEEK_NEXT_IRP Peek, PIO_CSQ_ACQUIRE_LOCK Acquire, PIO_CSQ_RELEASE_LOCK Release,
                    PIO_CSQ_COMPLETE_CANCELED_IRP Complete)
{
    if (Csq == nullptr || Insert == nullptr || Remove == nullptr || Peek == nullptr || Acquire == nullptr ||
        Release == nullptr || Complete == nullptr)
        plat::Fatal("IoCsqInitialize: a queue routine is missing");
    Csq->Type = Type;
    Csq->CsqInsertIrp = Insert;
    Csq->CsqRemoveIrp = Remove;
    Csq->CsqPeekNextIrp = Peek;
    Csq->CsqAcquireLock = Acquire;
    Csq->CsqReleaseLock = Release;
    Csq->CsqCompleteCanceledIrp = Complete;
    Csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                         PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    return Initialize(Csq, IO_TYPE_CSQ, CsqInsertIrp, CsqRemoveIrp, CsqPeekNextIrp, CsqAcquireLock,
                      CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInitializeEx(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP_EX CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                           PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                           PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                           PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    // The queue keeps one pointer for either kind of insert routine and calls it by its type.
    using AnyRoutine = void (*)();
    return Initialize(Csq, IO_TYPE_CSQ_EX,
                      reinterpret_cast<PIO_CSQ_INSERT_IRP>(reinterpret_cast<AnyRoutine>(CsqInsertIrp)),
                      CsqRemoveIrp, CsqPeekNextIrp, CsqAcquireLock, CsqReleaseLock, CsqCompleteCanceledIrp);
}

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context, PVOID InsertContext)
{
    plat::io::CheckAtMostDispatch("IoCsqInsertIrp");
    if (Csq == nullptr || (Csq->Type != IO_TYPE_CSQ && Csq->Type != IO_TYPE_CSQ_EX))
        plat::Fatal("IoCsqInsertIrp: queue %p was not initialised", static_cast<void*>(Csq));
    if (QueueSlot(Irp) != nullptr)
        plat::Fatal("IoCsqInsertIrp: IRP %p is queued already (or its DriverContext[3] is in use)",
                    static_cast<void*>(Irp));
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (Csq->Type == IO_TYPE_CSQ_EX)
        status = reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(reinterpret_cast<void (*)()>(Csq->CsqInsertIrp))(
            Csq, Irp, InsertContext);
    else
        Csq->CsqInsertIrp(Csq, Irp);
    if (!NT_SUCCESS(status))
    {
        Csq->CsqReleaseLock(Csq, irql);
        return status;
    }
    if (Context != nullptr)
    {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        QueueSlot(Irp) = Context;
    }
    else
    {
        QueueSlot(Irp) = Csq;
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, CsqCancelRoutine);
    // Cancelled before the routine was in place: IoCancelIrp found none to call, so the IRP is
    // taken out again here, unless a cancel that did find it is already on its way.
    PIRP cancelled = nullptr;
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr)
    {
        TakeOut(Csq, Irp);
        cancelled = Irp;
    }
    Csq->CsqReleaseLock(Csq, irql);
    if (cancelled != nullptr)
        Csq->CsqCompleteCanceledIrp(Csq, cancelled);
    return status;
}

VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context)
{
    IoCsqInsertIrpEx(Csq, Irp, Context, nullptr);
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext)
{
    plat::io::CheckAtMostDispatch("IoCsqRemoveNextIrp");
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (irp != nullptr)
    {
        // A cleared routine means its cancel runs and waits for the lock: that IRP is the cancel's.
        if (IoSetCancelRoutine(irp, nullptr) != nullptr)
        {
            TakeOut(Csq, irp);
            break;
        }
        irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context)
{
    plat::io::CheckAtMostDispatch("IoCsqRemoveIrp");
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Context->Irp;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr)
        TakeOut(Csq, irp);
    else
        irp = nullptr;
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}
