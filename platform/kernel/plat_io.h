// Host side of the I/O manager stand-in: what the plug-and-play host, the handle client and tests
// use to describe physical devices, list device interfaces, build the requests a user-mode client
// sends, and inspect user mappings and power requests.
#pragma once

#include "io.h"

#include <string>
#include <vector>

namespace plat
{

// ---- Physical device objects ----

// What the plug-and-play manager knows of a device it enumerated. InstancePath is the device
// instance id ("USB\VID_0D8C&PID_0014\5&2a3c&0&1"); DriverKey is the driver key's path below
// Control\Class ("{4d36e96c-e325-11ce-bfc1-08002be10318}\0003").
struct PhysicalDeviceInfo
{
    std::u16string InstancePath;
    std::u16string DriverKey;
    std::vector<std::u16string> HardwareIds;
    std::vector<std::u16string> CompatibleIds;
    std::u16string DeviceDescription;
    std::u16string Manufacturer;
    std::u16string FriendlyName;
    std::u16string ClassName;
    std::u16string ClassGuid; // "{...}" as text
};

// Marks a device object (made with IoCreateDevice) as a physical device object with these
// properties; IoGetDeviceProperty, IoOpenDeviceRegistryKey and IoRegisterDeviceInterface accept
// only such devices.
void IoSetPhysicalDeviceInfo(PDEVICE_OBJECT Pdo, const PhysicalDeviceInfo& Info);
// Sets or replaces one raw property (Data as IoGetDeviceProperty hands it out).
void IoSetDeviceProperty(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property,
                         const std::vector<UCHAR>& Data);
// Removes a property, so that IoGetDeviceProperty reports it missing.
void IoRemoveDeviceProperty(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property);

// Registry paths of a physical device's keys.
std::u16string IoDeviceInstanceKeyPath(PDEVICE_OBJECT Pdo);   // ...\Enum\<instance>
std::u16string IoDeviceParametersKeyPath(PDEVICE_OBJECT Pdo); // ...\Enum\<instance>\Device Parameters
std::u16string IoDriverKeyPath(PDEVICE_OBJECT Pdo);           // ...\Control\Class\{guid}\NNNN

// ---- Device interfaces ----

struct DeviceInterfaceRecord
{
    std::u16string SymbolicLink;
    GUID InterfaceClass;
    std::u16string ReferenceString; // empty when registered without one
    PDEVICE_OBJECT Pdo;
    bool Enabled;
};

// Every registered interface, in registration order.
std::vector<DeviceInterfaceRecord> IoListDeviceInterfaces();
// The enabled interface of the class with this reference string (case-insensitive), optionally
// restricted to one physical device; false when there is none.
bool IoFindEnabledInterface(const GUID& InterfaceClass, const std::u16string& ReferenceString,
                            PDEVICE_OBJECT Pdo, DeviceInterfaceRecord* Found);

// ---- Requests of the simulated client ----

// A file object for a handle opened on Device with FileName ("\" + reference string, or empty).
// The object holds a reference on Device; IoDeleteFileObject frees both.
PFILE_OBJECT IoCreateFileObject(PDEVICE_OBJECT Device, const std::u16string& FileName);
void IoDeleteFileObject(PFILE_OBJECT FileObject);

// An IRP_MJ_CREATE, IRP_MJ_CLEANUP or IRP_MJ_CLOSE request on the file object, from user mode,
// finished like IoBuildDeviceIoControlRequest's requests (status block filled, event set, freed).
PIRP IoBuildFileRequest(UCHAR MajorFunction, PDEVICE_OBJECT Device, PFILE_OBJECT FileObject, PKEVENT Event,
                        PIO_STATUS_BLOCK IoStatusBlock);

// The answer of IoIs32bitProcess for every request (FALSE by default).
void IoSetIs32bitProcess(bool Is32bit);

// ---- Records for tests ----

// User-mode mappings made by MmMapLockedPagesSpecifyCache and not yet unmapped.
SIZE_T MmUserMappingCount();

// One user view: the address handed out, the whole pages the process sees around it, and the
// process that mapped it.
struct UserMapping
{
    PMDL Mdl = nullptr;
    PVOID Address = nullptr;
    PVOID ViewStart = nullptr; // page-aligned
    SIZE_T ViewBytes = 0;      // whole pages
    ULONG ProcessId = 0;
};
std::vector<UserMapping> MmUserMappings();

// ---- Processes ----

// Every thread runs in the simulated client process unless a ProcessScope says otherwise; the
// I/O manager sends a handle's last close from the system process, as the target may.
constexpr ULONG kSystemProcessId = 4;
constexpr ULONG kClientProcessId = 100;
ULONG PsCurrentProcessId();

class ProcessScope
{
public:
    explicit ProcessScope(ULONG ProcessId);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    ULONG m_Previous;
};

// Device objects not yet deleted (created and not freed), and IRPs allocated and not yet freed.
SIZE_T IoLiveDeviceCount();
SIZE_T IoLiveIrpCount();

// True once IoDeleteDevice was called on the device (its memory may still be held by references).
bool IoIsDeletePending(PDEVICE_OBJECT Device);

// The power state recorded by PoSetPowerState.
DEVICE_POWER_STATE IoRecordedDevicePowerState(PDEVICE_OBJECT Device);

} // namespace plat
