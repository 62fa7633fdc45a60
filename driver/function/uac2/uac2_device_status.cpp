// CUac2Device start and stop: the audio-control interface's alternate setting 0 and its status
// thread, which keeps one 6-byte interrupt read pending (and, when the interface has a bulk-IN
// pipe, one 512-byte bulk read whose data it drops) and hands every CUR message of the
// audio-control interface to OnStatusInterrupt.
#include "driver/function/uac2/uac2_device.h"
#include "driver/function/status_thread.h"

#include "driver/core/usb_device_if.h"

namespace
{

// bInfo: bit 0 vendor-specific, bit 1 endpoint; only interface messages of the class are read.
constexpr UCHAR MESSAGE_INFO_MASK = 0x03;
constexpr UCHAR MESSAGE_ATTRIBUTE_CUR = 0x01;

enum StatusWaitIndex : ULONG
{
    WAIT_INTERRUPT_DONE = 0,
    WAIT_STOP = 1,
    WAIT_BULK_DONE = 2,
};

} // namespace

// One read kept pending on one pipe.
struct Uac2PipeRead
{
    PKEVENT Done; // signalled while no read is with the bus
    PURB Urb;
    PIRP Irp;
    PUCHAR Data;
    ULONG Length;
    USBD_PIPE_HANDLE Pipe;
    BOOLEAN Sent; // a read was passed down since the IRP was allocated
};

// The resources of one run of the status thread, on the thread's own stack.
struct Uac2StatusTransfer
{
    IUsbDevice* UsbDevice; // unreferenced: the device outlives every use (see Uac2StatusThread)
    Uac2PipeRead Interrupt;
    Uac2PipeRead Bulk; // Irp null when the interface has no bulk-IN pipe
    BOOLEAN Orphaned;  // the device went on this thread; nothing of it may be touched again
    UCHAR Message[UAC2_STATUS_MESSAGE_BYTES];
};

namespace
{

NTSTATUS ArmRead(IUsbDevice* UsbDevice, Uac2PipeRead* Read)
{
    Read->Sent = TRUE;
    return statusthread::ArmPipeRead(UsbDevice, Read->Irp, Read->Urb, Read->Pipe, Read->Data, Read->Length,
                                     Read->Done);
}

NTSTATUS RearmRead(IUsbDevice* UsbDevice, Uac2PipeRead* Read)
{
    IoReuseIrp(Read->Irp, STATUS_NOT_SUPPORTED);
    return ArmRead(UsbDevice, Read);
}

// Takes back a read that may still be with the bus. Whichever read ended the thread, the other
// one is cancelled too before anything waits for it, so an exit never waits on a read the
// device may never complete.
VOID CancelAndWait(Uac2PipeRead* Read)
{
    if (Read->Irp && Read->Done && Read->Sent)
    {
        if (!KeReadStateEvent(Read->Done))
        {
            IoCancelIrp(Read->Irp);
        }
        KeWaitForSingleObject(Read->Done, Executive, KernelMode, FALSE, nullptr);
    }
}

VOID FreeRead(IUsbDevice* UsbDevice, Uac2PipeRead* Read, BOOLEAN OwnData)
{
    if (Read->Irp)
    {
        UsbDevice->FreeIrp(Read->Irp);
    }
    if (Read->Urb)
    {
        ExFreePoolWithTag(Read->Urb, UAC2_DEVICE_POOL_TAG);
    }
    if (Read->Done)
    {
        ExFreePoolWithTag(Read->Done, UAC2_DEVICE_POOL_TAG);
    }
    if (OwnData && Read->Data)
    {
        ExFreePoolWithTag(Read->Data, UAC2_DEVICE_POOL_TAG);
    }
    RtlZeroMemory(Read, sizeof(*Read));
}

VOID EndUac2Transfers(Uac2StatusTransfer* Transfer)
{
    CancelAndWait(&Transfer->Interrupt);
    CancelAndWait(&Transfer->Bulk);
    if (Transfer->UsbDevice)
    {
        FreeRead(Transfer->UsbDevice, &Transfer->Bulk, TRUE);
        FreeRead(Transfer->UsbDevice, &Transfer->Interrupt, FALSE);
    }
}

} // namespace

