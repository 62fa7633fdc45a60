// Host side of the registry stand-in: what tests and the tool use to prepare, inspect, load and
// save the hive that the driver reaches through the Zw registry routines (registry.h).
//
// Paths are absolute NT names ("\Registry\Machine\SYSTEM\..."); key and value names compare
// without regard to letter case. An empty hive holds only \REGISTRY, \REGISTRY\MACHINE and
// \REGISTRY\USER. Every routine here is thread-safe and may run at any IRQL below DISPATCH_LEVEL.
//
// Hive text format (RegSaveHive / RegLoadHive), UTF-8, one item per line:
//
//   # comment (also ';'); blank lines are ignored
//   [\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_0D8C&PID_0014\5&2a3c&0&1]
//   "FriendlyName" = sz:"USB Speaker"
//   "Mfg" = sz:raw"Maker"
//   "SelectiveSuspendEnabled" = dword:0x00000001
//   "Unit5Volume0" = binary:00 fe ff ff
//   "" = expand_sz:"%%SystemRoot%%\system32"
//   "Names" = multi_sz:"one","two"
//   "Big" = qword:0x0000000100000000
//   "Odd" = sz:hex:41 00 42
//   "Custom" = 0x00001234:hex:de ad
//
// - A line "[path]" starts a key; the key and any missing parents are created. The values that
//   follow belong to it. Keys are written depth first in enumeration order; a key appears when
//   it has values or no subkeys (its parents are implied; the three roots always exist).
// - A value line is a quoted name, "=", a type and ":" and the data. Types: none, sz, expand_sz,
//   binary, dword, multi_sz, qword, or a number (0x... or decimal) for any other type.
// - Inside quotes and key paths, "%%" is a percent sign and "%XXXX" (four hex digits) one UTF-16
//   code unit: the writer escapes '"', '%', control characters and unpaired surrogates so, and
//   writes every other character as UTF-8.
// - Data: sz and expand_sz take "text" (the text plus a terminating NUL) or raw"text" (exactly
//   the text, no terminator added); multi_sz a comma-separated list of quoted strings (each
//   terminated, plus the closing NUL; an empty list is one NUL); dword and qword a number
//   (0x... or decimal) of 4 or 8 bytes; binary hex bytes. Any type takes hex:XX XX ... for data
//   that none of these forms spells exactly; the writer falls back to it (odd-length strings,
//   a dword that is not 4 bytes, none and numbered types).
// - Volatile keys and key classes are not saved.
#pragma once

#include "ntdef.h"
#include "registry.h"

#include <string>
#include <vector>

namespace plat
{

// ---- Hive ----

// Empties the hive and zeroes the counters. Handles still open see their keys as deleted.
void RegReset();

// One value and one key as the host sees them.
struct RegValueRecord
{
    std::u16string Name;
    ULONG Type;
    std::vector<UCHAR> Data;
};
struct RegKeyRecord
{
    std::u16string Path;                // absolute, each component as it was created
    std::vector<RegValueRecord> Values; // in enumeration order
};

// Every key (volatile ones only when asked), parents before children, subkeys in enumeration
// order.
std::vector<RegKeyRecord> RegSnapshot(bool includeVolatile = false);

// Replaces the whole hive with the keys and values listed (missing parents are created).
// On a bad path nothing changes and the status says why.
NTSTATUS RegReplaceHive(const std::vector<RegKeyRecord>& keys);

// ---- Direct access (missing keys are created by the setters, as non-volatile keys) ----

NTSTATUS RegCreateKeyPath(const std::u16string& keyPath);
bool RegKeyExists(const std::u16string& keyPath);

NTSTATUS RegSetValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG type,
                     const void* data, SIZE_T size);
// STATUS_OBJECT_NAME_NOT_FOUND when the key or the value is missing.
NTSTATUS RegGetValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG* type,
                     std::vector<UCHAR>* data);

// Typed helpers. Strings are stored with their terminating NUL, as Windows tools store them.
NTSTATUS RegSetDword(const std::u16string& keyPath, const std::u16string& valueName, ULONG value);
NTSTATUS RegSetQword(const std::u16string& keyPath, const std::u16string& valueName, ULONGLONG value);
NTSTATUS RegSetString(const std::u16string& keyPath, const std::u16string& valueName,
                      const std::u16string& text, ULONG type = REG_SZ);
NTSTATUS RegSetBinary(const std::u16string& keyPath, const std::u16string& valueName,
                      const std::vector<UCHAR>& bytes);
NTSTATUS RegSetMultiString(const std::u16string& keyPath, const std::u16string& valueName,
                           const std::vector<std::u16string>& strings);
// False when the value is missing or its data is not exactly 4 (8) bytes.
bool RegGetDword(const std::u16string& keyPath, const std::u16string& valueName, ULONG* value);
bool RegGetQword(const std::u16string& keyPath, const std::u16string& valueName, ULONGLONG* value);
// The data as UTF-16 up to its first NUL; false when missing or of odd length.
bool RegGetString(const std::u16string& keyPath, const std::u16string& valueName, std::u16string* text);

// A key handle for the other stand-ins (device and driver keys): like ZwCreateKey (createMissing
// also creates missing parents) or ZwOpenKey, counted as one open.
NTSTATUS RegOpenKeyHandle(const std::u16string& keyPath, ACCESS_MASK access, bool createMissing,
                          PHANDLE handle);

// ---- Counters ----

// Calls of ZwOpenKey and ZwCreateKey (and RegOpenKeyHandle), failed ones included, and the
// values ZwSetValueKey wrote.
struct RegistryCounters
{
    SIZE_T OpenKeyCalls;
    SIZE_T CreateKeyCalls;
    SIZE_T SetValueCalls;
};
RegistryCounters RegGetCounters();
void RegResetCounters();

// ---- Text form ----

std::string RegSaveHiveText();
// Replaces the hive with the text's keys; on a syntax error nothing changes, the result is
// STATUS_DATA_ERROR and *error (when given) names the line.
NTSTATUS RegLoadHiveText(const std::string& text, std::string* error = nullptr);
// STATUS_OBJECT_NAME_NOT_FOUND for a missing file (the hive is left as it is).
NTSTATUS RegLoadHive(const std::string& filePath, std::string* error = nullptr);
NTSTATUS RegSaveHive(const std::string& filePath, std::string* error = nullptr);

// ---- UTF-8 and UTF-16 ----

// Invalid UTF-8 becomes U+FFFD; an unpaired surrogate becomes U+FFFD in UTF-8.
std::u16string WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::u16string& text);

} // namespace plat
