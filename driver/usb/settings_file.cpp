// CSettingsFile: an 8-bit text file read one byte per call at an explicit offset, so that the
// reader never needs more than its one line buffer. Every scan of a line is bounded by the bytes
// that were read into it: a line split at its maximum length has no CR, and bytes beyond the
// current line are left over from longer earlier lines.
#include "driver/usb/settings_file.h"

#include "driver/core/settings_store.h"
#include "portcls.h"

namespace
{

const WCHAR kSystemRootPrefix[] = u"\\SystemRoot\\";
const WCHAR kDefaultModuleName[] = u"KESTRINZ4.INI";
const WCHAR kModuleNameValue[] = u"ModuleName";
const CHAR kVersionSectionName[] = "VERSION";
const CHAR kDeviceMapSectionName[] = "QUILLAX";

// A version is four bytes, least significant first.
const ULONG kVersionBytes = 4;

enum INI_LINE_KIND
{
    IniLineNoKey, // blank or comment: skipped
    IniLineKey,   // parsed
    IniLineBad,   // not a key line: ends a section
};

// The version pass and the apply pass read key lines with different room.
struct INI_PASS
{
    LONG MaxKeyChars;
    LONG MaxValueChars;
    BOOLEAN Strings;     // values that do not start with a digit are strings, else a 32-bit 0
    BOOLEAN KeepLeading; // values beyond the room are dropped, else the line fails
    ULONG CapacityBytes;
};

const INI_PASS kVersionPass = {INI_VERSION_KEY_CHARS, INI_VERSION_VALUE_CHARS, FALSE, TRUE, kVersionBytes};
const INI_PASS kApplyPass = {INI_APPLY_KEY_CHARS, INI_APPLY_VALUE_CHARS, TRUE, FALSE, INI_MAX_VALUE_BYTES};

// One parsed key line, from pool: the apply pass packs up to a kilobyte of values.
struct INI_KEY_LINE
{
    WCHAR KeyName[INI_APPLY_KEY_CHARS + 1];
    ULONG Type;
    ULONG DataBytes;
    UCHAR Data[INI_MAX_VALUE_BYTES];
};

BOOLEAN IsBlankOrTab(UCHAR c)
{
    PAGED_CODE();
    return c == ' ' || c == '\t';
}

BOOLEAN EndsValue(UCHAR c)
{
    PAGED_CODE();
    return c == '\t' || c == ' ' || c == ';' || c == ',';
}

BOOLEAN HasHexPrefix(const UCHAR* pToken, LONG nLength)
{
    PAGED_CODE();
    return nLength >= 2 && pToken[0] == '0' && (pToken[1] == 'x' || pToken[1] == 'X');
}

// Files in the field rely on any character counting: 'A' to 'F' and beyond give c - 55.
ULONG HexDigit(UCHAR c)
{
    PAGED_CODE();
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    return static_cast<ULONG>(c) - 55;
}

// 32-bit arithmetic that wraps; no character is rejected.
ULONG ParseNumber(const UCHAR* pToken, LONG nLength)
{
    PAGED_CODE();
    ULONG nValue = 0;
    if (HasHexPrefix(pToken, nLength))
    {
        for (LONG i = 2; i < nLength; ++i)
        {
            nValue = nValue * 16 + HexDigit(pToken[i]);
        }
        return nValue;
    }
    for (LONG i = 0; i < nLength; ++i)
    {
        nValue = nValue * 10 + (static_cast<ULONG>(pToken[i]) - '0');
    }
    return nValue;
}

// Converts bytes to a wide string as "%S" does, terminated; the count of characters, or -1 when
// the text does not fit.
LONG WidenText(const UCHAR* pText, LONG nLength, PWCHAR pWide, SIZE_T nWideCch)
{
    PAGED_CODE();
    CHAR narrow[INI_APPLY_KEY_CHARS + 1];
    if (nLength < 0 || static_cast<SIZE_T>(nLength) >= sizeof(narrow))
    {
        return -1;
    }
    RtlCopyMemory(narrow, pText, nLength);
    narrow[nLength] = 0;
    if (!NT_SUCCESS(RtlStringCchPrintfW(pWide, nWideCch, u"%S", narrow)))
    {
        return -1;
    }
    return static_cast<LONG>(wcslen(pWide));
}

// Packs one value token behind the values before it.
BOOLEAN AppendValue(const UCHAR* pToken, LONG nLength, const INI_PASS& pass, INI_KEY_LINE* pLine)
{
    PAGED_CODE();
    if (nLength > pass.MaxValueChars)
    {
        return FALSE;
    }
    union
    {
        UCHAR Bytes[INI_APPLY_VALUE_CHARS * sizeof(WCHAR) + sizeof(WCHAR)];
        WCHAR Text[INI_APPLY_VALUE_CHARS + 1];
    } value;
    ULONG nBytes = 0;
    BOOLEAN bString = FALSE;
    if (nLength == 4 && HasHexPrefix(pToken, nLength))
    {
        value.Bytes[0] = static_cast<UCHAR>(HexDigit(pToken[2]) * 16 + HexDigit(pToken[3]));
        nBytes = 1;
    }
    else if (pToken[0] >= '0' && pToken[0] <= '9')
    {
        ULONG nNumber = ParseNumber(pToken, nLength);
        RtlCopyMemory(value.Bytes, &nNumber, sizeof(nNumber)); // x86-64: least significant first
        nBytes = sizeof(nNumber);
    }
    else if (pass.Strings)
    {
        LONG nChars = WidenText(pToken, nLength, value.Text, ARRAYSIZE(value.Text));
        if (nChars < 0)
        {
            return FALSE;
        }
        nBytes = nChars * sizeof(WCHAR); // stored without its terminator
        bString = TRUE;
    }
    else
    {
        RtlZeroMemory(value.Bytes, sizeof(ULONG));
        nBytes = sizeof(ULONG);
    }
    ULONG nRoom = pass.CapacityBytes - pLine->DataBytes;
    if (nBytes > nRoom)
    {
        if (!pass.KeepLeading)
        {
            return FALSE;
        }
        nBytes = nRoom;
    }
    RtlCopyMemory(pLine->Data + pLine->DataBytes, value.Bytes, nBytes);
    pLine->DataBytes += nBytes;
    pLine->Type = bString ? REG_SZ : REG_BINARY;
    return TRUE;
}

// Key line: blanks, key name (to a tab, blank or "="), anything up to "=", then values separated
// by commas, blanks or tabs, up to the end of the line or ";".
INI_LINE_KIND ParseKeyLine(const UCHAR* pLine, LONG nLength, const INI_PASS& pass, INI_KEY_LINE* pKeyLine)
{
    PAGED_CODE();
    LONG i = 0;
    while (i < nLength && IsBlankOrTab(pLine[i]))
    {
        ++i;
    }
    if (i >= nLength || pLine[i] == ';')
    {
        return IniLineNoKey;
    }
    LONG nKeyStart = i;
    while (i < nLength && !IsBlankOrTab(pLine[i]) && pLine[i] != '=')
    {
        ++i;
    }
    // A name cut short would write some other value: the line fails instead. An empty name is
    // the key's unnamed value.
    if (i - nKeyStart > pass.MaxKeyChars ||
        WidenText(pLine + nKeyStart, i - nKeyStart, pKeyLine->KeyName, ARRAYSIZE(pKeyLine->KeyName)) < 0)
    {
        return IniLineBad;
    }
    while (i < nLength && pLine[i] != '=')
    {
        ++i;
    }
    if (i >= nLength)
    {
        return IniLineBad;
    }
    ++i;
    // A line that failed part-way may have packed values already; short values must not
    // inherit them.
    RtlZeroMemory(pKeyLine->Data, pass.CapacityBytes);
    pKeyLine->Type = REG_BINARY;
    pKeyLine->DataBytes = 0;
    for (;;)
    {
        while (i < nLength && (pLine[i] == ',' || IsBlankOrTab(pLine[i])))
        {
            ++i;
        }
        if (i >= nLength || pLine[i] == ';')
        {
            return IniLineKey;
        }
        LONG nStart = i;
        while (i < nLength && !EndsValue(pLine[i]))
        {
            ++i;
        }
        if (!AppendValue(pLine + nStart, i - nStart, pass, pKeyLine))
        {
            return IniLineBad;
        }
    }
}

INI_KEY_LINE* AllocateKeyLine()
{
    PAGED_CODE();
    INI_KEY_LINE* pKeyLine = static_cast<INI_KEY_LINE*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(INI_KEY_LINE), SETTINGS_FILE_BUFFER_POOL_TAG));
    if (pKeyLine)
    {
        RtlZeroMemory(pKeyLine, sizeof(*pKeyLine));
    }
    return pKeyLine;
}

} // namespace

