// IRegistryKey of the stand-in port-class library: a reference-counted key handle whose methods
// are the Zw registry routines on that handle, so the access the key was opened with is enforced
// exactly as for a driver's own handles.
#include "pc_device.h"
#include "pc_registry.h"

#include "rtl.h"

namespace
{

constexpr ULONG kRegistryKeyTag = MAKE_POOL_TAG('P', 'c', 'R', 'k');
constexpr ULONG kQueryBufferTag = MAKE_POOL_TAG('P', 'c', 'R', 'q');

class CRegistryKey : public CUnknown, public IRegistryKey
{
public:
    CRegistryKey(PUNKNOWN Outer, HANDLE Key) : CUnknown(Outer), m_hKey(Key), m_bDeleted(false) {}
    ~CRegistryKey() override
    {
        if (m_hKey)
            ZwClose(m_hKey);
    }
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP_(NTSTATUS)
    QueryKey(KEY_INFORMATION_CLASS Class, PVOID Info, ULONG Length, PULONG ResultLength) override
    {
        return m_bDeleted ? STATUS_INVALID_HANDLE : ZwQueryKey(m_hKey, Class, Info, Length, ResultLength);
    }
    STDMETHODIMP_(NTSTATUS)
    EnumerateKey(ULONG Index, KEY_INFORMATION_CLASS Class, PVOID Info, ULONG Length,
                 PULONG ResultLength) override
    {
        return m_bDeleted ? STATUS_INVALID_HANDLE
                          : ZwEnumerateKey(m_hKey, Index, Class, Info, Length, ResultLength);
    }
    STDMETHODIMP_(NTSTATUS)
    QueryValueKey(PUNICODE_STRING Name, KEY_VALUE_INFORMATION_CLASS Class, PVOID Info, ULONG Length,
                  PULONG ResultLength) override
    {
        return m_bDeleted ? STATUS_INVALID_HANDLE
                          : ZwQueryValueKey(m_hKey, Name, Class, Info, Length, ResultLength);
    }
    STDMETHODIMP_(NTSTATUS)
    EnumerateValueKey(ULONG Index, KEY_VALUE_INFORMATION_CLASS Class, PVOID Info, ULONG Length,
                      PULONG ResultLength) override
    {
        return m_bDeleted ? STATUS_INVALID_HANDLE
                          : ZwEnumerateValueKey(m_hKey, Index, Class, Info, Length, ResultLength);
    }
    STDMETHODIMP_(NTSTATUS) SetValueKey(PUNICODE_STRING Name, ULONG Type, PVOID Data, ULONG DataSize) override
    {
        return m_bDeleted ? STATUS_INVALID_HANDLE : ZwSetValueKey(m_hKey, Name, 0, Type, Data, DataSize);
    }
    STDMETHODIMP_(NTSTATUS) QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context) override;
    STDMETHODIMP_(NTSTATUS)
    NewSubKey(IRegistryKey** SubKey, PUNKNOWN Outer, ACCESS_MASK DesiredAccess, PUNICODE_STRING SubKeyName,
              ULONG CreateOptions, PULONG Disposition) override;
    STDMETHODIMP_(NTSTATUS) DeleteKey() override;

private:
    NTSTATUS QueryRow(PRTL_QUERY_REGISTRY_TABLE Row, PVOID Context);

    HANDLE m_hKey;
    bool m_bDeleted;
};

