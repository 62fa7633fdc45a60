// CUac1Device start and stop: the audio-control interface's alternate setting 0 and its
// status-interrupt thread, which keeps one 2-byte interrupt read pending and hands every status
// word whose originator is the audio-control interface to OnStatusInterrupt.
#include "driver/function/uac1/uac1_device.h"

#include "usbaudio.h"
#include "usbioctl.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/usb/usb_device_if.h"

namespace
{

// bStatusType: the low nibble names the originator; 0 is the audio-control interface.
constexpr UCHAR STATUS_ORIGINATOR_MASK = 0x0F;
constexpr UCHAR STATUS_ORIGINATOR_CONTROL = 0;

enum StatusWaitIndex : ULONG
{
    WAIT_TRANSFER_DONE = 0,
    WAIT_STOP = 1,
};

// DISPATCH_LEVEL. The thread owns the IRP; completion only tells it the transfer is over.
NTSTATUS StatusTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The resources of one run of the status thread.
struct StatusTransfer
{
    IUsbDevice* UsbDevice;
    PKEVENT Done;
    PURB Urb;
    PURB AbortUrb;
    PIRP Irp;
    UCHAR Data[UAC1_STATUS_WORD_BYTES];
};

NTSTATUS ArmStatusTransfer(StatusTransfer* Transfer, USBD_PIPE_HANDLE Pipe)
{
    RtlZeroMemory(Transfer->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    RtlZeroMemory(Transfer->Data, sizeof(Transfer->Data));
    UsbBuildInterruptOrBulkTransferRequest(Transfer->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           Pipe, Transfer->Data, nullptr, sizeof(Transfer->Data),
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(Transfer->Irp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pStack->Parameters.Others.Argument1 = Transfer->Urb;
    IoSetCompletionRoutine(Transfer->Irp, StatusTransferComplete, Transfer->Done, TRUE, TRUE, TRUE);
    KeClearEvent(Transfer->Done);
    return Transfer->UsbDevice->CallLowerDriver(Transfer->Irp);
}

VOID FreeStatusTransfer(StatusTransfer* Transfer)
{
    if (Transfer->Irp)
    {
        Transfer->UsbDevice->FreeIrp(Transfer->Irp);
    }
    if (Transfer->AbortUrb)
    {
        ExFreePoolWithTag(Transfer->AbortUrb, UAC1_DEVICE_POOL_TAG);
    }
    if (Transfer->Urb)
    {
        ExFreePoolWithTag(Transfer->Urb, UAC1_DEVICE_POOL_TAG);
    }
    if (Transfer->Done)
    {
        ExFreePoolWithTag(Transfer->Done, UAC1_DEVICE_POOL_TAG);
    }
}

} // namespace

VOID CUac1Device::FreeInterfaceInfo()
{
    if (m_pInterfaceInfo)
    {
        ExFreePoolWithTag(m_pInterfaceInfo, UAC1_URB_POOL_TAG);
        m_pInterfaceInfo = nullptr;
    }
}

// Selects alternate setting 0 and keeps the interface information the bus returned.
NTSTATUS CUac1Device::SelectControlInterface(IUsbDevice* UsbDevice, PUSB_INTERFACE_DESCRIPTOR Interface,
                                             PBOOLEAN UrbAllocated)
{
    PAGED_CODE();
    *UrbAllocated = FALSE;
    ULONG pipes = Interface->bNumEndpoints;
    USHORT urbBytes = USHORT(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
    PURB pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urbBytes, UAC1_URB_POOL_TAG));
    if (!pUrb)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *UrbAllocated = TRUE;
    RtlZeroMemory(pUrb, urbBytes);
    UsbBuildSelectInterfaceRequest(pUrb, urbBytes, UsbDevice->GetConfigurationHandle(),
                                   Interface->bInterfaceNumber, 0);
    pUrb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(pipes);
    for (ULONG index = 0; index < pipes; index++)
    {
        pUrb->UrbSelectInterface.Interface.Pipes[index].MaximumTransferSize =
            USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    NTSTATUS status = UsbDevice->SubmitUrbSync(pUrb);
    if (NT_SUCCESS(status))
    {
        USHORT infoBytes = pUrb->UrbSelectInterface.Interface.Length;
        m_pInterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, infoBytes, UAC1_URB_POOL_TAG));
        status = m_pInterfaceInfo ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        if (m_pInterfaceInfo)
        {
            RtlCopyMemory(m_pInterfaceInfo, &pUrb->UrbSelectInterface.Interface, infoBytes);
        }
    }
    ExFreePoolWithTag(pUrb, UAC1_URB_POOL_TAG);
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac1Device::Start()
{
    PAGED_CODE();
    // A second start while the thread runs would orphan it.
    if (m_StatusPipe != UAC1_NO_STATUS_PIPE)
    {
        return CAudioHal::Start();
    }
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = pUsb->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR pInterface =
        pConfig ? USBD_ParseConfigurationDescriptorEx(pConfig, pConfig, m_ControlInterface, 0,
                                                      USB_AUDIO_CLASS, USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1)
                : nullptr;
    if (!pInterface)
    {
        pUsb->Release();
        return STATUS_UNSUCCESSFUL;
    }
    if (pInterface->bNumEndpoints == 0)
    {
        pUsb->Release();
        return CAudioHal::Start();
    }
    BOOLEAN urbAllocated = FALSE;
    status = SelectControlInterface(pUsb, pInterface, &urbAllocated);
    pUsb->Release();
    if (!urbAllocated)
    {
        // Without the URB the interface stays as configured and there is no status thread.
        return CAudioHal::Start();
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (ULONG index = 0; index < m_pInterfaceInfo->NumberOfPipes; index++)
    {
        const USBD_PIPE_INFORMATION& pipe = m_pInterfaceInfo->Pipes[index];
        if ((pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) && pipe.PipeType == UsbdPipeTypeInterrupt &&
            pipe.MaximumPacketSize == UAC1_STATUS_WORD_BYTES)
        {
            m_StatusPipe = UCHAR(index);
            break;
        }
    }
    if (m_StatusPipe == UAC1_NO_STATUS_PIPE)
    {
        FreeInterfaceInfo();
        return CAudioHal::Start();
    }
    status = StartStatusThread();
    return NT_SUCCESS(status) ? CAudioHal::Start() : status;
}

// On failure nothing of the thread is left: no interface copy, no pipe, so Stop and the
// destructor do not wait for a thread that never ran.
NTSTATUS CUac1Device::StartStatusThread()
{
    PAGED_CODE();
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_DoneEvent);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE hThread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                           StatusThreadStart, this);
    if (NT_SUCCESS(status))
    {
        status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                           reinterpret_cast<PVOID*>(&m_pStatusThread), nullptr);
        if (NT_SUCCESS(status))
        {
            KeSetPriorityThread(m_pStatusThread, UAC1_STATUS_THREAD_PRIORITY);
        }
        else
        {
            // Without its object the thread could not be waited for: end it now.
            m_pStatusThread = nullptr;
            KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&m_DoneEvent, Executive, KernelMode, FALSE, nullptr);
        }
        ZwClose(hThread);
    }
    if (!NT_SUCCESS(status))
    {
        FreeInterfaceInfo();
        m_StatusPipe = UAC1_NO_STATUS_PIPE;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac1Device::Stop()
{
    PAGED_CODE();
    NTSTATUS status = CAudioHal::Stop();
    if (NT_SUCCESS(status) && m_StatusPipe != UAC1_NO_STATUS_PIPE)
    {
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_DoneEvent, Executive, KernelMode, FALSE, nullptr);
        if (m_pStatusThread)
        {
            // The thread's last act follows the done event; its object says when it is gone.
            KeWaitForSingleObject(m_pStatusThread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(m_pStatusThread);
            m_pStatusThread = nullptr;
        }
        FreeInterfaceInfo();
        m_StatusPipe = UAC1_NO_STATUS_PIPE;
        KeClearEvent(&m_StopEvent);
        KeClearEvent(&m_DoneEvent);
    }
    return STATUS_SUCCESS;
}

VOID CUac1Device::StatusThreadStart(PVOID Context)
{
    static_cast<CUac1Device*>(Context)->StatusThread();
}

// PASSIVE_LEVEL, on its own thread. Ends on Stop or on the first failed transfer; either way
// no transfer is outstanding when it signals m_DoneEvent.
VOID CUac1Device::StatusThread()
{
    PAGED_CODE();
    StatusTransfer transfer;
    RtlZeroMemory(&transfer, sizeof(transfer));
    transfer.Done =
        static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), UAC1_DEVICE_POOL_TAG));
    if (transfer.Done)
    {
        KeInitializeEvent(transfer.Done, NotificationEvent, TRUE);
        // No reference is kept: the device object stops this thread before it goes, and a
        // reference held here would make the thread's own release the last one, whose
        // destructor would then wait for this very thread.
        if (NT_SUCCESS(GetOuterUnknown()->QueryInterface(IID_IUsbDevice,
                                                         reinterpret_cast<PVOID*>(&transfer.UsbDevice))))
        {
            transfer.UsbDevice->Release();
        }
        else
        {
            transfer.UsbDevice = nullptr;
        }
    }
    if (transfer.UsbDevice)
    {
        transfer.Urb = static_cast<PURB>(ExAllocatePoolWithTag(
            NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), UAC1_DEVICE_POOL_TAG));
        transfer.AbortUrb = static_cast<PURB>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), UAC1_DEVICE_POOL_TAG));
        transfer.Irp = transfer.UsbDevice->AllocateIrp();
    }
    if (transfer.Urb && transfer.AbortUrb && transfer.Irp)
    {
        USBD_PIPE_HANDLE pipe = m_pInterfaceInfo->Pipes[m_StatusPipe].PipeHandle;
        if (NT_SUCCESS(ArmStatusTransfer(&transfer, pipe)))
        {
            // Values may have changed while nobody listened: every entity reports once.
            PPOINTER_LIST_NODE position = m_pChildren ? m_pChildren->GetHeadPosition() : nullptr;
            PVOID pData;
            while (m_pChildren && m_pChildren->GetNext(&position, &pData))
            {
                OnStatusInterrupt(static_cast<ITopologyNode*>(pData)->GetId());
            }
            PVOID objects[] = {transfer.Done, &m_StopEvent};
            for (;;)
            {
                NTSTATUS wait = KeWaitForMultipleObjects(RTL_NUMBER_OF(objects), objects, WaitAny, Executive,
                                                         KernelMode, FALSE, nullptr, nullptr);
                if (wait == STATUS_WAIT_0 + WAIT_STOP)
                {
                    RtlZeroMemory(transfer.AbortUrb, sizeof(struct _URB_PIPE_REQUEST));
                    transfer.AbortUrb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
                    transfer.AbortUrb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
                    transfer.AbortUrb->UrbPipeRequest.PipeHandle = pipe;
                    transfer.UsbDevice->SubmitUrbSync(transfer.AbortUrb);
                    break;
                }
                if (!NT_SUCCESS(transfer.Irp->IoStatus.Status))
                {
                    break;
                }
                // A word cut short names no originator; it is dropped and the read goes on.
                ULONG received = transfer.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
                if (received >= UAC1_STATUS_WORD_BYTES &&
                    (transfer.Data[0] & STATUS_ORIGINATOR_MASK) == STATUS_ORIGINATOR_CONTROL)
                {
                    OnStatusInterrupt(transfer.Data[1]);
                }
                IoReuseIrp(transfer.Irp, STATUS_NOT_SUPPORTED);
                if (!NT_SUCCESS(ArmStatusTransfer(&transfer, pipe)))
                {
                    break;
                }
            }
        }
        // The completion of whatever was sent last has run before anything is freed.
        KeWaitForSingleObject(transfer.Done, Executive, KernelMode, FALSE, nullptr);
    }
    FreeStatusTransfer(&transfer);
    KeSetEvent(&m_DoneEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
