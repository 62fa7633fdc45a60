// The driver's entry point and its port-class AddDevice routine, with the names of the two
// private device interfaces that both register and the request routing compares against.
#pragma once

#include "ntddk.h"
#include "portcls.h"

// Reference strings, and the file names that handles opened on them carry; built by DriverEntry
// and alive for as long as the driver is loaded.
extern UNICODE_STRING g_AsioReferenceString; // "QXASIOPrivateInterface"
extern UNICODE_STRING g_AsioFileName;        // "\QXASIOPrivateInterface"
extern UNICODE_STRING g_EnumReferenceString; // "QXEnumPrivateInterface"
extern UNICODE_STRING g_EnumFileName;        // "\QXEnumPrivateInterface"

// PASSIVE_LEVEL. The image's entry: refuses systems older than the driver's baseline, hands the
// driver object to the port-class library and takes over plug and play, create, close and
// device control.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// PASSIVE_LEVEL. Creates the functional device object through the port-class library and
// registers (without enabling) the enumeration and ASIO interfaces on the physical device.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// PASSIVE_LEVEL. The port-class start routine that AddDevice names; it lives with the device
// start code.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// At most this many subdevices (the topology filter and one wave filter per endpoint).
constexpr ULONG MAX_MINIPORTS = 20;