STDMETHODIMP_(NTSTATUS) CRegistryKey::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IRegistryKey))
    {
        *Interface = static_cast<IRegistryKey*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS WrapKey(HANDLE key, PUNKNOWN outer, PREGISTRYKEY* out)
{
    auto* object = new (PagedPool, kRegistryKeyTag) CRegistryKey(outer, key);
    if (object == nullptr)
    {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *out = static_cast<IRegistryKey*>(object);
    object->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CRegistryKey::NewSubKey(IRegistryKey** SubKey, PUNKNOWN Outer, ACCESS_MASK DesiredAccess,
                        PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition)
{
    PAGED_CODE();
    if (SubKey == nullptr || SubKeyName == nullptr)
        return STATUS_INVALID_PARAMETER;
    *SubKey = nullptr;
    if (m_bDeleted)
        return STATUS_INVALID_HANDLE;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, SubKeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, m_hKey,
                               nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwCreateKey(&key, DesiredAccess, &attributes, 0, nullptr, CreateOptions, Disposition);
    if (!NT_SUCCESS(status))
        return status;
    return WrapKey(key, Outer, SubKey);
}

STDMETHODIMP_(NTSTATUS) CRegistryKey::DeleteKey()
{
    PAGED_CODE();
    if (m_bDeleted)
        return STATUS_INVALID_HANDLE;
    NTSTATUS status = ZwDeleteKey(m_hKey);
    if (NT_SUCCESS(status))
        m_bDeleted = true;
    return status;
}

// Passes a value found (or the row's default) to the row: a direct row stores it in the
// caller's EntryContext, a routine row gets the data.
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE row, PWSTR name, ULONG type, PVOID data, ULONG length,
                 PVOID context)
{
    if (!(row->Flags & RTL_QUERY_REGISTRY_DIRECT))
        return row->QueryRoutine(name, type, data, length, context, row->EntryContext);
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
    {
        auto text = static_cast<PUNICODE_STRING>(row->EntryContext);
        ULONG chars = length / sizeof(WCHAR);
        while (chars && static_cast<PWCHAR>(data)[chars - 1] == 0)
            --chars;
        if ((chars + 1) * sizeof(WCHAR) > text->MaximumLength)
            return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(text->Buffer, data, chars * sizeof(WCHAR));
        text->Buffer[chars] = 0;
        text->Length = USHORT(chars * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG))
    {
        RtlCopyMemory(row->EntryContext, data, length);
        return STATUS_SUCCESS;
    }
    // Larger data: the first LONG of EntryContext holds minus the size of the buffer.
    LONG room = -*static_cast<PLONG>(row->EntryContext);
    if (room < LONG(length))
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(row->EntryContext, data, length);
    return STATUS_SUCCESS;
}

NTSTATUS CRegistryKey::QueryRow(PRTL_QUERY_REGISTRY_TABLE Row, PVOID Context)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Row->Name);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(m_hKey, &name, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
    {
        if (Row->Flags & RTL_QUERY_REGISTRY_REQUIRED)
            return status;
        if (Row->DefaultType == REG_NONE)
            return STATUS_SUCCESS;
        return Deliver(Row, Row->Name, Row->DefaultType, Row->DefaultData, Row->DefaultLength, Context);
    }
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return status;
    auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, needed, kQueryBufferTag));
    if (info == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = ZwQueryValueKey(m_hKey, &name, KeyValuePartialInformation, info, needed, &needed);
    if (NT_SUCCESS(status))
        status = Deliver(Row, Row->Name, info->Type, info->Data, info->DataLength, Context);
    ExFreePoolWithTag(info, kQueryBufferTag);
    return status;
}

STDMETHODIMP_(NTSTATUS) CRegistryKey::QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context)
{
    PAGED_CODE();
    if (QueryTable == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_bDeleted)
        return STATUS_INVALID_HANDLE;
    for (PRTL_QUERY_REGISTRY_TABLE row = QueryTable; row->QueryRoutine || row->Name; ++row)
    {
        // Rows that name no value (or ask for subkeys) have no meaning on a single open key here.
        if (row->Name == nullptr || (row->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)))
            return STATUS_INVALID_PARAMETER;
        if (!(row->Flags & RTL_QUERY_REGISTRY_DIRECT) && row->QueryRoutine == nullptr)
            return STATUS_INVALID_PARAMETER;
        NTSTATUS status = QueryRow(row, Context);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

ULONG DeviceKeyType(ULONG registryKeyType)
{
    switch (registryKeyType)
    {
    case DeviceRegistryKey:
        return PLUGPLAY_REGKEY_DEVICE;
    case DriverRegistryKey:
        return PLUGPLAY_REGKEY_DRIVER;
    case HwProfileRegistryKey:
        return PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
    default:
        return 0;
    }
}

} // namespace

NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                          POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition)
{
    PAGED_CODE();
    if (OutRegistryKey == nullptr)
        return STATUS_INVALID_PARAMETER;
    *OutRegistryKey = nullptr;
    HANDLE key = nullptr;
    NTSTATUS status;
    if (RegistryKeyType == GeneralRegistryKey)
    {
        if (ObjectAttributes == nullptr)
            return STATUS_INVALID_PARAMETER;
        status = ZwCreateKey(&key, DesiredAccess, ObjectAttributes, 0, nullptr, CreateOptions, Disposition);
    }
    else if (RegistryKeyType == DeviceInterfaceRegistryKey)
    {
        // Interface keys belong to registered subdevices, which this library does not track yet.
        return SubDevice == nullptr ? STATUS_INVALID_PARAMETER : STATUS_NOT_SUPPORTED;
    }
    else
    {
        ULONG type = DeviceKeyType(RegistryKeyType);
        if (type == 0 || DeviceObject == nullptr)
            return STATUS_INVALID_PARAMETER;
        plat::pc::DeviceContext* context = plat::pc::Context(DeviceObject, "PcNewRegistryKey");
        status = IoOpenDeviceRegistryKey(context->PhysicalDeviceObject, type, DesiredAccess, &key);
    }
    if (!NT_SUCCESS(status))
        return status;
    return WrapKey(key, OuterUnknown, OutRegistryKey);
}
