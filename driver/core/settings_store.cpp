// The settings store: values of "Settings" in the driver key through the port-class registry
// key, and the device's own values in the Enum tree, which is found through the device's
// hardware IDs and the name of its instance key.
#include "driver/core/settings_store.h"

#include "portcls.h"

namespace
{

const WCHAR kSettingsKeyName[] = u"Settings";

// Writers come through the same keys as readers, and the settings file adds subkeys, so every
// key of the store is opened for all three.
const ACCESS_MASK kSettingsKeyAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// Room a read needs beyond the caller's buffer: the fixed part of the partial-information record,
// rounded up, so that a value a little too long still reads back and is reported by its length.
const ULONG kReadSlackBytes = 16;

// The Enum tree of current systems, then the place older systems kept it: with the hardware ID,
// the instance name and (for the device's parameters) "Device Parameters".
const WCHAR kEnumPathFormat[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s\\%s";
const WCHAR kOldEnumPathFormat[] = u"\\Registry\\Machine\\Enum\\%s\\%s\\%s";
const WCHAR kEnumInstancePathFormat[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s";
const WCHAR kOldEnumInstancePathFormat[] = u"\\Registry\\Machine\\Enum\\%s\\%s";
const WCHAR kDeviceParametersKeyName[] = u"Device Parameters";
const SIZE_T kEnumPathSlackCch = 64;

// Value names of ReadSelectiveSuspendSettings, by selector.
PCWSTR const kSuspendValueNames[] = {
    u"DeviceSelectiveSuspended", // SETTINGS_SELECTOR_DEVICE_SELECTIVE_SUSPENDED
    u"SelectiveSuspendEnabled",  // SETTINGS_SELECTOR_SELECTIVE_SUSPEND_ENABLED
};

// What to do with one Enum key that exists.
typedef NTSTATUS (*PENUM_KEY_ACTION)(HANDLE hKey, PVOID pContext);

struct ENUM_READ_CONTEXT
{
    PCWSTR ValueName;
    PVOID Data;
    ULONG Size;
};

struct ENUM_WRITE_CONTEXT
{
    PCWSTR ValueName;
    PCWSTR Text;
    ULONG Size;
};

VOID ReleaseKey(PREGISTRYKEY* ppKey)
{
    PAGED_CODE();
    if (*ppKey)
    {
        (*ppKey)->Release();
        *ppKey = nullptr;
    }
}

NTSTATUS OpenSubKey(PREGISTRYKEY pParent, PCWSTR pszName, PREGISTRYKEY* ppKey)
{
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pszName);
    ULONG disposition = 0;
    return pParent->NewSubKey(ppKey, nullptr, kSettingsKeyAccess, &name, 0, &disposition);
}

// Reads the value into the caller's buffer only when it fits; a query that overflows the
// temporary is a value longer than the buffer and is reported the same way.
NTSTATUS ReadSettingsValue(PREGISTRYKEY pKey, PCWSTR pszValueName, PVOID pData, ULONG nSize)
{
    PAGED_CODE();
    if (nSize > MAXULONG - kReadSlackBytes)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG nLength = nSize + kReadSlackBytes;
    PKEY_VALUE_PARTIAL_INFORMATION pInfo = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, nLength, SETTINGS_STORE_POOL_TAG));
    if (!pInfo)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pszValueName);
    ULONG nResult = 0;
    NTSTATUS status = pKey->QueryValueKey(&name, KeyValuePartialInformation, pInfo, nLength, &nResult);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    else if (NT_SUCCESS(status))
    {
        if (pInfo->DataLength > nSize)
        {
            status = STATUS_UNSUCCESSFUL;
        }
        else
        {
            RtlCopyMemory(pData, pInfo->Data, pInfo->DataLength);
        }
    }
    ExFreePoolWithTag(pInfo, SETTINGS_STORE_POOL_TAG);
    return status;
}

} // namespace

