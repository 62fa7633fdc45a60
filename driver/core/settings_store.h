// The settings store: the driver's persistent settings are registry values under "Settings" in
// the device's driver key, and a few device values live in the device's own key under the Enum
// tree. Callers pass their default in the buffer; an absent value leaves it as it was.
// Every routine runs at PASSIVE_LEVEL and is pageable; none takes a lock, so concurrent writers
// of one value are not serialised.
#pragma once

#include "ntddk.h"

// Operation argument of the access routines.
#define SETTINGS_OPERATION_READ 1
#define SETTINGS_OPERATION_WRITE 2

// Temporary of a settings read ("hlep"), and every buffer of the Enum-tree routines ("USBd").
#define SETTINGS_STORE_POOL_TAG MAKE_POOL_TAG('h', 'l', 'e', 'p')
#define SETTINGS_ENUM_POOL_TAG MAKE_POOL_TAG('U', 'S', 'B', 'd')

// Indexed value names are "<prefix><decimal index>" in this many characters, terminator included.
#define SETTINGS_INDEXED_NAME_CCH 50

// Selectors of ReadSelectiveSuspendSettings and WriteDeviceString.
#define SETTINGS_SELECTOR_DEVICE_SELECTIVE_SUSPENDED 0
#define SETTINGS_SELECTOR_SELECTIVE_SUSPEND_ENABLED 1
#define SETTINGS_SELECTOR_MANUFACTURER 8
#define SETTINGS_SELECTOR_FRIENDLY_NAME 9

// Reads or writes one value of "Settings" (or of its subkey SubkeyName when given) in the driver
// key of DeviceObject (a functional device object). Type is REG_SZ, REG_BINARY or REG_DWORD;
// any other type fails with STATUS_UNSUCCESSFUL before a key is opened. Size is the caller's
// buffer (read) or the value's size (write). A read copies the stored bytes, whatever their type,
// to the start of Data: STATUS_OBJECT_NAME_NOT_FOUND when absent, STATUS_UNSUCCESSFUL when the
// stored data is longer than Size; Data is untouched in both cases.
NTSTATUS AccessSettingsValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, PCWSTR SubkeyName,
                             PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Size); // PASSIVE_LEVEL

// A REG_BINARY value of "Settings" by name.
NTSTATUS AccessSetting(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size,
                       PCWSTR ValueName); // PASSIVE_LEVEL

// A REG_BINARY value of "Settings" named Prefix followed by the decimal Index ("Unit5Volume" and
// 12 give "Unit5Volume12"); a name that does not fit fails with STATUS_BUFFER_OVERFLOW.
NTSTATUS AccessIndexedSetting(PDEVICE_OBJECT DeviceObject, ULONG Operation, PVOID Data, ULONG Size,
                              PCWSTR Prefix, ULONG Index); // PASSIVE_LEVEL

// Reads a value of the physical device's "Device Parameters" key in the Enum tree: selector 1
// "SelectiveSuspendEnabled", selector 0 "DeviceSelectiveSuspended"; other selectors fail with
// STATUS_INVALID_PARAMETER. Every hardware ID whose key exists is tried; the read succeeds when
// any of them holds a value that fits in Size bytes (copied to Data).
NTSTATUS ReadSelectiveSuspendSettings(PDEVICE_OBJECT PhysicalDeviceObject, ULONG Selector, ULONG Size,
                                      PVOID Data); // PASSIVE_LEVEL

// Writes Text (Size bytes, as REG_SZ) into the physical device's instance key in the Enum tree:
// selector 9 "FriendlyName", selector 8 "Mfg"; other selectors fail with
// STATUS_INVALID_PARAMETER. Succeeds when it was written under any hardware ID.
NTSTATUS WriteDeviceString(PDEVICE_OBJECT PhysicalDeviceObject, ULONG Selector, ULONG Size,
                           PCWSTR Text); // PASSIVE_LEVEL
