// Adapter set-up of the stand-in port-class library: the driver object's dispatch table, the
// functional device object with the library's reserved extension area, adapter power
// management registration, device properties, the (empty) resource list and the version object.
#include "pc_device.h"

#include "plat_fatal.h"

#include <atomic>

namespace
{

constexpr ULONG kPortClassTag = MAKE_POOL_TAG('P', 'c', 'A', 'd');

std::atomic<DWORD> g_version{plat::kDefaultPortClsVersion};

// The resources of a USB audio function: none. The lists handed out are those of the start
// request (or null), as the library received them.
class CResourceList : public CUnknown, public IResourceList
{
public:
    CResourceList(PCM_RESOURCE_LIST Translated, PCM_RESOURCE_LIST Untranslated)
        : CUnknown(nullptr), m_pTranslated(Translated), m_pUntranslated(Untranslated)
    {
    }
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(UCHAR) override { return 0; }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(UCHAR, ULONG) override
    {
        return nullptr;
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(UCHAR, ULONG) override
    {
        return nullptr;
    }
    // The list has no room for entries: a device without resources has none to add.
    STDMETHODIMP_(NTSTATUS)
    AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR) override
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList*, UCHAR, ULONG) override
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return m_pTranslated; }
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return m_pUntranslated; }

private:
    PCM_RESOURCE_LIST m_pTranslated;
    PCM_RESOURCE_LIST m_pUntranslated;
};

STDMETHODIMP_(NTSTATUS) CResourceList::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IResourceList))
    {
        *Interface = static_cast<IResourceList*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(InterfaceId, Interface);
}

class CPortClsVersion : public CUnknown, public IPortClsVersion
{
public:
    DEFINE_STD_CONSTRUCTOR(CPortClsVersion)
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(DWORD) GetVersion() override { return g_version.load(); }
};

STDMETHODIMP_(NTSTATUS) CPortClsVersion::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IPortClsVersion))
    {
        *Interface = static_cast<IPortClsVersion*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(InterfaceId, Interface);
}

} // namespace

namespace plat
{

void PcSetVersion(DWORD Version)
{
    g_version = Version;
}
DWORD PcGetVersion()
{
    return g_version.load();
}

NTSTATUS PcCreateVersionObject(PUNKNOWN Outer, PUNKNOWN* NonDelegatingUnknown)
{
    if (NonDelegatingUnknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto* version = new (NonPagedPool, kPortClassTag) CPortClsVersion(Outer);
    *NonDelegatingUnknown = version ? version->GetNonDelegatingUnknown() : nullptr;
    if (version == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    (*NonDelegatingUnknown)->AddRef();
    return STATUS_SUCCESS;
}

namespace pc
{

DeviceContext* Context(PVOID DeviceObject, const char* Caller)
{
    auto device = static_cast<PDEVICE_OBJECT>(DeviceObject);
    if (device == nullptr || ObGetObjectType(device) != IoDeviceObjectType ||
        device->DeviceExtension == nullptr)
        Fatal("%s: %p is not a port-class adapter device", Caller, DeviceObject);
    auto context = static_cast<DeviceContext*>(device->DeviceExtension);
    if (context->Magic != kDeviceContextMagic)
        Fatal("%s: device %p was not added with PcAddAdapterDevice", Caller, DeviceObject);
    return context;
}

NTSTATUS ForwardAndWait(DeviceContext* Context, PIRP Irp)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Fatal("the port-class library forwards requests synchronously only at PASSIVE_LEVEL (IRQL %d)",
              KeGetCurrentIrql());
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(
        Irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS
        {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Context->NextDeviceObject, Irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

} // namespace pc
} // namespace plat

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice)
{
    PAGED_CODE();
    if (DriverObject == nullptr || AddDevice == nullptr)
        return STATUS_INVALID_PARAMETER;
    for (PDRIVER_DISPATCH& routine : DriverObject->MajorFunction)
        routine = PcDispatchIrp;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize)
{
    PAGED_CODE();
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr ||
        MaxObjects == 0)
        return STATUS_INVALID_PARAMETER;
    if (DeviceExtensionSize == 0)
        DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
    if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto context = static_cast<plat::pc::DeviceContext*>(device->DeviceExtension);
    context->Magic = plat::pc::kDeviceContextMagic;
    context->MaxObjects = MaxObjects;
    context->StartDevice = StartDevice;
    context->PhysicalDeviceObject = PhysicalDeviceObject;
    context->DevicePower = PowerDeviceD0;
    context->SystemPower = PowerSystemWorking;
    context->NextDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (context->NextDeviceObject == nullptr)
    {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength)
{
    PAGED_CODE();
    plat::pc::DeviceContext* context = plat::pc::Context(DeviceObject, "PcGetDeviceProperty");
    return IoGetDeviceProperty(context->PhysicalDeviceObject, DeviceProperty, BufferLength, PropertyBuffer,
                               ResultLength);
}

NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID DeviceObject)
{
    PAGED_CODE();
    if (Unknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    plat::pc::DeviceContext* context = plat::pc::Context(DeviceObject, "PcRegisterAdapterPowerManagement");
    PADAPTERPOWERMANAGEMENT power = nullptr;
    NTSTATUS status = Unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
    if (!NT_SUCCESS(status))
        return status;
    PADAPTERPOWERMANAGEMENT previous = context->AdapterPower;
    context->AdapterPower = power;
    if (previous)
        previous->Release();
    return STATUS_SUCCESS;
}

namespace plat
{
namespace pc
{

// Called by the dispatcher for IRP_MN_START_DEVICE once the devices below have started.
NTSTATUS CallStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = Context(DeviceObject, "PcDispatchIrp");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* list = new (NonPagedPool, kPortClassTag)
        CResourceList(stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                      stack->Parameters.StartDevice.AllocatedResources);
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    list->AddRef();
    NTSTATUS status = context->StartDevice(DeviceObject, Irp, list);
    list->Release();
    return status;
}

} // namespace pc
} // namespace plat
