// CUac1Device start and stop: the audio-control interface's alternate setting 0 and its
// status-interrupt thread, which keeps one 2-byte interrupt read pending and hands every status
// word whose originator is the audio-control interface to OnStatusInterrupt.
#include "driver/function/uac1/uac1_device.h"
#include "driver/function/status_thread.h"

#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/core/usb_device_if.h"

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

} // namespace

// The resources of one run of the status thread, on the thread's own stack.
struct Uac1StatusTransfer
{
    IUsbDevice* UsbDevice; // unreferenced: the device outlives every use (see StatusThread)
    PKEVENT Done;          // signalled while no read is with the bus
    PURB Urb;
    PURB AbortUrb;
    PIRP Irp;
    USBD_PIPE_HANDLE Pipe;
    BOOLEAN Orphaned; // the device went on this thread; nothing of it may be touched again
    UCHAR Data[UAC1_STATUS_WORD_BYTES];
};

namespace
{

NTSTATUS ArmStatusTransfer(Uac1StatusTransfer* Transfer)
{
    return statusthread::ArmPipeRead(Transfer->UsbDevice, Transfer->Irp, Transfer->Urb, Transfer->Pipe,
                                     Transfer->Data, sizeof(Transfer->Data), Transfer->Done);
}

// Takes back a read that may still be with the bus, waits for its completion and frees the
// run's resources. Abort is FALSE when the last read is known to have completed.
VOID EndStatusTransfer(Uac1StatusTransfer* Transfer, BOOLEAN Abort)
{
    if (Transfer->Irp && Transfer->Done)
    {
        if (Abort)
        {
            RtlZeroMemory(Transfer->AbortUrb, sizeof(struct _URB_PIPE_REQUEST));
            Transfer->AbortUrb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
            Transfer->AbortUrb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
            Transfer->AbortUrb->UrbPipeRequest.PipeHandle = Transfer->Pipe;
            if (!NT_SUCCESS(Transfer->UsbDevice->SubmitUrbSync(Transfer->AbortUrb)))
            {
                // A device the hub no longer sees refuses the abort while its read stays with
                // the bus; only a cancel brings that read back. A read that completed in the
                // meantime is ours again, and the cancel then finds nothing to do.
                IoCancelIrp(Transfer->Irp);
            }
        }
        KeWaitForSingleObject(Transfer->Done, Executive, KernelMode, FALSE, nullptr);
    }
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
    Transfer->Irp = nullptr;
    Transfer->AbortUrb = nullptr;
    Transfer->Urb = nullptr;
    Transfer->Done = nullptr;
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

NTSTATUS CUac1Device::SelectStatusInterface(PBOOLEAN Selected)
{
    PAGED_CODE();
    *Selected = FALSE;
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PUSB_INTERFACE_DESCRIPTOR pInterface = statusthread::FindControlInterface(pUsb, m_ControlInterface);
    if (!pInterface)
    {
        pUsb->Release();
        return STATUS_UNSUCCESSFUL;
    }
    if (pInterface->bNumEndpoints == 0)
    {
        pUsb->Release();
        return STATUS_SUCCESS;
    }
    BOOLEAN urbAllocated = FALSE;
    status = SelectControlInterface(pUsb, pInterface, &urbAllocated);
    pUsb->Release();
    // Without the URB the interface stays as configured and there is no status thread.
    *Selected = urbAllocated && NT_SUCCESS(status) ? TRUE : FALSE;
    return urbAllocated ? status : STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUac1Device::Start()
{
    PAGED_CODE();
    // A second start while the thread runs would orphan it.
    if (m_StatusPipe != UAC1_NO_STATUS_PIPE)
    {
        return CAudioHal::Start();
    }
    BOOLEAN selected = FALSE;
    NTSTATUS status = SelectStatusInterface(&selected);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!selected)
    {
        return CAudioHal::Start();
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

NTSTATUS CUac1Device::StartStatusThread()
{
    PAGED_CODE();
    return LaunchOwnStatusThread(StatusThreadStart, UAC1_STATUS_THREAD_PRIORITY);
}

// On failure nothing of the thread is left: no interface copy, no pipe, no reference, so Stop
// and the destructor do not wait for a thread that never ran.
NTSTATUS CUac1Device::LaunchOwnStatusThread(PKSTART_ROUTINE Routine, KPRIORITY Priority)
{
    PAGED_CODE();
    NTSTATUS status = statusthread::LaunchStatusThread(Routine, this, Priority, GetOuterUnknown(),
                                                       &m_StopEvent, &m_DoneEvent, &m_pStatusThread);
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
    if (NT_SUCCESS(status))
    {
        StopOwnStatusThread();
    }
    return STATUS_SUCCESS;
}

VOID CUac1Device::StopOwnStatusThread()
{
    PAGED_CODE();
    if (m_StatusPipe == UAC1_NO_STATUS_PIPE)
    {
        return;
    }
    if (m_pStatusThread && m_pStatusThread == KeGetCurrentThread())
    {
        EndStatusThreadHere();
    }
    else
    {
        statusthread::StopAndWaitForStatusThread(&m_StopEvent, &m_DoneEvent, &m_pStatusThread);
    }
    FreeInterfaceInfo();
    m_StatusPipe = UAC1_NO_STATUS_PIPE;
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_DoneEvent);
}

// The status thread let go of the device's last reference, so the destructor runs on that
// thread and nobody is left to stop it: waiting for its done event would wait for ever. The
// read it left with the bus is taken back here, while the device can still send the abort,
// and the thread leaves without touching the object once its release returns.
VOID CUac1Device::EndStatusThreadHere()
{
    PAGED_CODE();
    if (m_pStatusTransfer)
    {
        EndStatusTransfer(m_pStatusTransfer, TRUE);
        m_pStatusTransfer->Orphaned = TRUE;
        m_pStatusTransfer = nullptr;
    }
    ObDereferenceObject(m_pStatusThread);
    m_pStatusThread = nullptr;
}

VOID CUac1Device::StatusThreadStart(PVOID Context)
{
    static_cast<CUac1Device*>(Context)->StatusThread();
}

// PASSIVE_LEVEL, on its own thread. Ends on Stop or on the first failed transfer; either way
// no transfer is outstanding when it signals m_DoneEvent.
//
// The thread holds a reference on the device (the one Start took for it) whenever it works,
// and gives it up only while it waits for the next report. So the temporary references its
// work takes (an entity's request queries the device) are never the last ones, and the last
// release can only be its own, given up at the top of its loop with nothing of the device on
// its stack. The destructor then runs here and ends the run itself (EndStatusThreadHere).
VOID CUac1Device::StatusThread()
{
    PAGED_CODE();
    PUNKNOWN pDevice = GetOuterUnknown();
    Uac1StatusTransfer transfer;
    RtlZeroMemory(&transfer, sizeof(transfer));
    m_pStatusTransfer = &transfer;
    statusthread::RunStatusThread(
        pDevice, &m_DoneEvent, &transfer.Orphaned,
        [&]() -> BOOLEAN
        {
            if (!PrepareStatusTransfer(&transfer) || !NT_SUCCESS(ArmStatusTransfer(&transfer)))
            {
                return TRUE;
            }
            // Values may have changed while nobody listened: every entity reports once.
            SweepEntities();
            return RunStatusLoop(&transfer, pDevice);
        },
        [&](BOOLEAN referenced)
        {
            // The completion of whatever was sent last has run before anything is freed.
            EndStatusTransfer(&transfer, !referenced);
            m_pStatusTransfer = nullptr;
        });
}

// FALSE when an allocation failed: the thread then ends at once.
BOOLEAN CUac1Device::PrepareStatusTransfer(Uac1StatusTransfer* Transfer)
{
    PAGED_CODE();
    Transfer->Pipe = m_pInterfaceInfo->Pipes[m_StatusPipe].PipeHandle;
    Transfer->Done = statusthread::AllocateSignalledEvent(UAC1_DEVICE_POOL_TAG);
    if (!Transfer->Done)
    {
        return FALSE;
    }
    Transfer->UsbDevice = statusthread::BorrowUsbDevice(GetOuterUnknown());
    if (!Transfer->UsbDevice)
    {
        return FALSE;
    }
    Transfer->Urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), UAC1_DEVICE_POOL_TAG));
    Transfer->AbortUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), UAC1_DEVICE_POOL_TAG));
    Transfer->Irp = Transfer->UsbDevice->AllocateIrp();
    return Transfer->Urb && Transfer->AbortUrb && Transfer->Irp ? TRUE : FALSE;
}