NTSTATUS AccessSettingsValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PCWSTR SubkeyName,
                             PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Size)
{
    PAGED_CODE();
    if (Type != REG_SZ && Type != REG_BINARY && Type != REG_DWORD)
    {
        return STATUS_UNSUCCESSFUL;
    }
    if ((Operation != SETTINGS_OPERATION_READ && Operation != SETTINGS_OPERATION_WRITE) || !ValueName ||
        (!Data && Size != 0))
    {
        return STATUS_INVALID_PARAMETER;
    }

    PREGISTRYKEY pDriverKey = nullptr;
    PREGISTRYKEY pSettingsKey = nullptr;
    PREGISTRYKEY pSubKey = nullptr;
    NTSTATUS status = PcNewRegistryKey(&pDriverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, DeviceObject,
                                       nullptr, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    status = OpenSubKey(pDriverKey, kSettingsKeyName, &pSettingsKey);
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    if (SubkeyName)
    {
        status = OpenSubKey(pSettingsKey, SubkeyName, &pSubKey);
        if (!NT_SUCCESS(status))
        {
            goto Exit;
        }
    }

    if (Operation == SETTINGS_OPERATION_READ)
    {
        status = ReadSettingsValue(pSubKey ? pSubKey : pSettingsKey, ValueName, Data, Size);
    }
    else
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, ValueName);
        status = (pSubKey ? pSubKey : pSettingsKey)->SetValueKey(&name, Type, Data, Size);
    }

Exit:
    ReleaseKey(&pSubKey);
    ReleaseKey(&pSettingsKey);
    ReleaseKey(&pDriverKey);
    return status;
}

NTSTATUS AccessSetting(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size, PCWSTR ValueName)
{
    PAGED_CODE();
    return AccessSettingsValue(DeviceObject, Operation, nullptr, ValueName, REG_BINARY, Data, Size);
}

NTSTATUS AccessIndexedSetting(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size,
                              PCWSTR Prefix, ULONG Index)
{
    PAGED_CODE();
    if (!Prefix)
    {
        return STATUS_INVALID_PARAMETER;
    }
    // A cut name is another index's name ("...12345" cut to "...1234"), and one channel's value
    // would overwrite another's: refuse it rather than touch that one.
    WCHAR name[SETTINGS_INDEXED_NAME_CCH];
    NTSTATUS status = RtlStringCchPrintfW(name, SETTINGS_INDEXED_NAME_CCH, u"%s%d", Prefix, Index);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return AccessSetting(DeviceObject, Operation, Data, Size, name);
}

// ---- The device's keys in the Enum tree ----

namespace
{

// The hardware IDs as a multi-string with room for two more terminators than the device gave,
// so a list that lacks its own still ends; *pnChars counts the characters up to that room.
NTSTATUS GetHardwareIds(PDEVICE_OBJECT pPdo, PWCHAR* ppIds, SIZE_T* pnChars)
{
    PAGED_CODE();
    *ppIds = nullptr;
    ULONG nLength = 0;
    NTSTATUS status = IoGetDeviceProperty(pPdo, DevicePropertyHardwareID, 0, nullptr, &nLength);
    if (status != STATUS_BUFFER_TOO_SMALL)
    {
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    }
    if (nLength == 0 || nLength > MAXULONG - 2 * sizeof(WCHAR))
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    SIZE_T nBytes = nLength + 2 * sizeof(WCHAR);
    PWCHAR pIds = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, nBytes, SETTINGS_ENUM_POOL_TAG));
    if (!pIds)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pIds, nBytes);
    ULONG nResult = 0;
    status = IoGetDeviceProperty(pPdo, DevicePropertyHardwareID, nLength, pIds, &nResult);
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(pIds, SETTINGS_ENUM_POOL_TAG);
        return status;
    }
    *ppIds = pIds;
    *pnChars = nLength / sizeof(WCHAR);
    return STATUS_SUCCESS;
}

// The name of the device's instance key, terminated.
NTSTATUS GetInstanceName(PDEVICE_OBJECT pPdo, PWCHAR* ppName)
{
    PAGED_CODE();
    *ppName = nullptr;
    HANDLE hKey = nullptr;
    PKEY_BASIC_INFORMATION pInfo = nullptr;
    ULONG nLength = 0;
    NTSTATUS status = IoOpenDeviceRegistryKey(
        pPdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_ALL_ACCESS, &hKey);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = ZwQueryKey(hKey, KeyBasicInformation, nullptr, 0, &nLength);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
    {
        status = NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
        goto Exit;
    }
    pInfo = static_cast<PKEY_BASIC_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, nLength, SETTINGS_ENUM_POOL_TAG));
    if (!pInfo)
    {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    status = ZwQueryKey(hKey, KeyBasicInformation, pInfo, nLength, &nLength);
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    if (pInfo->NameLength == 0)
    {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }
    *ppName = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, pInfo->NameLength + sizeof(WCHAR), SETTINGS_ENUM_POOL_TAG));
    if (!*ppName)
    {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlCopyMemory(*ppName, pInfo->Name, pInfo->NameLength);
    (*ppName)[pInfo->NameLength / sizeof(WCHAR)] = 0;

Exit:
    if (pInfo)
    {
        ExFreePoolWithTag(pInfo, SETTINGS_ENUM_POOL_TAG);
    }
    ZwClose(hKey);
    return status;
}

