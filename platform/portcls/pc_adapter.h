// Adapter side of the stand-in port-class library: driver and device set-up with the extension
// area the library reserves for itself, the library's dispatch routine, adapter power
// management, device properties, the resource list handed to StartDevice and the version
// interface.
#pragma once

#include "io.h"
#include "unknown.h"

// The first 64 pointers of the device extension belong to the library; the adapter driver's
// own fields follow.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

// ---- Resource lists ----

struct _CM_PARTIAL_RESOURCE_DESCRIPTOR;
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR* PCM_PARTIAL_RESOURCE_DESCRIPTOR;

DEFINE_GUID(IID_IResourceList, 0x22C6AC60, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

// The hardware resources of a started device. USB audio functions have none, so the list the
// library hands to StartDevice is always empty.
DECLARE_INTERFACE_(IResourceList, IUnknown)
{
    STDMETHOD_(ULONG, NumberOfEntries)() PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(UCHAR Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(UCHAR Type, ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(UCHAR Type, ULONG Index) PURE;
    STDMETHOD_(NTSTATUS, AddEntry)
    (PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
    STDMETHOD_(NTSTATUS, AddEntryFromParent)(IResourceList * Parent, UCHAR Type, ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)() PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)() PURE;
};
typedef IResourceList* PRESOURCELIST;

// ---- Adapter set-up and dispatch ----

typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// PASSIVE_LEVEL. Points every major function at PcDispatchIrp and records AddDevice.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice);

// PASSIVE_LEVEL. Creates the functional device object with an extension of DeviceExtensionSize
// bytes (PORT_CLASS_DEVICE_EXTENSION_SIZE when 0; the library's area comes first and smaller
// sizes are refused) and attaches it to the physical device's stack. StartDevice is called when
// the device receives IRP_MN_START_DEVICE, after the devices below have started it.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);

// The library's handler of every request on the functional device object: plug and play (start
// calls StartDevice, removal detaches and deletes the device), power (delivered to the adapter's
// IAdapterPowerManagement), create and close, and everything else passed down or refused.
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Sets the status and completes the request; returns Status.
NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);

// IoGetDeviceProperty on the physical device below the functional device object.
NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength);

// ---- Adapter power management ----

DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1,
            0xB0);

// Implemented by the adapter; the library calls it at PASSIVE_LEVEL from its power and
// plug-and-play handling.
DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown)
{
    STDMETHOD_(void, PowerChangeState)(POWER_STATE NewState) PURE;
    STDMETHOD_(NTSTATUS, QueryPowerChangeState)(POWER_STATE NewStateQuery) PURE;
    STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

// PASSIVE_LEVEL. Keeps the unknown's IAdapterPowerManagement (a reference of its own, released
// when the device is removed or another is registered).
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID DeviceObject);

// ---- Version ----

DEFINE_GUID(IID_IPortClsVersion, 0x7D89A7BB, 0x869B, 0x4567, 0x8D, 0xBE, 0x1E, 0x16, 0x8C, 0xC8, 0x53, 0xDE);

DECLARE_INTERFACE_(IPortClsVersion, IUnknown)
{
    STDMETHOD_(DWORD, GetVersion)() PURE;
};
typedef IPortClsVersion* PPORTCLSVERSION;

namespace plat
{

// The version every IPortClsVersion reports (the host sets it; kDefaultPortClsVersion at start).
constexpr DWORD kDefaultPortClsVersion = 14;
void PcSetVersion(DWORD Version);
DWORD PcGetVersion();

// An object answering IPortClsVersion, aggregated by Outer when given (ports answer the
// interface through it). The result carries one reference on its non-delegating unknown.
NTSTATUS PcCreateVersionObject(PUNKNOWN Outer, PUNKNOWN* NonDelegatingUnknown);

} // namespace plat