// ---- Object ----

void* CSettingsFile::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    PVOID pBlock = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (pBlock)
    {
        RtlZeroMemory(pBlock, Size);
    }
    return pBlock;
}

void CSettingsFile::operator delete(void* Block) noexcept
{
    if (Block)
    {
        ExFreePool(Block);
    }
}

void CSettingsFile::operator delete(void* Block, POOL_TYPE, ULONG) noexcept
{
    CSettingsFile::operator delete(Block);
}

CSettingsFile::CSettingsFile(PDEVICE_OBJECT DeviceObject)
    : m_hFile(nullptr), m_IoStatus(), m_pLineBuffer(nullptr), m_SectionName(), m_DeviceKey(),
      m_nReadPosition(0), m_nReadLimit(0), m_pDeviceObject(DeviceObject), m_FilePath(), m_nLineLength(0)
{
    PAGED_CODE();
}

CSettingsFile::~CSettingsFile()
{
    PAGED_CODE();
    CloseIniFile();
    if (m_pLineBuffer)
    {
        ExFreePoolWithTag(m_pLineBuffer, SETTINGS_FILE_BUFFER_POOL_TAG);
        m_pLineBuffer = nullptr;
    }
}

// ---- Path ----

// The stored name, terminated within its 100 bytes; the default when none is stored or the stored
// one is longer than 100 bytes (the store refuses it as STATUS_UNSUCCESSFUL), as installations
// have always had it. Any other failure may pass (out of pool, say): applying the default file
// then would store its version in place of the chosen file's, so it fails the path.
NTSTATUS CSettingsFile::ReadModuleName(PWCHAR pModuleName)
{
    PAGED_CODE();
    RtlZeroMemory(pModuleName, INI_MODULE_NAME_BYTES + sizeof(WCHAR));
    NTSTATUS status = AccessSetting(m_pDeviceObject, SETTINGS_OPERATION_READ, pModuleName,
                                    INI_MODULE_NAME_BYTES, kModuleNameValue);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_UNSUCCESSFUL)
    {
        return RtlStringCbCopyW(pModuleName, INI_MODULE_NAME_BYTES + sizeof(WCHAR), kDefaultModuleName);
    }
    if (NT_SUCCESS(status) && pModuleName[0] == 0)
    {
        status = STATUS_OBJECT_NAME_INVALID;
    }
    return status;
}

