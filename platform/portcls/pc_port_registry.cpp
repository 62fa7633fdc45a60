// What the library keeps of registered subdevices beyond the registration log: the device
// interfaces through which the host finds their filters, the lookup by name that opens a
// handle, and the power notification of their miniports.
#include "pc_device.h"
#include "pc_port_internal.h"

#include "object.h"
#include "rtl.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace
{

struct Registered
{
    std::u16string Name;
    plat::pc::PPCSUBDEVICEPORT Port; // not referenced: the registry holds the port
    std::vector<UNICODE_STRING> Links;
};

std::mutex g_lock;
std::map<PDEVICE_OBJECT, std::vector<Registered>> g_registered;

bool SameName(const std::u16string& a, const std::u16string& b)
{
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

// The physical device below an adapter device, or null for any other device object (tests
// register subdevices on stand-in device objects too).
PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT DeviceObject)
{
    if (plat::ObGetObjectType(DeviceObject) != IoDeviceObjectType || DeviceObject->DeviceExtension == nullptr)
        return nullptr;
    auto context = static_cast<plat::pc::DeviceContext*>(DeviceObject->DeviceExtension);
    return context->Magic == plat::pc::kDeviceContextMagic ? context->PhysicalDeviceObject : nullptr;
}

void DropLinks(std::vector<UNICODE_STRING>* Links)
{
    for (UNICODE_STRING& link : *Links)
    {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
    Links->clear();
}

NTSTATUS RegisterInterfaces(PDEVICE_OBJECT Pdo, const PCFILTER_DESCRIPTOR* Descriptor,
                            const std::u16string& Name, std::vector<UNICODE_STRING>* Links)
{
    UNICODE_STRING reference;
    reference.Buffer = const_cast<PWSTR>(Name.c_str());
    reference.Length = USHORT(Name.size() * sizeof(WCHAR));
    reference.MaximumLength = reference.Length;
    for (ULONG i = 0; i < Descriptor->CategoryCount; ++i)
    {
        UNICODE_STRING link = {};
        NTSTATUS status = IoRegisterDeviceInterface(Pdo, &Descriptor->Categories[i], &reference, &link);
        if (NT_SUCCESS(status))
        {
            Links->push_back(link);
            status = IoSetDeviceInterfaceState(&link, TRUE);
        }
        if (!NT_SUCCESS(status))
        {
            DropLinks(Links);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

} // namespace

namespace plat
{
namespace pc
{

PPCSUBDEVICEPORT SubdevicePortOf(PUNKNOWN Unknown)
{
    PPCSUBDEVICEPORT port = nullptr;
    if (Unknown == nullptr ||
        !NT_SUCCESS(Unknown->QueryInterface(IID_IPcSubdevicePort, reinterpret_cast<PVOID*>(&port))))
        return nullptr;
    port->Release();
    return port;
}

NTSTATUS OnSubdeviceRegistering(PDEVICE_OBJECT DeviceObject, const std::u16string& Name, PPORT Port)
{
    Registered record{Name, SubdevicePortOf(Port), {}};
    if (record.Port == nullptr)
        return STATUS_SUCCESS;
    const PCFILTER_DESCRIPTOR* descriptor = record.Port->GetFilterDescriptor();
    PDEVICE_OBJECT pdo = PhysicalDeviceOf(DeviceObject);
    if (descriptor && pdo)
    {
        NTSTATUS status = RegisterInterfaces(pdo, descriptor, Name, &record.Links);
        if (!NT_SUCCESS(status))
            return status;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_registered[DeviceObject].push_back(std::move(record));
    return STATUS_SUCCESS;
}

void OnSubdeviceUnregistered(PDEVICE_OBJECT DeviceObject, PPORT Port)
{
    PPCSUBDEVICEPORT port = SubdevicePortOf(Port);
    if (port == nullptr)
        return;
    std::vector<UNICODE_STRING> links;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        std::vector<Registered>& list = g_registered[DeviceObject];
        auto it =
            std::find_if(list.begin(), list.end(), [port](const Registered& r) { return r.Port == port; });
        if (it != list.end())
        {
            links = std::move(it->Links);
            list.erase(it);
        }
        if (list.empty())
            g_registered.erase(DeviceObject);
    }
    DropLinks(&links);
    port->ReleaseChildren();
}

PPCSUBDEVICEPORT ReferenceSubdevice(PDEVICE_OBJECT DeviceObject, const std::u16string& Name)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto device = g_registered.find(DeviceObject);
    if (device == g_registered.end())
        return nullptr;
    for (const Registered& r : device->second)
    {
        if (SameName(r.Name, Name))
        {
            r.Port->AddRef();
            return r.Port;
        }
    }
    return nullptr;
}

void NotifySubdevicesPower(PDEVICE_OBJECT DeviceObject, POWER_STATE PowerState)
{
    std::vector<PPCSUBDEVICEPORT> ports;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto device = g_registered.find(DeviceObject);
        if (device == g_registered.end())
            return;
        for (const Registered& r : device->second)
        {
            r.Port->AddRef();
            ports.push_back(r.Port);
        }
    }
    for (PPCSUBDEVICEPORT port : ports)
    {
        port->PowerChangeNotify(PowerState);
        port->Release();
    }
}

} // namespace pc
} // namespace plat