VOID CUac1Device::SweepEntities()
{
    PAGED_CODE();
    PPOINTER_LIST_NODE position = m_pChildren ? m_pChildren->GetHeadPosition() : nullptr;
    PVOID pData;
    while (m_pChildren && m_pChildren->GetNext(&position, &pData))
    {
        OnStatusInterrupt(static_cast<ITopologyNode*>(pData)->GetId());
    }
}

// Reads and hands on status words until Stop or a failed transfer. Returns whether the thread
// still holds its reference on the device; Transfer->Orphaned tells that the device is gone.
BOOLEAN CUac1Device::RunStatusLoop(Uac1StatusTransfer* Transfer, PUNKNOWN Device)
{
    PAGED_CODE();
    PVOID objects[] = {Transfer->Done, &m_StopEvent};
    return statusthread::WaitForReports(
        Device, &Transfer->Orphaned, objects, RTL_NUMBER_OF(objects), WAIT_STOP, &m_StopEvent,
        [&](ULONG) -> BOOLEAN
        {
            if (!NT_SUCCESS(Transfer->Irp->IoStatus.Status))
            {
                return FALSE;
            }
            // A word cut short names no originator; it is dropped and the read goes on.
            ULONG received = Transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (received >= UAC1_STATUS_WORD_BYTES &&
                (Transfer->Data[0] & STATUS_ORIGINATOR_MASK) == STATUS_ORIGINATOR_CONTROL)
            {
                OnStatusInterrupt(Transfer->Data[1]);
            }
            IoReuseIrp(Transfer->Irp, STATUS_NOT_SUPPORTED);
            return NT_SUCCESS(ArmStatusTransfer(Transfer));
        });
}
