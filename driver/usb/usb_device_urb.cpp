// CUsbDevice: the way to the USB stack below: URBs with a time-out, IRPs for the stream
// objects, the bus interface, and port status, reset and cycle.
#include "driver/usb/usb_device.h"

namespace
{

VOID WaitForever(PKEVENT Event)
{
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
}

} // namespace

// Takes the IRP back from the I/O manager: SubmitUrbSync reads its status and frees it.
NTSTATUS CUsbDevice::SyncCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device that holds a control request for longer than half a second is not going to answer
// it: the request is cancelled and the caller gets the cancelled request's status. Every URB in
// flight counts as activity, so the device is not suspended under it.
STDMETHODIMP_(NTSTATUS) CUsbDevice::SubmitUrbSync(PURB Urb)
{
    PAGED_CODE();
    if (!m_bDevicePresent)
    {
        return STATUS_UNSUCCESSFUL;
    }
    PIRP pIrp = IoAllocateIrp(m_nIrpStackSize, FALSE);
    if (!pIrp)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetNextIrpStackLocation(pIrp);
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    pNext->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(pIrp, SyncCompletionRoutine, &done, TRUE, TRUE, TRUE);

    InterlockedIncrement(&m_nInProgressCount);
    NTSTATUS status = IoCallDriver(m_pLowerDeviceObject, pIrp);
    if (status == STATUS_PENDING)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = USB_DEVICE_URB_TIMEOUT_100NS;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
        {
            IoCancelIrp(pIrp);
            WaitForever(&done);
        }
    }
    status = pIrp->IoStatus.Status;
    if (status == STATUS_DEVICE_NOT_CONNECTED)
    {
        m_bDevicePresent = FALSE;
    }
    IoFreeIrp(pIrp);
    InterlockedDecrement(&m_nInProgressCount);
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::CallLowerDriver(PIRP Irp)
{
    return IofCallDriver(m_pLowerDeviceObject, Irp);
}

STDMETHODIMP_(PIRP) CUsbDevice::AllocateIrp()
{
    return IoAllocateIrp(m_nIrpStackSize, FALSE);
}

STDMETHODIMP_(VOID) CUsbDevice::FreeIrp(PIRP Irp)
{
    IoFreeIrp(Irp);
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::GetCurrentFrameNumber(PULONG FrameNumber)
{
    if (!FrameNumber)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *FrameNumber = 0;
    if (!m_BusInterface.QueryBusTime)
    {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG frame = 0;
    NTSTATUS status = m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &frame);
    if (NT_SUCCESS(status))
    {
        *FrameNumber = frame;
    }
    return status;
}

// The USBDI interface gives the frame counter and the bus speed without an IRP each time.
NTSTATUS CUsbDevice::QueryBusInterface()
{
    PAGED_CODE();
    PIRP pIrp = IoAllocateIrp(m_nIrpStackSize, FALSE);
    if (!pIrp)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RtlZeroMemory(&m_BusInterface, sizeof(m_BusInterface));
    pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(pIrp);
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_PNP;
    pNext->MinorFunction = IRP_MN_QUERY_INTERFACE;
    pNext->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    pNext->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    pNext->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    pNext->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_BusInterface);
    pNext->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    IoSetCompletionRoutine(pIrp, SyncCompletionRoutine, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(m_pLowerDeviceObject, pIrp) == STATUS_PENDING)
    {
        WaitForever(&done);
    }
    NTSTATUS status = pIrp->IoStatus.Status;
    IoFreeIrp(pIrp);
    if (NT_SUCCESS(status) && m_BusInterface.BusContext && m_BusInterface.IsDeviceHighSpeed)
    {
        m_bHighSpeed = m_BusInterface.IsDeviceHighSpeed(m_BusInterface.BusContext);
        return STATUS_SUCCESS;
    }
    m_BusInterface.BusContext = nullptr;
    DbgPrint("CUsbDevice: the USB stack offers no bus interface for the device (0x%08X)\n", status);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
}

// ---- Port ----

// One internal request to the hub: port status (PortStatus receives the USBD_PORT_* bits),
// reset or cycle. STATUS_INSUFFICIENT_RESOURCES when the request cannot be built.
NTSTATUS CUsbDevice::SendPortRequest(ULONG IoControlCode, PULONG PortStatus)
{
    PAGED_CODE();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    PIRP pIrp = IoBuildDeviceIoControlRequest(IoControlCode, m_pLowerDeviceObject, nullptr, 0, nullptr, 0,
                                              TRUE, &done, &ioStatus);
    if (!pIrp)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (PortStatus)
    {
        *PortStatus = 0;
        IoGetNextIrpStackLocation(pIrp)->Parameters.Others.Argument1 = PortStatus;
    }
    NTSTATUS status = IoCallDriver(m_pLowerDeviceObject, pIrp);
    if (status == STATUS_PENDING)
    {
        WaitForever(&done);
        status = ioStatus.Status;
    }
    return status;
}

// Tells a device that stopped answering apart from one that left: a connected port needs no
// reset; a hub that lost track of the device gets one more look after a pause, and the device
// is reset when it is back, cycled when it is not. The result is TRUE when the device is gone.
STDMETHODIMP_(BOOLEAN) CUsbDevice::ResetPort()
{
    PAGED_CODE();
    if (!m_bDevicePresent)
    {
        return TRUE;
    }
    m_PortLock.Lock();
    ULONG portStatus = 0;
    NTSTATUS status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
    {
        // A query that could not even be sent for want of memory says nothing of the port: the
        // device is not given up for it.
        m_PortLock.Unlock();
        return FALSE;
    }
    if (status == STATUS_NO_SUCH_DEVICE)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = USB_DEVICE_PORT_RETRY_DELAY_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
        if (!NT_SUCCESS(status))
        {
            if (status != STATUS_INSUFFICIENT_RESOURCES)
            {
                CyclePort();
            }
        }
        else if (portStatus & USBD_PORT_CONNECTED)
        {
            SendPortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
            if (m_pFunctionPower)
            {
                // The reset left the device unconfigured: a trip through D3 makes the function
                // object restore its settings on the way back.
                POWER_STATE state;
                state.DeviceState = PowerDeviceD3;
                m_pFunctionPower->PowerChangeState(state);
                state.DeviceState = PowerDeviceD0;
                m_pFunctionPower->PowerChangeState(state);
            }
        }
        else
        {
            m_bDevicePresent = FALSE;
        }
    }
    else if (!NT_SUCCESS(status) || !(portStatus & USBD_PORT_CONNECTED))
    {
        m_bDevicePresent = FALSE;
    }
    m_PortLock.Unlock();
    return !m_bDevicePresent;
}

// The port is cycled at most once in this object's life: the cycle re-enumerates the device,
// and a new device object takes over from there.
STDMETHODIMP_(BOOLEAN) CUsbDevice::CyclePort()
{
    PAGED_CODE();
    if (InterlockedExchange(&m_nPortCycled, 1) == 0)
    {
        SendPortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr);
        m_bDevicePresent = FALSE;
    }
    return !m_bDevicePresent;
}
