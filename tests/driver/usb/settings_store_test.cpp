// The settings store driven through its routines on an adapter device: values of "Settings" in
// the driver key as the registry holds them, the keys it opens (counted by the registry), and
// the device's values in the Enum tree under each of its hardware IDs.
#include "support/settings_device_fixture.h"

#include "driver/usb/settings_store.h"

#include <cstring>

namespace
{

using settings_test::MultiSz;
using settings_test::StoredValue;
using settings_test::WideBytes;

const std::u16string kMachine = u"\\Registry\\Machine";
const std::u16string kEnum = kMachine + u"\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::u16string kOldEnum = kMachine + u"\\Enum\\";
const std::u16string kInstance = u"5&2a3c&0&1"; // the default device's instance name
const std::u16string kFirstId = u"USB\\VID_0D8C&PID_0014&REV_0100";
const std::u16string kSecondId = u"USB\\VID_0D8C&PID_0014";

class SettingsStore : public settings_test::SettingsDeviceFixture
{
protected:
    void SetUp() override
    {
        SettingsDeviceFixture::SetUp();
        CreateDevice();
    }

    StoredValue Stored(const std::u16string& keyPath, const std::u16string& name)
    {
        StoredValue value;
        EXPECT_EQ(plat::RegGetValue(keyPath, name, &value.Type, &value.Data), STATUS_SUCCESS)
            << plat::Utf8FromWide(keyPath + u" : " + name);
        return value;
    }

    size_t KeyOpens()
    {
        plat::RegistryCounters counters = plat::RegGetCounters();
        return counters.OpenKeyCalls + counters.CreateKeyCalls;
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
        std::vector<UCHAR> After; // the buffer, which starts as A0 A1 A2 A3 ...
    } cases[] = {
        {"absent keeps the default", {}, 4, STATUS_OBJECT_NAME_NOT_FOUND, {0xA0, 0xA1, 0xA2, 0xA3}},
        {"4 bytes into 1", {1, 2, 3, 4}, 1, STATUS_UNSUCCESSFUL, {0xA0, 0xA1, 0xA2, 0xA3}},
        {"1 byte into 4", {0x7F}, 4, STATUS_SUCCESS, {0x7F, 0xA1, 0xA2, 0xA3}},
        {"exactly the size", {1, 2, 3, 4}, 4, STATUS_SUCCESS, {1, 2, 3, 4}},
        {"far longer than the buffer",
         std::vector<UCHAR>(64, 0x55),
         4,
         STATUS_UNSUCCESSFUL,
         {0xA0, 0xA1, 0xA2, 0xA3}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        if (!c.Stored.empty())
        {
            ASSERT_EQ(plat::RegSetBinary(SettingsPath(), u"Value", c.Stored), STATUS_SUCCESS);
        }
        std::vector<UCHAR> buffer = {0xA0, 0xA1, 0xA2, 0xA3};
        EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_READ, buffer.data(), c.Size, u"Value"), c.Status);
        EXPECT_EQ(buffer, c.After);
    }
}

TEST_F(SettingsStore, WritesKeepTheirTypeAndSizeAndReadBackWhateverTheType)
{
    ULONG dword = 0x12345678;
    ASSERT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OPERATION_WRITE, nullptr, u"Dword", REG_DWORD, &dword, 4),
              STATUS_SUCCESS);
    WCHAR text[] = u"abc";
    ASSERT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OPERATION_WRITE, nullptr, u"Text", REG_SZ, text, 6),
              STATUS_SUCCESS);
    UCHAR blob[3] = {9, 8, 7};
    ASSERT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_WRITE, blob, 3, u"Blob"), STATUS_SUCCESS);

    EXPECT_EQ(Stored(SettingsPath(), u"Dword"), (StoredValue{REG_DWORD, {0x78, 0x56, 0x34, 0x12}}));
    EXPECT_EQ(Stored(SettingsPath(), u"Text"), (StoredValue{REG_SZ, WideBytes(u"abc")}));
    EXPECT_EQ(Stored(SettingsPath(), u"Blob"), (StoredValue{REG_BINARY, {9, 8, 7}}));

    // A read copies the bytes whatever the stored type.
    UCHAR back[8] = {};
    EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_READ, back, sizeof(back), u"text"), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(back, u"abc", 6), 0);
    ULONG readDword = 0;
    EXPECT_EQ(
        AccessSettingsValue(Fdo(), SETTINGS_OPERATION_READ, nullptr, u"Dword", REG_DWORD, &readDword, 4),
        STATUS_SUCCESS);
    EXPECT_EQ(readDword, dword);
}

