// The extension of the adapter's functional device object and the identifiers of the two
// private device interfaces registered on the physical device.
#pragma once

#include "ntddk.h"
#include "portcls.h"

#include "driver/core/adapter_common.h"

#include <stddef.h>

// {AECAED88-BEFE-4E66-A75A-B4C27D49973A}: the ASIO companion opens the device through it.
DEFINE_GUID(GUID_DEVINTERFACE_ASIO_PRIVATE, 0xAECAED88, 0xBEFE, 0x4E66, 0xA7, 0x5A, 0xB4, 0xC2, 0x7D, 0x49,
            0x97, 0x3A);
// {E5DF4E0A-400E-4135-9AB1-9B55B1CEA40C}: always enabled on a started device so that user mode
// can find it; the driver answers no request of its own on it.
DEFINE_GUID(GUID_DEVINTERFACE_ENUM_PRIVATE, 0xE5DF4E0A, 0x400E, 0x4135, 0x9A, 0xB1, 0x9B, 0x55, 0xB1, 0xCE,
            0xA4, 0x0C);

// One endpoint-name counter per pin-type code, for each direction.
constexpr ULONG ENDPOINT_NAME_COUNTERS = 22;

// The port-class library owns the first PORT_CLASS_DEVICE_EXTENSION_SIZE bytes; AddDevice zeroes
// everything after them. Neighbouring code (device start, the wave miniport) reads these fields
// at fixed offsets, so the layout is pinned below.
struct AdapterDeviceExtension
{
    UCHAR PortClassReserved[PORT_CLASS_DEVICE_EXTENSION_SIZE];
    PADAPTERCOMMON AdapterCommon; // referenced; set at the end of a successful start
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject; // referenced; what the device was attached on
    PDEVICE_OBJECT PhysicalDeviceObject;
    UCHAR RenderNameCounters[ENDPOINT_NAME_COUNTERS];
    UCHAR CaptureNameCounters[ENDPOINT_NAME_COUNTERS];
    BOOLEAN AsioInterfaceRegistered; // AsioLinkName holds a link name from pool
    UNICODE_STRING AsioLinkName;
    BOOLEAN AsioInterfaceEnabled;
    BOOLEAN EnumInterfaceRegistered;
    UNICODE_STRING EnumLinkName;
    BOOLEAN EnumInterfaceEnabled;
    KMUTEX DeviceMutex; // serialises miniport teardown against the device
};

static_assert(sizeof(AdapterDeviceExtension) == 696, "the adapter device extension is 696 bytes");
static_assert(offsetof(AdapterDeviceExtension, AdapterCommon) == 512,
              "driver fields follow the port-class area");
static_assert(offsetof(AdapterDeviceExtension, PhysicalDeviceObject) == 536, "device objects at 512..543");
static_assert(offsetof(AdapterDeviceExtension, CaptureNameCounters) == 566, "name counters at 544..587");
static_assert(offsetof(AdapterDeviceExtension, AsioLinkName) == 592, "ASIO link name at 592");
static_assert(offsetof(AdapterDeviceExtension, EnumLinkName) == 616, "enumeration link name at 616");
static_assert(offsetof(AdapterDeviceExtension, DeviceMutex) == 640, "device mutex at 640");

// PASSIVE_LEVEL or below; any device object that AddDevice created.
inline AdapterDeviceExtension* GetAdapterExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<AdapterDeviceExtension*>(DeviceObject->DeviceExtension);
}
