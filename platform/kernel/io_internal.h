// Internal to the I/O manager stand-in: the record the platform keeps beside each device object,
// and the one lock that guards device stacks, driver device lists and the interface table.
#pragma once

#include "io.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace plat
{
namespace io
{

constexpr ULONG kDeviceRecordMagic = MAKE_POOL_TAG('D', 'e', 'v', 'R');

// Lives in the device object's own body, after the extension; destroyed with the object.
struct DeviceRecord
{
    ULONG Magic = kDeviceRecordMagic;
    bool DeletePending = false;
    bool IsPhysical = false;
    PDEVICE_OBJECT AttachedTo = nullptr; // the device directly below
    DEVICE_POWER_STATE DevicePower = PowerDeviceD0;
    SYSTEM_POWER_STATE SystemPower = PowerSystemWorking;
    std::u16string InstancePath;
    std::u16string DriverKey;
    std::map<ULONG, std::vector<UCHAR>> Properties; // DEVICE_REGISTRY_PROPERTY -> raw data
};

// Guards AttachedDevice/AttachedTo links, DRIVER_OBJECT device lists and the interface table.
// Never held while driver code runs.
std::mutex& Lock();

// The platform's record of a device object; stops the process for anything else.
DeviceRecord* Record(PDEVICE_OBJECT Device, const char* Caller);

// Drops the interfaces registered on a physical device that goes away.
void ForgetInterfacesOf(PDEVICE_OBJECT Pdo);

// Stops the process unless the caller runs at PASSIVE_LEVEL (or at most DISPATCH_LEVEL).
void CheckPassive(const char* Caller);
void CheckAtMostDispatch(const char* Caller);

} // namespace io
} // namespace plat