TEST_F(SettingsStore, OtherTypesAndOperationsAreRefusedBeforeAnyKeyIsOpened)
{
    ULONG value = 1;
    for (ULONG type : {ULONG(REG_NONE), ULONG(REG_EXPAND_SZ), ULONG(REG_DWORD_BIG_ENDIAN),
                       ULONG(REG_MULTI_SZ), ULONG(REG_QWORD)})
    {
        for (ULONG operation : {ULONG(SETTINGS_OPERATION_READ), ULONG(SETTINGS_OPERATION_WRITE)})
        {
            plat::RegResetCounters();
            EXPECT_EQ(AccessSettingsValue(Fdo(), operation, nullptr, u"Value", type, &value, 4),
                      STATUS_UNSUCCESSFUL)
                << "type " << type;
            EXPECT_EQ(KeyOpens(), 0u) << "type " << type;
        }
    }
    plat::RegResetCounters();
    EXPECT_EQ(AccessSettingsValue(Fdo(), 3, nullptr, u"Value", REG_BINARY, &value, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeyOpens(), 0u);
    EXPECT_FALSE(plat::RegKeyExists(SettingsPath()));

    // A supported type does reach the registry, so the counters above could have moved.
    EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_READ, &value, 4, u"Value"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_GT(KeyOpens(), 0u);
}

TEST_F(SettingsStore, WriteWithASubkeyCreatesSettingsAndTheSubkey)
{
    ASSERT_FALSE(plat::RegKeyExists(SettingsPath()));
    UCHAR data[2] = {0x11, 0x22};
    ASSERT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OPERATION_WRITE, u"Sub", u"Pair", REG_BINARY, data, 2),
              STATUS_SUCCESS);
    EXPECT_TRUE(plat::RegKeyExists(SettingsPath()));
    EXPECT_EQ(Stored(SettingsPath() + u"\\Sub", u"Pair"), (StoredValue{REG_BINARY, {0x11, 0x22}}));
    ULONG type = 0;
    std::vector<UCHAR> ignored;
    EXPECT_EQ(plat::RegGetValue(SettingsPath(), u"Pair", &type, &ignored), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the value lives in the subkey only";

    UCHAR back[2] = {};
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OPERATION_READ, u"SUB", u"pair", REG_BINARY, back, 2),
              STATUS_SUCCESS);
    EXPECT_EQ(back[1], 0x22);
}

// The keys are opened with the rights a write needs: a value goes into keys that already exist
// (an earlier read created "Settings"), and a new subkey into an existing "Settings".
TEST_F(SettingsStore, WritesSucceedThroughKeysThatAlreadyExist)
{
    ULONG value = 0;
    EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_READ, &value, 4, u"Volume"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_TRUE(plat::RegKeyExists(SettingsPath())) << "the read opened or created Settings";
    value = 42;
    EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_WRITE, &value, 4, u"Volume"), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(SettingsPath() + u"\\Existing"), STATUS_SUCCESS);
    EXPECT_EQ(
        AccessSettingsValue(Fdo(), SETTINGS_OPERATION_WRITE, u"Existing", u"Volume", REG_BINARY, &value, 4),
        STATUS_SUCCESS);
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_OPERATION_WRITE, u"New", u"Volume", REG_BINARY, &value, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(Stored(SettingsPath(), u"Volume").Data, (std::vector<UCHAR>{42, 0, 0, 0}));
    EXPECT_EQ(Stored(SettingsPath() + u"\\Existing", u"Volume").Data, (std::vector<UCHAR>{42, 0, 0, 0}));
    EXPECT_EQ(Stored(SettingsPath() + u"\\New", u"Volume").Data, (std::vector<UCHAR>{42, 0, 0, 0}));
}

TEST_F(SettingsStore, IndexedSettingNamesArePrefixAndDecimalIndex)
{
    for (ULONG index : {0u, 7u, 12u, 4096u})
    {
        ULONG value = index + 1;
        ASSERT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_OPERATION_WRITE, &value, 4, u"Unit5Volume", index),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(Stored(SettingsPath(), u"Unit5Volume12").Data, (std::vector<UCHAR>{13, 0, 0, 0}));
    EXPECT_EQ(Stored(SettingsPath(), u"Unit5Volume0").Data, (std::vector<UCHAR>{1, 0, 0, 0}));
    EXPECT_EQ(Stored(SettingsPath(), u"Unit5Volume4096").Data, (std::vector<UCHAR>{1, 16, 0, 0}));
    ULONG back = 0;
    EXPECT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_OPERATION_READ, &back, 4, u"Unit5Volume", 7),
              STATUS_SUCCESS);
    EXPECT_EQ(back, 8u);

    // 45 characters and a 5-digit index need 51 characters: refused, nothing touched.
    std::u16string prefix(45, u'P');
    plat::RegResetCounters();
    EXPECT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_OPERATION_WRITE, &back, 4, prefix.c_str(), 12345),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(KeyOpens(), 0u);
    EXPECT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_OPERATION_WRITE, &back, 4, prefix.c_str(), 1234),
              STATUS_SUCCESS)
        << "49 characters fit";
}