// Opens one formatted Enum path; null when the path does not fit or the key does not exist.
HANDLE OpenEnumKey(PWCHAR pPath, SIZE_T nPathCch, PCWSTR pszFormat, PCWSTR pszId, PCWSTR pszInstance)
{
    PAGED_CODE();
    if (!NT_SUCCESS(
            RtlStringCchPrintfW(pPath, nPathCch, pszFormat, pszId, pszInstance, kDeviceParametersKeyName)))
    {
        return nullptr;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE hKey = nullptr;
    return NT_SUCCESS(ZwOpenKey(&hKey, KEY_ALL_ACCESS, &attributes)) ? hKey : nullptr;
}

// Longest ID of the list, for sizing the path buffer.
SIZE_T LongestId(PCWSTR pIds, SIZE_T nChars)
{
    PAGED_CODE();
    SIZE_T nLongest = 0;
    for (SIZE_T i = 0; i < nChars && pIds[i] != 0;)
    {
        SIZE_T n = wcsnlen(pIds + i, nChars - i);
        nLongest = n > nLongest ? n : nLongest;
        i += n + 1;
    }
    return nLongest;
}

// Runs the action on the key of every hardware ID that has one, current tree first, then the
// older one. The first ID is cut at a comma; the walk still steps over its whole original
// length, so the cut never turns its tail into an ID of its own.
NTSTATUS VisitIds(PWCHAR pIds, SIZE_T nIdChars, PCWSTR pszInstance, PWCHAR pPath, SIZE_T nPathCch,
                  BOOLEAN bParameters, PENUM_KEY_ACTION pfnAction, PVOID pContext)
{
    PAGED_CODE();
    SIZE_T nFirst = wcsnlen(pIds, nIdChars);
    for (SIZE_T i = 0; i < nFirst; ++i)
    {
        if (pIds[i] == u',')
        {
            pIds[i] = 0;
            break;
        }
    }
    NTSTATUS result = STATUS_OBJECT_NAME_NOT_FOUND;
    BOOLEAN bAnySuccess = FALSE;
    SIZE_T nNext = 0;
    for (SIZE_T i = 0; i < nIdChars && pIds[i] != 0; i = nNext)
    {
        nNext = i + (i == 0 ? nFirst : wcsnlen(pIds + i, nIdChars - i)) + 1;
        HANDLE hKey = OpenEnumKey(pPath, nPathCch, bParameters ? kEnumPathFormat : kEnumInstancePathFormat,
                                  pIds + i, pszInstance);
        if (!hKey)
        {
            hKey = OpenEnumKey(pPath, nPathCch, bParameters ? kOldEnumPathFormat : kOldEnumInstancePathFormat,
                               pIds + i, pszInstance);
        }
        if (!hKey)
        {
            continue; // no key under this ID: not an attempt
        }
        NTSTATUS status = pfnAction(hKey, pContext);
        ZwClose(hKey);
        bAnySuccess = bAnySuccess || NT_SUCCESS(status);
        result = bAnySuccess ? STATUS_SUCCESS : status;
    }
    return result;
}

// The result is a success when any key took the action; else the last attempt's status, or
// STATUS_OBJECT_NAME_NOT_FOUND when no ID has a key at all.
NTSTATUS VisitEnumKeys(PDEVICE_OBJECT pPdo, BOOLEAN bParameters, PENUM_KEY_ACTION pfnAction, PVOID pContext)
{
    PAGED_CODE();
    PWCHAR pIds = nullptr;
    PWCHAR pInstance = nullptr;
    PWCHAR pPath = nullptr;
    SIZE_T nIdChars = 0;
    SIZE_T nPathCch = 0;
    NTSTATUS status = GetHardwareIds(pPdo, &pIds, &nIdChars);
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    status = GetInstanceName(pPdo, &pInstance);
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    nPathCch =
        LongestId(pIds, nIdChars) + wcslen(pInstance) + wcslen(kDeviceParametersKeyName) + kEnumPathSlackCch;
    if (nPathCch > UNICODE_STRING_MAX_BYTES / sizeof(WCHAR))
    {
        nPathCch = UNICODE_STRING_MAX_BYTES / sizeof(WCHAR); // longer paths are skipped, not cut
    }
    pPath = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, nPathCch * sizeof(WCHAR), SETTINGS_ENUM_POOL_TAG));
    if (!pPath)
    {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    status = VisitIds(pIds, nIdChars, pInstance, pPath, nPathCch, bParameters, pfnAction, pContext);

Exit:
    if (pPath)
    {
        ExFreePoolWithTag(pPath, SETTINGS_ENUM_POOL_TAG);
    }
    if (pInstance)
    {
        ExFreePoolWithTag(pInstance, SETTINGS_ENUM_POOL_TAG);
    }
    if (pIds)
    {
        ExFreePoolWithTag(pIds, SETTINGS_ENUM_POOL_TAG);
    }
    return status;
}

