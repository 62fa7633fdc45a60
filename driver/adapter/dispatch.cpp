// Request routing of the adapter device: the ASIO companion's handles are served through the
// device's IAsioDevice, every other handle and request belongs to the port-class library; plug
// and play removal tears down the interfaces and the streams' subdevices around the library's
// own handling.
#include "driver/adapter/dispatch.h"

#include "driver/core/device_extension.h"
#include "driver/adapter/driver_entry.h"
#include "driver/core/asio_device_if.h"
#include "driver/core/stream_engine_if.h"

namespace
{

// A selectively suspended device must be powered before any request reaches it. Requests that
// come without a stack location of their own (none do today) are left alone.
void WakeForRequest(AdapterDeviceExtension* Extension, PIRP Irp)
{
    if (Extension->AdapterCommon != nullptr && Irp->CurrentLocation <= Irp->StackCount)
        Extension->AdapterCommon->WakeForAccess(Irp);
}

// Handles opened on the ASIO interface carry its reference string as their file name, in
// whatever letter case the companion used.
bool IsAsioRequest(PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    return file != nullptr && RtlCompareUnicodeString(&file->FileName, &g_AsioFileName, TRUE) == 0;
}

// Null before the device has started and after it was removed: there is then no device to
// serve the companion.
PASIODEVICE QueryAsioDevice(AdapterDeviceExtension* Extension)
{
    PASIODEVICE asio = nullptr;
    if (Extension->AdapterCommon == nullptr || !NT_SUCCESS(Extension->AdapterCommon->QueryInterface(
                                                   IID_IAsioDevice, reinterpret_cast<PVOID*>(&asio))))
        return nullptr;
    return asio;
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Opens or closes the companion's per-handle client. Whatever the device refused is reported
// as STATUS_UNSUCCESSFUL; what it accepted is reported as it answered.
NTSTATUS DispatchAsioClient(AdapterDeviceExtension* Extension, PIRP Irp, bool Open)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PASIODEVICE asio = QueryAsioDevice(Extension);
    if (asio != nullptr)
    {
        status = Open ? asio->OpenAsioClient(file) : asio->CloseAsioClient(file);
        asio->Release();
        if (!NT_SUCCESS(status))
            status = STATUS_UNSUCCESSFUL;
    }
    return CompleteWith(Irp, status);
}

// Stops the device and takes every stream's wave subdevice and physical connection away, in
// stream order; the first stream that cannot be unregistered ends the walk.
void StopAndUnregisterStreams(PDEVICE_OBJECT DeviceObject, PADAPTERCOMMON Adapter, PUNKNOWN AdapterUnknown,
                              bool Report)
{
    ULONG count = Adapter->GetStreamCount();
    for (ULONG index = 0; index < count; ++index)
    {
        IStreamEngine* stream = nullptr;
        if (!NT_SUCCESS(Adapter->GetStream(index, &stream)) || stream == nullptr)
            return;
        if (!NT_SUCCESS(stream->UnregisterSubdevice(DeviceObject, nullptr, AdapterUnknown)))
        {
            if (Report)
                DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", index);
            return;
        }
    }
}

PUNKNOWN QueryAdapterUnknown(PADAPTERCOMMON Adapter)
{
    PUNKNOWN unknown = nullptr;
    if (!NT_SUCCESS(Adapter->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&unknown))))
        return nullptr;
    return unknown;
}

void DisableInterface(PUNICODE_STRING LinkName, BOOLEAN* Enabled)
{
    if (*Enabled)
    {
        IoSetDeviceInterfaceState(LinkName, FALSE);
        *Enabled = FALSE;
    }
}

void FreeLinkName(PUNICODE_STRING LinkName, BOOLEAN* Registered)
{
    if (*Registered)
    {
        RtlFreeUnicodeString(LinkName);
        *Registered = FALSE;
    }
}

