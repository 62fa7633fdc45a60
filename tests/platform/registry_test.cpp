// Registry stand-in: values of every type through the Zw routines and the host side, the
// size-query-then-read pattern with both short-buffer statuses, access rights, names,
// enumeration order, relative opens, handle lifetime, counters and the hive's text form.
#include <gtest/gtest.h>

#include "ntddk.h"
#include "plat_registry.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Bytes = std::vector<UCHAR>;

const std::u16string kMachine = u"\\Registry\\Machine";

// A counted string that owns its characters.
class NtName
{
public:
    explicit NtName(const std::u16string& text) : m_Text(text)
    {
        m_String.Length = m_String.MaximumLength = static_cast<USHORT>(m_Text.size() * sizeof(WCHAR));
        m_String.Buffer = m_Text.empty() ? nullptr : &m_Text[0];
    }
    NtName(const NtName&) = delete;
    NtName& operator=(const NtName&) = delete;
    PUNICODE_STRING Get() { return &m_String; }

private:
    std::u16string m_Text;
    UNICODE_STRING m_String;
};

Bytes WideBytes(const std::u16string& text)
{
    const UCHAR* p = reinterpret_cast<const UCHAR*>(text.data());
    return Bytes(p, p + text.size() * sizeof(char16_t));
}

// A literal with embedded NULs, all of it but the compiler's terminator.
template <size_t N> std::u16string Units(const char16_t (&literal)[N])
{
    return std::u16string(literal, N - 1);
}

// The text plus its terminating NUL, as REG_SZ data is normally stored.
Bytes SzBytes(const std::u16string& text)
{
    return WideBytes(text + u'\0');
}

NTSTATUS OpenKey(PHANDLE handle, const std::u16string& path, ACCESS_MASK access, HANDLE root = nullptr)
{
    NtName name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.Get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(handle, access, &oa);
}

NTSTATUS CreateKey(PHANDLE handle, const std::u16string& path, ACCESS_MASK access, HANDLE root = nullptr,
                   ULONG* disposition = nullptr, ULONG options = REG_OPTION_NON_VOLATILE,
                   const std::u16string& keyClass = u"")
{
    NtName name(path);
    NtName className(keyClass);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.Get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(handle, access, &oa, 0, keyClass.empty() ? nullptr : className.Get(), options,
                       disposition);
}

NTSTATUS SetValue(HANDLE key, const std::u16string& valueName, ULONG type, const Bytes& data)
{
    NtName name(valueName);
    return ZwSetValueKey(key, name.Get(), 0, type, const_cast<UCHAR*>(data.data()),
                         static_cast<ULONG>(data.size()));
}

// Reads a value as drivers do: a size query first, then a buffer of exactly the size it gave.
NTSTATUS ReadValue(HANDLE key, const std::u16string& valueName, ULONG* type, Bytes* data)
{
    NtName name(valueName);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, name.Get(), KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL)
        return status;
    std::vector<ULONGLONG> buffer((needed + 7) / 8);
    ULONG got = 0;
    status = ZwQueryValueKey(key, name.Get(), KeyValuePartialInformation, buffer.data(), needed, &got);
    EXPECT_EQ(got, needed);
    if (!NT_SUCCESS(status))
        return status;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    *type = info->Type;
    data->assign(info->Data, info->Data + info->DataLength);
    return status;
}

std::u16string NameAt(const void* record, size_t offset, ULONG lengthBytes)
{
    const char16_t* p = reinterpret_cast<const char16_t*>(static_cast<const UCHAR*>(record) + offset);
    return std::u16string(p, lengthBytes / sizeof(char16_t));
}

// A key handle closed when it leaves scope.
struct Key
{
    HANDLE H = nullptr;
    ~Key()
    {
        if (H)
            ZwClose(H);
    }
    operator HANDLE() const { return H; }
};

struct NamedValue
{
    std::u16string Name;
    ULONG Type;
    Bytes Data;
};

// Reads each value back through a key handle, or from the host when there is none.
void ExpectValues(HANDLE key, const std::u16string& path, const std::vector<NamedValue>& values)
{
    for (const NamedValue& v : values)
    {
        SCOPED_TRACE(plat::Utf8FromWide(v.Name));
        ULONG type = 0;
        Bytes data;
        ASSERT_EQ(key ? ReadValue(key, v.Name, &type, &data) : plat::RegGetValue(path, v.Name, &type, &data),
                  STATUS_SUCCESS);
        EXPECT_EQ(type, v.Type);
        EXPECT_EQ(data, v.Data);
    }
}

class Registry : public testing::Test
{
protected:
    void SetUp() override { plat::RegReset(); }
    void TearDown() override
    {
        EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), 0u) << "a key handle was left open";
    }
};