// ---- Start and stop ----

STDMETHODIMP_(NTSTATUS) CUac2Device::Start()
{
    PAGED_CODE();
    // A second start while the thread runs would orphan it.
    if (m_StatusPipe != UAC1_NO_STATUS_PIPE)
    {
        return STATUS_SUCCESS;
    }
    BOOLEAN selected = FALSE;
    NTSTATUS status = SelectStatusInterface(&selected);
    if (!selected)
    {
        return status;
    }
    // The first 6-byte interrupt-IN pipe and the first bulk-IN pipe; a second pipe of a kind
    // already found ends the scan.
    for (ULONG index = 0; index < m_pInterfaceInfo->NumberOfPipes; index++)
    {
        const USBD_PIPE_INFORMATION& pipe = m_pInterfaceInfo->Pipes[index];
        if (!(pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK))
        {
            continue;
        }
        const BOOLEAN status6 =
            pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == UAC2_STATUS_MESSAGE_BYTES;
        const BOOLEAN bulk = pipe.PipeType == UsbdPipeTypeBulk;
        if ((status6 && m_StatusPipe != UAC1_NO_STATUS_PIPE) || (bulk && m_BulkPipe != UAC1_NO_STATUS_PIPE))
        {
            break;
        }
        m_StatusPipe = status6 ? UCHAR(index) : m_StatusPipe;
        m_BulkPipe = bulk ? UCHAR(index) : m_BulkPipe;
    }
    if (m_StatusPipe == UAC1_NO_STATUS_PIPE)
    {
        m_BulkPipe = UAC1_NO_STATUS_PIPE;
        FreeInterfaceInfo();
        return STATUS_SUCCESS;
    }
    status = LaunchOwnStatusThread(Uac2StatusThreadStart, UAC2_STATUS_THREAD_PRIORITY);
    if (!NT_SUCCESS(status))
    {
        m_BulkPipe = UAC1_NO_STATUS_PIPE;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2Device::Stop()
{
    PAGED_CODE();
    StopUac2StatusThread();
    return STATUS_SUCCESS;
}

VOID CUac2Device::StopUac2StatusThread()
{
    PAGED_CODE();
    StopOwnStatusThread();
    m_BulkPipe = UAC1_NO_STATUS_PIPE;
}

// The status thread let go of the device's last reference, so the destructor runs on that
// thread and nobody is left to stop it. Its reads are taken back here and the thread leaves
// without touching the object once its release returns.
VOID CUac2Device::EndStatusThreadHere()
{
    PAGED_CODE();
    if (m_pUac2Transfer)
    {
        EndUac2Transfers(m_pUac2Transfer);
        m_pUac2Transfer->Orphaned = TRUE;
        m_pUac2Transfer = nullptr;
    }
    ObDereferenceObject(m_pStatusThread);
    m_pStatusThread = nullptr;
}

// ---- The thread ----

VOID CUac2Device::Uac2StatusThreadStart(PVOID Context)
{
    static_cast<CUac2Device*>(Context)->Uac2StatusThread();
}

// PASSIVE_LEVEL, on its own thread. Ends on Stop or on the first failed transfer; either way
// no transfer is outstanding when it signals m_DoneEvent. It holds its reference on the device
// while it works and gives it up while it waits, as the class-1 thread does.
VOID CUac2Device::Uac2StatusThread()
{
    PAGED_CODE();
    PUNKNOWN pDevice = GetOuterUnknown();
    Uac2StatusTransfer transfer;
    RtlZeroMemory(&transfer, sizeof(transfer));
    m_pUac2Transfer = &transfer;
    statusthread::RunStatusThread(
        pDevice, &m_DoneEvent, &transfer.Orphaned,
        [&]() -> BOOLEAN
        {
            if (!PrepareUac2StatusTransfer(&transfer) ||
                (transfer.Bulk.Irp && !NT_SUCCESS(ArmRead(transfer.UsbDevice, &transfer.Bulk))) ||
                !NT_SUCCESS(ArmRead(transfer.UsbDevice, &transfer.Interrupt)))
            {
                return TRUE;
            }
            return RunUac2StatusLoop(&transfer, pDevice);
        },
        [&](BOOLEAN)
        {
            EndUac2Transfers(&transfer);
            m_pUac2Transfer = nullptr;
        });
}

// FALSE when an allocation failed: the thread then ends at once.
BOOLEAN CUac2Device::PrepareUac2StatusTransfer(Uac2StatusTransfer* Transfer)
{
    PAGED_CODE();
    Transfer->UsbDevice = statusthread::BorrowUsbDevice(GetOuterUnknown());
    if (!Transfer->UsbDevice)
    {
        return FALSE;
    }
    Uac2PipeRead& interrupt = Transfer->Interrupt;
    interrupt.Pipe = m_pInterfaceInfo->Pipes[m_StatusPipe].PipeHandle;
    interrupt.Data = Transfer->Message;
    interrupt.Length = sizeof(Transfer->Message);
    interrupt.Done = statusthread::AllocateSignalledEvent(UAC2_DEVICE_POOL_TAG);
    interrupt.Urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), UAC2_DEVICE_POOL_TAG));
    interrupt.Irp = Transfer->UsbDevice->AllocateIrp();
    if (!interrupt.Done || !interrupt.Urb || !interrupt.Irp)
    {
        return FALSE;
    }
    if (m_BulkPipe == UAC1_NO_STATUS_PIPE)
    {
        return TRUE;
    }
    Uac2PipeRead& bulk = Transfer->Bulk;
    bulk.Pipe = m_pInterfaceInfo->Pipes[m_BulkPipe].PipeHandle;
    bulk.Length = UAC2_BULK_READ_BYTES;
    bulk.Done = statusthread::AllocateSignalledEvent(UAC2_DEVICE_POOL_TAG);
    bulk.Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bulk.Length, UAC2_DEVICE_POOL_TAG));
    bulk.Urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), UAC2_DEVICE_POOL_TAG));
    bulk.Irp = Transfer->UsbDevice->AllocateIrp();
    return bulk.Done && bulk.Data && bulk.Urb && bulk.Irp ? TRUE : FALSE;
}

