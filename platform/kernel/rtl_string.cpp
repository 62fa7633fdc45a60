// Counted strings, the bounded copy routines and the runtime's 16-bit string functions.
#include "rtl.h"

#include "ntstatus.h"
#include "pool.h"

namespace
{

constexpr ULONG kStringTag = MAKE_POOL_TAG('S', 't', 'r', 'g');

// Windows-1252 assigns 0x80-0x9F to these characters (0 where the code page has a hole);
// the rest of 0x00-0xFF matches Latin-1.
const WCHAR kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

WCHAR AnsiToWide(char c)
{
    UCHAR b = static_cast<UCHAR>(c);
    if (b >= 0x80 && b < 0xA0)
    {
        WCHAR w = kCp1252High[b - 0x80];
        return w ? w : static_cast<WCHAR>(b);
    }
    return b;
}

char WideToAnsi(WCHAR w)
{
    if (w < 0x80 || (w >= 0xA0 && w <= 0xFF))
    {
        return static_cast<char>(w);
    }
    for (int i = 0; i < 32; i++)
    {
        if (kCp1252High[i] == w)
        {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

WCHAR AsciiUpper(WCHAR c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 0x20) : c;
}
WCHAR AsciiLower(WCHAR c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 0x20) : c;
}
char AsciiLowerA(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
}

template <typename CharT> size_t Length(const CharT* s, size_t limit)
{
    size_t n = 0;
    while (n < limit && s[n])
    {
        n++;
    }
    return n;
}

// ntstrsafe's length check: the string must end within `cchMax` characters.
template <typename CharT> NTSTATUS CchLength(const CharT* psz, size_t cchMax, size_t* pcchLength)
{
    size_t n = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (psz && cchMax <= NTSTRSAFE_MAX_CCH)
    {
        n = Length(psz, cchMax);
        status = n < cchMax ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (pcchLength)
    {
        *pcchLength = NT_SUCCESS(status) ? n : 0;
    }
    return status;
}

// Copies `src` after the `start` characters already in `dest`, always terminating.
template <typename CharT> NTSTATUS CchCopyAt(CharT* dest, size_t cchDest, size_t start, const CharT* src)
{
    size_t i = start;
    while (i + 1 < cchDest && *src)
    {
        dest[i++] = *src++;
    }
    dest[i] = 0;
    return *src ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename CharT> NTSTATUS CchCopy(CharT* dest, size_t cchDest, const CharT* src)
{
    if (!dest || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!src)
    {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return CchCopyAt(dest, cchDest, 0, src);
}

template <typename CharT> NTSTATUS CchCat(CharT* dest, size_t cchDest, const CharT* src)
{
    if (!dest || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
    {
        return STATUS_INVALID_PARAMETER;
    }
    size_t used = Length(dest, cchDest);
    if (used == cchDest)
    {
        return STATUS_INVALID_PARAMETER; // the destination is not terminated within its size
    }
    if (!src)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return CchCopyAt(dest, cchDest, used, src);
}

NTSTATUS AllocateString(PVOID* Buffer, SIZE_T Bytes)
{
    *Buffer = ExAllocatePoolWithTag(PagedPool, Bytes, kStringTag);
    return *Buffer ? STATUS_SUCCESS : STATUS_NO_MEMORY;
}

// First difference of the two counted strings, folding case when asked; 0 when one is a
// prefix of the other.
LONG CompareChars(PCWSTR a, PCWSTR b, size_t count, BOOLEAN CaseInSensitive)
{
    for (size_t i = 0; i < count; i++)
    {
        WCHAR ca = CaseInSensitive ? RtlUpcaseUnicodeChar(a[i]) : a[i];
        WCHAR cb = CaseInSensitive ? RtlUpcaseUnicodeChar(b[i]) : b[i];
        if (ca != cb)
        {
            return static_cast<LONG>(ca) - static_cast<LONG>(cb);
        }
    }
    return 0;
}

} // namespace

SIZE_T RtlCompareMemory(PCVOID Source1, PCVOID Source2, SIZE_T Length)
{
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
    {
        i++;
    }
    return i;
}

// ---- Case mapping ----

// Folds the cased letters that device and file names carry: Latin-1, Latin Extended-A pairs,
// Greek and Cyrillic. Other characters are their own upper case.
WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    if (c < 0x80)
    {
        return AsciiUpper(c);
    }
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7))
    {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c == 0xFF)
    {
        return 0x178;
    }
    if (c >= 0x100 && c <= 0x17F && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F)
    {
        bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        bool isLower = oddUpper ? (c % 2 == 0) : (c % 2 == 1);
        return isLower ? static_cast<WCHAR>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)
    {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c >= 0x430 && c <= 0x44F)
    {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F)
    {
        return static_cast<WCHAR>(c - 0x50);
    }
    return c;
}

WCHAR RtlDowncaseUnicodeChar(WCHAR c)
{
    if (c < 0x80)
    {
        return AsciiLower(c);
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
    {
        return static_cast<WCHAR>(c + 0x20);
    }
    if (c == 0x178)
    {
        return 0xFF;
    }
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x138 && c != 0x149 && c != 0x17F)
    {
        bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        bool isUpper = oddUpper ? (c % 2 == 1) : (c % 2 == 0);
        return isUpper ? static_cast<WCHAR>(c + 1) : c;
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
    {
        return static_cast<WCHAR>(c + 0x20);
    }
    if (c >= 0x410 && c <= 0x42F)
    {
        return static_cast<WCHAR>(c + 0x20);
    }
    if (c >= 0x400 && c <= 0x40F)
    {
        return static_cast<WCHAR>(c + 0x50);
    }
    return c;
}

// ---- Counted strings ----

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    if (SourceString)
    {
        size_t bytes = Length(SourceString, UNICODE_STRING_MAX_BYTES / sizeof(WCHAR) - 1) * sizeof(WCHAR);
        DestinationString->Length = static_cast<USHORT>(bytes);
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    }
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    if (SourceString)
    {
        size_t bytes = Length(SourceString, MAXUSHORT - 1);
        DestinationString->Length = static_cast<USHORT>(bytes);
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
    }
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
    {
        ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    }
    RtlZeroMemory(UnicodeString, sizeof(*UnicodeString));
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer)
    {
        ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    }
    RtlZeroMemory(AnsiString, sizeof(*AnsiString));
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString)
    {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    bytes &= ~1;
    RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    USHORT shorter = String1->Length < String2->Length ? String1->Length : String2->Length;
    LONG result = CompareChars(String1->Buffer, String2->Buffer, shorter / sizeof(WCHAR), CaseInSensitive);
    return result ? result : static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length &&
           CompareChars(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR), CaseInSensitive) ==
               0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length <= String2->Length &&
           CompareChars(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR), CaseInSensitive) ==
               0;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    size_t chars = SourceString->Length / sizeof(WCHAR);
    if (chars + 1 > MAXUSHORT)
    {
        return STATUS_INVALID_PARAMETER_2;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString)
    {
        DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
        status = AllocateString(reinterpret_cast<PVOID*>(&DestinationString->Buffer), chars + 1);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    else if (chars >= DestinationString->MaximumLength)
    {
        // As the kernel does: convert what fits, terminate, and report the overflow.
        if (DestinationString->MaximumLength == 0)
        {
            return STATUS_BUFFER_OVERFLOW;
        }
        chars = DestinationString->MaximumLength - 1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; i++)
    {
        DestinationString->Buffer[i] = WideToAnsi(SourceString->Buffer[i]);
    }
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = static_cast<USHORT>(chars);
    return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    size_t bytes = SourceString->Length * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > MAXUSHORT)
    {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString)
    {
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        NTSTATUS status =
            AllocateString(reinterpret_cast<PVOID*>(&DestinationString->Buffer), bytes + sizeof(WCHAR));
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    else if (bytes >= DestinationString->MaximumLength)
    {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < SourceString->Length; i++)
    {
        DestinationString->Buffer[i] = AnsiToWide(SourceString->Buffer[i]);
    }
    DestinationString->Buffer[SourceString->Length] = 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source->Length == 0)
    {
        return STATUS_SUCCESS;
    }
    size_t total = static_cast<size_t>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlMoveMemory(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer,
                  Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength)
    {
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
    {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

// ---- Bounded string routines ----

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength)
{
    return CchLength(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength)
{
    size_t cch = 0;
    NTSTATUS status = CchLength(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength)
    {
        *pcbLength = cch * sizeof(WCHAR);
    }
    return status;
}

NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength)
{
    return CchLength(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength)
{
    return CchLength(psz, cbMax, pcbLength);
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return CchCopy(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return CchCopy(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return CchCat(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return CchCat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return CchCopy(pszDest, cbDest, pszSrc);
}

NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return CchCat(pszDest, cbDest, pszSrc);
}

// ---- Runtime string functions ----

size_t wcslen(const WCHAR* s)
{
    return Length(s, SIZE_MAX);
}
size_t wcsnlen(const WCHAR* s, size_t maxCount)
{
    return Length(s, maxCount);
}

WCHAR* wcscpy(WCHAR* dest, const WCHAR* src)
{
    WCHAR* d = dest;
    while ((*d++ = *src++) != 0)
    {
    }
    return dest;
}

// As in C: stops at the source's end and pads with zeros; no terminator when `count` is reached.
WCHAR* wcsncpy(WCHAR* dest, const WCHAR* src, size_t count)
{
    size_t i = 0;
    for (; i < count && src[i]; i++)
    {
        dest[i] = src[i];
    }
    for (; i < count; i++)
    {
        dest[i] = 0;
    }
    return dest;
}

WCHAR* wcscat(WCHAR* dest, const WCHAR* src)
{
    wcscpy(dest + wcslen(dest), src);
    return dest;
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t count)
{
    for (size_t i = 0; i < count; i++)
    {
        if (a[i] != b[i] || a[i] == 0)
        {
            return static_cast<int>(a[i]) - static_cast<int>(b[i]);
        }
    }
    return 0;
}

int wcscmp(const WCHAR* a, const WCHAR* b)
{
    return wcsncmp(a, b, SIZE_MAX);
}

const WCHAR* wcschr(const WCHAR* s, WCHAR c)
{
    for (;; s++)
    {
        if (*s == c)
        {
            return s;
        }
        if (*s == 0)
        {
            return nullptr;
        }
    }
}

WCHAR* wcschr(WCHAR* s, WCHAR c)
{
    return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c));
}

const WCHAR* wcsrchr(const WCHAR* s, WCHAR c)
{
    const WCHAR* found = nullptr;
    for (;; s++)
    {
        if (*s == c)
        {
            found = s;
        }
        if (*s == 0)
        {
            return found;
        }
    }
}

WCHAR* wcsrchr(WCHAR* s, WCHAR c)
{
    return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c));
}

