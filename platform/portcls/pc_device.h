// Internal to the stand-in port-class library: the record it keeps in the area it reserves at
// the start of every adapter device extension, and the helpers its parts share.
#pragma once

#include "pc_adapter.h"

namespace plat
{
namespace pc
{

constexpr ULONG kDeviceContextMagic = MAKE_POOL_TAG('P', 'c', 'D', 'x');

struct DeviceContext
{
    ULONG Magic;
    ULONG MaxObjects;
    PCPFNSTARTDEVICE StartDevice;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject; // the device the functional device is attached to
    PADAPTERPOWERMANAGEMENT AdapterPower;
    DEVICE_POWER_STATE DevicePower;
    SYSTEM_POWER_STATE SystemPower;
    BOOLEAN Started;
    BOOLEAN SurpriseRemoved;
    BOOLEAN Removed;
};
static_assert(sizeof(DeviceContext) <= PORT_CLASS_DEVICE_EXTENSION_SIZE, "fits the reserved area");

// The library's record of an adapter device; stops the process for any other device object.
DeviceContext* Context(PVOID DeviceObject, const char* Caller);

// Sends the request to the next device and waits for it to come back (PASSIVE_LEVEL); the
// request stays with the caller, who completes it.
NTSTATUS ForwardAndWait(DeviceContext* Context, PIRP Irp);

// Calls the adapter's StartDevice with the start request's (empty) resource list.
NTSTATUS CallStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

} // namespace pc
} // namespace plat