TEST_F(SettingsStore, OutOfPoolFailsCleanlyAtEveryAllocation)
{
    ULONG stored = 5;
    ASSERT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_WRITE, &stored, 4, u"Value"), STATUS_SUCCESS);
    SIZE_T keys = plat::ObLiveObjectCount(CmKeyObjectType);
    ULONGLONG before = plat::PoolAllocationCount();
    ULONG value = 0;
    ASSERT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_READ, &value, 4, u"Value"), STATUS_SUCCESS);
    ULONG allocations = ULONG(plat::PoolAllocationCount() - before);
    ASSERT_GT(allocations, 0u);
    for (ULONG n = 1; n <= allocations; ++n)
    {
        value = 0xEEEEEEEE;
        plat::FailNthAllocation(n);
        NTSTATUS status = AccessSetting(Fdo(), SETTINGS_OPERATION_READ, &value, 4, u"Value");
        plat::ClearPoolFailures();
        EXPECT_TRUE(status == STATUS_SUCCESS || value == 0xEEEEEEEE) << "allocation " << n;
        EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), keys) << "allocation " << n;
    }
    plat::FailAllocationsWithTag(SETTINGS_STORE_POOL_TAG);
    value = 0xEEEEEEEE;
    EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_OPERATION_READ, &value, 4, u"Value"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(value, 0xEEEEEEEEu);
}

// ---- Enum tree ----

class SettingsStoreEnum : public SettingsStore
{
protected:
    static std::u16string Parameters(const std::u16string& root, const std::u16string& id)
    {
        return root + id + u"\\" + kInstance + u"\\Device Parameters";
    }
    static std::u16string Instance(const std::u16string& root, const std::u16string& id)
    {
        return root + id + u"\\" + kInstance;
    }

    NTSTATUS ReadSuspend(ULONG* value, ULONG selector = SETTINGS_SELECTOR_SELECTIVE_SUSPEND_ENABLED)
    {
        return ReadSelectiveSuspendSettings(Pdo(), selector, sizeof(*value), value);
    }

    bool HasValue(const std::u16string& keyPath, const std::u16string& name)
    {
        ULONG type = 0;
        std::vector<UCHAR> data;
        return plat::RegGetValue(keyPath, name, &type, &data) == STATUS_SUCCESS;
    }
};