// A message cut short names no control: it is dropped and the read goes on.
VOID CUac2Device::HandleStatusMessage(const UCHAR* Message, ULONG Length)
{
    PAGED_CODE();
    if (Length < UAC2_STATUS_MESSAGE_BYTES || (Message[0] & MESSAGE_INFO_MASK) != 0 ||
        Message[1] != MESSAGE_ATTRIBUTE_CUR || Message[4] != m_ControlInterface)
    {
        return;
    }
    OnStatusInterrupt(Message[5], Message[3], Message[2]);
}

// Reads and hands on messages until Stop or a failed transfer. Returns whether the thread
// still holds its reference on the device; Transfer->Orphaned tells that the device is gone.
BOOLEAN CUac2Device::RunUac2StatusLoop(Uac2StatusTransfer* Transfer, PUNKNOWN Device)
{
    PAGED_CODE();
    PVOID objects[] = {Transfer->Interrupt.Done, &m_StopEvent, Transfer->Bulk.Done};
    const ULONG objectCount = Transfer->Bulk.Irp ? 3 : 2;
    return statusthread::WaitForReports(
        Device, &Transfer->Orphaned, objects, objectCount, WAIT_STOP, &m_StopEvent,
        [&](ULONG index) -> BOOLEAN
        {
            Uac2PipeRead* pRead = index == WAIT_BULK_DONE ? &Transfer->Bulk : &Transfer->Interrupt;
            if (!NT_SUCCESS(pRead->Irp->IoStatus.Status))
            {
                return FALSE;
            }
            if (pRead == &Transfer->Interrupt)
            {
                HandleStatusMessage(Transfer->Message,
                                    Transfer->Interrupt.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
            }
            return NT_SUCCESS(RearmRead(Transfer->UsbDevice, pRead));
        });
}
