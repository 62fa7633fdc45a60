// IRPs of the I/O manager stand-in: allocation, the stack-location walk of IoCallDriver and
// IoCompleteRequest, cancellation under the cancel spin lock, and the requests the I/O manager
// builds itself, which it finishes when their completion is done (buffered output copied back,
// status block filled, event set, IRP freed).
#include "io_internal.h"

#include "plat_fatal.h"
#include "plat_io.h"
#include "pool.h"
#include "rtl.h"

#include <algorithm>
#include <atomic>

namespace
{

constexpr CSHORT kIrpType = 6; // IO_TYPE_IRP
constexpr ULONG kIrpTag = MAKE_POOL_TAG('I', 'r', 'p', ' ');
constexpr ULONG kSystemBufferTag = MAKE_POOL_TAG('I', 'o', 'S', 'B');

// AllocationFlags bits of our own; they survive IoReuseIrp.
constexpr UCHAR kIrpFromPool = 0x01; // IoAllocateIrp: IoFreeIrp returns it to pool
constexpr UCHAR kIrpBuilt = 0x02;    // built by the I/O manager, which finishes it after completion
constexpr UCHAR kIrpOwnsMdl = 0x04;  // the MDL was made by the I/O manager for a direct-I/O request

std::atomic<SIZE_T> g_liveIrps{0};
std::atomic<bool> g_is32bit{false};
KSPIN_LOCK g_cancelLock = 0;

PIRP NewIrp(CCHAR stackSize)
{
    if (stackSize < 1)
        plat::Fatal("IoAllocateIrp: stack size %d (an IRP needs at least one stack location)", stackSize);
    USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
    if (irp == nullptr)
        return nullptr;
    IoInitializeIrp(irp, size, stackSize);
    irp->AllocationFlags = kIrpFromPool;
    ++g_liveIrps;
    return irp;
}

void CheckIrp(PIRP irp, const char* caller)
{
    if (irp == nullptr || irp->Type != kIrpType)
        plat::Fatal("%s: %p is not an IRP (freed, or never initialised)", caller, static_cast<void*>(irp));
}

bool ShouldInvoke(PIRP irp, PIO_STACK_LOCATION stack)
{
    NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
           (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
}

// Buffered output goes back only with a success or warning status, and only into an output
// buffer the caller gave. Without one nothing is copied, and Information reaches the caller as a
// value of its own (the length a size query needs). With one, a driver that reports more bytes
// than it holds would have a real system overrun the caller's memory.
void CopyBufferedOutput(PIRP irp)
{
    ULONG outputLength = ULONG(irp->Overlay.AllocationSize.QuadPart);
    ULONG_PTR information = irp->IoStatus.Information;
    if (NT_ERROR(irp->IoStatus.Status) || !(irp->Flags & IRP_INPUT_OPERATION))
        return;
    if (information > outputLength)
        plat::Fatal("METHOD_BUFFERED request completed with status 0x%08X and Information %llu bytes, beyond "
                    "its output buffer of %lu bytes",
                    static_cast<unsigned>(irp->IoStatus.Status), static_cast<unsigned long long>(information),
                    static_cast<unsigned long>(outputLength));
    if (information)
        RtlCopyMemory(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, information);
}

// The caller's status block: a buffered request that failed hands back its status alone, as no
// bytes came back for Information to count.
void ReportStatus(PIRP irp)
{
    irp->UserIosb->Status = irp->IoStatus.Status;
    if (!(irp->Flags & IRP_BUFFERED_IO) || !NT_ERROR(irp->IoStatus.Status))
        irp->UserIosb->Information = irp->IoStatus.Information;
}

void FinishBuiltIrp(PIRP irp)
{
    if (irp->Flags & IRP_BUFFERED_IO)
        CopyBufferedOutput(irp);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    if ((irp->AllocationFlags & kIrpOwnsMdl) && irp->MdlAddress)
        IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;
    if (irp->UserIosb)
        ReportStatus(irp);
    PKEVENT event = irp->UserEvent;
    IoFreeIrp(irp);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// Sets up the buffers of a device-control request by its transfer method.
bool SetUpControlBuffers(PIRP irp, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength)
{
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    switch (METHOD_FROM_CTL_CODE(code))
    {
    case METHOD_BUFFERED:
    {
        ULONG bytes = std::max(inLength, outLength);
        if (bytes)
        {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, bytes, kSystemBufferTag);
            if (buffer == nullptr)
                return false;
            RtlZeroMemory(buffer, bytes);
            if (in && inLength)
                RtlCopyMemory(buffer, in, inLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_DEALLOCATE_BUFFER;
        }
        irp->Flags |= IRP_BUFFERED_IO | (outLength ? IRP_INPUT_OPERATION : 0);
        irp->UserBuffer = out;
        irp->Overlay.AllocationSize.QuadPart = outLength;
        return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        // Input travels in the system buffer, output in place through an MDL.
        if (!SetUpControlBuffers(irp, METHOD_BUFFERED, in, inLength, nullptr, 0))
            return false;
        irp->Flags &= ~ULONG(IRP_INPUT_OPERATION | IRP_BUFFERED_IO);
        if (out && outLength)
        {
            irp->MdlAddress = IoAllocateMdl(out, outLength, FALSE, FALSE, nullptr);
            if (irp->MdlAddress == nullptr)
                return false;
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
            irp->AllocationFlags |= kIrpOwnsMdl;
        }
        return true;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
        return true;
    }
}

} // namespace

namespace plat
{

SIZE_T IoLiveIrpCount()
{
    return g_liveIrps.load();
}

void IoSetIs32bitProcess(bool Is32bit)
{
    g_is32bit = Is32bit;
}

PIRP IoBuildFileRequest(UCHAR MajorFunction, PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PKEVENT Event,
                        PIO_STATUS_BLOCK IoStatusBlock)
{
    if (MajorFunction != IRP_MJ_CREATE && MajorFunction != IRP_MJ_CLEANUP && MajorFunction != IRP_MJ_CLOSE)
        Fatal("IoBuildFileRequest: major function 0x%x is not a create, cleanup or close", MajorFunction);
    PIRP irp = NewIrp(Device->StackSize);
    if (irp == nullptr)
        return nullptr;
    irp->AllocationFlags |= kIrpBuilt;
    irp->RequestorMode = UserMode;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    irp->Flags = MajorFunction == IRP_MJ_CREATE ? IRP_CREATE_OPERATION
                                                : (MajorFunction == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = MajorFunction;
    stack->FileObject = FileObject;
    return irp;
}

} // namespace plat

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    plat::io::CheckAtMostDispatch("IoAllocateIrp");
    return NewIrp(StackSize);
}

VOID IoFreeIrp(PIRP Irp)
{
    plat::io::CheckAtMostDispatch("IoFreeIrp");
    CheckIrp(Irp, "IoFreeIrp");
    if (!(Irp->AllocationFlags & kIrpFromPool))
        plat::Fatal("IoFreeIrp: IRP %p was not allocated by the I/O manager", static_cast<void*>(Irp));
    if (Irp->CancelRoutine)
        plat::Fatal("IoFreeIrp: IRP %p still has a cancel routine set", static_cast<void*>(Irp));
    Irp->Type = 0;
    --g_liveIrps;
    ExFreePoolWithTag(Irp, kIrpTag);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    RtlZeroMemory(Irp, PacketSize);
    Irp->Type = kIrpType;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CHAR(StackSize + 1);
    Irp->ThreadListEntry.Flink = Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    CheckIrp(Irp, "IoReuseIrp");
    if (Irp->CancelRoutine)
        plat::Fatal("IoReuseIrp: IRP %p still has a cancel routine set", static_cast<void*>(Irp));
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

VOID IoSetNextIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation <= 1)
        plat::Fatal("IoSetNextIrpStackLocation: IRP %p has no stack location left", static_cast<void*>(Irp));
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    plat::io::CheckAtMostDispatch("IoCallDriver");
    plat::io::Record(DeviceObject, "IoCallDriver");
    CheckIrp(Irp, "IoCallDriver");
    if (Irp->CurrentLocation <= 1)
        plat::Fatal(
            "IoCallDriver: IRP %p has no stack location left for device %p (NO_MORE_IRP_STACK_LOCATIONS)",
            static_cast<void*>(Irp), static_cast<void*>(DeviceObject));
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (routine == nullptr)
        plat::Fatal("IoCallDriver: the driver of device %p has no routine for major function 0x%x",
                    static_cast<void*>(DeviceObject), stack->MajorFunction);
    // The device stays alive while its dispatch routine runs, even if the routine deletes it.
    ObReferenceObject(DeviceObject);
    KIRQL irql = KeGetCurrentIrql();
    NTSTATUS status = routine(DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql)
        plat::Fatal("dispatch routine %p of device %p returned at IRQL %d, entered at %d",
                    reinterpret_cast<void*>(routine), static_cast<void*>(DeviceObject), KeGetCurrentIrql(),
                    irql);
    ObDereferenceObject(DeviceObject);
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    plat::io::CheckAtMostDispatch("IoCompleteRequest");
    CheckIrp(Irp, "IoCompleteRequest");
    // Above the top location there is no driver left to complete it: a second completion, or one
    // of an IRP that was never sent.
    if (Irp->CurrentLocation > Irp->StackCount)
        plat::Fatal("IoCompleteRequest: IRP %p was completed twice, or before it was sent "
                    "(MULTIPLE_IRP_COMPLETE_REQUESTS)",
                    static_cast<void*>(Irp));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        plat::Fatal("IoCompleteRequest: IRP %p completed with STATUS_PENDING", static_cast<void*>(Irp));
    if (Irp->CancelRoutine)
        plat::Fatal("IoCompleteRequest: IRP %p completed with its cancel routine still set",
                    static_cast<void*>(Irp));
    for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
         Irp->CurrentLocation <= Irp->StackCount; ++stack)
    {
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        bool invoke = routine && ShouldInvoke(Irp, stack);
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        if (invoke)
        {
            // The routine belongs to the driver whose stack location is now current; above the
            // top location (a driver's own IRP) there is no device.
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                        : nullptr;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        }
        else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
        {
            IoMarkIrpPending(Irp);
        }
    }
    if (!(Irp->AllocationFlags & kIrpBuilt))
        plat::Fatal(
            "IoCompleteRequest: IRP %p, allocated by a driver, finished completion without a completion "
            "routine returning STATUS_MORE_PROCESSING_REQUIRED",
            static_cast<void*>(Irp));
    FinishBuiltIrp(Irp);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    plat::io::CheckAtMostDispatch("IoCancelIrp");
    CheckIrp(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr)
    {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock)
{
    plat::io::CheckPassive("IoBuildDeviceIoControlRequest");
    PIRP irp = NewIrp(DeviceObject->StackSize);
    if (irp == nullptr)
        return nullptr;
    irp->AllocationFlags |= kIrpBuilt;
    irp->RequestorMode = KernelMode;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (!SetUpControlBuffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                             OutputBufferLength))
    {
        irp->UserEvent = nullptr;
        irp->UserIosb = nullptr;
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        irp->Flags &= ~ULONG(IRP_INPUT_OPERATION);
        FinishBuiltIrp(irp);
        return nullptr;
    }
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock)
{
    plat::io::CheckPassive("IoBuildSynchronousFsdRequest");
    PIRP irp = NewIrp(DeviceObject->StackSize);
    if (irp == nullptr)
        return nullptr;
    irp->AllocationFlags |= kIrpBuilt;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->UserBuffer = Buffer;
    if (DeviceObject->Flags & DO_BUFFERED_IO)
        irp->AssociatedIrp.SystemBuffer = Buffer;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = UCHAR(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE)
    {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset)
            stack->Parameters.Read.ByteOffset = *StartingOffset;
    }
    return irp;
}

BOOLEAN IoIs32bitProcess(PIRP Irp)
{
    return Irp && Irp->RequestorMode == UserMode && g_is32bit.load();
}
