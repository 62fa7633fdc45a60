// The driver's entry point and AddDevice: the port-class library owns the driver object and
// the functional device object; this file claims the requests the driver answers itself and
// registers the private device interfaces.
#include "driver/adapter/driver_entry.h"

#include "driver/core/device_extension.h"
#include "driver/adapter/dispatch.h"

UNICODE_STRING g_AsioReferenceString;
UNICODE_STRING g_AsioFileName;
UNICODE_STRING g_EnumReferenceString;
UNICODE_STRING g_EnumFileName;

namespace
{

// Windows XP is the oldest system whose port-class library the driver was built against.
constexpr ULONG MINIMUM_NTDDI_VERSION = 0x05010000;

void InitInterfaceNames()
{
    RtlInitUnicodeString(&g_AsioReferenceString, u"QXASIOPrivateInterface");
    RtlInitUnicodeString(&g_AsioFileName, u"\\QXASIOPrivateInterface");
    RtlInitUnicodeString(&g_EnumReferenceString, u"QXEnumPrivateInterface");
    RtlInitUnicodeString(&g_EnumFileName, u"\\QXEnumPrivateInterface");
}

// Zeroes the driver's part of a fresh extension and records the device's neighbours.
void InitExtension(AdapterDeviceExtension* Extension, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT Lower,
                   PDEVICE_OBJECT Pdo)
{
    RtlZeroMemory(reinterpret_cast<PUCHAR>(Extension) + PORT_CLASS_DEVICE_EXTENSION_SIZE,
                  sizeof(AdapterDeviceExtension) - PORT_CLASS_DEVICE_EXTENSION_SIZE);
    Extension->FunctionalDeviceObject = Fdo;
    Extension->LowerDeviceObject = Lower;
    Extension->PhysicalDeviceObject = Pdo;
    KeInitializeMutex(&Extension->DeviceMutex, 0);
}

// The system never sends a removal for a device whose AddDevice failed, so a failed AddDevice
// takes its device object back off the stack itself.
void UndoAddDevice(AdapterDeviceExtension* Extension)
{
    if (Extension->EnumInterfaceRegistered)
    {
        RtlFreeUnicodeString(&Extension->EnumLinkName);
        Extension->EnumInterfaceRegistered = FALSE;
    }
    PDEVICE_OBJECT fdo = Extension->FunctionalDeviceObject;
    PDEVICE_OBJECT lower = Extension->LowerDeviceObject;
    Extension->LowerDeviceObject = nullptr;
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    ObDereferenceObject(lower);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    if (!RtlIsNtDdiVersionAvailable(MINIMUM_NTDDI_VERSION))
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (NT_SUCCESS(status))
    {
        DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
        DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    }
    InitInterfaceNames();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    // The device the functional device object is about to be attached on: requests the
    // port-class library does not forward itself go there.
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    NTSTATUS status = PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, MAX_MINIPORTS,
                                         sizeof(AdapterDeviceExtension));
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(lower);
        return status;
    }
    PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    AdapterDeviceExtension* extension = GetAdapterExtension(fdo);
    InitExtension(extension, fdo, lower, PhysicalDeviceObject);
    ObDereferenceObject(fdo);

    // Enumeration first: a device without it still works, so its failure is not fatal.
    if (NT_SUCCESS(IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_ENUM_PRIVATE,
                                             &g_EnumReferenceString, &extension->EnumLinkName)))
        extension->EnumInterfaceRegistered = TRUE;
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_ASIO_PRIVATE,
                                       &g_AsioReferenceString, &extension->AsioLinkName);
    if (!NT_SUCCESS(status))
    {
        UndoAddDevice(extension);
        return status;
    }
    extension->AsioInterfaceRegistered = TRUE;
    return status;
}