NTSTATUS CSettingsFile::BuildIniPath()
{
    PAGED_CODE();
    WCHAR moduleName[INI_MODULE_NAME_BYTES / sizeof(WCHAR) + 1];
    ULONG nLength = 0;
    PWCHAR pIds = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, INI_HARDWARE_ID_BYTES, SETTINGS_FILE_BUFFER_POOL_TAG));
    if (!m_pLineBuffer)
    {
        m_pLineBuffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(PagedPool, INI_LINE_BUFFER_BYTES, SETTINGS_FILE_BUFFER_POOL_TAG));
    }
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (!pIds || !m_pLineBuffer)
    {
        goto Exit;
    }
    RtlZeroMemory(m_pLineBuffer, INI_LINE_BUFFER_BYTES);
    // The last character stays zero, so the list is terminated however much the device gave.
    RtlZeroMemory(pIds, INI_HARDWARE_ID_BYTES);
    status = PcGetDeviceProperty(m_pDeviceObject, DevicePropertyHardwareID,
                                 INI_HARDWARE_ID_BYTES - sizeof(WCHAR), pIds, &nLength);
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    _wcsupr(pIds);
    // A longer ID is cut to the key's room: map lines are matched by their start anyway, so the
    // cut key still matches every line written for this device.
    status = RtlStringCbPrintfA(m_DeviceKey, sizeof(m_DeviceKey), "%S", pIds);
    if (status == STATUS_BUFFER_OVERFLOW)
    {
        status = STATUS_SUCCESS;
    }
    // An empty key would match the first line of the map, whoever it is for.
    if (NT_SUCCESS(status) && m_DeviceKey[0] == 0)
    {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    status = ReadModuleName(moduleName);
    if (!NT_SUCCESS(status))
    {
        goto Exit;
    }
    status = RtlStringCbPrintfW(m_FilePath, sizeof(m_FilePath), u"%s%s", kSystemRootPrefix, moduleName);

Exit:
    if (!NT_SUCCESS(status))
    {
        m_DeviceKey[0] = 0;
        m_FilePath[0] = 0;
    }
    if (pIds)
    {
        ExFreePoolWithTag(pIds, SETTINGS_FILE_BUFFER_POOL_TAG);
    }
    return status;
}