TEST_F(Registry, ValuesOfEveryTypeRoundTripThroughZwAndHost)
{
    const std::vector<NamedValue> cases = {
        {u"none", REG_NONE, {0xde, 0xad, 0x00}},
        {u"sz", REG_SZ, SzBytes(u"USB Speaker")},
        {u"sz unterminated", REG_SZ, WideBytes(u"KESTRINZ4.INI")},
        {u"expand_sz", REG_EXPAND_SZ, SzBytes(u"%SystemRoot%\\system32")},
        {u"binary", REG_BINARY, {0x10, 0x20, 0x2c, 0x01, 0x00, 0x00}},
        {u"dword", REG_DWORD, {0x2c, 0x01, 0x00, 0x00}},
        {u"multi_sz", REG_MULTI_SZ, WideBytes(Units(u"a\0bc\0\0"))},
        {u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"empty", REG_BINARY, {}},
        {u"numbered type", 0x1234, {7}},
    };
    Key key, fromHost;
    ASSERT_EQ(CreateKey(&key.H, kMachine + u"\\Types", KEY_ALL_ACCESS), STATUS_SUCCESS);
    for (const NamedValue& c : cases)
    {
        ASSERT_EQ(SetValue(key, c.Name, c.Type, c.Data), STATUS_SUCCESS);
        ASSERT_EQ(
            plat::RegSetValue(kMachine + u"\\FromHost\\Deeper", c.Name, c.Type, c.Data.data(), c.Data.size()),
            STATUS_SUCCESS);
    }
    // The host sees what the driver wrote, and the driver what the host writes.
    ExpectValues(key, u"", cases);
    ExpectValues(nullptr, kMachine + u"\\Types", cases);
    ASSERT_EQ(OpenKey(&fromHost.H, kMachine + u"\\FromHost\\Deeper", KEY_READ), STATUS_SUCCESS);
    ExpectValues(fromHost, u"", cases);
}