TEST_F(SettingsStoreEnum, SelectiveSuspendIsReadFromTheDeviceParametersOfAHardwareId)
{
    ULONG value = 0xAB;
    EXPECT_EQ(ReadSuspend(&value), STATUS_OBJECT_NAME_NOT_FOUND) << "no Enum key at all";
    EXPECT_EQ(value, 0xABu);

    // The system's own key: the second hardware ID names the instance's parent.
    ASSERT_EQ(plat::IoDeviceParametersKeyPath(Pdo()), Parameters(kEnum, kSecondId));
    ASSERT_EQ(plat::RegCreateKeyPath(plat::IoDeviceParametersKeyPath(Pdo())), STATUS_SUCCESS);
    EXPECT_EQ(ReadSuspend(&value), STATUS_OBJECT_NAME_NOT_FOUND) << "the key exists, the value does not";
    EXPECT_EQ(value, 0xABu);

    ASSERT_EQ(plat::RegSetDword(plat::IoDeviceParametersKeyPath(Pdo()), u"SelectiveSuspendEnabled", 1),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadSuspend(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);

    ASSERT_EQ(plat::RegSetBinary(plat::IoDeviceParametersKeyPath(Pdo()), u"SelectiveSuspendEnabled",
                                 {1, 0, 0, 0, 0, 0, 0, 0}),
              STATUS_SUCCESS);
    value = 0xAB;
    EXPECT_EQ(ReadSuspend(&value), STATUS_UNSUCCESSFUL) << "8 bytes do not fit in 4";
    EXPECT_EQ(value, 0xABu);
}

TEST_F(SettingsStoreEnum, TheCurrentTreeComesFirstThenTheOldOne)
{
    ULONG value = 0;
    ASSERT_EQ(plat::RegSetDword(Parameters(kOldEnum, kFirstId), u"SelectiveSuspendEnabled", 7),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadSuspend(&value), STATUS_SUCCESS) << "only the old tree has it";
    EXPECT_EQ(value, 7u);

    ASSERT_EQ(plat::RegSetDword(Parameters(kEnum, kFirstId), u"SelectiveSuspendEnabled", 3), STATUS_SUCCESS);
    EXPECT_EQ(ReadSuspend(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u) << "with both, the current tree's key is the one read";
}

TEST_F(SettingsStoreEnum, AnyHardwareIdWhoseKeyHoldsTheValueMakesTheReadSucceed)
{
    struct Case
    {
        const char* What;
        bool FirstKey, FirstValue, SecondKey, SecondValue;
        NTSTATUS Status;
        ULONG Value;
    } cases[] = {
        {"first has it, second's key lacks it", true, true, true, false, STATUS_SUCCESS, 11},
        {"first's key lacks it, second has it", true, false, true, true, STATUS_SUCCESS, 22},
        {"only the second has a key", false, false, true, true, STATUS_SUCCESS, 22},
        {"both keys lack it", true, false, true, false, STATUS_OBJECT_NAME_NOT_FOUND, 0xAB},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.What);
        plat::RegReset();
        if (c.FirstKey)
        {
            ASSERT_EQ(plat::RegCreateKeyPath(Parameters(kEnum, kFirstId)), STATUS_SUCCESS);
        }
        if (c.FirstValue)
        {
            ASSERT_EQ(plat::RegSetDword(Parameters(kEnum, kFirstId), u"SelectiveSuspendEnabled", 11),
                      STATUS_SUCCESS);
        }
        if (c.SecondKey)
        {
            ASSERT_EQ(plat::RegCreateKeyPath(Parameters(kOldEnum, kSecondId)), STATUS_SUCCESS);
        }
        if (c.SecondValue)
        {
            ASSERT_EQ(plat::RegSetDword(Parameters(kOldEnum, kSecondId), u"SelectiveSuspendEnabled", 22),
                      STATUS_SUCCESS);
        }
        ULONG value = 0xAB;
        EXPECT_EQ(ReadSuspend(&value), c.Status);
        EXPECT_EQ(value, c.Value);
    }
}

TEST_F(SettingsStoreEnum, SelectorsNameTheirValuesAndOthersAreRefused)
{
    ASSERT_EQ(plat::RegSetDword(Parameters(kEnum, kSecondId), u"SelectiveSuspendEnabled", 1), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetDword(Parameters(kEnum, kSecondId), u"DeviceSelectiveSuspended", 2),
              STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(ReadSuspend(&value, SETTINGS_SELECTOR_DEVICE_SELECTIVE_SUSPENDED), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(ReadSuspend(&value, SETTINGS_SELECTOR_SELECTIVE_SUSPEND_ENABLED), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kEnum, kSecondId)), STATUS_SUCCESS);
    for (ULONG selector : {2u, 8u, 9u, 0xFFFFFFFFu})
    {
        plat::RegResetCounters();
        EXPECT_EQ(ReadSuspend(&value, selector), STATUS_INVALID_PARAMETER) << selector;
        EXPECT_EQ(KeyOpens(), 0u);
    }
    for (ULONG selector : {0u, 1u, 7u, 10u})
    {
        plat::RegResetCounters();
        EXPECT_EQ(WriteDeviceString(Pdo(), selector, 4, u"ab"), STATUS_INVALID_PARAMETER) << selector;
        EXPECT_EQ(KeyOpens(), 0u);
    }
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_FRIENDLY_NAME, 8, u"Spkr"), STATUS_SUCCESS);
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 6, u"Mkr"), STATUS_SUCCESS);
    EXPECT_EQ(Stored(Instance(kEnum, kSecondId), u"FriendlyName"), (StoredValue{REG_SZ, WideBytes(u"Spkr")}));
    EXPECT_EQ(Stored(Instance(kEnum, kSecondId), u"Mfg"), (StoredValue{REG_SZ, WideBytes(u"Mkr")}));
}

