// What CUsbDevice writes and reads at start: "FriendlyName" and "Mfg" from the device's product
// and manufacturer strings (blanks, long names, strings the device misreports, the vendor
// whose manufacturer string is skipped), and the private ASIO interface's defaults with the
// model defaults it stores.
#include "support/usb_device_test_support.h"

namespace
{

using udt::g_Script;

constexpr UCHAR kGetDescriptorIn = 0x80;

std::u16string Utf16(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// The registry value as stored: REG_SZ, the text and one terminator.
struct StoredString
{
    bool Present = false;
    ULONG Type = 0;
    std::u16string Text;
    size_t Bytes = 0;
};

class UsbDeviceSettings : public udt::UsbDeviceRig
{
protected:
    StoredString Read(const std::u16string& name)
    {
        StoredString stored;
        std::vector<UCHAR> data;
        stored.Present = NT_SUCCESS(plat::RegGetValue(InstancePath(), name, &stored.Type, &data));
        stored.Bytes = data.size();
        stored.Present = stored.Present && data.size() % 2 == 0;
        for (size_t i = 0; stored.Present && i + 1 < data.size(); i += 2)
        {
            char16_t c = char16_t(data[i] | data[i + 1] << 8);
            if (c == 0)
                break;
            stored.Text.push_back(c);
        }
        return stored;
    }

    bool StringRequested(UCHAR index)
    {
        for (const sim::ControlRecord& record : Log())
        {
            if (record.Setup.RequestType == kGetDescriptorIn && record.Setup.Value == (0x0300 | index))
                return true;
        }
        return false;
    }

    // The speaker profile with its product and manufacturer strings and ids replaced.
    void PlugSpeaker(const std::string& product, const std::string& manufacturer, const char* ids = nullptr)
    {
        std::string text = udt::ProfileWithStrings("uac1-speaker", "string 1 \"" + manufacturer +
                                                                       "\"\nstring 2 \"" + product + "\"\n");
        if (ids)
            text = udt::Replace(text, "F1 FF 01 00", ids);
        Plug(text);
    }

    ULONG StoredBitDepth(bool* present)
    {
        ULONG type = 0;
        std::vector<UCHAR> data;
        *present = NT_SUCCESS(plat::RegGetValue(SettingsPath(), u"ASIOMLDataBitDepth", &type, &data));
        ULONG value = 0;
        if (*present)
        {
            EXPECT_EQ(type, ULONG(REG_BINARY));
            EXPECT_EQ(data.size(), 4u);
            std::memcpy(&value, data.data(), std::min<size_t>(4, data.size()));
        }
        return value;
    }
};

// ---- Friendly name and manufacturer ----

TEST_F(UsbDeviceSettings, WritesNameAndManufacturerFromTheDeviceStrings)
{
    Plug("uac1-speaker");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    StoredString name = Read(u"FriendlyName");
    ASSERT_TRUE(name.Present);
    EXPECT_EQ(name.Type, ULONG(REG_SZ));
    EXPECT_EQ(name.Text, u"Uacsim USB Speaker");
    EXPECT_EQ(name.Bytes, (name.Text.size() + 1) * 2);
    StoredString mfg = Read(u"Mfg");
    ASSERT_TRUE(mfg.Present);
    EXPECT_EQ(mfg.Text, u"Uacsim");
    EXPECT_EQ(mfg.Bytes, (mfg.Text.size() + 1) * 2);
}

struct NameCase
{
    const char* Name;
    std::string Product;
    std::string Written;
};

void PrintTo(const NameCase& c, std::ostream* os)
{
    *os << c.Name;
}

class UsbDeviceNames : public UsbDeviceSettings, public testing::WithParamInterface<NameCase>
{
};

TEST_P(UsbDeviceNames, WritesTheNameCutAndTrimmed)
{
    const NameCase& c = GetParam();
    PlugSpeaker(c.Product, "Maker   ");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    StoredString name = Read(u"FriendlyName");
    ASSERT_TRUE(name.Present);
    EXPECT_EQ(name.Text, Utf16(c.Written));
    EXPECT_EQ(name.Bytes, (c.Written.size() + 1) * 2) << "the text and its terminator";
    EXPECT_EQ(Read(u"Mfg").Text, u"Maker");
}

const std::string k49(49, 'N');

INSTANTIATE_TEST_SUITE_P(
    Products, UsbDeviceNames,
    testing::Values(NameCase{"TrailingBlanks", "USB Speaker   ", "USB Speaker"},
                    NameCase{"InnerBlanksKept", " USB  Speaker", " USB  Speaker"},
                    NameCase{"OnlyBlanks", "    ", ""}, NameCase{"Exactly49", k49, k49},
                    NameCase{"Exactly50", k49 + "X", k49},
                    NameCase{"Long", std::string(120, 'L'), std::string(49, 'L')},
                    NameCase{"BlankAtTheCut", std::string(48, 'B') + " tail", std::string(48, 'B')},
                    NameCase{"LongWithTrailingBlanks", std::string(45, 'T') + std::string(10, ' '),
                             std::string(45, 'T')}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.Name); });

// String answers that disagree with themselves: bLength is believed only as far as the bytes
// that arrived, and a bLength below 2 is an empty string.
TEST_F(UsbDeviceSettings, NamesFromMisreportedStringDescriptors)
{
    struct Case
    {
        const char* Name;
        std::function<void(std::vector<UCHAR>*)> Rewrite;
        std::u16string Written;
    } cases[] = {
        {"LengthBeyondData", [](std::vector<UCHAR>* d) { d->resize(2 + 2 * 3); }, u"Uac"},
        {"LengthZero", [](std::vector<UCHAR>* d) { (*d)[0] = 0; }, u""},
        {"LengthOne", [](std::vector<UCHAR>* d) { (*d)[0] = 1; }, u""},
        {"OddLength", [](std::vector<UCHAR>* d) { (*d)[0] = 7; }, u"Ua"},
        {"OneByte", [](std::vector<UCHAR>* d) { d->resize(1); }, u""},
        {"NoBytes", [](std::vector<UCHAR>* d) { d->clear(); }, u""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        TearDown();
        SetUp();
        Plug("uac1-speaker");
        auto rewrite = c.Rewrite;
        RewriteControl(
            [rewrite](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
            {
                if (setup.Value == 0x0302 && !answer->Data.empty())
                    rewrite(&answer->Data);
            });
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        StoredString name = Read(u"FriendlyName");
        ASSERT_TRUE(name.Present);
        EXPECT_EQ(name.Text, c.Written);
        EXPECT_EQ(name.Bytes, (c.Written.size() + 1) * 2);
    }
}

TEST_F(UsbDeviceSettings, AStringTheDeviceRefusesLeavesItsValueUnwritten)
{
    Plug("uac1-speaker");
    sim::DeviceFaults faults;
    faults.StallMatching = true;
    faults.StallFilter.Value = 0x0302;
    Model().SetFaults(faults);
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(Read(u"FriendlyName").Present);
    EXPECT_TRUE(Read(u"Mfg").Present);
}

TEST_F(UsbDeviceSettings, WithoutStringIndexesNothingIsAskedOrWritten)
{
    // iManufacturer and iProduct 0.
    Plug(udt::Replace(sim::BuiltinProfileText("uac1-speaker"), "00 01 01 02 03 01  #",
                      "00 01 00 00 03 01  #"));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(StringRequested(1));
    EXPECT_FALSE(StringRequested(2));
    EXPECT_FALSE(Read(u"FriendlyName").Present);
    EXPECT_FALSE(Read(u"Mfg").Present);
}

// Vendor 0x7A31 names the chip maker on most products; only three of them are trusted.
TEST_F(UsbDeviceSettings, ReadsTheManufacturerOfVendor7A31OnlyForItsListedProducts)
{
    struct Case
    {
        const char* Ids;
        bool Written;
    } cases[] = {
        {"31 7A 01 00", false}, {"31 7A 66 00", false}, {"31 7A 67 00", true},
        {"31 7A 68 00", true},  {"31 7A 61 01", true},  {"32 7A 01 00", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Ids);
        TearDown();
        SetUp();
        PlugSpeaker("Speaker", "Chip Maker", c.Ids);
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        EXPECT_EQ(StringRequested(1), c.Written);
        EXPECT_EQ(Read(u"Mfg").Present, c.Written);
        if (c.Written)
        {
            EXPECT_EQ(Read(u"Mfg").Text, u"Chip Maker");
        }
        EXPECT_EQ(Read(u"FriendlyName").Text, u"Speaker");
    }
}

// ---- ASIO defaults ----

TEST_F(UsbDeviceSettings, AsioDefaultsWithoutStoredValues)
{
    fdt::ScriptEndpoints(2);
    Plug("uac1-speaker");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(m_pUsbDevice->AsioSampleType(), 16u);
    EXPECT_EQ(m_pUsbDevice->AsioRequestedSampleType(), 16u);
    EXPECT_EQ(m_pUsbDevice->AsioLatencyIndex(), 4u);
    EXPECT_EQ(m_pUsbDevice->AsioSampleRate(), 48000u);
    EXPECT_EQ(m_pUsbDevice->AsioEndpointTableCount(), 2u);
    bool present = true;
    StoredBitDepth(&present);
    EXPECT_FALSE(present);
}

TEST_F(UsbDeviceSettings, AsioSettingsComeFromTheStore)
{
    fdt::ScriptEndpoints(1, 0);
    // A listed model: its default must not replace a stored choice.
    Plug(udt::Replace(sim::BuiltinProfileText("uac1-speaker"), "F1 FF 01 00", "43 10 92 85"));
    plat::RegSetBinary(SettingsPath(), u"ASIOMLDataBitDepth", {18, 0, 0, 0});
    plat::RegSetBinary(SettingsPath(), u"ASIOMLDataLatency", {2, 0, 0, 0});
    plat::RegSetBinary(SettingsPath(), u"ASIOMLSampleRate", {0x00, 0x77, 0x01, 0x00}); // 96000
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(m_pUsbDevice->AsioSampleType(), 18u);
    EXPECT_EQ(m_pUsbDevice->AsioRequestedSampleType(), 18u);
    EXPECT_EQ(m_pUsbDevice->AsioLatencyIndex(), 2u);
    EXPECT_EQ(m_pUsbDevice->AsioSampleRate(), 96000u);
    bool present = false;
    EXPECT_EQ(StoredBitDepth(&present), 18u);
}

// Stored values the private interface could not work with (no frame per millisecond, an index
// past the latency table, a sample type no ring is sized for) give way to the defaults.
TEST_F(UsbDeviceSettings, UnusableStoredAsioSettingsFallBackToTheDefaults)
{
    fdt::ScriptEndpoints(1, 0);
    Plug("uac1-speaker");
    plat::RegSetBinary(SettingsPath(), u"ASIOMLDataBitDepth", {99, 0, 0, 0});
    plat::RegSetBinary(SettingsPath(), u"ASIOMLDataLatency", {9, 0, 0, 0});
    plat::RegSetBinary(SettingsPath(), u"ASIOMLSampleRate", {0, 0, 0, 0});
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(m_pUsbDevice->AsioSampleType(), 16u);
    EXPECT_EQ(m_pUsbDevice->AsioRequestedSampleType(), 16u);
    EXPECT_EQ(m_pUsbDevice->AsioLatencyIndex(), 4u);
    EXPECT_EQ(m_pUsbDevice->AsioSampleRate(), 48000u);
}

struct ModelCase
{
    const char* Name;
    const char* Ids; // idVendor, idProduct as descriptor bytes
    LONG AsioEndpoint;
    ULONG SampleType;
    bool Written;
};

void PrintTo(const ModelCase& c, std::ostream* os)
{
    *os << c.Name;
}

class UsbDeviceAsioModels : public UsbDeviceSettings, public testing::WithParamInterface<ModelCase>
{
};

TEST_P(UsbDeviceAsioModels, ModelDefaultSampleType)
{
    const ModelCase& c = GetParam();
    fdt::ScriptEndpoints(3, c.AsioEndpoint);
    Plug(udt::Replace(sim::BuiltinProfileText("uac1-speaker"), "F1 FF 01 00", c.Ids));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(m_pUsbDevice->AsioSampleType(), c.SampleType);
    EXPECT_EQ(m_pUsbDevice->AsioRequestedSampleType(), c.SampleType);
    bool present = false;
    ULONG stored = StoredBitDepth(&present);
    EXPECT_EQ(present, c.Written);
    if (c.Written)
    {
        EXPECT_EQ(stored, c.SampleType);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, UsbDeviceAsioModels,
                         testing::Values(ModelCase{"Packed24", "05 0B F3 17", 0, 17, true},
                                         ModelCase{"In32A8", "05 0B A8 17", 2, 27, true},
                                         ModelCase{"In32CD", "05 0B CD 17", 1, 27, true},
                                         ModelCase{"In32_8593", "43 10 93 85", 0, 27, true},
                                         ModelCase{"In32_8592", "43 10 92 85", 2, 27, true},
                                         ModelCase{"ListedWithoutAsioEndpoint", "43 10 92 85", -1, 16, false},
                                         ModelCase{"UnlistedWithAsioEndpoint", "43 10 94 85", 0, 16, false},
                                         ModelCase{"OtherVendorSameProduct", "05 0C F3 17", 0, 16, false}),
                         [](const testing::TestParamInfo<ModelCase>& info)
                         { return std::string(info.param.Name); });

} // namespace
