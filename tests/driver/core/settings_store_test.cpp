// The settings store driven through its routines on an adapter device: values of "Settings" in
// the driver key as the registry holds them, the keys it opens (counted by the registry), and
// the device's values in the Enum tree under each of its hardware IDs.
#include "support/settings_device_fixture.h"

#include "driver/core/settings_store.h"

namespace
{

using settings_test::StoredValue;
using settings_test::WideBytes;

const std::u16string kEnum = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::u16string kOldEnum = u"\\Registry\\Machine\\Enum\\";
const std::u16string kInstance = u"\\5&2a3c&0&1"; // the default device's instance name
const std::u16string kFirstId = u"USB\\VID_0D8C&PID_0014&REV_0100";
const std::u16string kSecondId = u"USB\\VID_0D8C&PID_0014";
const std::u16string kParameters = kInstance + u"\\Device Parameters";

const ULONG kRead = SETTINGS_OPERATION_READ, kWrite = SETTINGS_OPERATION_WRITE;

class SettingsStore : public settings_test::SettingsDeviceFixture
{
protected:
    void SetUp() override
    {
        SettingsDeviceFixture::SetUp();
        CreateDevice();
    }
    NTSTATUS Access(ULONG operation, PCWSTR subkey, PCWSTR name, ULONG type, void* data, ULONG size)
    {
        return AccessSettingsValue(Fdo(), operation, subkey, name, type, data, size);
    }
    StoredValue Stored(const std::u16string& keyPath, const std::u16string& name)
    {
        StoredValue value;
        plat::RegGetValue(keyPath, name, &value.Type, &value.Data);
        return value;
    }
    size_t KeyOpens()
    {
        plat::RegistryCounters counters = plat::RegGetCounters();
        return counters.OpenKeyCalls + counters.CreateKeyCalls;
    }
    NTSTATUS ReadSuspend(ULONG* value, ULONG selector = SETTINGS_SELECTOR_SELECTIVE_SUSPEND_ENABLED)
    {
        return ReadSelectiveSuspendSettings(Pdo(), selector, sizeof(*value), value);
    }
};

TEST_F(SettingsStore, ReadCopiesOnlyAStoredValueThatFits)
{
    struct Case
    {
        const char* What;
        std::vector<UCHAR> Stored; // empty: the value is absent
        ULONG Size;
        NTSTATUS Status;
        ULONG After; // the buffer, which starts as 0xA3A2A1A0
    } cases[] = {
        {"absent keeps the default", {}, 4, STATUS_OBJECT_NAME_NOT_FOUND, 0xA3A2A1A0},
        {"4 bytes into 1", {1, 2, 3, 4}, 1, STATUS_UNSUCCESSFUL, 0xA3A2A1A0},
        {"1 byte into 4", {0x7F}, 4, STATUS_SUCCESS, 0xA3A2A17F},
        {"exactly the size", {1, 2, 3, 4}, 4, STATUS_SUCCESS, 0x04030201},
        {"far longer", std::vector<UCHAR>(64, 0x55), 4, STATUS_UNSUCCESSFUL, 0xA3A2A1A0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        if (!c.Stored.empty())
        {
            ASSERT_EQ(plat::RegSetBinary(SettingsPath(), u"Value", c.Stored), STATUS_SUCCESS);
        }
        ULONG buffer = 0xA3A2A1A0;
        EXPECT_EQ(AccessSetting(Fdo(), kRead, &buffer, c.Size, u"Value"), c.Status);
        EXPECT_EQ(buffer, c.After);
    }
}

// Writes keep their type and size, into "Settings" or a subkey, through keys that exist or not;
// indexed names are the prefix and the decimal index; a read copies the bytes whatever the type.
TEST_F(SettingsStore, WritesKeepTypeSizeAndNameInSettingsOrItsSubkey)
{
    ULONG dword = 0x12345678;
    WCHAR text[] = u"abc";
    UCHAR blob[3] = {9, 8, 7};
    ULONGLONG back = 0;
    ASSERT_EQ(AccessSetting(Fdo(), kRead, &back, 4, u"Dword"), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_TRUE(plat::RegKeyExists(SettingsPath())) << "the read created Settings";
    ASSERT_EQ(plat::RegCreateKeyPath(SettingsPath() + u"\\Existing"), STATUS_SUCCESS);
    EXPECT_EQ(Access(kWrite, nullptr, u"Dword", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_EQ(Access(kWrite, nullptr, u"Text", REG_SZ, text, 6), STATUS_SUCCESS);
    EXPECT_EQ(AccessSetting(Fdo(), kWrite, blob, 3, u"Blob"), STATUS_SUCCESS);
    EXPECT_EQ(Access(kWrite, u"Existing", u"Blob", REG_BINARY, blob, 2), STATUS_SUCCESS);
    EXPECT_EQ(Access(kWrite, u"New", u"Blob", REG_BINARY, blob, 1), STATUS_SUCCESS);
    for (ULONG index : {0u, 12u})
        EXPECT_EQ(AccessIndexedSetting(Fdo(), kWrite, &index, 4, u"Unit5Volume", index), STATUS_SUCCESS);
    EXPECT_EQ(Stored(SettingsPath(), u"Dword"), (StoredValue{REG_DWORD, {0x78, 0x56, 0x34, 0x12}}));
    EXPECT_EQ(Stored(SettingsPath(), u"Text"), (StoredValue{REG_SZ, WideBytes(u"abc")}));
    EXPECT_EQ(Stored(SettingsPath(), u"Blob"), (StoredValue{REG_BINARY, {9, 8, 7}}));
    EXPECT_EQ(Stored(SettingsPath() + u"\\Existing", u"Blob"), (StoredValue{REG_BINARY, {9, 8}}));
    EXPECT_EQ(Stored(SettingsPath() + u"\\New", u"Blob"), (StoredValue{REG_BINARY, {9}}));
    EXPECT_EQ(Stored(SettingsPath(), u"Unit5Volume12"), (StoredValue{REG_BINARY, {12, 0, 0, 0}}));
    EXPECT_EQ(Stored(SettingsPath(), u"Unit5Volume0"), (StoredValue{REG_BINARY, {0, 0, 0, 0}}));
    EXPECT_EQ(AccessSetting(Fdo(), kRead, &back, 8, u"text"), STATUS_SUCCESS);
    EXPECT_EQ(back, 0x006300620061ull) << "the bytes of a REG_SZ";
    EXPECT_EQ(Access(kRead, u"NEW", u"blob", REG_BINARY, &back, 8), STATUS_SUCCESS);
    EXPECT_EQ(back, 0x006300620009ull) << "one byte read, the rest kept";
    EXPECT_EQ(AccessIndexedSetting(Fdo(), kRead, &back, 4, u"Unit5Volume", 12), STATUS_SUCCESS);
    EXPECT_EQ(back, 0x000000630000000Cull);
}

// Types other than REG_SZ, REG_BINARY and REG_DWORD, unknown operations and selectors, and
// indexed names over 49 characters (a cut name would be another index's).
TEST_F(SettingsStore, BadRequestsAreRefusedBeforeAnyKeyIsOpened)
{
    ULONG value = 1;
    for (ULONG type : {ULONG(REG_NONE), ULONG(REG_EXPAND_SZ), ULONG(REG_DWORD_BIG_ENDIAN),
                       ULONG(REG_MULTI_SZ), ULONG(REG_QWORD)})
    {
        EXPECT_EQ(Access(kRead, nullptr, u"V", type, &value, 4), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Access(kWrite, nullptr, u"V", type, &value, 4), STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(Access(3, nullptr, u"V", REG_BINARY, &value, 4), STATUS_INVALID_PARAMETER);
    std::u16string prefix(45, u'P');
    EXPECT_EQ(AccessIndexedSetting(Fdo(), kWrite, &value, 4, prefix.c_str(), 12345), STATUS_BUFFER_OVERFLOW);
    for (ULONG selector : {2u, 8u, 9u, 0xFFFFFFFFu})
        EXPECT_EQ(ReadSuspend(&value, selector), STATUS_INVALID_PARAMETER) << selector;
    for (ULONG selector : {0u, 1u, 7u, 10u})
        EXPECT_EQ(WriteDeviceString(Pdo(), selector, 4, u"ab"), STATUS_INVALID_PARAMETER) << selector;
    EXPECT_EQ(KeyOpens(), 0u);
    EXPECT_FALSE(plat::RegKeyExists(SettingsPath()));
    EXPECT_EQ(AccessIndexedSetting(Fdo(), kWrite, &value, 4, prefix.c_str(), 1234), STATUS_SUCCESS)
        << "49 characters fit";
    EXPECT_GT(KeyOpens(), 0u) << "the counters do move";
}

// ---- The Enum tree ----

TEST_F(SettingsStore, SelectiveSuspendIsReadFromAnyHardwareIdThatHoldsIt)
{
    struct Case
    {
        const char* What;
        std::vector<std::pair<std::u16string, ULONG>> Keys; // Device Parameters keys; value 0: none
        NTSTATUS Status;
        ULONG Value; // the buffer starts as 0xAB
    } cases[] = {
        // clang-format off
        {"no key at all", {}, STATUS_OBJECT_NAME_NOT_FOUND, 0xAB},
        {"the system's key without the value", {{kEnum + kSecondId, 0}}, STATUS_OBJECT_NAME_NOT_FOUND, 0xAB},
        {"the system's key", {{kEnum + kSecondId, 1}}, STATUS_SUCCESS, 1},
        {"only the old tree", {{kOldEnum + kFirstId, 7}}, STATUS_SUCCESS, 7},
        {"the current tree comes first", {{kOldEnum + kFirstId, 7}, {kEnum + kFirstId, 3}}, STATUS_SUCCESS, 3},
        {"first has it, second lacks it", {{kEnum + kFirstId, 11}, {kEnum + kSecondId, 0}}, STATUS_SUCCESS, 11},
        {"first lacks it, second has it", {{kEnum + kFirstId, 0}, {kOldEnum + kSecondId, 22}}, STATUS_SUCCESS, 22},
        // clang-format on
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        for (const auto& [id, value] : c.Keys)
        {
            ASSERT_EQ(value ? plat::RegSetDword(id + kParameters, u"SelectiveSuspendEnabled", value)
                            : plat::RegCreateKeyPath(id + kParameters),
                      STATUS_SUCCESS);
        }
        ULONG value = 0xAB;
        EXPECT_EQ(ReadSuspend(&value), c.Status);
        EXPECT_EQ(value, c.Value);
    }
    ASSERT_EQ(plat::IoDeviceParametersKeyPath(Pdo()), kEnum + kSecondId + kParameters);
    ASSERT_EQ(plat::RegSetBinary(kEnum + kSecondId + kParameters, u"SelectiveSuspendEnabled",
                                 std::vector<UCHAR>(8)),
              STATUS_SUCCESS);
    ULONG value = 0xAB;
    EXPECT_EQ(ReadSuspend(&value), STATUS_UNSUCCESSFUL) << "8 bytes do not fit in 4";
    EXPECT_EQ(value, 0xABu);
    ASSERT_EQ(plat::RegSetDword(kEnum + kSecondId + kParameters, u"DeviceSelectiveSuspended", 2),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadSuspend(&value, SETTINGS_SELECTOR_DEVICE_SELECTIVE_SUSPENDED), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
}

TEST_F(SettingsStore, DeviceStringsGoIntoTheInstanceKeyOfEveryHardwareIdThatHasOne)
{
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_FRIENDLY_NAME, 4, u"Na"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(plat::RegKeyExists(kEnum + kFirstId + kInstance)) << "no key is created";
    ASSERT_EQ(plat::RegCreateKeyPath(kOldEnum + kFirstId + kInstance), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(kEnum + kSecondId + kInstance), STATUS_SUCCESS);
    WCHAR text[] = u"USB Speaker";
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_FRIENDLY_NAME, sizeof(text), text), STATUS_SUCCESS);
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 6, u"Mkr"), STATUS_SUCCESS);
    StoredValue name{REG_SZ, WideBytes(std::u16string(u"USB Speaker") + u'\0')};
    EXPECT_EQ(Stored(kOldEnum + kFirstId + kInstance, u"FriendlyName"), name);
    EXPECT_EQ(Stored(kEnum + kSecondId + kInstance, u"FriendlyName"), name);
    EXPECT_EQ(Stored(kEnum + kSecondId + kInstance, u"Mfg"), (StoredValue{REG_SZ, WideBytes(u"Mkr")}));
    EXPECT_EQ(Stored(kEnum + kSecondId + kParameters, u"FriendlyName").Type, 0u)
        << "not in Device Parameters";
    EXPECT_FALSE(plat::RegKeyExists(kOldEnum + kSecondId + kInstance));
}

// Only the first ID is cut at a comma, and the walk steps over its tail; a list without its
// terminators still ends inside what the device gave; without IDs nothing is read or written.
TEST_F(SettingsStore, TheHardwareIdListIsWalkedWhole)
{
    plat::IoSetDeviceProperty(Pdo(), DevicePropertyHardwareID,
                              settings_test::MultiSz({u"VID,TAIL", u"2ND,ID"}));
    for (const char16_t* id : {u"VID", u"TAIL", u"2ND", u"2ND,ID"})
        ASSERT_EQ(plat::RegCreateKeyPath(kEnum + id + kInstance), STATUS_SUCCESS);
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk"), STATUS_SUCCESS);
    for (auto [id, type] : {std::pair{u"VID", REG_SZ}, {u"TAIL", 0}, {u"2ND", 0}, {u"2ND,ID", REG_SZ}})
        EXPECT_EQ(Stored(kEnum + id + kInstance, u"Mfg").Type, ULONG(type)) << plat::Utf8FromWide(id);
    plat::IoSetDeviceProperty(Pdo(), DevicePropertyHardwareID, WideBytes(kSecondId));
    ASSERT_EQ(plat::RegSetDword(kEnum + kSecondId + kParameters, u"SelectiveSuspendEnabled", 1),
              STATUS_SUCCESS);
    ULONG value = 0xAB;
    EXPECT_EQ(ReadSuspend(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    plat::IoSetDeviceProperty(Pdo(), DevicePropertyHardwareID, settings_test::MultiSz({}));
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    plat::IoRemoveDeviceProperty(Pdo(), DevicePropertyHardwareID);
    value = 0xAB;
    EXPECT_EQ(ReadSuspend(&value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0xABu);
}

// Whatever allocation fails, a read either succeeds or leaves the buffer as it was, and no key
// handle is left open.
TEST_F(SettingsStore, OutOfPoolFailsCleanlyAtEveryAllocation)
{
    ASSERT_EQ(plat::RegSetDword(SettingsPath(), u"Value", 5), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetDword(kEnum + kSecondId + kParameters, u"SelectiveSuspendEnabled", 1),
              STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(kEnum + kFirstId + kInstance), STATUS_SUCCESS);
    SIZE_T keys = plat::ObLiveObjectCount(CmKeyObjectType);
    ULONGLONG before = plat::PoolAllocationCount();
    ULONG value = 0, suspend = 0;
    ASSERT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_READ, &value, 4, u"Value"), STATUS_SUCCESS);
    ASSERT_EQ(ReadSuspend(&suspend), STATUS_SUCCESS);
    ASSERT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk"), STATUS_SUCCESS);
    ULONG allocations = ULONG(plat::PoolAllocationCount() - before);
    for (ULONG n = 1; n <= allocations + 1; ++n)
    {
        value = suspend = 0xEE;
        if (n <= allocations)
            plat::FailNthAllocation(n);
        else
            plat::FailAllocationsWithTag(SETTINGS_STORE_POOL_TAG);
        NTSTATUS read = AccessSetting(Fdo(), SETTINGS_OPERATION_READ, &value, 4, u"Value");
        NTSTATUS enumRead = ReadSuspend(&suspend);
        NTSTATUS write = WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk");
        plat::ClearPoolFailures();
        EXPECT_TRUE(read == STATUS_SUCCESS ? value == 5 : value == 0xEE) << "allocation " << n;
        EXPECT_TRUE(n <= allocations || read == STATUS_INSUFFICIENT_RESOURCES) << "no temporary, no read";
        EXPECT_TRUE(enumRead == STATUS_SUCCESS ? suspend == 1 : suspend == 0xEE) << "allocation " << n;
        EXPECT_LE(!NT_SUCCESS(read) + !NT_SUCCESS(enumRead) + !NT_SUCCESS(write), 1) << "allocation " << n;
        EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), keys) << "allocation " << n;
    }
}

} // namespace
