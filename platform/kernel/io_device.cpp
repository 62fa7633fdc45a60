// Device objects and device stacks of the I/O manager stand-in. A device object is an object
// manager object: its body holds the DEVICE_OBJECT, the driver's extension and the platform's
// own record, so it lives exactly as long as its references (the creation reference that
// IoDeleteDevice drops, one per running dispatch routine, queued work item and
// IoGetAttachedDeviceReference caller).
#include "io_internal.h"

#include "plat_fatal.h"
#include "plat_io.h"

#include <atomic>
#include <new>

namespace
{

using plat::io::DeviceRecord;

std::atomic<SIZE_T> g_liveDevices{0};

constexpr SIZE_T Align16(SIZE_T n)
{
    return (n + 15) & ~SIZE_T(15);
}

DeviceRecord* RecordOf(PDEVICE_OBJECT device)
{
    return static_cast<DeviceRecord*>(device->DeviceObjectExtension);
}

// Runs when the last reference goes: the record's own members need their destructors.
VOID DeleteDeviceObject(PVOID body)
{
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    DeviceRecord* record = RecordOf(device);
    if (!record->DeletePending)
        plat::Fatal("device object %p lost its last reference before IoDeleteDevice", body);
    record->~DeviceRecord();
    --g_liveDevices;
}

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

void UnlinkFromDriverLocked(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    if (!driver)
        return;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice)
    {
        if (*link == device)
        {
            *link = device->NextDevice;
            device->NextDevice = nullptr;
            return;
        }
    }
}

} // namespace

namespace plat
{
namespace io
{

std::mutex& Lock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

DeviceRecord* Record(PDEVICE_OBJECT Device, const char* Caller)
{
    if (Device == nullptr || ObGetObjectType(Device) != IoDeviceObjectType)
        Fatal("%s: %p is not a device object", Caller, static_cast<void*>(Device));
    DeviceRecord* record = RecordOf(Device);
    if (record == nullptr || record->Magic != kDeviceRecordMagic)
        Fatal("%s: device object %p has a corrupt platform record", Caller, static_cast<void*>(Device));
    return record;
}

void CheckPassive(const char* Caller)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Fatal("%s called at IRQL %d: it must run at PASSIVE_LEVEL", Caller, KeGetCurrentIrql());
}

void CheckAtMostDispatch(const char* Caller)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Fatal("%s called at IRQL %d: it must run at or below DISPATCH_LEVEL", Caller, KeGetCurrentIrql());
}

} // namespace io

SIZE_T IoLiveDeviceCount()
{
    return g_liveDevices.load();
}

bool IoIsDeletePending(PDEVICE_OBJECT Device)
{
    return io::Record(Device, "IoIsDeletePending")->DeletePending;
}

DEVICE_POWER_STATE IoRecordedDevicePowerState(PDEVICE_OBJECT Device)
{
    return io::Record(Device, "IoRecordedDevicePowerState")->DevicePower;
}

} // namespace plat

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    plat::io::CheckPassive("IoCreateDevice");
    if (DriverObject == nullptr || DeviceObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    *DeviceObject = nullptr;
    // The type is shared with the object manager, which leaves its delete procedure to us.
    IoDeviceObjectType->DeleteProcedure = DeleteDeviceObject;
    SIZE_T headBytes = Align16(sizeof(DEVICE_OBJECT));
    SIZE_T extensionBytes = Align16(DeviceExtensionSize);
    PVOID body = plat::ObCreateObject(IoDeviceObjectType, headBytes + extensionBytes + sizeof(DeviceRecord));
    if (body == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    auto* bytes = static_cast<PUCHAR>(body);
    device->Type = 3; // IO_TYPE_DEVICE
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags =
        DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (DeviceName ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? bytes + headBytes : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceQueue.Flink = device->DeviceQueue.Blink = &device->DeviceQueue;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->DeviceObjectExtension = new (bytes + headBytes + extensionBytes) DeviceRecord;
    ++g_liveDevices;
    {
        std::lock_guard<std::mutex> lock(plat::io::Lock());
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    plat::io::CheckPassive("IoDeleteDevice");
    DeviceRecord* record = plat::io::Record(DeviceObject, "IoDeleteDevice");
    {
        std::lock_guard<std::mutex> lock(plat::io::Lock());
        if (record->DeletePending)
            plat::Fatal("IoDeleteDevice: device object %p was already deleted",
                        static_cast<void*>(DeviceObject));
        if (DeviceObject->AttachedDevice)
            plat::Fatal("IoDeleteDevice: device object %p still has device %p attached on top of it",
                        static_cast<void*>(DeviceObject), static_cast<void*>(DeviceObject->AttachedDevice));
        if (record->AttachedTo)
            plat::Fatal(
                "IoDeleteDevice: device object %p is still attached to device %p (IoDetachDevice first)",
                static_cast<void*>(DeviceObject), static_cast<void*>(record->AttachedTo));
        record->DeletePending = true;
        UnlinkFromDriverLocked(DeviceObject);
    }
    if (record->IsPhysical)
        plat::io::ForgetInterfacesOf(DeviceObject);
    ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    DeviceRecord* source = plat::io::Record(SourceDevice, "IoAttachDeviceToDeviceStack");
    DeviceRecord* target = plat::io::Record(TargetDevice, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> lock(plat::io::Lock());
    if (source->AttachedTo)
        plat::Fatal("IoAttachDeviceToDeviceStack: device %p is already attached",
                    static_cast<void*>(SourceDevice));
    if (target->DeletePending)
        return nullptr;
    PDEVICE_OBJECT top = TopOfStackLocked(TargetDevice);
    if (plat::io::Record(top, "IoAttachDeviceToDeviceStack")->DeletePending)
        return nullptr;
    top->AttachedDevice = SourceDevice;
    source->AttachedTo = top;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT* AttachedToDeviceObject)
{
    PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(SourceDevice, TargetDevice);
    if (AttachedToDeviceObject)
        *AttachedToDeviceObject = below;
    return below ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    plat::io::Record(TargetDevice, "IoDetachDevice");
    std::lock_guard<std::mutex> lock(plat::io::Lock());
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr)
        plat::Fatal("IoDetachDevice: nothing is attached to device %p", static_cast<void*>(TargetDevice));
    TargetDevice->AttachedDevice = nullptr;
    RecordOf(upper)->AttachedTo = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    plat::io::Record(DeviceObject, "IoGetAttachedDevice");
    std::lock_guard<std::mutex> lock(plat::io::Lock());
    return TopOfStackLocked(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    plat::io::Record(DeviceObject, "IoGetAttachedDeviceReference");
    std::lock_guard<std::mutex> lock(plat::io::Lock());
    PDEVICE_OBJECT top = TopOfStackLocked(DeviceObject);
    ObReferenceObject(top);
    return top;
}