// ---- File and lines ----

NTSTATUS CSettingsFile::OpenIniFile()
{
    PAGED_CODE();
    CloseIniFile();
    if (!m_pLineBuffer || m_FilePath[0] == 0)
    {
        return STATUS_UNSUCCESSFUL;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, m_FilePath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    NTSTATUS status =
        ZwCreateFile(&m_hFile, GENERIC_READ, &attributes, &m_IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status))
    {
        m_hFile = nullptr;
        return status;
    }
    m_nReadPosition = 0;
    m_nReadLimit = INI_READ_LIMIT;
    m_nLineLength = 0;
    return STATUS_SUCCESS;
}

VOID CSettingsFile::CloseIniFile()
{
    PAGED_CODE();
    if (m_hFile)
    {
        ZwClose(m_hFile);
        m_hFile = nullptr;
    }
    m_nLineLength = 0;
}

// The count of the line's bytes without its CR, or -1 at the end of the file or on a read error.
// A line cut at its maximum length has no CR; the rest comes as the next line.
LONG CSettingsFile::ReadIniLine()
{
    PAGED_CODE();
    if (!m_hFile || !m_pLineBuffer)
    {
        return -1;
    }
    LONG nCount = 0;
    while (nCount < INI_MAX_LINE_BYTES && m_nReadPosition < m_nReadLimit)
    {
        LARGE_INTEGER offset;
        offset.QuadPart = m_nReadPosition;
        NTSTATUS status = ZwReadFile(m_hFile, nullptr, nullptr, nullptr, &m_IoStatus, m_pLineBuffer + nCount,
                                     1, &offset, nullptr);
        if (status == STATUS_END_OF_FILE || (NT_SUCCESS(status) && m_IoStatus.Information == 0))
        {
            break;
        }
        if (!NT_SUCCESS(status))
        {
            return -1;
        }
        if (m_pLineBuffer[nCount] == '\r')
        {
            // The byte after a CR is taken to be its LF and skipped unread.
            m_nReadPosition = m_nReadPosition < m_nReadLimit - 2 ? m_nReadPosition + 2 : m_nReadLimit;
            m_pLineBuffer[nCount + 1] = '\n';
            return nCount;
        }
        ++m_nReadPosition;
        ++nCount;
    }
    if (nCount == INI_MAX_LINE_BYTES)
    {
        return nCount;
    }
    if (nCount == 0)
    {
        return -1;
    }
    m_pLineBuffer[nCount] = '\r';
    m_pLineBuffer[nCount + 1] = '\n';
    return nCount;
}

BOOLEAN CSettingsFile::LineStartsWith(PCSTR pszText, LONG nLineLength)
{
    PAGED_CODE();
    SIZE_T nText = strlen(pszText);
    return nLineLength >= 0 && static_cast<SIZE_T>(nLineLength) >= nText &&
           RtlEqualMemory(m_pLineBuffer, pszText, nText);
}