TEST_F(SettingsStoreEnum, DeviceStringsGoIntoTheInstanceKeyOfEveryHardwareIdThatHasOne)
{
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_FRIENDLY_NAME, 10, u"Name"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(plat::RegKeyExists(Instance(kEnum, kFirstId))) << "no key is created";

    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kOldEnum, kFirstId)), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kEnum, kSecondId)), STATUS_SUCCESS);
    WCHAR text[] = u"USB Speaker";
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_FRIENDLY_NAME, sizeof(text), text), STATUS_SUCCESS);
    StoredValue expected{REG_SZ, WideBytes(std::u16string(u"USB Speaker") + u'\0')};
    EXPECT_EQ(Stored(Instance(kOldEnum, kFirstId), u"FriendlyName"), expected);
    EXPECT_EQ(Stored(Instance(kEnum, kSecondId), u"FriendlyName"), expected);
    EXPECT_FALSE(HasValue(Parameters(kEnum, kSecondId), u"FriendlyName")) << "not in Device Parameters";
    EXPECT_FALSE(plat::RegKeyExists(Instance(kOldEnum, kSecondId)));
}

TEST_F(SettingsStoreEnum, OnlyTheFirstHardwareIdIsCutAtAComma)
{
    delete m_pPnp;
    m_pPnp = nullptr;
    CreateDevice({u"USB\\VID_1234&PID_5678,TAIL", u"SECOND,ID"});
    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kEnum, u"USB\\VID_1234&PID_5678")), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kEnum, u"TAIL")), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kEnum, u"SECOND")), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kEnum, u"SECOND,ID")), STATUS_SUCCESS);
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk"), STATUS_SUCCESS);
    EXPECT_TRUE(HasValue(Instance(kEnum, u"USB\\VID_1234&PID_5678"), u"Mfg"));
    EXPECT_TRUE(HasValue(Instance(kEnum, u"SECOND,ID"), u"Mfg")) << "later IDs are used whole";
    EXPECT_FALSE(HasValue(Instance(kEnum, u"SECOND"), u"Mfg"));
    EXPECT_FALSE(HasValue(Instance(kEnum, u"TAIL"), u"Mfg")) << "the cut-off tail is no ID of its own";
}

TEST_F(SettingsStoreEnum, ADeviceWithoutHardwareIdsReadsAndWritesNothing)
{
    plat::IoRemoveDeviceProperty(Pdo(), DevicePropertyHardwareID);
    ULONG value = 0xAB;
    EXPECT_EQ(ReadSuspend(&value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0xABu);
    plat::IoSetDeviceProperty(Pdo(), DevicePropertyHardwareID, MultiSz({}));
    EXPECT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // An ID list without its terminators still ends inside what the device gave.
    plat::IoSetDeviceProperty(Pdo(), DevicePropertyHardwareID, WideBytes(kSecondId));
    ASSERT_EQ(plat::RegSetDword(Parameters(kEnum, kSecondId), u"SelectiveSuspendEnabled", 1), STATUS_SUCCESS);
    EXPECT_EQ(ReadSuspend(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
}

TEST_F(SettingsStoreEnum, OutOfPoolFailsCleanlyAtEveryAllocation)
{
    ASSERT_EQ(plat::RegSetDword(Parameters(kEnum, kSecondId), u"SelectiveSuspendEnabled", 1), STATUS_SUCCESS);
    ASSERT_EQ(plat::RegCreateKeyPath(Instance(kEnum, kFirstId)), STATUS_SUCCESS);
    SIZE_T keys = plat::ObLiveObjectCount(CmKeyObjectType);
    ULONGLONG before = plat::PoolAllocationCount();
    ULONG value = 0;
    ASSERT_EQ(ReadSuspend(&value), STATUS_SUCCESS);
    ASSERT_EQ(WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk"), STATUS_SUCCESS);
    ULONG allocations = ULONG(plat::PoolAllocationCount() - before);
    for (ULONG n = 1; n <= allocations; ++n)
    {
        value = 0xEE;
        plat::FailNthAllocation(n);
        NTSTATUS read = ReadSuspend(&value);
        NTSTATUS write = WriteDeviceString(Pdo(), SETTINGS_SELECTOR_MANUFACTURER, 4, u"Mk");
        plat::ClearPoolFailures();
        EXPECT_TRUE(read == STATUS_SUCCESS || value == 0xEE) << "allocation " << n;
        EXPECT_TRUE(NT_SUCCESS(read) || NT_SUCCESS(write)) << "one failed allocation fails one call at most";
        EXPECT_EQ(plat::ObLiveObjectCount(CmKeyObjectType), keys) << "allocation " << n;
    }
}

} // namespace
