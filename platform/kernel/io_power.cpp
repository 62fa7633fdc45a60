// Power requests of the I/O manager stand-in: PoRequestPowerIrp builds a power IRP for the top
// of a physical device's stack and delivers it from a work item, as the power manager delivers
// its IRPs on its own threads; the requester's completion function runs when the IRP completes.
#include "io_internal.h"

#include "plat_fatal.h"
#include "plat_io.h"
#include "pool.h"

namespace
{

constexpr ULONG kPowerRequestTag = MAKE_POOL_TAG('P', 'o', 'R', 'q');

struct PowerRequest
{
    PDEVICE_OBJECT Target; // the device the requester named
    PDEVICE_OBJECT Top;    // referenced top of its stack
    UCHAR MinorFunction;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE Completion;
    PVOID Context;
    PIRP Irp;
    PIO_WORKITEM WorkItem;
};

NTSTATUS PowerIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto request = static_cast<PowerRequest*>(context);
    if (request->Completion)
        request->Completion(request->Target, request->MinorFunction, request->State, request->Context,
                            &irp->IoStatus);
    IoFreeIrp(irp);
    ObDereferenceObject(request->Top);
    ExFreePoolWithTag(request, kPowerRequestTag);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID DeliverPowerIrp(PDEVICE_OBJECT, PVOID context)
{
    // The request may be freed by its completion before PoCallDriver returns.
    auto request = static_cast<PowerRequest*>(context);
    PIO_WORKITEM item = request->WorkItem;
    PoCallDriver(request->Top, request->Irp);
    IoFreeWorkItem(item);
}

PowerRequest* NewPowerRequest(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE state,
                              PREQUEST_POWER_COMPLETE completion, PVOID context)
{
    auto request = static_cast<PowerRequest*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), kPowerRequestTag));
    if (request == nullptr)
        return nullptr;
    *request = PowerRequest{target, nullptr, minor, state, completion, context, nullptr, nullptr};
    request->WorkItem = IoAllocateWorkItem(target);
    request->Top = IoGetAttachedDeviceReference(target);
    // One extra location carries the requester's completion above the stack.
    request->Irp = IoAllocateIrp(CCHAR(request->Top->StackSize + 1), FALSE);
    if (request->WorkItem && request->Irp)
        return request;
    if (request->WorkItem)
        IoFreeWorkItem(request->WorkItem);
    if (request->Irp)
        IoFreeIrp(request->Irp);
    ObDereferenceObject(request->Top);
    ExFreePoolWithTag(request, kPowerRequestTag);
    return nullptr;
}

} // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    plat::io::CheckAtMostDispatch("PoRequestPowerIrp");
    plat::io::Record(DeviceObject, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PowerRequest* request =
        NewPowerRequest(DeviceObject, MinorFunction, PowerState, CompletionFunction, Context);
    if (request == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = request->Irp;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE)
    {
        stack->Parameters.WaitWake.PowerState = PowerState.DeviceState;
    }
    else
    {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    IoSetCompletionRoutine(irp, PowerIrpDone, request, TRUE, TRUE, TRUE);
    if (Irp)
        *Irp = irp;
    IoQueueWorkItem(request->WorkItem, DeliverPowerIrp, CriticalWorkQueue, request);
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    plat::io::DeviceRecord* record = plat::io::Record(DeviceObject, "PoSetPowerState");
    POWER_STATE previous;
    if (Type == DevicePowerState)
    {
        previous.DeviceState = record->DevicePower;
        record->DevicePower = State.DeviceState;
    }
    else
    {
        previous.SystemState = record->SystemPower;
        record->SystemPower = State.SystemState;
    }
    return previous;
}

VOID PoStartNextPowerIrp(PIRP Irp)
{
    // Power IRPs are not serialised per device here, so there is nothing to release.
    if (Irp == nullptr)
        plat::Fatal("PoStartNextPowerIrp: null IRP");
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IofCallDriver(DeviceObject, Irp);
}
