// Configuration manager of the stand-in: an in-memory hive of keys and typed values reached
// through the Zw registry routines, with the information records laid out as on x86-64 Windows.
// Every routine here runs at PASSIVE_LEVEL; a call above it stops the process.
#pragma once

#include "ntdef.h"
#include "object.h"

// ---- Value types ----

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

// ---- Access rights of a key handle ----

#ifndef STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_READ READ_CONTROL
#endif
#ifndef STANDARD_RIGHTS_WRITE
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#endif
#ifndef STANDARD_RIGHTS_EXECUTE
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#endif

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ                                                                                             \
    ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                       \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS |  \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                        \
     (~SYNCHRONIZE))

// ---- ZwCreateKey options and dispositions ----

#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L

#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

// ---- Statuses only the registry reports ----
// Spelled as ntstatus.h spells its values, so a later copy there is an identical redefinition.

#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#endif
#ifndef STATUS_CANNOT_DELETE
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#endif
#ifndef STATUS_CHILD_MUST_BE_VOLATILE
#define STATUS_CHILD_MUST_BE_VOLATILE ((NTSTATUS)0xC0000181L)
#endif
#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif

// ---- Key information (ZwQueryKey, ZwEnumerateKey) ----

typedef enum _KEY_INFORMATION_CLASS
{
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
    KeyNameInformation = 3,
    KeyCachedInformation = 4,
    KeyFlagsInformation = 5,
    KeyVirtualizationInformation = 6,
    KeyHandleTagsInformation = 7,
    KeyTrustInformation = 8,
    KeyLayerInformation = 9,
    MaxKeyInfoClass
} KEY_INFORMATION_CLASS;

// Names are not terminated; their lengths are in bytes.
typedef struct _KEY_BASIC_INFORMATION
{
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_NODE_INFORMATION
{
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset; // from the start of the record; the class follows the name
    ULONG ClassLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NODE_INFORMATION, *PKEY_NODE_INFORMATION;

typedef struct _KEY_FULL_INFORMATION
{
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

// The key's full path ("\REGISTRY\MACHINE\..." as each component was created).
typedef struct _KEY_NAME_INFORMATION
{
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

static_assert(sizeof(KEY_BASIC_INFORMATION) == 24 && FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) == 16,
              "KEY_BASIC_INFORMATION layout");
static_assert(sizeof(KEY_NODE_INFORMATION) == 32 && FIELD_OFFSET(KEY_NODE_INFORMATION, Name) == 24,
              "KEY_NODE_INFORMATION layout");
static_assert(sizeof(KEY_FULL_INFORMATION) == 48 && FIELD_OFFSET(KEY_FULL_INFORMATION, Class) == 44,
              "KEY_FULL_INFORMATION layout");
static_assert(sizeof(KEY_NAME_INFORMATION) == 8 && FIELD_OFFSET(KEY_NAME_INFORMATION, Name) == 4,
              "KEY_NAME_INFORMATION layout");

// ---- Value information (ZwQueryValueKey, ZwEnumerateValueKey) ----

typedef enum _KEY_VALUE_INFORMATION_CLASS
{
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
    KeyValueFullInformationAlign64 = 3,
    KeyValuePartialInformationAlign64 = 4,
    KeyValueLayerInformation = 5,
    MaxKeyValueInfoClass
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION
{
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

// DataOffset counts from the start of the record; the data follows the name, 4-byte aligned.
typedef struct _KEY_VALUE_FULL_INFORMATION
{
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION
{
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16 &&
                  FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) == 12,
              "KEY_VALUE_BASIC_INFORMATION layout");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24 &&
                  FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20,
              "KEY_VALUE_FULL_INFORMATION layout");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16 &&
                  FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12,
              "KEY_VALUE_PARTIAL_INFORMATION layout");

// Key handles are objects of this type; each handle is its own object and remembers the access
// it was opened with.
extern POBJECT_TYPE CmKeyObjectType;

// ---- Routines ----
// A size query passes a short (or empty) buffer: STATUS_BUFFER_TOO_SMALL when not even the fixed
// part of the record fits, STATUS_BUFFER_OVERFLOW when the fixed part fits but the rest does
// not; *ResultLength is the size the whole record needs in both cases.

// ObjectName is absolute ("\Registry\Machine\...") or, with RootDirectory, relative to that key.
NTSYSAPI NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes);

// Opens the key, or creates it when its parent exists (missing parents are not created).
// Creating through a RootDirectory handle needs KEY_CREATE_SUB_KEY on that handle.
NTSYSAPI NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                              ULONG CreateOptions, PULONG Disposition);

// Needs KEY_QUERY_VALUE (KeyNameInformation needs no right).
NTSYSAPI NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                             PVOID KeyInformation, ULONG Length, PULONG ResultLength);

// Subkeys in the order of their upper-cased names; STATUS_NO_MORE_ENTRIES past the last.
// Needs KEY_ENUMERATE_SUB_KEYS.
NTSYSAPI NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                 PVOID KeyInformation, ULONG Length, PULONG ResultLength);

// Needs KEY_QUERY_VALUE. An empty name is the key's default value.
NTSYSAPI NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                  KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                  PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);

// Values in the order they were first set; STATUS_NO_MORE_ENTRIES past the last.
// Needs KEY_QUERY_VALUE.
NTSYSAPI NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                      KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                      PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);

// The data is stored as given whatever the type (the registry does not check it).
// Needs KEY_SET_VALUE.
NTSYSAPI NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                PVOID Data, ULONG DataSize);

// Needs KEY_SET_VALUE.
NTSYSAPI NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

// Deletes a key without subkeys (STATUS_CANNOT_DELETE otherwise); open handles to it then
// fail with STATUS_KEY_DELETED until closed. Needs DELETE.
NTSYSAPI NTSTATUS ZwDeleteKey(HANDLE KeyHandle);

// The hive lives in memory; flushing only checks the handle.
NTSYSAPI NTSTATUS ZwFlushKey(HANDLE KeyHandle);
