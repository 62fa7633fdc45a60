// What the I/O manager stand-in knows of physical devices: their properties, their registry
// keys, the device interfaces registered on them, and the file objects of handles opened on them.
#include "io_internal.h"

#include "plat_fatal.h"
#include "plat_io.h"
#include "plat_registry.h"
#include "pool.h"
#include "rtl.h"

#include <cstdio>

namespace
{

using plat::io::DeviceRecord;

constexpr ULONG kStringTag = MAKE_POOL_TAG('S', 't', 'r', 'g'); // what RtlFreeUnicodeString frees
constexpr ULONG kFileNameTag = MAKE_POOL_TAG('I', 'o', 'F', 'n');
const std::u16string kControlSet = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
const std::u16string kHardwareProfile = u"\\Hardware Profiles\\Current\\System\\CurrentControlSet";

struct InterfaceEntry
{
    plat::DeviceInterfaceRecord Record;
};

// Guarded by plat::io::Lock().
std::vector<InterfaceEntry>& Interfaces()
{
    static auto* interfaces = new std::vector<InterfaceEntry>;
    return *interfaces;
}

char16_t Fold(char16_t c)
{
    return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

std::u16string FromUnicode(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr)
        return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

// "\??\USB#VID_0D8C&PID_0014#5&2a3c&0&1#{guid}\Ref", as the target spells link names.
std::u16string LinkName(const DeviceRecord* record, const GUID& guid, const std::u16string& reference)
{
    std::u16string link = u"\\??\\";
    for (char16_t c : record->InstancePath)
        link += c == u'\\' ? u'#' : c;
    link += u"#" + GuidText(guid);
    if (!reference.empty())
        link += u"\\" + reference;
    return link;
}

NTSTATUS CopyToUnicode(const std::u16string& text, POOL_TYPE pool, ULONG tag, PUNICODE_STRING out)
{
    SIZE_T bytes = (text.size() + 1) * sizeof(WCHAR);
    if (bytes > UNICODE_STRING_MAX_BYTES)
        return STATUS_INVALID_PARAMETER;
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(pool, bytes, tag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, text.c_str(), bytes);
    out->Buffer = buffer;
    out->Length = USHORT(text.size() * sizeof(WCHAR));
    out->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

std::vector<UCHAR> StringData(const std::u16string& text)
{
    std::vector<UCHAR> data((text.size() + 1) * sizeof(WCHAR));
    std::memcpy(data.data(), text.c_str(), data.size());
    return data;
}

std::vector<UCHAR> MultiStringData(const std::vector<std::u16string>& strings)
{
    std::u16string joined;
    for (const auto& s : strings)
        joined += s + u'\0';
    joined += u'\0';
    std::vector<UCHAR> data(joined.size() * sizeof(WCHAR));
    std::memcpy(data.data(), joined.data(), data.size());
    return data;
}

DeviceRecord* PhysicalRecord(PDEVICE_OBJECT device, const char* caller)
{
    DeviceRecord* record = plat::io::Record(device, caller);
    return record->IsPhysical ? record : nullptr;
}

void SetStringProperty(DeviceRecord* record, DEVICE_REGISTRY_PROPERTY property, const std::u16string& text)
{
    if (text.empty())
        record->Properties.erase(property);
    else
        record->Properties[property] = StringData(text);
}

} // namespace

namespace plat
{
namespace io
{

void ForgetInterfacesOf(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> lock(Lock());
    auto& all = Interfaces();
    for (auto it = all.begin(); it != all.end();)
        it = it->Record.Pdo == Pdo ? all.erase(it) : it + 1;
}

} // namespace io

void IoSetPhysicalDeviceInfo(PDEVICE_OBJECT Pdo, const PhysicalDeviceInfo& Info)
{
    DeviceRecord* record = io::Record(Pdo, "IoSetPhysicalDeviceInfo");
    std::lock_guard<std::mutex> lock(io::Lock());
    record->IsPhysical = true;
    record->InstancePath = Info.InstancePath;
    record->DriverKey = Info.DriverKey;
    if (Info.HardwareIds.empty())
        record->Properties.erase(DevicePropertyHardwareID);
    else
        record->Properties[DevicePropertyHardwareID] = MultiStringData(Info.HardwareIds);
    if (Info.CompatibleIds.empty())
        record->Properties.erase(DevicePropertyCompatibleIDs);
    else
        record->Properties[DevicePropertyCompatibleIDs] = MultiStringData(Info.CompatibleIds);
    SetStringProperty(record, DevicePropertyDeviceDescription, Info.DeviceDescription);
    SetStringProperty(record, DevicePropertyManufacturer, Info.Manufacturer);
    SetStringProperty(record, DevicePropertyFriendlyName, Info.FriendlyName);
    SetStringProperty(record, DevicePropertyClassName, Info.ClassName);
    SetStringProperty(record, DevicePropertyClassGuid, Info.ClassGuid);
    SetStringProperty(record, DevicePropertyDriverKeyName, Info.DriverKey);
    SetStringProperty(record, DevicePropertyEnumeratorName,
                      Info.InstancePath.substr(0, Info.InstancePath.find(u'\\')));
}

void IoSetDeviceProperty(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property,
                         const std::vector<UCHAR>& Data)
{
    DeviceRecord* record = io::Record(Pdo, "IoSetDeviceProperty");
    std::lock_guard<std::mutex> lock(io::Lock());
    record->Properties[Property] = Data;
}

void IoRemoveDeviceProperty(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property)
{
    DeviceRecord* record = io::Record(Pdo, "IoRemoveDeviceProperty");
    std::lock_guard<std::mutex> lock(io::Lock());
    record->Properties.erase(Property);
}

std::u16string IoDeviceInstanceKeyPath(PDEVICE_OBJECT Pdo)
{
    return kControlSet + u"\\Enum\\" + io::Record(Pdo, "IoDeviceInstanceKeyPath")->InstancePath;
}

std::u16string IoDeviceParametersKeyPath(PDEVICE_OBJECT Pdo)
{
    return IoDeviceInstanceKeyPath(Pdo) + u"\\Device Parameters";
}

std::u16string IoDriverKeyPath(PDEVICE_OBJECT Pdo)
{
    return kControlSet + u"\\Control\\Class\\" + io::Record(Pdo, "IoDriverKeyPath")->DriverKey;
}

std::vector<DeviceInterfaceRecord> IoListDeviceInterfaces()
{
    std::lock_guard<std::mutex> lock(io::Lock());
    std::vector<DeviceInterfaceRecord> list;
    for (const auto& entry : Interfaces())
        list.push_back(entry.Record);
    return list;
}

bool IoFindEnabledInterface(const GUID& InterfaceClass, const std::u16string& ReferenceString,
                            PDEVICE_OBJECT Pdo, DeviceInterfaceRecord* Found)
{
    std::lock_guard<std::mutex> lock(io::Lock());
    for (const auto& entry : Interfaces())
    {
        const DeviceInterfaceRecord& r = entry.Record;
        if (r.Enabled && r.InterfaceClass == InterfaceClass &&
            EqualNoCase(r.ReferenceString, ReferenceString) && (Pdo == nullptr || r.Pdo == Pdo))
        {
            if (Found)
                *Found = r;
            return true;
        }
    }
    return false;
}

PFILE_OBJECT IoCreateFileObject(PDEVICE_OBJECT Device, const std::u16string& FileName)
{
    io::Record(Device, "IoCreateFileObject");
    auto file = static_cast<PFILE_OBJECT>(ObCreateObject(IoFileObjectType, sizeof(FILE_OBJECT)));
    if (file == nullptr)
        return nullptr;
    file->Type = 5; // IO_TYPE_FILE
    file->Size = sizeof(FILE_OBJECT);
    if (!FileName.empty() &&
        !NT_SUCCESS(CopyToUnicode(FileName, NonPagedPool, kFileNameTag, &file->FileName)))
    {
        ObDereferenceObject(file);
        return nullptr;
    }
    ObReferenceObject(Device);
    file->DeviceObject = Device;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    return file;
}

void IoDeleteFileObject(PFILE_OBJECT FileObject)
{
    if (FileObject->FileName.Buffer)
        ExFreePoolWithTag(FileObject->FileName.Buffer, kFileNameTag);
    FileObject->FileName = UNICODE_STRING{};
    ObDereferenceObject(FileObject->DeviceObject);
    ObDereferenceObject(FileObject);
}

} // namespace plat

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    plat::io::CheckPassive("IoGetDeviceProperty");
    if (ResultLength == nullptr)
        return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    DeviceRecord* record = PhysicalRecord(DeviceObject, "IoGetDeviceProperty");
    if (record == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::lock_guard<std::mutex> lock(plat::io::Lock());
    auto it = record->Properties.find(DeviceProperty);
    if (it == record->Properties.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *ResultLength = ULONG(it->second.size());
    if (BufferLength < it->second.size() || (PropertyBuffer == nullptr && !it->second.empty()))
        return STATUS_BUFFER_TOO_SMALL;
    if (!it->second.empty())
        std::memcpy(PropertyBuffer, it->second.data(), it->second.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey)
{
    plat::io::CheckPassive("IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr)
        return STATUS_INVALID_PARAMETER;
    *DevInstRegKey = nullptr;
    DeviceRecord* record = PhysicalRecord(DeviceObject, "IoOpenDeviceRegistryKey");
    if (record == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    bool profile = (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
    ULONG kind = DevInstKeyType & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    std::u16string path = kControlSet + (profile ? kHardwareProfile : u"");
    if (kind == PLUGPLAY_REGKEY_DEVICE)
    {
        if (record->InstancePath.empty())
            return STATUS_INVALID_DEVICE_REQUEST;
        // The profile's device key is the instance key itself; the global one its parameters.
        path += u"\\Enum\\" + record->InstancePath + (profile ? u"" : u"\\Device Parameters");
    }
    else if (kind == PLUGPLAY_REGKEY_DRIVER)
    {
        if (record->DriverKey.empty())
            return STATUS_INVALID_DEVICE_REQUEST;
        path += u"\\Control\\Class\\" + record->DriverKey;
    }
    else
    {
        return STATUS_INVALID_PARAMETER;
    }
    return plat::RegOpenKeyHandle(path, DesiredAccess, true, DevInstRegKey);
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    plat::io::CheckPassive("IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    DeviceRecord* record = PhysicalRecord(PhysicalDeviceObject, "IoRegisterDeviceInterface");
    if (record == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string reference = FromUnicode(ReferenceString);
    if (reference.find(u'\\') != std::u16string::npos)
        return STATUS_INVALID_DEVICE_REQUEST; // a reference string is one path component
    std::u16string link;
    {
        std::lock_guard<std::mutex> lock(plat::io::Lock());
        for (const auto& entry : Interfaces())
        {
            const plat::DeviceInterfaceRecord& r = entry.Record;
            if (r.Pdo == PhysicalDeviceObject && r.InterfaceClass == *InterfaceClassGuid &&
                EqualNoCase(r.ReferenceString, reference))
                link = r.SymbolicLink;
        }
        if (link.empty())
        {
            link = LinkName(record, *InterfaceClassGuid, reference);
            Interfaces().push_back({{link, *InterfaceClassGuid, reference, PhysicalDeviceObject, false}});
        }
    }
    return CopyToUnicode(link, PagedPool, kStringTag, SymbolicLinkName);
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    plat::io::CheckPassive("IoSetDeviceInterfaceState");
    std::u16string link = FromUnicode(SymbolicLinkName);
    std::lock_guard<std::mutex> lock(plat::io::Lock());
    for (auto& entry : Interfaces())
    {
        if (!EqualNoCase(entry.Record.SymbolicLink, link))
            continue;
        if (Enable && entry.Record.Enabled)
            return STATUS_OBJECT_NAME_EXISTS;
        if (!Enable && !entry.Record.Enabled)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        entry.Record.Enabled = Enable != FALSE;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
