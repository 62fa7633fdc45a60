// CUsbDevice on the simulated device: descriptor reads and the configuration it selects, the
// audio function it picks by class release and identification string, the aggregation of that
// function (references, forwarding, queries), teardown, and the real-device corpus.
#include "support/usb_device_test_support.h"

#include "driver/usb/settings_file.h"
#include "ksmedia.h"

namespace
{

using udt::g_Created;
using udt::g_Script;

constexpr UCHAR kGetDescriptorIn = 0x80;

std::vector<sim::ControlRecord> DescriptorReads(const std::vector<sim::ControlRecord>& log, UCHAR type)
{
    std::vector<sim::ControlRecord> reads;
    for (const sim::ControlRecord& record : log)
    {
        if (record.Setup.RequestType == kGetDescriptorIn &&
            record.Setup.Request == USB_REQUEST_GET_DESCRIPTOR && (record.Setup.Value >> 8) == type)
            reads.push_back(record);
    }
    return reads;
}

bool HasStringRead(const std::vector<sim::ControlRecord>& log, UCHAR index)
{
    for (const sim::ControlRecord& record : DescriptorReads(log, USB_STRING_DESCRIPTOR_TYPE))
    {
        if ((record.Setup.Value & 0xFF) == index)
            return true;
    }
    return false;
}

class UsbDevice : public udt::UsbDeviceRig
{
};

TEST_F(UsbDevice, ReadsDescriptorsThenSelectsEveryInterfaceAtSettingZero)
{
    Plug("uac1-headset");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);

    const std::vector<uint8_t>& config = Model().Profile().ConfigurationDescriptor();
    std::vector<sim::ControlRecord> log = Log();
    ASSERT_GE(log.size(), 4u);
    // Device descriptor, the configuration's first 9 bytes, then all of it.
    EXPECT_EQ(log[0].Setup.Value, 0x0100);
    EXPECT_EQ(log[0].Setup.Length, 18);
    EXPECT_EQ(log[1].Setup.Value, 0x0200);
    EXPECT_EQ(log[1].Setup.Length, 9);
    EXPECT_EQ(log[2].Setup.Value, 0x0200);
    EXPECT_EQ(log[2].Setup.Length, config.size());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(log[i].Setup.RequestType, kGetDescriptorIn);
    EXPECT_EQ(log[3].Setup.Request, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(log[3].Setup.Value, config[5]);
    EXPECT_EQ(Model().Configuration(), config[5]);

    std::vector<udt::SelectedInterface> selected = Selected();
    ASSERT_EQ(selected.size(), 3u);
    for (size_t i = 0; i < selected.size(); ++i)
    {
        EXPECT_EQ(selected[i].Number, i);
        EXPECT_EQ(selected[i].AlternateSetting, 0);
    }
    ASSERT_EQ(selected[0].MaximumTransferSizes.size(), 1u); // the status interrupt endpoint
    EXPECT_EQ(selected[0].MaximumTransferSizes[0], 0xFFFFFFFFu);

    IUsbDevice* usb = Usb();
    PUSB_CONFIGURATION_DESCRIPTOR kept = usb->GetConfigurationDescriptor();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(
        std::vector<uint8_t>(reinterpret_cast<PUCHAR>(kept), reinterpret_cast<PUCHAR>(kept) + config.size()),
        config);
    EXPECT_NE(usb->GetConfigurationHandle(), nullptr);
    EXPECT_EQ(usb->GetControlInterfaceNumber(), 0);
    EXPECT_EQ(usb->GetLowerDeviceObject(), Pdo());
    EXPECT_FALSE(usb->IsHighSpeed());
}

TEST_F(UsbDevice, AsksTheBusForItsSpeedAndFrame)
{
    Plug("uac2-interface");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    IUsbDevice* usb = Usb();
    EXPECT_TRUE(usb->IsHighSpeed());
    ULONG frame = 0xDEADBEEF;
    EXPECT_EQ(usb->GetCurrentFrameNumber(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, Bus().CurrentFrame());
    EXPECT_EQ(Bus().InterfaceReferenceCount(), 1);
}

// Interfaces listed out of number order in the descriptor are still selected 0, 1, 2 ..., and
// only their alternate setting 0, whatever other settings come first.
TEST_F(UsbDevice, SelectsInterfacesInNumberOrderWhateverTheirDescriptorOrder)
{
    std::string text = sim::BuiltinProfileText("uac1-speaker");
    // Swap the interface numbers: streaming becomes 0 (listed second), control becomes 1.
    text = udt::Replace(text, "09 04 00 00 00 01 01 00 00", "09 04 01 00 00 01 01 00 00");
    text = udt::Replace(text, "09 04 01 00 00 01 02 00 00", "09 04 00 00 00 01 02 00 00");
    text = udt::Replace(text, "09 04 01 01 01 01 02 00 00", "09 04 00 01 01 01 02 00 00");
    text = udt::Replace(text, "09 04 01 02 01 01 02 00 00", "09 04 00 02 01 01 02 00 00");
    text = udt::Replace(text, "09 24 01 00 01 28 00 01 01", "09 24 01 00 01 28 00 01 00");
    Plug(text);
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    std::vector<udt::SelectedInterface> selected = Selected();
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0].Number, 0);
    EXPECT_EQ(selected[1].Number, 1);
    EXPECT_EQ(selected[0].AlternateSetting, 0);
    EXPECT_EQ(selected[1].AlternateSetting, 0);
    EXPECT_EQ(Usb()->GetControlInterfaceNumber(), 1);
}

