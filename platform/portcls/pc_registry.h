// Registry keys of the stand-in port-class library: IRegistryKey over the registry stand-in and
// PcNewRegistryKey, which opens a device's hardware, driver or profile key (or any key by name).
#pragma once

#include "io.h"
#include "registry.h"
#include "unknown.h"

// ---- Query tables (IRegistryKey::QueryRegistryValues) ----

typedef NTSTATUS RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                            ULONG ValueLength, PVOID Context, PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100

// One row; the table ends with a row whose QueryRoutine and Name are both null.
typedef struct _RTL_QUERY_REGISTRY_TABLE
{
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

// ---- IRegistryKey ----

DEFINE_GUID(IID_IRegistryKey, 0xE8DA4302, 0xF304, 0x11D0, 0x95, 0xB4, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

typedef enum
{
    GeneralRegistryKey,
    DeviceRegistryKey,
    DriverRegistryKey,
    HwProfileRegistryKey,
    DeviceInterfaceRegistryKey
} REGISTRY_KEY_TYPE;

// Every method runs at PASSIVE_LEVEL and answers as the Zw routine of the same name on the key's
// handle, with the access the key was opened with. After DeleteKey every call but Release
// fails with STATUS_INVALID_HANDLE.
DECLARE_INTERFACE_(IRegistryKey, IUnknown)
{
    STDMETHOD_(NTSTATUS, QueryKey)
    (KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, EnumerateKey)
    (ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
     PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, QueryValueKey)
    (PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
     PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, EnumerateValueKey)
    (ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
     ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, SetValueKey)(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) PURE;
    STDMETHOD_(NTSTATUS, QueryRegistryValues)(PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context) PURE;
    STDMETHOD_(NTSTATUS, NewSubKey)
    (IRegistryKey * *RegistrySubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
     PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) PURE;
    STDMETHOD_(NTSTATUS, DeleteKey)() PURE;
};
typedef IRegistryKey* PREGISTRYKEY;

// PASSIVE_LEVEL. GeneralRegistryKey opens or creates the key named by ObjectAttributes; the
// device kinds open the key of DeviceObject's physical device (DeviceRegistryKey its "Device
// Parameters", DriverRegistryKey its driver key, HwProfileRegistryKey its key in the current
// hardware profile). DeviceInterfaceRegistryKey needs a registered subdevice.
NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                          POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition);