NTSTATUS ReadEnumValue(HANDLE hKey, PVOID pContext)
{
    PAGED_CODE();
    ENUM_READ_CONTEXT* pRead = static_cast<ENUM_READ_CONTEXT*>(pContext);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pRead->ValueName);
    ULONG nLength = 0;
    NTSTATUS status = ZwQueryValueKey(hKey, &name, KeyValuePartialInformation, nullptr, 0, &nLength);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
    {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    if (nLength > MAXULONG - kReadSlackBytes)
    {
        return STATUS_UNSUCCESSFUL;
    }
    nLength += kReadSlackBytes;
    PKEY_VALUE_PARTIAL_INFORMATION pInfo = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, nLength, SETTINGS_ENUM_POOL_TAG));
    if (!pInfo)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(hKey, &name, KeyValuePartialInformation, pInfo, nLength, &nLength);
    if (NT_SUCCESS(status))
    {
        if (pInfo->DataLength <= pRead->Size)
        {
            RtlCopyMemory(pRead->Data, pInfo->Data, pInfo->DataLength);
        }
        else
        {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    ExFreePoolWithTag(pInfo, SETTINGS_ENUM_POOL_TAG);
    return status;
}

NTSTATUS WriteEnumValue(HANDLE hKey, PVOID pContext)
{
    PAGED_CODE();
    ENUM_WRITE_CONTEXT* pWrite = static_cast<ENUM_WRITE_CONTEXT*>(pContext);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, pWrite->ValueName);
    return ZwSetValueKey(hKey, &name, 0, REG_SZ, const_cast<PWCHAR>(pWrite->Text), pWrite->Size);
}

} // namespace

NTSTATUS ReadSelectiveSuspendSettings(PDEVICE_OBJECT PhysicalDeviceObject, ULONG Selector, ULONG Size,
                                      PVOID Data)
{
    PAGED_CODE();
    if (Selector >= ARRAYSIZE(kSuspendValueNames) || (!Data && Size != 0))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ENUM_READ_CONTEXT read = {kSuspendValueNames[Selector], Data, Size};
    return VisitEnumKeys(PhysicalDeviceObject, TRUE, ReadEnumValue, &read);
}

NTSTATUS WriteDeviceString(PDEVICE_OBJECT PhysicalDeviceObject, ULONG Selector, ULONG Size, PCWSTR Text)
{
    PAGED_CODE();
    PCWSTR pszName = nullptr;
    if (Selector == SETTINGS_SELECTOR_FRIENDLY_NAME)
    {
        pszName = u"FriendlyName";
    }
    else if (Selector == SETTINGS_SELECTOR_MANUFACTURER)
    {
        pszName = u"Mfg";
    }
    if (!pszName || (!Text && Size != 0))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ENUM_WRITE_CONTEXT write = {pszName, Text, Size};
    return VisitEnumKeys(PhysicalDeviceObject, FALSE, WriteEnumValue, &write);
}
