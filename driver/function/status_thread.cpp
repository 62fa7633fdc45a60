// The status-thread steps the audio functions share.
#include "driver/function/status_thread.h"

#include "usbaudio.h"
#include "usbdlib.h"
#include "usbioctl.h"
#include "driver/core/usb_device_if.h"

namespace statusthread
{

namespace
{

// DISPATCH_LEVEL. The thread owns the IRP; completion only tells it the read is over.
NTSTATUS PipeReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

PUSB_INTERFACE_DESCRIPTOR FindControlInterface(IUsbDevice* UsbDevice, UCHAR InterfaceNumber)
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = UsbDevice->GetConfigurationDescriptor();
    return pConfig ? USBD_ParseConfigurationDescriptorEx(pConfig, pConfig, InterfaceNumber, 0,
                                                         USB_AUDIO_CLASS, USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1)
                   : nullptr;
}

IUsbDevice* BorrowUsbDevice(PUNKNOWN Device)
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    if (!NT_SUCCESS(Device->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb))))
    {
        return nullptr;
    }
    pUsb->Release();
    return pUsb;
}

PKEVENT AllocateSignalledEvent(ULONG Tag)
{
    PAGED_CODE();
    PKEVENT pEvent = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), Tag));
    if (pEvent)
    {
        KeInitializeEvent(pEvent, NotificationEvent, TRUE);
    }
    return pEvent;
}

NTSTATUS ArmPipeRead(IUsbDevice* UsbDevice, PIRP Irp, PURB Urb, USBD_PIPE_HANDLE Pipe, PUCHAR Data,
                     ULONG Length, PKEVENT Done)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    RtlZeroMemory(Data, Length);
    UsbBuildInterruptOrBulkTransferRequest(Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe, Data,
                                           nullptr, Length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(Irp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pStack->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, PipeReadComplete, Done, TRUE, TRUE, TRUE);
    KeClearEvent(Done);
    return UsbDevice->CallLowerDriver(Irp);
}

NTSTATUS LaunchStatusThread(PKSTART_ROUTINE Routine, PVOID Context, KPRIORITY Priority, PUNKNOWN Device,
                            PKEVENT StopEvent, PKEVENT DoneEvent, PKTHREAD* Thread)
{
    PAGED_CODE();
    KeClearEvent(StopEvent);
    KeClearEvent(DoneEvent);
    // The thread's reference on the device, taken while the caller's keeps the device alive.
    Device->AddRef();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE hThread = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Routine, Context);
    if (!NT_SUCCESS(status))
    {
        Device->Release();
        return status;
    }
    status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                       reinterpret_cast<PVOID*>(Thread), nullptr);
    if (NT_SUCCESS(status))
    {
        KeSetPriorityThread(*Thread, Priority);
    }
    else
    {
        // Without its object the thread could not be waited for: end it now. It gives up its
        // reference on the device on its way out.
        *Thread = nullptr;
        KeSetEvent(StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(DoneEvent, Executive, KernelMode, FALSE, nullptr);
    }
    ZwClose(hThread);
    return status;
}

VOID StopAndWaitForStatusThread(PKEVENT StopEvent, PKEVENT DoneEvent, PKTHREAD* Thread)
{
    PAGED_CODE();
    KeSetEvent(StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(DoneEvent, Executive, KernelMode, FALSE, nullptr);
    if (*Thread)
    {
        // The thread's last act follows the done event; its object says when it is gone.
        KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(*Thread);
        *Thread = nullptr;
    }
}

} // namespace statusthread