TEST_F(Registry, HostHelpersStoreTheUsualEncodings)
{
    const std::u16string path = kMachine + u"\\SYSTEM\\Helpers";
    ASSERT_EQ(plat::RegSetDword(path, u"Dword", 0x12345678), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetQword(path, u"Qword", 0x0102030405060708ULL), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetString(path, u"Mfg", u"Maker"), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetMultiString(path, u"Ids", {u"USB\\VID_1", u"USB\\Class_01"}), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetBinary(path, u"Three", {1, 2, 3}), STATUS_SUCCESS);
    ExpectValues(nullptr, path,
                 {{u"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
                  {u"Qword", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}},
                  {u"Mfg", REG_SZ, {'M', 0, 'a', 0, 'k', 0, 'e', 0, 'r', 0, 0, 0}},
                  {u"Ids", REG_MULTI_SZ, WideBytes(Units(u"USB\\VID_1\0USB\\Class_01\0\0"))},
                  {u"Three", REG_BINARY, {1, 2, 3}}});
    ULONG dword = 0;
    ULONGLONG qword = 0;
    std::u16string text;
    EXPECT_TRUE(plat::RegGetDword(path, u"Dword", &dword));
    EXPECT_EQ(dword, 0x12345678u);
    EXPECT_TRUE(plat::RegGetQword(path, u"Qword", &qword));
    EXPECT_EQ(qword, 0x0102030405060708ULL);
    EXPECT_FALSE(plat::RegGetDword(path, u"Three", &dword)) << "3 bytes are not a DWORD";
    EXPECT_FALSE(plat::RegGetDword(path, u"Missing", &dword));
    EXPECT_TRUE(plat::RegGetString(path, u"Mfg", &text));
    EXPECT_EQ(text, u"Maker");
    ULONG type = 0;
    Bytes data;
    EXPECT_EQ(plat::RegGetValue(path + u"\\Nope", u"Mfg", &type, &data), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::RegGetValue(path, u"Nope", &type, &data), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Sizes are computed here from the documented layouts: the basic and partial records have a
// 12-byte fixed part, the full one 20 bytes with the data at the next 4-byte boundary after
// the name.
TEST_F(Registry, ShortBuffersGiveTooSmallThenOverflowWithTheNeededSize)
{
    const Bytes data = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    struct Row
    {
        KEY_VALUE_INFORMATION_CLASS Class;
        ULONG Length;
        NTSTATUS Expected;
        ULONG Whole;
    };
    const Row rows[] = {
        {KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 22},
        {KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 22},
        {KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 22},
        {KeyValuePartialInformation, 16, STATUS_BUFFER_OVERFLOW, 22},
        {KeyValuePartialInformation, 22, STATUS_SUCCESS, 22},
        {KeyValuePartialInformation, 40, STATUS_SUCCESS, 22},
        {KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 18},
        {KeyValueBasicInformation, 14, STATUS_BUFFER_OVERFLOW, 18},
        {KeyValueBasicInformation, 18, STATUS_SUCCESS, 18},
        {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 38},
        {KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 38},
        {KeyValueFullInformation, 37, STATUS_BUFFER_OVERFLOW, 38},
        {KeyValueFullInformation, 38, STATUS_SUCCESS, 38},
    };
    Key key;
    ASSERT_EQ(CreateKey(&key.H, kMachine + u"\\Sizes", KEY_ALL_ACCESS), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key, u"Val", REG_BINARY, data), STATUS_SUCCESS);
    NtName name(u"Val");
    for (const Row& row : rows)
    {
        SCOPED_TRACE("class " + std::to_string(row.Class) + ", length " + std::to_string(row.Length));
        UCHAR whole[64];
        ULONG wholeLength = 0;
        ASSERT_EQ(ZwQueryValueKey(key, name.Get(), row.Class, whole, sizeof(whole), &wholeLength),
                  STATUS_SUCCESS);
        UCHAR buffer[64];
        std::memset(buffer, 0xCC, sizeof(buffer));
        ULONG resultLength = 0xFFFF;
        EXPECT_EQ(ZwQueryValueKey(key, name.Get(), row.Class, buffer, row.Length, &resultLength),
                  row.Expected);
        EXPECT_EQ(resultLength, row.Whole);
        // Nothing is written on TOO_SMALL; otherwise as much of the record as fits.
        size_t copied = row.Expected == STATUS_BUFFER_TOO_SMALL ? 0 : std::min<size_t>(row.Length, row.Whole);
        EXPECT_EQ(0, std::memcmp(buffer, whole, copied));
        for (size_t i = copied; i < sizeof(buffer); ++i)
            ASSERT_EQ(buffer[i], 0xCC) << "byte " << i << " written past what fits";
    }
    UCHAR full[64];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryValueKey(key, name.Get(), KeyValueFullInformation, full, sizeof(full), &length),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(full);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(NameAt(full, 20, info->NameLength), u"Val");
    EXPECT_EQ(info->DataOffset, 28u);
    EXPECT_EQ(Bytes(full + 28, full + 28 + info->DataLength), data);
    NtName missing(u"Absent");
    EXPECT_EQ(ZwQueryValueKey(key, missing.Get(), KeyValuePartialInformation, full, sizeof(full), &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Registry, QueryKeyReportsNameCountsMaximaAndClass)
{
    Key system, key, a, bcd;
    ASSERT_EQ(CreateKey(&system.H, kMachine + u"\\SYSTEM", KEY_ALL_ACCESS), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(&key.H, u"Device Parameters", KEY_ALL_ACCESS, system, nullptr, 0, u"AudioClass"),
              STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(&a.H, u"A", KEY_READ, key), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(&bcd.H, u"Bcd", KEY_READ, key, nullptr, 0, u"Xy"), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key, u"x", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key, u"long name", REG_BINARY, Bytes(10, 0xAB)), STATUS_SUCCESS);

    UCHAR buffer[160];
    ULONG length = 0;
    // Basic: 16 fixed bytes, then 17 characters of name.
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 15, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 50u);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 16, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer)->NameLength, 34u);
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 50, &length), STATUS_SUCCESS);
    EXPECT_EQ(NameAt(buffer, 16, 34), u"Device Parameters");

    // Full: 44 fixed bytes, then the class.
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, 43, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 64u);
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, 44, &length), STATUS_BUFFER_OVERFLOW);
    auto* full = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer);
    // Subkeys, longest subkey name and class, values, longest value name and data, class place.
    EXPECT_EQ(std::vector<ULONG>({full->SubKeys, full->MaxNameLen, full->MaxClassLen, full->Values,
                                  full->MaxValueNameLen, full->MaxValueDataLen, full->ClassOffset,
                                  full->ClassLength}),
              std::vector<ULONG>({2, 6, 4, 2, 18, 10, 44, 20}));
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 64u);
    EXPECT_EQ(NameAt(buffer, 44, 20), u"AudioClass");

    // Node: the class follows the name at the next 4-byte boundary (24 + 34 -> 60).
    ASSERT_EQ(ZwQueryKey(key, KeyNodeInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 80u);
    EXPECT_EQ(reinterpret_cast<PKEY_NODE_INFORMATION>(buffer)->ClassOffset, 60u);
    EXPECT_EQ(NameAt(buffer, 60, 20), u"AudioClass");

    ASSERT_EQ(ZwQueryKey(key, KeyNameInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto* name = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer);
    EXPECT_EQ(NameAt(buffer, 4, name->NameLength), u"\\REGISTRY\\MACHINE\\SYSTEM\\Device Parameters");
    EXPECT_EQ(ZwQueryKey(key, KeyCachedInformation, buffer, sizeof(buffer), &length),
              STATUS_INVALID_PARAMETER);
}

// The reads come first, so that a row can tell them from the writes.
enum class Op
{
    QueryValue,
    EnumerateKeys,
    EnumerateValues,
    QueryKey,
    SetValue,
    DeleteValue,
    CreateSubkey,
    DeleteKey,
};

// Runs one operation on a handle; DeleteKey is run on the key's leaf subkey "Existing".
NTSTATUS RunOp(Op op, const std::u16string& path, ACCESS_MASK access)
{
    Key key, sub;
    NTSTATUS status = OpenKey(&key.H, op == Op::DeleteKey ? path + u"\\Existing" : path, access);
    if (!NT_SUCCESS(status))
        return status;
    UCHAR buffer[128];
    ULONG length = 0;
    NtName value(u"v");
    switch (op)
    {
    case Op::QueryValue:
        return ZwQueryValueKey(key, value.Get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    case Op::SetValue:
        return SetValue(key, u"v", REG_BINARY, {9});
    case Op::DeleteValue:
        return ZwDeleteValueKey(key, value.Get());
    case Op::EnumerateKeys:
        return ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof(buffer), &length);
    case Op::EnumerateValues:
        return ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer, sizeof(buffer), &length);
    case Op::QueryKey:
        return ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &length);
    case Op::CreateSubkey:
        return CreateKey(&sub.H, u"New", KEY_READ, key);
    case Op::DeleteKey:
        return ZwDeleteKey(key);
    }
    return STATUS_UNSUCCESSFUL;
}

// Whether the operation's change is visible from the host.
bool OpChangedHive(Op op, const std::u16string& path)
{
    Bytes data;
    ULONG type = 0;
    switch (op)
    {
    case Op::SetValue:
        return NT_SUCCESS(plat::RegGetValue(path, u"v", &type, &data)) && data == Bytes{9};
    case Op::DeleteValue:
        return !NT_SUCCESS(plat::RegGetValue(path, u"v", &type, &data));
    case Op::CreateSubkey:
        return plat::RegKeyExists(path + u"\\New");
    case Op::DeleteKey:
        return !plat::RegKeyExists(path + u"\\Existing");
    default:
        return false;
    }
}

