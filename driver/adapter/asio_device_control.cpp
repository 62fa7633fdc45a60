// The ASIO companion's private I/O controls: each request's buffers are checked against the
// record its code carries before IAsioDevice sees it, and only what the operation wrote is
// returned. This is where a user-mode process reaches the driver, so a wrong size is an error
// that says so, never a silent success or a copy of more than was written.
#include "driver/adapter/dispatch.h"

#include "driver/core/asio_device_if.h"

namespace
{

// Pool tag of the 64-bit address array served to a 32-bit caller.
constexpr ULONG ASIO_ADDRESS_POOL_TAG = MAKE_POOL_TAG('a', 'd', 'a', 'p');

struct AsioRequest
{
    PFILE_OBJECT File;
    PVOID Buffer; // the system buffer, shared by input and output
    ULONG InputLength;
    ULONG OutputLength;
    BOOLEAN Is32Bit;
};

// A handle travels as 4 bytes from a 32-bit process (widened without sign) and as 8 otherwise.
BOOLEAN ReadHandle(const AsioRequest& Request, PHANDLE Handle)
{
    if (Request.Is32Bit && Request.InputLength == sizeof(ULONG))
    {
        *Handle = reinterpret_cast<HANDLE>(ULONG_PTR(*static_cast<const ULONG*>(Request.Buffer)));
        return TRUE;
    }
    if (!Request.Is32Bit && Request.InputLength == sizeof(ULONGLONG))
    {
        *Handle = reinterpret_cast<HANDLE>(ULONG_PTR(*static_cast<const ULONGLONG*>(Request.Buffer)));
        return TRUE;
    }
    return FALSE;
}

// Queries that report a length: the room the caller gave, the length the operation reports.
NTSTATUS SizedQuery(NTSTATUS Status, ULONG Length, PIRP Irp)
{
    Irp->IoStatus.Information = Length;
    return Status;
}

// A fixed-size answer: a room too small is refused before the operation runs.
template <typename Record, typename Operation>
NTSTATUS FixedAnswer(const AsioRequest& Request, PIRP Irp, Operation Run)
{
    if (Request.OutputLength < sizeof(Record) || !Request.Buffer)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    NTSTATUS status = Run(static_cast<Record*>(Request.Buffer));
    if (NT_SUCCESS(status))
    {
        Irp->IoStatus.Information = sizeof(Record);
    }
    return status;
}

// A 4-byte setting: a shorter input is refused.
template <typename Operation> NTSTATUS ValueSetting(const AsioRequest& Request, Operation Run)
{
    if (Request.InputLength < sizeof(ULONG) || !Request.Buffer)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Run(static_cast<const ULONG*>(Request.Buffer));
}

// A 32-bit caller gets the low halves of the addresses, gathered in a temporary of the 64-bit
// layout.
NTSTATUS MapBuffers(IAsioDevice* Asio, const AsioRequest& Request, PIRP Irp)
{
    if (Request.InputLength < sizeof(AsioBufferRequest) || !Request.Buffer)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const AsioBufferRequest* pRequest = static_cast<const AsioBufferRequest*>(Request.Buffer);
    if (!Request.Is32Bit)
    {
        ULONG length = Request.OutputLength;
        NTSTATUS status =
            Asio->MapStreamingBuffers(Request.File, pRequest, Request.InputLength, Request.Buffer, &length);
        Irp->IoStatus.Information = NT_SUCCESS(status) ? Request.OutputLength : 0;
        return status;
    }
    // Twice the caller's length is computed wide: a length past 2 GiB must not wrap into a
    // small temporary that the copy below would then read far beyond.
    const ULONGLONG wide = ULONGLONG(Request.OutputLength) * 2;
    if (wide > MAXULONG)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG wideLength = ULONG(wide);
    PULONGLONG pWide = nullptr;
    if (wideLength)
    {
        pWide = static_cast<PULONGLONG>(ExAllocatePoolWithTag(PagedPool, wideLength, ASIO_ADDRESS_POOL_TAG));
        if (!pWide)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ULONG length = wideLength;
    NTSTATUS status = Asio->MapStreamingBuffers(Request.File, pRequest, Request.InputLength, pWide, &length);
    if (NT_SUCCESS(status))
    {
        PULONG pOut = static_cast<PULONG>(Request.Buffer);
        for (ULONG i = 0; i < Request.OutputLength / sizeof(ULONG); i++)
        {
            pOut[i] = ULONG(pWide[i]);
        }
        Irp->IoStatus.Information = Request.OutputLength;
    }
    if (pWide)
    {
        ExFreePoolWithTag(pWide, ASIO_ADDRESS_POOL_TAG);
    }
    return status;
}

NTSTATUS RunQuery(IAsioDevice* Asio, ULONG Code, const AsioRequest& Request, PIRP Irp)
{
    PFILE_OBJECT file = Request.File;
    switch (Code)
    {
    case IOCTL_ASIO_GET_PRODUCT_NAME:
    {
        ULONG length = Request.OutputLength;
        NTSTATUS status = Asio->GetProductName(file, static_cast<PCHAR>(Request.Buffer), &length);
        return SizedQuery(status, length, Irp);
    }
    case IOCTL_ASIO_GET_CHANNEL_COUNTS:
    {
        NTSTATUS status = Asio->GetChannelCounts(file, static_cast<AsioChannelCounts*>(Request.Buffer),
                                                 Request.OutputLength);
        Irp->IoStatus.Information = NT_SUCCESS(status) ? sizeof(AsioChannelCounts) : 0;
        return status;
    }
    case IOCTL_ASIO_GET_CHANNEL_INFO:
    {
        if (Request.InputLength < sizeof(AsioChannelInfo))
        {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status =
            Asio->GetChannelInfo(file, static_cast<AsioChannelInfo*>(Request.Buffer), Request.OutputLength);
        Irp->IoStatus.Information = NT_SUCCESS(status) ? sizeof(AsioChannelInfo) : 0;
        return status;
    }
    case IOCTL_ASIO_GET_SAMPLE_TYPES:
    {
        ULONG length = Request.OutputLength;
        NTSTATUS status = Asio->GetSampleTypes(
            file, length ? static_cast<AsioSampleTypeList*>(Request.Buffer) : nullptr, &length);
        return SizedQuery(status, length, Irp);
    }
    case IOCTL_ASIO_GET_LATENCY_TABLE:
    {
        ULONG length = Request.OutputLength;
        NTSTATUS status = Asio->GetLatencyTable(
            file, length ? static_cast<AsioLatencyTable*>(Request.Buffer) : nullptr, &length);
        return SizedQuery(status, length, Irp);
    }
    case IOCTL_ASIO_GET_BUFFERS_IN_USE:
        if (Request.OutputLength == 0)
        {
            return SizedQuery(STATUS_BUFFER_OVERFLOW, sizeof(ULONG), Irp);
        }
        return FixedAnswer<ULONG>(Request, Irp, [&](PULONG Out) { return Asio->GetBuffersInUse(file, Out); });
    case IOCTL_ASIO_GET_LATENCIES:
        return FixedAnswer<AsioLatencies>(Request, Irp,
                                          [&](AsioLatencies* Out) { return Asio->GetLatencies(file, Out); });
    case IOCTL_ASIO_GET_SAMPLE_RATE:
        return FixedAnswer<ULONG>(Request, Irp, [&](PULONG Out) { return Asio->GetSampleRate(file, Out); });
    case IOCTL_ASIO_GET_BUFFER_SIZE:
        return FixedAnswer<AsioBufferSize>(
            Request, Irp, [&](AsioBufferSize* Out) { return Asio->GetBufferSize(file, Out); });
    case IOCTL_ASIO_GET_IO_FORMAT:
        if (Request.OutputLength == 0)
        {
            return SizedQuery(STATUS_BUFFER_OVERFLOW, sizeof(ULONG), Irp);
        }
        return FixedAnswer<ULONG>(Request, Irp, [&](PULONG Out) { return Asio->GetIoFormat(file, Out); });
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS RunAction(IAsioDevice* Asio, ULONG Code, const AsioRequest& Request, PIRP Irp)
{
    PFILE_OBJECT file = Request.File;
    HANDLE handle = nullptr;
    switch (Code)
    {
    case IOCTL_ASIO_SET_CLIENT_EVENT:
        return ReadHandle(Request, &handle) ? Asio->SetClientEvent(file, &handle) : STATUS_INVALID_PARAMETER;
    case IOCTL_ASIO_CLEAR_CLIENT_EVENT:
        return Request.InputLength == 0 ? Asio->ClearClientEvent(file) : STATUS_INVALID_PARAMETER;
    case IOCTL_ASIO_SET_SAMPLE_TYPE:
        return ValueSetting(Request, [&](const ULONG* Value) { return Asio->SetSampleType(file, *Value); });
    case IOCTL_ASIO_SET_LATENCY:
        return ValueSetting(Request, [&](const ULONG* Value) { return Asio->SetLatency(file, *Value); });
    case IOCTL_ASIO_CAN_SAMPLE_RATE:
        return ValueSetting(Request, [&](const ULONG* Value) { return Asio->CanSampleRate(file, Value); });
    case IOCTL_ASIO_SET_SAMPLE_RATE:
        return ValueSetting(Request, [&](const ULONG* Value) { return Asio->SetSampleRate(file, Value); });
    case IOCTL_ASIO_CAN_IO_FORMAT:
        return ValueSetting(Request, [&](const ULONG* Value) { return Asio->CanIoFormat(file, Value); });
    case IOCTL_ASIO_SET_IO_FORMAT:
        return ValueSetting(Request, [&](const ULONG* Value) { return Asio->SetIoFormat(file, Value); });
    case IOCTL_ASIO_MAP_BUFFERS:
        return MapBuffers(Asio, Request, Irp);
    case IOCTL_ASIO_UNMAP_BUFFERS:
        return Asio->UnmapStreamingBuffers(file);
    case IOCTL_ASIO_START:
        return ReadHandle(Request, &handle) ? Asio->StartAsio(file, &handle) : STATUS_INVALID_PARAMETER;
    case IOCTL_ASIO_STOP:
        return Request.InputLength == 0 ? Asio->StopAsio(file, Irp) : STATUS_INVALID_PARAMETER;
    default:
        return RunQuery(Asio, Code, Request, Irp);
    }
}

} // namespace

NTSTATUS AsioDeviceControl(IAsioDevice* AsioDevice, PIRP Irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    AsioRequest request;
    request.File = stack->FileObject;
    request.Buffer = Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Is32Bit = IoIs32bitProcess(Irp);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = RunAction(AsioDevice, stack->Parameters.DeviceIoControl.IoControlCode, request, Irp);
    if (status == STATUS_PENDING)
    {
        return status;
    }
    // A caller that gave no room asks for the size, and the warning hands it the length with
    // nothing copied back. Given a room, the I/O manager copies Information bytes into it on a
    // warning, so a length the room cannot hold is refused as an error instead.
    if (status == STATUS_BUFFER_OVERFLOW && request.OutputLength != 0 &&
        Irp->IoStatus.Information > request.OutputLength)
    {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    // An error reaches the caller as its status alone; no count goes with it.
    if (NT_ERROR(status))
    {
        Irp->IoStatus.Information = 0;
    }
    return status;
}