const WCHAR* wcsstr(const WCHAR* s, const WCHAR* find)
{
    size_t n = wcslen(find);
    for (; *s; s++)
    {
        if (wcsncmp(s, find, n) == 0)
        {
            return s;
        }
    }
    return n == 0 ? s : nullptr;
}

WCHAR* wcsstr(WCHAR* s, const WCHAR* find)
{
    return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(s), find));
}

WCHAR* _wcsupr(WCHAR* s)
{
    for (WCHAR* p = s; *p; p++)
    {
        *p = AsciiUpper(*p);
    }
    return s;
}

WCHAR* _wcslwr(WCHAR* s)
{
    for (WCHAR* p = s; *p; p++)
    {
        *p = AsciiLower(*p);
    }
    return s;
}

// The runtime folds to lower case before comparing, so '_' sorts before letters.
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t count)
{
    for (size_t i = 0; i < count; i++)
    {
        WCHAR ca = AsciiLower(a[i]);
        WCHAR cb = AsciiLower(b[i]);
        if (ca != cb || ca == 0)
        {
            return static_cast<int>(ca) - static_cast<int>(cb);
        }
    }
    return 0;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b)
{
    return _wcsnicmp(a, b, SIZE_MAX);
}

int _strnicmp(const char* a, const char* b, size_t count)
{
    for (size_t i = 0; i < count; i++)
    {
        int ca = static_cast<UCHAR>(AsciiLowerA(a[i]));
        int cb = static_cast<UCHAR>(AsciiLowerA(b[i]));
        if (ca != cb || ca == 0)
        {
            return ca - cb;
        }
    }
    return 0;
}

int _stricmp(const char* a, const char* b)
{
    return _strnicmp(a, b, SIZE_MAX);
}