TEST_F(Registry, EveryOperationNeedsItsAccessRight)
{
    const ACCESS_MASK settingsAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    struct Row
    {
        ACCESS_MASK Access;
        Op Operation;
        NTSTATUS Expected;
    };
    const Row rows[] = {
        {KEY_SET_VALUE, Op::QueryValue, STATUS_ACCESS_DENIED},
        {KEY_SET_VALUE, Op::SetValue, STATUS_SUCCESS},
        {KEY_QUERY_VALUE, Op::QueryValue, STATUS_SUCCESS},
        {KEY_QUERY_VALUE, Op::SetValue, STATUS_ACCESS_DENIED},
        {KEY_QUERY_VALUE, Op::DeleteValue, STATUS_ACCESS_DENIED},
        {KEY_QUERY_VALUE, Op::EnumerateValues, STATUS_SUCCESS},
        {KEY_QUERY_VALUE, Op::EnumerateKeys, STATUS_ACCESS_DENIED},
        {KEY_QUERY_VALUE, Op::QueryKey, STATUS_SUCCESS},
        {KEY_QUERY_VALUE, Op::CreateSubkey, STATUS_ACCESS_DENIED},
        {settingsAccess, Op::CreateSubkey, STATUS_SUCCESS},
        {settingsAccess, Op::SetValue, STATUS_SUCCESS},
        {KEY_ENUMERATE_SUB_KEYS, Op::EnumerateKeys, STATUS_SUCCESS},
        {KEY_ENUMERATE_SUB_KEYS, Op::QueryKey, STATUS_ACCESS_DENIED},
        {KEY_ENUMERATE_SUB_KEYS, Op::EnumerateValues, STATUS_ACCESS_DENIED},
        {KEY_READ, Op::SetValue, STATUS_ACCESS_DENIED},
        {KEY_READ, Op::DeleteKey, STATUS_ACCESS_DENIED},
        {KEY_WRITE, Op::QueryValue, STATUS_ACCESS_DENIED},
        {KEY_WRITE, Op::CreateSubkey, STATUS_SUCCESS},
        {KEY_WRITE, Op::DeleteValue, STATUS_SUCCESS},
        {GENERIC_READ, Op::QueryValue, STATUS_SUCCESS},
        {GENERIC_READ, Op::SetValue, STATUS_ACCESS_DENIED},
        {KEY_ALL_ACCESS, Op::DeleteKey, STATUS_SUCCESS},
    };
    for (size_t i = 0; i < RTL_NUMBER_OF(rows); ++i)
    {
        SCOPED_TRACE("row " + std::to_string(i));
        std::u16string path = kMachine + u"\\Access" + plat::WideFromUtf8(std::to_string(i));
        ASSERT_EQ(plat::RegSetBinary(path, u"v", {1}), STATUS_SUCCESS);
        ASSERT_EQ(plat::RegCreateKeyPath(path + u"\\Existing"), STATUS_SUCCESS);
        EXPECT_EQ(RunOp(rows[i].Operation, path, rows[i].Access), rows[i].Expected);
        EXPECT_EQ(OpChangedHive(rows[i].Operation, path),
                  rows[i].Expected == STATUS_SUCCESS && rows[i].Operation >= Op::SetValue);
    }
}

TEST_F(Registry, BadNamesAreRefused)
{
    struct Row
    {
        std::u16string Path;
        NTSTATUS Expected;
    };
    const Row rows[] = {
        {u"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Registry\\\\Machine", STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\", STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\" + std::u16string(256, u'k'), STATUS_OBJECT_NAME_INVALID},
        {u"\\Device\\Thing", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\Nothing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet", STATUS_OBJECT_NAME_NOT_FOUND}, // no parent
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(plat::Utf8FromWide(row.Path));
        HANDLE key = nullptr;
        EXPECT_EQ(CreateKey(&key, row.Path, KEY_ALL_ACCESS), row.Expected);
        EXPECT_EQ(key, nullptr);
    }
    EXPECT_FALSE(plat::RegKeyExists(kMachine + u"\\SYSTEM")) << "a failed create made a parent";
    Key longest;
    ASSERT_EQ(CreateKey(&longest.H, kMachine + u"\\" + std::u16string(255, u'k'), KEY_ALL_ACCESS),
              STATUS_SUCCESS);
}

TEST_F(Registry, KeyAndValueNamesIgnoreLetterCase)
{
    Key key;
    ASSERT_EQ(plat::RegCreateKeyPath(kMachine + u"\\Software\\Vendor Größe"), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(&key.H, u"\\REGISTRY\\machine\\SOFTWARE\\vendor GRÖSSE", KEY_ALL_ACCESS),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "ß has no single upper-case letter: the names differ";
    ASSERT_EQ(OpenKey(&key.H, u"\\REGISTRY\\machine\\SOFTWARE\\vendor GRÖßE", KEY_ALL_ACCESS),
              STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key, u"SelectiveSuspendEnabled", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key, u"SELECTIVESUSPENDENABLED", REG_DWORD, {0, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key, u"Громкость", REG_BINARY, {5}), STATUS_SUCCESS);
    ULONG type = 0;
    Bytes data;
    ASSERT_EQ(ReadValue(key, u"selectivesuspendenabled", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, (Bytes{0, 0, 0, 0})) << "the second set replaced the first";
    ASSERT_EQ(ReadValue(key, u"ГРОМКОСТЬ", &type, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Bytes{5});

    // One value, keeping the spelling it was created with; the key keeps its own too.
    UCHAR buffer[128];
    ULONG length = 0;
    ASSERT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(NameAt(buffer, 12, basic->NameLength), u"SelectiveSuspendEnabled");
    EXPECT_EQ(ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_NO_MORE_ENTRIES);
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto* keyInfo = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(NameAt(buffer, 16, keyInfo->NameLength), u"Vendor Größe");
}

std::vector<std::u16string> EnumerateNames(HANDLE key, bool values)
{
    std::vector<std::u16string> names;
    UCHAR buffer[256];
    ULONG length = 0;
    for (ULONG i = 0;; ++i)
    {
        NTSTATUS status =
            values ? ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof(buffer), &length)
                   : ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof(buffer), &length);
        if (status == STATUS_NO_MORE_ENTRIES)
            return names;
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status))
            return names;
        if (values)
            names.push_back(
                NameAt(buffer, 12, reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer)->NameLength));
        else
            names.push_back(NameAt(buffer, 16, reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer)->NameLength));
    }
}