NTSTATUS CSettingsFile::FindIniSection(PCSTR pszName)
{
    PAGED_CODE();
    CHAR header[INI_HEADER_CHARS + 1];
    NTSTATUS status = RtlStringCbPrintfA(header, sizeof(header), "[%s]", pszName);
    if (!NT_SUCCESS(status))
    {
        return STATUS_UNSUCCESSFUL;
    }
    for (;;)
    {
        LONG nLength = ReadIniLine();
        if (nLength < 0)
        {
            return STATUS_UNSUCCESSFUL;
        }
        if (LineStartsWith(header, nLength))
        {
            return STATUS_SUCCESS;
        }
    }
}

// ---- Version ----

ULONG CSettingsFile::ReadIniVersion()
{
    PAGED_CODE();
    ULONG nVersion = 0;
    INI_KEY_LINE* pKeyLine = AllocateKeyLine();
    if (!pKeyLine)
    {
        return 0;
    }
    if (NT_SUCCESS(OpenIniFile()) && NT_SUCCESS(FindIniSection(kVersionSectionName)))
    {
        for (;;)
        {
            LONG nLength = ReadIniLine();
            if (nLength < 0 || LineStartsWith("[", nLength))
            {
                break;
            }
            if (ParseKeyLine(m_pLineBuffer, nLength, kVersionPass, pKeyLine) == IniLineKey)
            {
                // Values shorter than four bytes leave the upper bytes zero.
                RtlCopyMemory(&nVersion, pKeyLine->Data, kVersionBytes);
                break;
            }
        }
    }
    CloseIniFile();
    ExFreePoolWithTag(pKeyLine, SETTINGS_FILE_BUFFER_POOL_TAG);
    return nVersion;
}

// ---- Device sections ----

// "<device key> [blanks] <separator> [blanks] <section name>", the key matched without regard
// to letter case. The first such line is the device's, even when its name is empty (the device
// then owns the sections headed "[]"). A name too long is no match: a cut name would be another
// section's.
BOOLEAN CSettingsFile::MatchDeviceLine(LONG nLineLength)
{
    PAGED_CODE();
    LONG nKey = static_cast<LONG>(strlen(m_DeviceKey));
    if (nKey == 0 || nLineLength < nKey ||
        _strnicmp(reinterpret_cast<PCSTR>(m_pLineBuffer), m_DeviceKey, nKey) != 0)
    {
        return FALSE;
    }
    LONG i = nKey;
    while (i < nLineLength && IsBlankOrTab(m_pLineBuffer[i]))
    {
        ++i;
    }
    ++i; // the separator, whatever it is (the line's end when there is none)
    while (i < nLineLength && IsBlankOrTab(m_pLineBuffer[i]))
    {
        ++i;
    }
    LONG nStart = i;
    while (i < nLineLength && !IsBlankOrTab(m_pLineBuffer[i]) && m_pLineBuffer[i] != ';')
    {
        ++i;
    }
    LONG nName = i > nStart ? i - nStart : 0;
    if (nName >= INI_SECTION_NAME_BYTES)
    {
        return FALSE;
    }
    RtlCopyMemory(m_SectionName, m_pLineBuffer + nStart, nName);
    m_SectionName[nName] = 0;
    return TRUE;
}

NTSTATUS CSettingsFile::FindDeviceSectionName()
{
    PAGED_CODE();
    NTSTATUS status = FindIniSection(kDeviceMapSectionName);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (;;)
    {
        LONG nLength = ReadIniLine();
        if (nLength < 0 || LineStartsWith("[", nLength))
        {
            return STATUS_UNSUCCESSFUL;
        }
        if (MatchDeviceLine(nLength))
        {
            return STATUS_SUCCESS;
        }
    }
}

NTSTATUS CSettingsFile::OpenDeviceSection()
{
    PAGED_CODE();
    m_SectionName[0] = 0;
    NTSTATUS status = OpenIniFile();
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = FindDeviceSectionName();
    if (!NT_SUCCESS(status))
    {
        CloseIniFile();
    }
    return status;
}

