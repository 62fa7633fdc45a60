// Run-time library of the stand-in kernel: memory helpers, counted strings, the bounded
// string routines and the kernel C runtime's 16-bit string and formatting functions.
// WCHAR is char16_t here, so the runtime's wide functions are overloads for const WCHAR*.
#pragma once

#include "ntdef.h"

#include <cstdarg>

// ---- Memory ----

FORCEINLINE VOID RtlZeroMemory(PVOID Destination, SIZE_T Length)
{
    std::memset(Destination, 0, Length);
}
FORCEINLINE VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill)
{
    std::memset(Destination, Fill, Length);
}
FORCEINLINE VOID RtlCopyMemory(PVOID Destination, PCVOID Source, SIZE_T Length)
{
    std::memcpy(Destination, Source, Length);
}
FORCEINLINE VOID RtlMoveMemory(PVOID Destination, PCVOID Source, SIZE_T Length)
{
    std::memmove(Destination, Source, Length);
}
FORCEINLINE BOOLEAN RtlEqualMemory(PCVOID Source1, PCVOID Source2, SIZE_T Length)
{
    return std::memcmp(Source1, Source2, Length) == 0;
}
// Number of leading bytes that are equal (Length when the blocks match).
NTSYSAPI SIZE_T RtlCompareMemory(PCVOID Source1, PCVOID Source2, SIZE_T Length);

// ---- Doubly linked lists (LIST_ENTRY) ----
// The caller guards the list; none of these take a lock.

FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead)
{
    return ListHead->Flink == ListHead;
}
// TRUE when the list is empty afterwards.
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY prev = Entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}
// On an empty list returns the head itself.
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    RemoveEntryList(entry);
    return entry;
}
FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY first = ListHead->Flink;
    Entry->Flink = first;
    Entry->Blink = ListHead;
    first->Blink = Entry;
    ListHead->Flink = Entry;
}
FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY last = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = last;
    last->Flink = Entry;
    ListHead->Blink = Entry;
}

// ---- Version ----

#define NTDDI_WINXP 0x05010000
#define NTDDI_WS03 0x05020000
#define NTDDI_VISTA 0x06000000
#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WINBLUE 0x06030000
#define NTDDI_WIN10 0x0A000000

// True when the running system is at least `Version` (the stand-in answers as Windows 10
// unless a test lowers it: plat_version.h).
NTSYSAPI BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);

// ---- Counted strings ----
// Lengths are in bytes. Strings that these routines allocate come from paged pool with the
// tag "Strg", so they are made and freed below DISPATCH_LEVEL.

#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)

NTSYSAPI VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
FORCEINLINE VOID RtlInitEmptyUnicodeString(PUNICODE_STRING String, PWCHAR Buffer, USHORT BufferSize)
{
    String->Length = 0;
    String->MaximumLength = BufferSize;
    String->Buffer = Buffer;
}
NTSYSAPI VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                      BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive);
// Conversions use the Windows-1252 code page; characters it lacks become '?'.
NTSYSAPI NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter);

// ---- Bounded string routines (ntstrsafe) ----
// Sizes are in bytes (Cb) or characters (Cch) including the terminator. Results are always
// terminated; a result cut short returns STATUS_BUFFER_OVERFLOW.

#define NTSTRSAFE_MAX_CCH 2147483647

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);

// ---- Kernel C runtime ----
// Formatting follows the Windows runtime: in a wide format %s is a wide string and %S a narrow
// one, in a narrow format the other way round; %ws/%ls wide, %hs narrow; %Z an ANSI_STRING*,
// %wZ a UNICODE_STRING*; %p 16 upper-case hex digits; l is 32-bit, ll and I64 64-bit, I pointer
// sized. The result is terminated when it fits with room to spare; when it fills the buffer
// exactly the count is returned without a terminator, and when it does not fit -1 is returned
// with the buffer full and unterminated.

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr);
int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr);
int _snprintf(char* buffer, size_t count, const char* format, ...);

// 16-bit forms of the wide string functions (the host's wcs* take 32-bit wchar_t).
size_t wcslen(const WCHAR* s);
size_t wcsnlen(const WCHAR* s, size_t maxCount);
WCHAR* wcscpy(WCHAR* dest, const WCHAR* src);
WCHAR* wcsncpy(WCHAR* dest, const WCHAR* src, size_t count);
WCHAR* wcscat(WCHAR* dest, const WCHAR* src);
int wcscmp(const WCHAR* a, const WCHAR* b);
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t count);
const WCHAR* wcschr(const WCHAR* s, WCHAR c);
WCHAR* wcschr(WCHAR* s, WCHAR c);
const WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* wcsrchr(WCHAR* s, WCHAR c);
const WCHAR* wcsstr(const WCHAR* s, const WCHAR* find);
WCHAR* wcsstr(WCHAR* s, const WCHAR* find);

// Case-insensitive compares and upper-casing in the C locale: only the ASCII letters fold,
// as in the kernel runtime. The Rtl string routines above fold the wider Unicode ranges.
WCHAR* _wcsupr(WCHAR* s);
WCHAR* _wcslwr(WCHAR* s);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t count);
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t count);