TEST_F(Registry, SubkeysEnumerateByNameAndValuesInTheOrderFirstSet)
{
    const std::u16string path = kMachine + u"\\Order";
    for (const char16_t* name : {u"beta", u"_x", u"Alpha", u"gamma"})
        ASSERT_EQ(plat::RegCreateKeyPath(path + u"\\" + name), STATUS_SUCCESS);
    Key key;
    ASSERT_EQ(OpenKey(&key.H, path, KEY_ALL_ACCESS), STATUS_SUCCESS);
    for (const char16_t* name : {u"z", u"a", u"m"})
        ASSERT_EQ(SetValue(key, name, REG_BINARY, {1}), STATUS_SUCCESS);
    // Upper-cased names compare code unit by code unit: '_' (0x5F) sorts after the letters.
    EXPECT_EQ(EnumerateNames(key, false), (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma", u"_x"}));
    EXPECT_EQ(EnumerateNames(key, true), (std::vector<std::u16string>{u"z", u"a", u"m"}));

    ASSERT_EQ(SetValue(key, u"A", REG_BINARY, {2}), STATUS_SUCCESS);
    NtName z(u"Z");
    ASSERT_EQ(ZwDeleteValueKey(key, z.Get()), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, z.Get()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(EnumerateNames(key, true), (std::vector<std::u16string>{u"a", u"m"}));

    UCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(ZwEnumerateKey(key, 4, KeyBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateKey(key, 1000, KeyBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateValueKey(key, 2, KeyValueFullInformation, buffer, sizeof(buffer), &length),
              STATUS_NO_MORE_ENTRIES);
    // A short buffer during enumeration answers as a query does.
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, 8, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u + 10u);
}

TEST_F(Registry, RelativeOpensWalkBelowTheRootHandle)
{
    ASSERT_EQ(plat::RegCreateKeyPath(kMachine + u"\\SYSTEM\\CurrentControlSet\\Enum"), STATUS_SUCCESS);
    Key system, relative, self, existing, fresh;
    HANDLE none = nullptr;
    ASSERT_EQ(OpenKey(&system.H, kMachine + u"\\SYSTEM", KEY_READ), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(&relative.H, u"currentcontrolset\\ENUM", KEY_ALL_ACCESS, system), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(relative, u"v", REG_DWORD, {4, 0, 0, 0}), STATUS_SUCCESS)
        << "the new handle has its own access, not the root's";
    EXPECT_EQ(OpenKey(&none, u"\\CurrentControlSet", KEY_READ, system), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(OpenKey(&none, u"Missing", KEY_READ, system), STATUS_OBJECT_NAME_NOT_FOUND);

    // An empty name opens the root's own key again.
    ASSERT_EQ(OpenKey(&self.H, u"", KEY_QUERY_VALUE, system), STATUS_SUCCESS);
    UCHAR buffer[256];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(self, KeyNameInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    EXPECT_EQ(NameAt(buffer, 4, reinterpret_cast<PKEY_NAME_INFORMATION>(buffer)->NameLength),
              u"\\REGISTRY\\MACHINE\\SYSTEM");

    // Creating through a root handle needs KEY_CREATE_SUB_KEY on it; opening an existing key
    // through the same call does not.
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(&none, u"NewChild", KEY_ALL_ACCESS, system), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(plat::RegKeyExists(kMachine + u"\\SYSTEM\\NewChild"));
    ASSERT_EQ(CreateKey(&existing.H, u"CurrentControlSet", KEY_ALL_ACCESS, system, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    ASSERT_EQ(CreateKey(&fresh.H, u"Fresh", KEY_READ, existing, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(plat::RegKeyExists(kMachine + u"\\SYSTEM\\CurrentControlSet\\Fresh"));
}

TEST_F(Registry, ClosingAHandleReleasesItsObject)
{
    ASSERT_EQ(plat::RegCreateKeyPath(kMachine + u"\\Leak"), STATUS_SUCCESS);
    HANDLE a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(OpenKey(&a, kMachine + u"\\Leak", KEY_READ), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(&b, kMachine + u"\\Leak", KEY_READ), STATUS_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), 2u);
    EXPECT_EQ(OpenKey(&c, kMachine + u"\\Missing", KEY_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey(&c, u"Missing", KEY_READ, a), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), 2u) << "a failed open left an object";
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), 1u);
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
    EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), 0u);
    EXPECT_EQ(ZwFlushKey(b), STATUS_INVALID_HANDLE);
}

TEST_F(Registry, ADeletedKeyFailsOnEveryHandleUntilClosed)
{
    ASSERT_EQ(plat::RegSetDword(kMachine + u"\\Parent\\Leaf", u"v", 1), STATUS_SUCCESS);
    HANDLE parent = nullptr, leaf = nullptr, other = nullptr;
    ASSERT_EQ(OpenKey(&parent, kMachine + u"\\Parent", KEY_ALL_ACCESS), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(&leaf, kMachine + u"\\Parent\\Leaf", KEY_ALL_ACCESS), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(&other, kMachine + u"\\Parent\\Leaf", KEY_ALL_ACCESS), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE) << "it has a subkey";
    ASSERT_EQ(ZwDeleteKey(leaf), STATUS_SUCCESS);
    EXPECT_FALSE(plat::RegKeyExists(kMachine + u"\\Parent\\Leaf"));
    ULONG type = 0;
    Bytes data;
    EXPECT_EQ(ReadValue(other, u"v", &type, &data), STATUS_KEY_DELETED);
    EXPECT_EQ(SetValue(other, u"w", REG_BINARY, {1}), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(other), STATUS_KEY_DELETED);
    HANDLE child = nullptr;
    EXPECT_EQ(CreateKey(&child, u"Below", KEY_ALL_ACCESS, other), STATUS_KEY_DELETED);
    EXPECT_EQ(EnumerateNames(parent, false).size(), 0u);
    ZwClose(other);
    ZwClose(leaf);
    ASSERT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    ZwClose(parent);

    Key root;
    ASSERT_EQ(OpenKey(&root.H, kMachine, KEY_ALL_ACCESS), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(root), STATUS_CANNOT_DELETE) << "hive roots stay";
}

TEST_F(Registry, ResetLeavesOpenHandlesOnDeletedKeys)
{
    ASSERT_EQ(plat::RegSetDword(kMachine + u"\\Before", u"v", 7), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKey(&key, kMachine + u"\\Before", KEY_ALL_ACCESS), STATUS_SUCCESS);
    plat::RegReset();
    ULONG type = 0;
    Bytes data;
    EXPECT_EQ(ReadValue(key, u"v", &type, &data), STATUS_KEY_DELETED);
    EXPECT_FALSE(plat::RegKeyExists(kMachine + u"\\Before"));
    EXPECT_TRUE(plat::RegKeyExists(kMachine));
    EXPECT_TRUE(plat::RegKeyExists(u"\\Registry\\User"));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(Registry, CountersCountEveryOpenAndCreateCall)
{
    Key made, opened, host;
    HANDLE none = nullptr;
    ASSERT_EQ(CreateKey(&made.H, kMachine + u"\\Counted", KEY_ALL_ACCESS), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(&opened.H, kMachine + u"\\Counted", KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(OpenKey(&none, kMachine + u"\\Absent", KEY_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::RegGetCounters().OpenKeyCalls, 2u);
    EXPECT_EQ(plat::RegGetCounters().CreateKeyCalls, 1u);

    // Values set and read from the host open no key.
    ASSERT_EQ(plat::RegSetDword(kMachine + u"\\Counted", u"v", 1), STATUS_SUCCESS);
    EXPECT_EQ(plat::RegGetCounters().OpenKeyCalls, 2u);

    ASSERT_EQ(plat::RegOpenKeyHandle(kMachine + u"\\Made\\By\\Host", KEY_READ, true, &host.H),
              STATUS_SUCCESS);
    EXPECT_EQ(plat::RegGetCounters().CreateKeyCalls, 2u);
    EXPECT_TRUE(plat::RegKeyExists(kMachine + u"\\Made\\By\\Host"));
    plat::RegResetCounters();
    EXPECT_EQ(plat::RegGetCounters().OpenKeyCalls, 0u);
    EXPECT_EQ(plat::RegGetCounters().CreateKeyCalls, 0u);
}

TEST_F(Registry, VolatileKeysTakeOnlyVolatileChildrenAndAreNotSaved)
{
    Key key, child;
    ASSERT_EQ(
        CreateKey(&key.H, kMachine + u"\\Volatile", KEY_ALL_ACCESS, nullptr, nullptr, REG_OPTION_VOLATILE),
        STATUS_SUCCESS);
    EXPECT_EQ(CreateKey(&child.H, u"Stable", KEY_ALL_ACCESS, key), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(CreateKey(&child.H, u"Fleeting", KEY_ALL_ACCESS, key, nullptr, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    ASSERT_EQ(SetValue(child, u"v", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetDword(kMachine + u"\\Stable", u"v", 2), STATUS_SUCCESS);
    std::string text = plat::RegSaveHiveText();
    EXPECT_EQ(text.find("Volatile"), std::string::npos) << text;
    ASSERT_EQ(plat::RegLoadHiveText(text), STATUS_SUCCESS);
    EXPECT_FALSE(plat::RegKeyExists(kMachine + u"\\Volatile"));
    EXPECT_TRUE(plat::RegKeyExists(kMachine + u"\\Stable"));
    EXPECT_EQ(
        CreateKey(&key.H, kMachine + u"\\Link", KEY_ALL_ACCESS, nullptr, nullptr, REG_OPTION_CREATE_LINK),
        STATUS_NOT_SUPPORTED);
}

// A hive with every type and names that a text form could easily get wrong.
void FillOddHive()
{
    const std::u16string odd = kMachine + u"\\Odd key ] [x] %20 \"q\" Größe 音";
    const std::u16string lone(1, char16_t(0xD800));
    auto set = [&](const std::u16string& name, ULONG type, const Bytes& data)
    { ASSERT_EQ(plat::RegSetValue(odd, name, type, data.data(), data.size()), STATUS_SUCCESS); };
    set(u"", REG_SZ, SzBytes(u"default value"));
    set(u"name with spaces = and \"quotes\"", REG_SZ, SzBytes(u"a \"quoted\" %percent% value"));
    set(u"controls\t\r\n", REG_EXPAND_SZ, SzBytes(u"%SystemRoot%\\x\ty"));
    set(u"unterminated", REG_SZ, WideBytes(u"no terminator"));
    set(u"embedded nul", REG_SZ, WideBytes(Units(u"a\0b\0")));
    set(u"odd length", REG_SZ, {0x41, 0x00, 0x42});
    set(u"surrogates " + lone + u" 😀", REG_SZ, SzBytes(u"pair 😀 lone " + lone + u"."));
    set(u"binary", REG_BINARY, {0x00, 0xff, 0x10, 0x20});
    set(u"empty binary", REG_BINARY, {});
    set(u"dword", REG_DWORD, {0x2c, 0x01, 0x00, 0x80});
    set(u"short dword", REG_DWORD, {1, 2, 3});
    set(u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0xff});
    set(u"multi", REG_MULTI_SZ, WideBytes(Units(u"one\0two, three\0\0")));
    set(u"multi with empty", REG_MULTI_SZ, WideBytes(Units(u"a\0\0b\0\0")));
    set(u"multi empty", REG_MULTI_SZ, {0, 0});
    set(u"multi bad", REG_MULTI_SZ, WideBytes(u"ab"));
    set(u"none", REG_NONE, {7, 8});
    set(u"numbered", 0x12345678, {9});
    ASSERT_EQ(plat::RegCreateKeyPath(kMachine + u"\\Empty leaf"), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetDword(u"\\Registry\\User\\S-1\\Environment", u"v", 3), STATUS_SUCCESS);
}

bool SameHive(const std::vector<plat::RegKeyRecord>& a, const std::vector<plat::RegKeyRecord>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (a[i].Path != b[i].Path || a[i].Values.size() != b[i].Values.size())
            return false;
        for (size_t k = 0; k < a[i].Values.size(); ++k)
        {
            const plat::RegValueRecord& x = a[i].Values[k];
            const plat::RegValueRecord& y = b[i].Values[k];
            if (x.Name != y.Name || x.Type != y.Type || x.Data != y.Data)
                return false;
        }
    }
    return true;
}

TEST_F(Registry, TextFormRoundTripsEveryTypeAndOddNames)
{
    FillOddHive();
    std::vector<plat::RegKeyRecord> before = plat::RegSnapshot();
    ASSERT_GE(before.size(), 6u);
    std::string text = plat::RegSaveHiveText();
    plat::RegReset();
    ASSERT_EQ(plat::RegSnapshot().size(), 3u) << "reset leaves the three roots";
    std::string error;
    ASSERT_EQ(plat::RegLoadHiveText(text, &error), STATUS_SUCCESS) << error << "\n" << text;
    EXPECT_TRUE(SameHive(plat::RegSnapshot(), before)) << text;
    EXPECT_EQ(plat::RegSaveHiveText(), text) << "saving again gives the same text";
    // The readable forms, where the data allows them.
    for (const char* line :
         {"\n[\\REGISTRY\\MACHINE\\Odd key ] [x] %%20 %0022q%0022 Größe 音]\n",
          "\n\"\" = sz:\"default value\"\n", "\n\"unterminated\" = sz:raw\"no terminator\"\n",
          "\n\"odd length\" = sz:hex:41 00 42\n", "\n\"dword\" = dword:0x8000012c\n",
          "\n\"short dword\" = dword:hex:01 02 03\n", "\n\"multi\" = multi_sz:\"one\",\"two, three\"\n",
          "\n\"binary\" = binary:00 ff 10 20\n", "\n\"numbered\" = 0x12345678:hex:09\n",
          "\n[\\REGISTRY\\MACHINE\\Empty leaf]\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nnot in:\n" << text;
    EXPECT_EQ(text.find("[\\REGISTRY\\MACHINE]"), std::string::npos) << "roots need no line of their own";
    // Each value is on one line, and the text holds no raw control characters.
    for (char c : text)
        ASSERT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);

    // The same through a file, replaced whole; a missing file leaves the hive as it was.
    char folder[] = "/tmp/uacsim-hive-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/hive.txt";
    EXPECT_EQ(plat::RegLoadHive(file, &error), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(plat::RegSaveHive(file, &error), STATUS_SUCCESS) << error;
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    plat::RegReset();
    ASSERT_EQ(plat::RegLoadHive(file, &error), STATUS_SUCCESS) << error;
    EXPECT_TRUE(SameHive(plat::RegSnapshot(), before));
    EXPECT_EQ(plat::RegLoadHive(std::string(folder) + "/absent.txt", &error), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(SameHive(plat::RegSnapshot(), before));
    EXPECT_EQ(plat::RegSaveHive(std::string(folder) + "/no/such/dir/hive.txt", &error), STATUS_UNSUCCESSFUL);
    std::filesystem::remove_all(folder);
}

// What each form of the text means, spelled out byte by byte.
TEST_F(Registry, TextReaderTakesEveryDataForm)
{
    const std::string text = "\xEF\xBB\xBF# comment\r\n"
                             "   ; another comment\n"
                             "\n"
                             "[\\REGISTRY\\MACHINE\\Forms\\100%% sure %0041]\n"
                             "\"sz\" = sz:\"x%%y%0022\"\n"
                             "\"raw\" = sz:raw\"x\"\n"
                             "\"expand\"=expand_sz:\"%%A%%\"   \n"
                             "\"dec\" = dword:300\n"
                             "\"hex\" = dword:0x0000012C\n"
                             "\"q\" = qword:0x100000000\n"
                             "\"bin\" = binary:10 20 2c\n"
                             "\"binhex\" = binary:hex:01\n"
                             "\"list\" = multi_sz:\"a\", \"b\"\n"
                             "\"nolist\" = multi_sz:\n"
                             "\"typed\" = 4660:hex:ab cd\n"
                             "\"sz as hex\" = sz:hex:41 00\n";
    std::string error;
    ASSERT_EQ(plat::RegLoadHiveText(text, &error), STATUS_SUCCESS) << error;
    ExpectValues(nullptr, kMachine + u"\\Forms\\100% sure A",
                 {
                     {u"sz", REG_SZ, {'x', 0, '%', 0, 'y', 0, '"', 0, 0, 0}},
                     {u"raw", REG_SZ, {'x', 0}},
                     {u"expand", REG_EXPAND_SZ, {'%', 0, 'A', 0, '%', 0, 0, 0}},
                     {u"dec", REG_DWORD, {0x2c, 0x01, 0, 0}},
                     {u"hex", REG_DWORD, {0x2c, 0x01, 0, 0}},
                     {u"q", REG_QWORD, {0, 0, 0, 0, 1, 0, 0, 0}},
                     {u"bin", REG_BINARY, {0x10, 0x20, 0x2c}},
                     {u"binhex", REG_BINARY, {0x01}},
                     {u"list", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
                     {u"nolist", REG_MULTI_SZ, {0, 0}},
                     {u"typed", 0x1234, {0xab, 0xcd}},
                     {u"sz as hex", REG_SZ, {0x41, 0x00}},
                 });
}

TEST_F(Registry, MalformedTextChangesNothing)
{
    const char* const bad[] = {
        "\"v\" = dword:1\n",                                     // value before any key
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" dword:1\n",             // no '='
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = dword:0x100000000\n", // too wide
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = dword:\n",            // no number
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = qword:12 34\n",       // trailing text
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = bogus:1\n",           // unknown type
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = binary:1 2\n",        // not pairs
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = none:01\n",           // none takes hex: only
        "[\\REGISTRY\\MACHINE\\K]\n\"v = sz:\"x\"\n",            // quote never closed
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = sz:\"%12\"\n",        // short escape
        "[\\REGISTRY\\MACHINE\\K]\n\"v\" = multi_sz:\"a\" \"b\"\n",
        "[\\REGISTRY\\MACHINE\\\\K]\n", // empty component
        "[\\REGISTRY\\MACHINE\\K\n",    // no closing bracket
        "[REGISTRY\\MACHINE\\K]\n",     // not absolute
        "[\\Elsewhere\\K]\n",           // not in the registry
    };
    ASSERT_EQ(plat::RegSetDword(kMachine + u"\\Keep", u"v", 42), STATUS_SUCCESS);
    for (const char* text : bad)
    {
        SCOPED_TRACE(text);
        std::string error;
        NTSTATUS status = plat::RegLoadHiveText(text, &error);
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_FALSE(error.empty());
        ULONG value = 0;
        EXPECT_TRUE(plat::RegGetDword(kMachine + u"\\Keep", u"v", &value));
        EXPECT_EQ(value, 42u);
        EXPECT_FALSE(plat::RegKeyExists(kMachine + u"\\K"));
    }
    std::string error;
    EXPECT_EQ(plat::RegLoadHiveText("[\\REGISTRY\\MACHINE\\K]\n\n\"v\" = dword:x\n", &error),
              STATUS_DATA_ERROR);
    EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
}

// Writers on their own handles to one key, while another thread keeps deleting and re-creating
// a subkey of it: every write lands, and nothing is read after it was freed.
TEST_F(Registry, ConcurrentWritersLoseNothing)
{
    const std::u16string path = kMachine + u"\\Shared";
    ASSERT_EQ(plat::RegCreateKeyPath(path), STATUS_SUCCESS);
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [&, t]
            {
                Key key;
                ASSERT_EQ(OpenKey(&key.H, path, KEY_ALL_ACCESS), STATUS_SUCCESS);
                std::u16string name = u"writer" + plat::WideFromUtf8(std::to_string(t));
                for (int round = 0; round < kRounds; ++round)
                {
                    ULONG word = static_cast<ULONG>(t * 1000 + round);
                    Bytes data(reinterpret_cast<UCHAR*>(&word), reinterpret_cast<UCHAR*>(&word) + 4);
                    ASSERT_EQ(SetValue(key, name, REG_DWORD, data), STATUS_SUCCESS);
                    ULONG type = 0;
                    Bytes back;
                    ASSERT_EQ(ReadValue(key, name, &type, &back), STATUS_SUCCESS);
                    ASSERT_EQ(back, data);
                }
            });
    threads.emplace_back(
        [&]
        {
            Key parent;
            ASSERT_EQ(OpenKey(&parent.H, path, KEY_ALL_ACCESS), STATUS_SUCCESS);
            for (int round = 0; round < kRounds; ++round)
            {
                Key child;
                ASSERT_EQ(CreateKey(&child.H, u"Churn", KEY_ALL_ACCESS, parent), STATUS_SUCCESS);
                ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
    {
        ULONG value = 0;
        EXPECT_TRUE(plat::RegGetDword(path, u"writer" + plat::WideFromUtf8(std::to_string(t)), &value));
        EXPECT_EQ(value, static_cast<ULONG>(t * 1000 + kRounds - 1));
    }
    EXPECT_FALSE(plat::RegKeyExists(path + u"\\Churn"));
}

using RegistryDeathTest = Registry;

TEST_F(RegistryDeathTest, ZwRoutinesStopTheProcessAbovePassiveLevel)
{
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            HANDLE key = nullptr;
            OpenKey(&key, kMachine, KEY_READ);
        },
        "ZwOpenKey called at IRQL 1: registry and file routines must run at PASSIVE_LEVEL");
}

} // namespace
