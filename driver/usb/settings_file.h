// CSettingsFile: reads the settings file in the system folder and copies this device's sections
// into the settings store. CUsbDevice::Init makes one around a single use, in this order:
// BuildIniPath, ReadIniVersion, OpenDeviceSection, ApplyAll, then deletes it (which closes the
// file). Plain object without a reference count; everything runs at PASSIVE_LEVEL.
#pragma once

#include "ntddk.h"

// The object ("PINI", non-paged), and its line buffer and temporaries (" INI", paged).
#define SETTINGS_FILE_POOL_TAG MAKE_POOL_TAG('P', 'I', 'N', 'I')
#define SETTINGS_FILE_BUFFER_POOL_TAG MAKE_POOL_TAG(' ', 'I', 'N', 'I')

// Lines longer than INI_MAX_LINE_BYTES are split there; the buffer keeps room for CR LF.
#define INI_MAX_LINE_BYTES 4097
#define INI_LINE_BUFFER_BYTES 4098
#define INI_SECTION_NAME_BYTES 50
#define INI_DEVICE_KEY_CHARS 100
#define INI_FILE_PATH_BYTES 100
#define INI_HARDWARE_ID_BYTES 1000
#define INI_MODULE_NAME_BYTES 100
#define INI_READ_LIMIT 0x7FFFFFFF

// Limits of a key line: key name and value characters in the version pass and the apply pass,
// the packed values of one key, and the subkey of a [NAME:SUBKEY] header.
#define INI_VERSION_KEY_CHARS 31
#define INI_VERSION_VALUE_CHARS 19
#define INI_APPLY_KEY_CHARS 127
#define INI_APPLY_VALUE_CHARS 79
#define INI_MAX_VALUE_BYTES 1024
#define INI_SUBKEY_CHARS 79
#define INI_HEADER_CHARS 79

class CSettingsFile
{
public:
    explicit CSettingsFile(PDEVICE_OBJECT DeviceObject); // PASSIVE_LEVEL; the functional device object
    ~CSettingsFile();                                    // PASSIVE_LEVEL

    // `new (NonPagedPool, SETTINGS_FILE_POOL_TAG) CSettingsFile(fdo)`: zeroed, null when out of pool.
    static void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept;
    static void operator delete(void* Block) noexcept;
    static void operator delete(void* Block, POOL_TYPE PoolType, ULONG Tag) noexcept;

    // The device key from the first hardware ID (cut to 99 characters) and the path
    // "\SystemRoot\" + "ModuleName" (default "KESTRINZ4.INI", also when the stored name is over
    // 100 bytes). Fails, and nothing is read later, without an ID or when the path does not fit.
    NTSTATUS BuildIniPath(); // PASSIVE_LEVEL
    // The file's version from its "VERSION" section; 0 without file, section or key line.
    ULONG ReadIniVersion(); // PASSIVE_LEVEL
    // Finds this device's line in the "QUILLAX" section and leaves the file open after it.
    NTSTATUS OpenDeviceSection(); // PASSIVE_LEVEL
    // Writes every later section of the device into the settings store; STATUS_SUCCESS unless
    // its buffer cannot be had.
    NTSTATUS ApplyAll(); // PASSIVE_LEVEL

private:
    NTSTATUS OpenIniFile();
    VOID CloseIniFile();
    LONG ReadIniLine();
    BOOLEAN LineStartsWith(PCSTR pszText, LONG nLineLength);
    NTSTATUS FindIniSection(PCSTR pszName);
    NTSTATUS FindDeviceSectionName();
    BOOLEAN MatchDeviceLine(LONG nLineLength);
    NTSTATUS FindDeviceSection(PWCHAR pSubKey, BOOLEAN* pbHasSubKey);
    NTSTATUS ApplyDeviceSection(PVOID pKeyLine);
    NTSTATUS ReadModuleName(PWCHAR pModuleName);

    HANDLE m_hFile;
    IO_STATUS_BLOCK m_IoStatus;
    PUCHAR m_pLineBuffer;
    CHAR m_SectionName[INI_SECTION_NAME_BYTES];
    CHAR m_DeviceKey[INI_DEVICE_KEY_CHARS];
    LONG m_nReadPosition;
    LONG m_nReadLimit;
    PDEVICE_OBJECT m_pDeviceObject;
    WCHAR m_FilePath[INI_FILE_PATH_BYTES / sizeof(WCHAR)];
    // The line a section search starts with (the header that ended the previous section, or the
    // line after a key line that failed); 0 when there is none.
    LONG m_nLineLength;
};