// The next header "[NAME]" or "[NAME:SUBKEY]", starting with the current line. An empty subkey
// names "Settings" itself; one that is unclosed or too long heads no section of ours.
NTSTATUS CSettingsFile::FindDeviceSection(PWCHAR pSubKey, BOOLEAN* pbHasSubKey)
{
    PAGED_CODE();
    CHAR plain[INI_HEADER_CHARS + 1];
    CHAR withSubKey[INI_HEADER_CHARS + 1];
    if (!NT_SUCCESS(RtlStringCbPrintfA(plain, sizeof(plain), "[%s]", m_SectionName)) ||
        !NT_SUCCESS(RtlStringCbPrintfA(withSubKey, sizeof(withSubKey), "[%s:", m_SectionName)))
    {
        return STATUS_UNSUCCESSFUL;
    }
    LONG nPrefix = static_cast<LONG>(strlen(withSubKey));
    for (;;)
    {
        LONG nLength = m_nLineLength > 0 ? m_nLineLength : ReadIniLine();
        m_nLineLength = 0;
        if (nLength < 0)
        {
            return STATUS_UNSUCCESSFUL;
        }
        if (LineStartsWith(plain, nLength))
        {
            *pbHasSubKey = FALSE;
            return STATUS_SUCCESS;
        }
        if (!LineStartsWith(withSubKey, nLength))
        {
            continue;
        }
        LONG nEnd = nPrefix;
        while (nEnd < nLength && m_pLineBuffer[nEnd] != ']')
        {
            ++nEnd;
        }
        LONG nSubKey = nEnd < nLength && nEnd - nPrefix <= INI_SUBKEY_CHARS
                           ? WidenText(m_pLineBuffer + nPrefix, nEnd - nPrefix, pSubKey, INI_SUBKEY_CHARS + 1)
                           : -1;
        if (nSubKey >= 0)
        {
            *pbHasSubKey = nSubKey > 0;
            return STATUS_SUCCESS;
        }
    }
}

// Applies one section. It ends at the end of the file, at the next header (kept as the current
// line), or after a key line that does not parse (the line after it is kept as the current line).
NTSTATUS CSettingsFile::ApplyDeviceSection(PVOID pKeyLineBuffer)
{
    PAGED_CODE();
    INI_KEY_LINE* pKeyLine = static_cast<INI_KEY_LINE*>(pKeyLineBuffer);
    WCHAR subKey[INI_SUBKEY_CHARS + 1];
    BOOLEAN bHasSubKey = FALSE;
    NTSTATUS status = FindDeviceSection(subKey, &bHasSubKey);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (;;)
    {
        LONG nLength = ReadIniLine();
        if (nLength < 0)
        {
            return STATUS_SUCCESS;
        }
        if (LineStartsWith("[", nLength))
        {
            m_nLineLength = nLength;
            return STATUS_SUCCESS;
        }
        INI_LINE_KIND kind = ParseKeyLine(m_pLineBuffer, nLength, kApplyPass, pKeyLine);
        if (kind == IniLineBad)
        {
            nLength = ReadIniLine();
            m_nLineLength = nLength > 0 ? nLength : 0;
            return STATUS_SUCCESS;
        }
        if (kind == IniLineKey)
        {
            // A value the registry refuses does not stop the rest of the section.
            AccessSettingsValue(m_pDeviceObject, SETTINGS_OPERATION_WRITE, bHasSubKey ? subKey : nullptr,
                                pKeyLine->KeyName, pKeyLine->Type, pKeyLine->Data, pKeyLine->DataBytes);
        }
    }
}

NTSTATUS CSettingsFile::ApplyAll()
{
    PAGED_CODE();
    // Without the buffer nothing could be applied, and reporting success would store the version.
    INI_KEY_LINE* pKeyLine = AllocateKeyLine();
    if (!pKeyLine)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    while (NT_SUCCESS(ApplyDeviceSection(pKeyLine)))
    {
    }
    ExFreePoolWithTag(pKeyLine, SETTINGS_FILE_BUFFER_POOL_TAG);
    return STATUS_SUCCESS;
}