// Removal disables and forgets each interface before the request goes down, so that no new
// handle can reach a device on its way out.
void RemoveInterfaces(AdapterDeviceExtension* Extension)
{
    DisableInterface(&Extension->AsioLinkName, &Extension->AsioInterfaceEnabled);
    FreeLinkName(&Extension->AsioLinkName, &Extension->AsioInterfaceRegistered);
    DisableInterface(&Extension->EnumLinkName, &Extension->EnumInterfaceEnabled);
    FreeLinkName(&Extension->EnumLinkName, &Extension->EnumInterfaceRegistered);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, AdapterDeviceExtension* Extension, PIRP Irp)
{
    RemoveInterfaces(Extension);
    PADAPTERCOMMON adapter = Extension->AdapterCommon;
    if (adapter != nullptr)
    {
        adapter->Stop();
        PUNKNOWN unknown = QueryAdapterUnknown(adapter);
        if (unknown != nullptr)
        {
            StopAndUnregisterStreams(DeviceObject, adapter, unknown, true);
            unknown->Release();
        }
    }
    // The library detaches and deletes the device; its memory stays until this routine returns.
    NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    // Even when the bus failed the removal the device is gone from the stack: nothing may keep
    // the device below or the adapter alive, and no later request may reach the adapter.
    if (Extension->LowerDeviceObject != nullptr)
    {
        ObDereferenceObject(Extension->LowerDeviceObject);
        Extension->LowerDeviceObject = nullptr;
    }
    Extension->AdapterCommon = nullptr;
    if (adapter != nullptr)
        adapter->Release();
    return status;
}

// A surprise removal keeps the interfaces until the request has been down the stack; the link
// names stay for the removal that follows.
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT DeviceObject, AdapterDeviceExtension* Extension, PIRP Irp)
{
    PADAPTERCOMMON adapter = Extension->AdapterCommon;
    PUNKNOWN unknown = adapter != nullptr ? QueryAdapterUnknown(adapter) : nullptr;
    if (unknown != nullptr)
    {
        adapter->Stop();
        StopAndUnregisterStreams(DeviceObject, adapter, unknown, false);
        unknown->Release();
    }
    NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    DisableInterface(&Extension->AsioLinkName, &Extension->AsioInterfaceEnabled);
    DisableInterface(&Extension->EnumLinkName, &Extension->EnumInterfaceEnabled);
    return status;
}

} // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    // A start may be the one that powers the device: there is nothing to wake yet.
    if (minor != IRP_MN_START_DEVICE && extension->AdapterCommon != nullptr)
        extension->AdapterCommon->WakeForAccess(Irp);
    switch (minor)
    {
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, extension, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveDevice(DeviceObject, extension, Irp);
    default:
        return PcDispatchIrp(DeviceObject, Irp);
    }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);
    WakeForRequest(extension, Irp);
    if (!IsAsioRequest(Irp))
        return PcDispatchIrp(DeviceObject, Irp);
    return DispatchAsioClient(extension, Irp, true);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);
    WakeForRequest(extension, Irp);
    if (!IsAsioRequest(Irp))
        return PcDispatchIrp(DeviceObject, Irp);
    return DispatchAsioClient(extension, Irp, false);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);
    // Only an ASIO handle's cleanup may reach the device (to stop its streams), so only then is
    // a suspended device woken.
    if (!IsAsioRequest(Irp))
        return PcDispatchIrp(DeviceObject, Irp);
    WakeForRequest(extension, Irp);
    // The handle's waiting requests are answered and its rings, if it owns them, unmapped.
    // Rings the device could not let go of yet stay until the handle's close tries again.
    PASIODEVICE asio = QueryAsioDevice(extension);
    if (asio != nullptr)
    {
        NTSTATUS status = asio->CleanupAsioClient(IoGetCurrentIrpStackLocation(Irp)->FileObject);
        asio->Release();
        if (!NT_SUCCESS(status))
            DbgPrint("DispatchCleanup: the ASIO handle's rings were not released (0x%08X); its close "
                     "releases them\n",
                     ULONG(status));
    }
    Irp->IoStatus.Information = 0;
    return CompleteWith(Irp, STATUS_SUCCESS);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);
    WakeForRequest(extension, Irp);
    if (!IsAsioRequest(Irp))
        return PcDispatchIrp(DeviceObject, Irp);
    Irp->IoStatus.Information = 0;
    PASIODEVICE asio = QueryAsioDevice(extension);
    if (asio == nullptr)
        return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
    NTSTATUS status = AsioDeviceControl(asio, Irp);
    asio->Release();
    // A queued request belongs to whoever completes it and may be gone already.
    if (status == STATUS_PENDING)
        return status;
    return CompleteWith(Irp, status);
}