// ---- Configuration descriptor the device misreports ----

TEST_F(UsbDevice, RefusesATotalLengthShorterThanTheConfigurationDescriptor)
{
    Plug("uac1-speaker");
    RewriteControl(
        [](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
        {
            if (setup.Value == 0x0200 && answer->Data.size() >= 4)
            {
                answer->Data[2] = 4; // wTotalLength 4
                answer->Data[3] = 0;
            }
        });
    EXPECT_EQ(StartUsbDevice(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(DescriptorReads(Log(), USB_CONFIGURATION_DESCRIPTOR_TYPE).size(), 1u) << "no second read";
    EXPECT_EQ(Model().Configuration(), 0) << "nothing selected";
    EXPECT_EQ(g_Created.Calls, 0);
    EXPECT_EQ(Usb()->GetConfigurationDescriptor(), nullptr);
}

TEST_F(UsbDevice, RefusesAConfigurationHeaderCutShort)
{
    Plug("uac1-speaker");
    RewriteControl(
        [](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
        {
            if (setup.Value == 0x0200)
                answer->Data.resize(3);
        });
    EXPECT_EQ(StartUsbDevice(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Model().Configuration(), 0);
}

// A device that sends less than it announced: the driver keeps, and parses, only what came.
TEST_F(UsbDevice, ParsesOnlyTheConfigurationBytesThatArrived)
{
    Plug("uac1-speaker");
    const size_t cut = 9 + 9 + 9 + 12; // configuration, control interface, header, input terminal
    RewriteControl(
        [cut](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
        {
            if (setup.Value == 0x0200 && setup.Length > 9)
                answer->Data.resize(cut);
        });
    NTSTATUS status = StartUsbDevice();
    PUSB_CONFIGURATION_DESCRIPTOR kept = Usb()->GetConfigurationDescriptor();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->wTotalLength, cut);
    std::vector<uint8_t> expected(Model().Profile().ConfigurationDescriptor().begin(),
                                  Model().Profile().ConfigurationDescriptor().begin() + cut);
    expected[2] = UCHAR(cut);
    expected[3] = 0;
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<PUCHAR>(kept), reinterpret_cast<PUCHAR>(kept) + cut),
              expected);
    // Only the control interface survived the cut, while the configuration claims two: the
    // selection may fail, but never by reading past the bytes.
    std::vector<udt::SelectedInterface> selected = Selected();
    ASSERT_LE(selected.size(), 1u);
    if (!selected.empty())
    {
        EXPECT_EQ(selected[0].Number, 0);
    }
    EXPECT_EQ(NT_SUCCESS(status), Model().Configuration() != 0);
}

// ---- Which audio function ----

struct IdentificationCase
{
    const char* Name;
    std::string Strings; // profile "string" lines
    int Kind;
    ULONG ModelCode;
    bool ReadsFallback; // the string at 0x32 was asked for
};

void PrintTo(const IdentificationCase& c, std::ostream* os)
{
    *os << c.Name;
}

class UsbDeviceIdentification : public UsbDevice, public testing::WithParamInterface<IdentificationCase>
{
};

TEST_P(UsbDeviceIdentification, PicksTheCreatorByIdentificationString)
{
    const IdentificationCase& c = GetParam();
    Plug(udt::ProfileWithStrings("uac1-speaker", c.Strings));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(g_Created.Calls, 1);
    EXPECT_EQ(g_Created.Kind, c.Kind);
    EXPECT_EQ(g_Created.VendorId, 0xFFF1);
    EXPECT_EQ(g_Created.ProductId, 0x0001);
    if (c.Kind == UsbAudioFunctionVariantD)
    {
        EXPECT_EQ(g_Created.ModelCode, c.ModelCode);
    }
    EXPECT_EQ(g_Created.Outer, static_cast<CUnknown*>(m_pUsbDevice)->GetOuterUnknown());
    std::vector<sim::ControlRecord> strings = DescriptorReads(Log(), USB_STRING_DESCRIPTOR_TYPE);
    ASSERT_FALSE(strings.empty());
    EXPECT_EQ(strings[0].Setup.Value, 0x0350);
    EXPECT_EQ(strings[0].Setup.Index, 0x0409);
    EXPECT_EQ(strings[0].Setup.Length, 104);
    EXPECT_EQ(HasStringRead(Log(), 0x32), c.ReadsFallback);
}

const std::string kNames = "string 1 \"Uacsim\"\nstring 2 \"Speaker\"\n";

INSTANTIATE_TEST_SUITE_P(
    Strings, UsbDeviceIdentification,
    testing::Values(
        IdentificationCase{"Plain", kNames + "string 0x50 \"0100-SPK\"\n", UsbAudioFunctionUac1, 0, false},
        IdentificationCase{"VariantA", kNames + "string 0x50 \"\x0B\x05P-rest\"\n", UsbAudioFunctionVariantA,
                           0, false},
        IdentificationCase{"VariantB", kNames + "string 0x50 \"8142\"\n", UsbAudioFunctionVariantB, 0, false},
        IdentificationCase{"VariantC", kNames + "string 0x50 \"8153-01\"\n", UsbAudioFunctionVariantC, 0,
                           false},
        IdentificationCase{"VariantD6", kNames + "string 0x50 \"8177\"\n", UsbAudioFunctionVariantD, 6,
                           false},
        IdentificationCase{"VariantD5", kNames + "string 0x50 \"81775\"\n", UsbAudioFunctionVariantD, 5,
                           false},
        IdentificationCase{"VariantDOther", kNames + "string 0x50 \"81776\"\n", UsbAudioFunctionVariantD, 6,
                           false},
        IdentificationCase{"TooShort", kNames + "string 0x50 \"814\"\n", UsbAudioFunctionUac1, 0, false},
        IdentificationCase{"NearMiss", kNames + "string 0x50 \"8143\"\n", UsbAudioFunctionUac1, 0, false},
        IdentificationCase{"Fallback", kNames + "string 0x32 \"8153\"\n", UsbAudioFunctionVariantC, 0, true},
        IdentificationCase{"Neither", kNames, UsbAudioFunctionUac1, 0, true}),
    [](const testing::TestParamInfo<IdentificationCase>& info) { return std::string(info.param.Name); });

// The built-in variant profiles are what the variants' own work starts from: each must reach
// its creator through the adapter, model code included.
TEST_F(UsbDevice, BuiltinVariantProfilesReachTheirCreators)
{
    const struct
    {
        const char* Profile;
        ULONG Kind;
        ULONG ModelCode;
    } rows[] = {
        {"uac1-variant-a", UsbAudioFunctionVariantA, 0},  {"uac1-variant-b", UsbAudioFunctionVariantB, 0},
        {"uac1-variant-c", UsbAudioFunctionVariantC, 0},  {"uac1-variant-d5", UsbAudioFunctionVariantD, 5},
        {"uac1-variant-d6", UsbAudioFunctionVariantD, 6},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Profile);
        Plug(row.Profile);
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        EXPECT_EQ(g_Created.Kind, row.Kind);
        if (row.Kind == UsbAudioFunctionVariantD)
        {
            EXPECT_EQ(g_Created.ModelCode, row.ModelCode);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(UsbDevice, PicksTheClass2CreatorWithoutReadingStrings)
{
    Plug("uac2-interface");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(g_Created.Kind, UsbAudioFunctionUac2);
    EXPECT_EQ(g_Created.ProductId, 0x0003);
    EXPECT_FALSE(HasStringRead(Log(), 0x50));
    EXPECT_FALSE(HasStringRead(Log(), 0x32));
}

// A truncated identification string counts only the units that arrived: "8142" cut after two
// characters is no variant B.
TEST_F(UsbDevice, IdentificationStringCountsOnlyWhatArrived)
{
    Plug(udt::ProfileWithStrings("uac1-speaker", kNames + "string 0x50 \"8142\"\n"));
    RewriteControl(
        [](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
        {
            if (setup.Value == 0x0350)
                answer->Data.resize(6); // bLength still says 10
        });
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(g_Created.Kind, UsbAudioFunctionUac1);
}

TEST_F(UsbDevice, RefusesOtherProtocolsAndDevicesWithoutAudioControl)
{
    struct Case
    {
        const char* From;
        const char* To;
    } cases[] = {
        {"09 04 00 00 00 01 01 00 00", "09 04 00 00 00 01 01 30 00"}, // protocol 0x30
        {"09 04 00 00 00 01 01 00 00", "09 04 00 00 00 FF 01 00 00"}, // vendor class: no audio control
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.To);
        TearDown();
        SetUp();
        // Without an audio-control interface the profile's control and jack lines name nothing.
        Plug(udt::WithoutLines(udt::Replace(sim::BuiltinProfileText("uac1-speaker"), c.From, c.To),
                               {"control ", "jack "}));
        EXPECT_EQ(StartUsbDevice(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(g_Created.Calls, 0);
        EXPECT_FALSE(HasStringRead(Log(), 0x50));
        IUsbAudioFunction* function = nullptr;
        EXPECT_EQ(m_pCommon->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&function)),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(m_pCommon->GetStreamCount(), 0u);
        EXPECT_EQ(m_pCommon->Start(), STATUS_INVALID_DEVICE_STATE);
    }
}

// An audio function object missing from the creator table refuses such a device with a
// message, never serves it with a stand-in object.
TEST_F(UsbDevice, AnEmptyCreatorEntryRefusesTheDevice)
{
    UsbDeviceSetAudioFunctionCreators(nullptr);
    const AudioFunctionCreators* product = UsbDeviceAudioFunctionCreators();
    EXPECT_NE(product->Uac1, nullptr); // every audio function object exists
    EXPECT_NE(product->Uac2, nullptr);
    EXPECT_NE(product->VariantD, nullptr);
    AudioFunctionCreators withoutD = *product;
    withoutD.VariantD = nullptr;
    UsbDeviceSetAudioFunctionCreators(&withoutD);
    Plug("uac1-variant-d5");
    EXPECT_EQ(StartUsbDevice(), STATUS_NOT_SUPPORTED);
    EXPECT_NE(plat::DebugLogText().find("this driver has no"), std::string::npos) << plat::DebugLogText();
    UsbDeviceSetAudioFunctionCreators(nullptr);
}

// ---- The aggregate ----

TEST_F(UsbDevice, ReferenceCountIsBackToOneAfterInit)
{
    for (bool answersFunction : {true, false})
    {
        SCOPED_TRACE(answersFunction);
        TearDown();
        SetUp();
        g_Script.AnswersFunctionInterface = answersFunction;
        Plug("uac1-speaker");
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        EXPECT_EQ(m_pCommon->AddRef(), 2u);
        EXPECT_EQ(m_pCommon->Release(), 1u);

        IUsbAudioFunction* function = nullptr;
        NTSTATUS status =
            m_pCommon->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&function));
        EXPECT_EQ(status, answersFunction ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        if (function)
        {
            EXPECT_EQ(m_pCommon->AddRef(), 3u) << "the handed-out interface holds the aggregate";
            m_pCommon->Release();
            function->Release();
        }
        EXPECT_EQ(m_pCommon->AddRef(), 2u);
        m_pCommon->Release();
    }
}

TEST_F(UsbDevice, AnswersItsInterfacesAndRefusesOthers)
{
    Plug("uac1-speaker");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    const GUID* answered[] = {&IID_IUnknown, &IID_IAdapterCommon, &IID_IAdapterPowerManagement,
                              &IID_IUsbDevice, &IID_IUsbAudioFunction};
    for (const GUID* id : answered)
    {
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(m_pCommon->QueryInterface(*id, reinterpret_cast<PVOID*>(&unknown)), STATUS_SUCCESS);
        ASSERT_NE(unknown, nullptr);
        unknown->Release();
    }
    PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(0x1);
    EXPECT_EQ(m_pCommon->QueryInterface(IID_IRegistryKey, reinterpret_cast<PVOID*>(&unknown)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(m_pCommon->AddRef(), 2u);
    m_pCommon->Release();
}

VOID CountCall(PVOID context, PVOID, PVOID)
{
    ++*static_cast<int*>(context);
}

TEST_F(UsbDevice, ForwardsAdapterSlotsToTheAudioFunction)
{
    fdt::ScriptEndpoints(3);
    Plug("uac1-speaker");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(g_Created.InitCalls, 1);
    EXPECT_EQ(m_pCommon->GetStreamCount(), 3u);
    EXPECT_EQ(m_pCommon->GetNodeCount(), 0u);
    EXPECT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(g_Created.StartCalls, 1);
    EXPECT_EQ(g_Created.StopCalls, 1);
    EXPECT_EQ(m_pCommon->GetDeviceObject(), Fdo());
    EXPECT_EQ(m_pCommon->BuildConnections(), STATUS_SUCCESS);

    // Listeners land on the function's callback object, where its nodes announce changes.
    int calls = 0;
    PVOID registration = nullptr;
    ASSERT_EQ(m_pCommon->RegisterCallback(CountCall, &calls, &registration), STATUS_SUCCESS);
    AudioHalNotifyControlChange(g_Created.CallbackObject, 7);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(m_pCommon->UnregisterCallback(registration), STATUS_SUCCESS);
    AudioHalNotifyControlChange(g_Created.CallbackObject, 7);
    EXPECT_EQ(calls, 1);
}

// ---- Teardown ----

// Whatever point Init reached, the last Release returns and frees everything: the destructor
// waits on events the constructor set up.
TEST_F(UsbDevice, ReleaseAfterEveryEarlyInitFailureFreesEverything)
{
    const ULONG tags[] = {SETTINGS_FILE_POOL_TAG, USB_DEVICE_POOL_TAG, USB_DEVICE_ID_STRING_POOL_TAG,
                          AUDIO_HAL_POOL_TAG, fdt::FUNCTION_DOUBLE_POOL_TAG};
    for (ULONG tag : tags)
    {
        SCOPED_TRACE(plat::FormatPoolTag(tag));
        TearDown();
        SetUp();
        Plug("uac1-speaker");
        plat::FailAllocationsWithTag(tag);
        EXPECT_EQ(StartUsbDevice(), STATUS_INSUFFICIENT_RESOURCES);
        plat::ClearPoolFailures();
        ReleaseDevice();
    }
}

// ---- Real devices ----

TEST_F(UsbDevice, EveryRealDeviceDumpIsReadAndConfigured)
{
    bool any = rig::ForEachRealDump(
        [&](const std::string& path)
        {
            RemoveAndCheck();
            SetUp();
            Plug(path);
            ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
            const std::vector<uint8_t>& config = Profile().ConfigurationDescriptor();
            PUSB_CONFIGURATION_DESCRIPTOR kept = Usb()->GetConfigurationDescriptor();
            ASSERT_NE(kept, nullptr);
            EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<PUCHAR>(kept),
                                           reinterpret_cast<PUCHAR>(kept) + config.size()),
                      config);
            EXPECT_EQ(Model().Configuration(), config[5]);
            EXPECT_EQ(Selected().size(), config[4]);
            EXPECT_EQ(g_Created.Kind,
                      Profile().AudioControlProtocol() == 0x20 ? UsbAudioFunctionUac2 : UsbAudioFunctionUac1);
            EXPECT_EQ(Usb()->IsHighSpeed(), Profile().Speed() == sim::UsbSpeed::High);
        },
        -1);
    if (!any)
        GTEST_SKIP() << "no real-device dumps";
}

} // namespace
