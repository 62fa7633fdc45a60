// Variant A on its simulated sound box: the chip probe and the model it picks, the register
// cache with its HID writes checked in the chip's own record, the configuration rewrite checked
// against golden bytes, the scaled and table-mapped levels, and the jack-sense thread through a
// plug and an unplug in virtual time, with its stop and power rules.
#include "support/variant_test_support.h"

#include "sim/device/register_chip.h"
#include "ksmedia.h"
#include "usbaudio.h"
#include "driver/core/pin_type.h"
#include "driver/topology/variants/variant_a_nodes.h"
#include "driver/topology/variants/variant_a_processors.h"
#include "driver/topology/variants/variant_a_units.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

namespace
{

using vt::VariantRig;

constexpr LONG kDb = 0x10000;
constexpr LONG kSilence = LONG(0x80000000);
constexpr ULONGLONG kSecond = 10000000;

std::vector<uint8_t> HexBytes(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    std::string token;
    while (in >> token)
        bytes.push_back(uint8_t(std::stoul(token, nullptr, 16)));
    return bytes;
}

std::vector<uint8_t> ModelConfiguration()
{
    sim::DeviceProfile profile;
    std::string error;
    EXPECT_TRUE(sim::LoadBuiltinProfile("uac1-variant-a", &profile, &error)) << error;
    return profile.ConfigurationDescriptor();
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count)
{
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + count);
}

std::string ProfileWith(const std::string& from, const std::string& to)
{
    std::string text = sim::BuiltinProfileText("uac1-variant-a");
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

// The jack-polling model: vendor 0x1E7D, product 0x3750.
std::string JackPollingProfile()
{
    return ProfileWith("F1 FF 26 81", "7D 1E 50 37");
}

// ---- The configuration rewrite ----

TEST(VariantAConfiguration, NoSwitchesLeaveTheModelDescriptorAsItIs)
{
    std::vector<uint8_t> config = ModelConfiguration();
    const std::vector<uint8_t> original = config;
    VariantASwitches switches = {};
    BOOLEAN rewritten = FALSE;
    ASSERT_EQ(VariantAFilterConfigDescriptor(config.data(), ULONG(config.size()), switches, &rewritten),
              STATUS_SUCCESS);
    EXPECT_TRUE(rewritten);
    EXPECT_EQ(config, original);
}

TEST(VariantAConfiguration, MicrophoneAndFourAndEightChannelsGoneGivesTheGoldenBytes)
{
    std::vector<uint8_t> config = ModelConfiguration();
    const std::vector<uint8_t> original = config;
    VariantASwitches switches = {};
    switches.DisableMicInTerminal = 1;
    switches.Disable4ChOut = 1;
    switches.Disable8ChOut = 1;
    BOOLEAN rewritten = FALSE;
    ASSERT_EQ(VariantAFilterConfigDescriptor(config.data(), ULONG(config.size()), switches, &rewritten),
              STATUS_SUCCESS);
    ASSERT_TRUE(rewritten);
    std::vector<uint8_t> expected =
        HexBytes("09 02 5F 01 03 01 00 80 32  09 04 00 00 00 01 01 00 00  0A 24 01 00 01 86 00 02 01 02"
                 " 0C 24 02 01 01 01 00 06 3F 00 00 00"                   // streaming input: 6 channels
                 " 12 24 04 0A 02 01 0B 06 3F 00 00 00 00 00 00 00 00 00" // mixer <- 1 11: 8 x 6 bits
                 " 0E 24 06 0D 0A 01 03 02 02 02 02 02 02 00"             // output unit: 6 channels
                 " 09 24 03 03 01 03 00 0D 00"                            // speaker
                 " 09 24 03 07 01 01 00 06 00"                            // record output
                 " 08 24 05 06 02 0F 10 00"                               // record selector <- 15 16
                 " 0C 24 02 12 03 06 00 02 03 00 00 00 0A 24 06 0F 12 01 03 00 00 00"
                 " 0A 24 06 0B 12 01 03 00 00 00 0C 24 02 13 05 06 00 02 03 00 00 00"
                 " 0A 24 06 10 13 01 03 00 00 00");
    const size_t streamInterface = 218, alt2 = 273, alt6 = 365, alt96 = 411;
    for (auto piece : {Slice(original, streamInterface, 9), Slice(original, alt2, 46),
                       Slice(original, alt6, 46), Slice(original, alt96, 43 + 55)})
        expected.insert(expected.end(), piece.begin(), piece.end());
    ASSERT_EQ(expected.size(), 0x15Fu);
    EXPECT_EQ(Slice(config, 0, expected.size()), expected);
    EXPECT_EQ(Slice(config, expected.size(), config.size() - expected.size()),
              std::vector<uint8_t>(config.size() - expected.size(), 0));
}

TEST(VariantAConfiguration, OneRecordInputLeftFeedsTheRecordOutputDirectly)
{
    std::vector<uint8_t> config = ModelConfiguration();
    VariantASwitches switches = {};
    switches.DisableLineInTerminal = 1;  // line units and the stereo mix go with it
    switches.DisableSpdifInTerminal = 1; // only the microphone records
    switches.DisableMicInAAUnit = 1;     // and with both analogue units gone, no mixer
    BOOLEAN rewritten = FALSE;
    ASSERT_EQ(VariantAFilterConfigDescriptor(config.data(), ULONG(config.size()), switches, &rewritten),
              STATUS_SUCCESS);
    const std::vector<uint8_t> control =
        HexBytes("0A 24 01 00 01 4E 00 02 01 02 0C 24 02 01 01 01 00 08 3F 06 00 00"
                 " 0C 24 02 05 01 02 00 02 03 00 00 00 0A 24 06 08 05 01 03 00 00 00"
                 " 10 24 06 0D 01 01 03 02 02 02 02 02 02 02 02 00" // output unit fed by the stream input
                 " 09 24 03 03 01 03 00 0D 00 09 24 03 07 01 01 00 08 00"); // record output <- 8
    EXPECT_EQ(Slice(config, 18, control.size()), control);
    EXPECT_EQ(config[18 + control.size()], 9) << "the streaming interface follows";
}

TEST(VariantAConfiguration, SixAndEightChannelsBothGoneIsRefusedAndOtherLayoutsAreKept)
{
    std::vector<uint8_t> config = ModelConfiguration();
    const std::vector<uint8_t> original = config;
    VariantASwitches switches = {};
    switches.Disable6ChOut = 1;
    switches.Disable8ChOut = 1;
    BOOLEAN rewritten = TRUE;
    EXPECT_EQ(VariantAFilterConfigDescriptor(config.data(), ULONG(config.size()), switches, &rewritten),
              STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(rewritten);
    EXPECT_EQ(config, original);

    sim::DeviceProfile headset;
    std::string error;
    ASSERT_TRUE(sim::LoadBuiltinProfile("uac1-headset", &headset, &error)) << error;
    std::vector<uint8_t> other = headset.ConfigurationDescriptor();
    const std::vector<uint8_t> before = other;
    switches.Disable6ChOut = 0;
    EXPECT_EQ(VariantAFilterConfigDescriptor(other.data(), ULONG(other.size()), switches, &rewritten),
              STATUS_SUCCESS);
    EXPECT_FALSE(rewritten);
    EXPECT_EQ(other, before);
}

// ---- Levels ----

TEST(VariantALevels, ScaledUnitsAndTheVolumeTableAtTheirEnds)
{
    // Unit 3 (3/2): -3 dB on the device reads -4.5 dB, and -4.5 dB writes -3 dB.
    EXPECT_EQ(VariantAScaleFromDevice(-3 * kDb, 3, 2), -0x48000);
    EXPECT_EQ(VariantAScaleToDevice(-0x48000, 3, 2), -3 * kDb);
    // Unit 4 (3/8), and a third above 0 dB in both.
    EXPECT_EQ(VariantAScaleFromDevice(-8 * kDb, 3, 8), -3 * kDb);
    EXPECT_EQ(VariantAScaleToDevice(-3 * kDb, 3, 8), -8 * kDb);
    EXPECT_EQ(VariantAScaleFromDevice(2 * kDb, 3, 8), 6 * kDb);
    EXPECT_EQ(VariantAScaleToDevice(6 * kDb, 3, 2), 2 * kDb);
    EXPECT_EQ(VariantAScaleFromDevice(kSilence, 3, 2), kSilence);
    EXPECT_EQ(VariantAScaleToDevice(kSilence, 3, 8), kSilence);

    EXPECT_EQ(VariantAVolumeFromDevice(0), 0);
    EXPECT_EQ(VariantAVolumeFromDevice(-256), -62);
    EXPECT_EQ(VariantAVolumeFromDevice(-9472), -8500);
    EXPECT_EQ(VariantAVolumeFromDevice(-9800), -9800); // below the table: unmapped
    EXPECT_EQ(VariantAVolumeToDevice(-62 * 256), -256);
    EXPECT_EQ(VariantAVolumeToDevice(-100 * 256), -256);
    EXPECT_EQ(VariantAVolumeToDevice(0), 0);
    EXPECT_EQ(VariantAVolumeToDevice(5 * kDb), 0); // above 0 dB: entry 0
    EXPECT_EQ(VariantAVolumeToDevice(-8832 * 256), -9728);
}

// ---- On the driver ----

class VariantAOnDriver : public VariantRig
{
protected:
    sim::RegisterChip& Chip() { return *Model().Chip(); }
    std::vector<std::pair<int, int>> ChipWrites()
    {
        std::vector<std::pair<int, int>> writes;
        for (const sim::ChipWrite& w : Chip().Writes())
            writes.emplace_back(w.Register, w.Value);
        return writes;
    }
};

TEST_F(VariantAOnDriver, ProbesTheChipRewritesAndRestoresItsRegisters)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_NE(VariantA(), nullptr);
    ASSERT_EQ(Requests(0xC3, 0x81).size(), 2u);
    EXPECT_EQ(Requests(0xC3, 0x81)[0].Setup.Index, 9);
    EXPECT_EQ(Requests(0xC3, 0x81)[1].Setup.Index, 8);
    // PostInit: register 5's reset bits low, then high, then registers 0 to 4 as cached (register
    // 2 as the speaker output programmed it).
    Chip().ClearWrites();
    ASSERT_EQ(VariantA()->PostInit(), STATUS_SUCCESS);
    const std::vector<std::pair<int, int>> expected = {{5, 0x0000}, {5, 0x3000}, {0, 0x2004}, {1, 0x3002},
                                                       {2, 0xE000}, {3, 0x143F}, {4, 0x0000}};
    EXPECT_EQ(ChipWrites(), expected);
    // The probe matched on a model of no row of its own: eight-channel output goes.
    EXPECT_TRUE(VariantA()->GetSwitches().Disable8ChOut);
    EXPECT_EQ(Usb()->GetConfigurationDescriptor()->wTotalLength, 509 - 46 - 13 - 10 - 4 - 2 - 1);
    // Variant A is a class-1 audio function in every other respect.
    IUsbAudioFunction* function = nullptr;
    ASSERT_EQ(m_pCommon->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&function)),
              STATUS_SUCCESS);
    function->Release();
}

TEST_F(VariantAOnDriver, MaskedRegisterWritesReachTheChipByteForByte)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_EQ(VariantA()->WriteMaskedRegister(2, 0xF800, 0xFFFF), STATUS_SUCCESS);
    Chip().ClearWrites();
    const uint64_t since = LastSequence();
    ASSERT_EQ(VariantA()->WriteMaskedRegister(2, 0x0100, 0x0300), STATUS_SUCCESS);
    EXPECT_EQ(VariantA()->GetCachedRegister(2), 0xF900);
    EXPECT_EQ(VariantA()->WriteMaskedRegister(6, 0x0100, 0xFFFF), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VariantA()->WriteMaskedRegister(1, 0x1234, 0), STATUS_SUCCESS);
    auto reports = Requests(0x21, 0x09, -1, -1, -1, since);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Setup.Value, 0x0200);
    EXPECT_EQ(reports[0].Setup.Index, 3);
    EXPECT_EQ(reports[0].OutData, (std::vector<uint8_t>{0x20, 0x00, 0xF9, 0x02}));
    EXPECT_EQ(Chip().Register(2), 0xF900);

    // A write the chip refuses leaves the cache as it was.
    sim::DeviceFaults faults;
    faults.StallMatching = true;
    faults.StallFilter.Request = 0x09;
    Model().SetFaults(faults);
    EXPECT_FALSE(NT_SUCCESS(VariantA()->WriteMaskedRegister(2, 0x0000, 0xFFFF)));
    EXPECT_EQ(VariantA()->GetCachedRegister(2), 0xF900);
    Model().SetFaults(sim::DeviceFaults());
}

TEST_F(VariantAOnDriver, FailedFirstProbeCountsAsNoMatchAndAFailedSecondRefusesTheDevice)
{
    Plug(ProfileWith("vendor 0xC3 0x81 0 9 data 9F", "vendor 0xC3 0x81 0 9 stall"));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(VariantA()->GetSwitches().Disable8ChOut);
    EXPECT_EQ(Usb()->GetConfigurationDescriptor()->wTotalLength, 509 - 13 - 10 - 1);
    TearDown();
    SetUp();
    Plug(ProfileWith("vendor 0xC3 0x81 0 8 data 83", "vendor 0xC3 0x81 0 8 stall"));
    EXPECT_FALSE(NT_SUCCESS(StartUsbDevice()));
    EXPECT_NE(plat::DebugLogText().find("second probe byte"), std::string::npos);
}

TEST_F(VariantAOnDriver, SwitchesComeFromTheSettingsAndTwoChannelsOffTakesHeadphonesAndSpdif)
{
    Plug("uac1-variant-a");
    ULONG on = 1;
    ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"Disable2ChOutSupported", REG_BINARY, &on, sizeof(on)),
              STATUS_SUCCESS);
    ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"DisableLineInTerminal", REG_BINARY, &on, sizeof(on)),
              STATUS_SUCCESS);
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    const VariantASwitches& s = VariantA()->GetSwitches();
    EXPECT_TRUE(s.Disable2ChOut);
    EXPECT_FALSE(s.SupportHPOut);
    EXPECT_FALSE(s.SupportSpdifOut);
    EXPECT_TRUE(s.DisableLineInTerminal);
    EXPECT_TRUE(s.DisableStereoMixRecUnit); // its default
    CUsbEntityNode* line = nullptr;
    EXPECT_EQ(Variant()->FindChildById(18, &line), STATUS_UNSUCCESSFUL);
}

TEST_F(VariantAOnDriver, BothSixAndEightChannelsOffRefusesTheDeviceAndSaysWhy)
{
    Plug("uac1-variant-a");
    ULONG on = 1;
    ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"Disable6ChOutSupported", REG_BINARY, &on, sizeof(on)),
              STATUS_SUCCESS);
    EXPECT_EQ(StartUsbDevice(), STATUS_UNSUCCESSFUL);
    EXPECT_NE(plat::DebugLogText().find("both 6- and 8-channel output"), std::string::npos);
}

TEST_F(VariantAOnDriver, UnitLevelsGoThroughTheirScalesToTheDevice)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    IFeatureUnitLevel* unit9 = EntityAs<IFeatureUnitLevel>(9, IID_IFeatureUnitLevel);
    IFeatureUnitLevel* unit13 = EntityAs<IFeatureUnitLevel>(13, IID_IFeatureUnitLevel);
    ASSERT_NE(unit9, nullptr);
    ASSERT_NE(unit13, nullptr);
    ASSERT_TRUE(Controls().ChangeControl(9, 2, 0, -768)); // -3 dB on the device
    LONG level = 0;
    ASSERT_EQ(unit9->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -0x48000);
    const uint64_t since = LastSequence();
    ASSERT_EQ(unit9->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, -0x48000), STATUS_SUCCESS);
    ASSERT_EQ(unit13->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, -62 * 256), STATUS_SUCCESS);
    auto sent9 = Requests(0x21, 0x01, 9, 2, -1, since);
    ASSERT_EQ(sent9.size(), 1u);
    EXPECT_EQ(sent9[0].OutData, (std::vector<uint8_t>{0x00, 0xFD})); // -768
    auto sent13 = Requests(0x21, 0x01, 13, 2, -1, since);
    ASSERT_EQ(sent13.size(), 1u);
    EXPECT_EQ(sent13[0].OutData, (std::vector<uint8_t>{0x00, 0xFF})); // -256
    ASSERT_EQ(unit13->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -62 * 256);
    // Unit 9's range: the device's -60..0 dB, scaled by 3/2, in 1.5 dB steps.
    LONG max = 1, min = 0, step = 0;
    ASSERT_EQ(unit9->GetLevelRange(USB_AUDIO_FU_VOLUME_CONTROL, &max, &min, &step), STATUS_SUCCESS);
    EXPECT_EQ(max, 0);
    EXPECT_EQ(min, -90 * kDb);
    EXPECT_EQ(step, 0x18000);
}

TEST_F(VariantAOnDriver, InputTerminalsAreStreamOrPhysicalPinsByTheirType)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ULONG type = 99;
    ASSERT_EQ(EntityAs<ITerminalNode>(1, IID_ITerminalNode)->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_STREAM));
    ASSERT_EQ(EntityAs<ITerminalNode>(5, IID_ITerminalNode)->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_MIC));
}

// ---- The jack-sense thread ----

TEST_F(VariantAOnDriver, OnlyTheJackPollingModelRunsTheThread)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    EXPECT_FALSE(VariantA()->IsJackThreadRunning());
    RunFor(kSecond);
    EXPECT_EQ(Chip().ReportReads(), 0u);
}

TEST_F(VariantAOnDriver, AFailedReportReadEndsTheThreadAndStopStillReturns)
{
    Plug(JackPollingProfile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFor(kSecond / 2);
    sim::DeviceFaults faults;
    faults.StallMatching = true;
    faults.StallFilter.Request = 0x01;
    faults.StallFilter.Index = 3;
    Model().SetFaults(faults);
    RunFor(kSecond / 2);
    const size_t reads = Chip().ReportReads();
    RunFor(kSecond);
    EXPECT_EQ(Chip().ReportReads(), reads) << "the thread went on reading";
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(VariantA()->IsJackThreadRunning());
}

TEST_F(VariantAOnDriver, PowerDownStopsTheThreadAndPowerUpRestoresAndRestartsIt)
{
    Plug(JackPollingProfile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    IAdapterPowerManagement* power = nullptr;
    ASSERT_EQ(m_pCommon->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)),
              STATUS_SUCCESS);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    power->PowerChangeState(state);
    EXPECT_FALSE(VariantA()->IsJackThreadRunning());
    Chip().ClearWrites();
    state.DeviceState = PowerDeviceD0;
    power->PowerChangeState(state);
    power->Release();
    EXPECT_TRUE(VariantA()->IsJackThreadRunning());
    // The pulse and the cache (register 1 as the model's override left it, register 2 as the
    // speaker output programmed it); the output's restored pin type programs it once more.
    const std::vector<std::pair<int, int>> restored = {{5, 0x0000}, {5, 0x3000}, {0, 0x2004}, {1, 0x3032},
                                                       {2, 0xE000}, {3, 0x143F}, {4, 0x0000}};
    std::vector<std::pair<int, int>> writes = ChipWrites();
    ASSERT_GE(writes.size(), restored.size());
    writes.resize(restored.size());
    EXPECT_EQ(writes, restored);
}

TEST_F(VariantAOnDriver, ThreadThatCannotBeCreatedFailsStartAndLeavesNothingRunning)
{
    Plug(JackPollingProfile());
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    plat::FailSystemThreadCreations(1);
    EXPECT_FALSE(NT_SUCCESS(m_pCommon->Start()));
    plat::FailSystemThreadCreations(0);
    EXPECT_FALSE(VariantA()->IsJackThreadRunning());
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
}

} // namespace

namespace
{

using vt::VariantRig;

class VariantAEntities : public VariantRig
{
protected:
    sim::RegisterChip& Chip() { return *Model().Chip(); }
    ITerminalNode* Output() { return EntityAs<ITerminalNode>(3, IID_ITerminalNode); }
    ITerminalJacks* OutputJacks() { return EntityAs<ITerminalJacks>(3, IID_ITerminalJacks); }
    size_t NodesOfKind(ULONG kind)
    {
        size_t count = 0;
        for (ULONG i = 0; i < m_pCommon->GetNodeCount(); ++i)
        {
            ITopologyNode* node = nullptr;
            if (NT_SUCCESS(m_pCommon->GetNode(i, &node)) && node->GetKind() == kind)
                ++count;
        }
        return count;
    }
    void SetSetting(const char16_t* name, ULONG value)
    {
        ASSERT_EQ(plat::RegSetValue(SettingsPath(), name, REG_BINARY, &value, sizeof(value)), STATUS_SUCCESS);
    }
};

TEST_F(VariantAEntities, OutputPinTypesFollowTheSwitchesAndProgramTheChip)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ULONG count = 0, types[TERMINAL_MAX_PIN_TYPES] = {}, type = 0;
    ASSERT_EQ(Output()->GetPinTypeCount(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 3u);
    ASSERT_EQ(Output()->GetPinTypes(types), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(types, types + 3),
              (std::vector<ULONG>{PIN_TYPE_SPK, PIN_TYPE_HP, PIN_TYPE_SPDIF}));
    EXPECT_EQ(NodesOfKind(NODE_KIND_PIN_TYPE_SELECTOR), 1u);
    EXPECT_EQ(Chip().Register(2), 0xE000); // the speaker's programming at start

    Chip().ClearWrites();
    const uint64_t since = LastSequence();
    const USHORT r0 = VariantA()->GetCachedRegister(0), r1 = VariantA()->GetCachedRegister(1);
    ASSERT_EQ(Output()->SetPinType(PIN_TYPE_SPDIF), STATUS_SUCCESS);
    ASSERT_EQ(Output()->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_SPDIF));
    const std::vector<std::pair<int, int>> spdif = {{2, 0xE7F8}, {1, r1 & ~0x0002}, {0, r0 | 0x8000}};
    std::vector<std::pair<int, int>> writes;
    for (const sim::ChipWrite& w : Chip().Writes())
        writes.emplace_back(w.Register, w.Value);
    EXPECT_EQ(writes, spdif);
    EXPECT_EQ(Requests(0x21, -1, 3, -1, -1, since).size(), 0u) << "the terminal itself is not asked";
    ULONG valueType = 0;
    std::vector<UCHAR> saved;
    ASSERT_EQ(plat::RegGetValue(SettingsPath(), u"UACUnit03", &valueType, &saved), STATUS_SUCCESS);
    EXPECT_EQ(saved, (std::vector<UCHAR>{PIN_TYPE_SPDIF, 0, 0, 0}));
    EXPECT_EQ(Output()->SetPinType(PIN_TYPE_LINE), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Output()->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_SPDIF));
}

TEST_F(VariantAEntities, WithoutHeadphonesAndSpdifOnlyTheSpeakerAndNoChoiceNode)
{
    Plug("uac1-variant-a");
    SetSetting(u"SupportHPOut", 0);
    SetSetting(u"SupportSpdifOut", 0);
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ULONG count = 0;
    ASSERT_EQ(Output()->GetPinTypeCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(NodesOfKind(NODE_KIND_PIN_TYPE_SELECTOR), 0u);
}

TEST_F(VariantAEntities, JackRecordsByPinTypeAndTheConnectAllSetting)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    struct Expected
    {
        ULONG Index;
        std::vector<std::vector<ULONG>> Words; // mapping, colour, connection type, location, connected
    };
    // Eight-channel output is off on this model, so the speaker has three jacks.
    const Expected expected[] = {
        {0, {{0x3, 0x00FF00, 1, 1, 1}, {0xC, 0xFF8000, 1, 1, 1}, {0x30, 0, 1, 1, 1}}},
        {1, {{0x3, 0x00FF00, 1, 1, 0}}},
        {2, {{0x3, 0, 5, 1, 0}}},
    };
    for (const Expected& e : expected)
    {
        SCOPED_TRACE(e.Index);
        ULONG count = 0;
        ASSERT_EQ(OutputJacks()->GetJackCountAt(e.Index, &count), STATUS_SUCCESS);
        ASSERT_EQ(count, e.Words.size());
        std::vector<JackRecord> records(count + 1);
        std::memset(records.data(), 0xA5, records.size() * sizeof(JackRecord));
        ASSERT_EQ(
            OutputJacks()->GetJackDescriptionsAt(e.Index, ULONG(count * sizeof(JackRecord)), records.data()),
            STATUS_SUCCESS);
        for (ULONG i = 0; i < count; ++i)
        {
            const JackRecord& r = records[i];
            EXPECT_EQ((std::vector<ULONG>{r.ChannelMapping, r.Color, r.ConnectionType, r.GeoLocation,
                                          r.IsConnected}),
                      e.Words[i]);
            EXPECT_EQ(r.Flags, 0u);
            EXPECT_EQ(r.GenLocation, 0u);
            EXPECT_EQ(r.PortConnection, 0u);
        }
        EXPECT_EQ(records[count].ChannelMapping, 0xA5A5A5A5u) << "written past the records";
    }
    // Too small for every record: nothing is written.
    JackRecord one;
    std::memset(&one, 0x5A, sizeof(one));
    EXPECT_EQ(OutputJacks()->GetJackDescriptionsAt(0, sizeof(one), &one), STATUS_SUCCESS);
    EXPECT_EQ(one.ChannelMapping, 0x5A5A5A5Au);
    // "SetJackConnect" reports every jack of every pin type connected.
    SetSetting(u"SetJackConnect", 1);
    JackRecord spdif{};
    ASSERT_EQ(OutputJacks()->GetJackDescriptionsAt(2, sizeof(spdif), &spdif), STATUS_SUCCESS);
    EXPECT_EQ(spdif.IsConnected, 1u);
}

TEST_F(VariantAEntities, RecordSelectorSpeaksTheChipsSourceCodes)
{
    // Without the microphone's record unit the selector's inputs are line (code 2) and S/PDIF (3).
    Plug("uac1-variant-a");
    SetSetting(u"DisableMicInRecUnit", 1);
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ISelectorNode* selector = EntityAs<ISelectorNode>(6, IID_ISelectorNode);
    ASSERT_NE(selector, nullptr);
    const uint64_t since = LastSequence();
    ASSERT_EQ(selector->SetSelectedInput(1), STATUS_SUCCESS);
    auto sent = Requests(0x21, 0x01, 6, -1, -1, since);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].OutData, std::vector<uint8_t>{2});
    EXPECT_EQ(selector->SetSelectedInput(3), STATUS_INVALID_PARAMETER);

    ULONG input = 0;
    ASSERT_TRUE(Controls().ChangeControl(6, 1, 0, 2));
    ASSERT_EQ(selector->GetSelectedInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 1u);
    // Code 1 (the microphone) is no input of this selector: input 1 is reported and the device
    // is set back to it.
    ASSERT_TRUE(Controls().ChangeControl(6, 1, 0, 1));
    const uint64_t before = LastSequence();
    ASSERT_EQ(selector->GetSelectedInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 1u);
    auto fixed = Requests(0x21, 0x01, 6, -1, -1, before);
    ASSERT_EQ(fixed.size(), 1u);
    EXPECT_EQ(fixed[0].OutData, std::vector<uint8_t>{2});
}

} // namespace

namespace
{

class VariantAJack : public vt::VariantRig
{
protected:
    sim::RegisterChip& Chip() { return *Model().Chip(); }
    // The values unit 11's mute got since Since.
    std::vector<uint8_t> ForcedMuteWrites(uint64_t since)
    {
        std::vector<uint8_t> values;
        for (const sim::ControlRecord& r : Requests(0x21, 0x01, 11, 1, -1, since))
            values.push_back(r.OutData.empty() ? 0xFF : r.OutData[0]);
        return values;
    }
};

TEST_F(VariantAJack, TheThreadDrivesUnitElevensMuteAndTheStreamsGain)
{
    Plug(ProfileWith("F1 FF 26 81", "7D 1E 50 37"));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    CVariantAJackGainProcessor* processor = VariantA()->GetJackGainProcessor();
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(processor->GetMode(), 0u);
    uint64_t since = LastSequence();
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFor(kSecond / 2);
    EXPECT_EQ(ForcedMuteWrites(since), std::vector<uint8_t>{1}); // forced on at the start

    // The model's override: register 1 restored as 0x3032.
    EXPECT_EQ(Chip().Register(1), 0x3032);

    // The line drops: mixed at once (a quarter), steady only after 30 polls (1.5 s: silence).
    since = LastSequence();
    Chip().SetSenseBit(false);
    RunFor(kSecond / 10);
    EXPECT_EQ(processor->GetMode(), 1u);
    EXPECT_EQ(VariantA()->GetJackState(), ULONG(VARIANT_A_JACK_MIXED));
    RunFor(kSecond);
    EXPECT_EQ(processor->GetMode(), 1u);
    RunFor(kSecond);
    EXPECT_EQ(processor->GetMode(), 2u);
    EXPECT_EQ(ForcedMuteWrites(since), (std::vector<uint8_t>{0, 0}));

    // Back: a mixed history leaves state 2 alone; 30 steady polls bring state 0 (pass, muted).
    since = LastSequence();
    Chip().SetSenseBit(true);
    RunFor(kSecond);
    EXPECT_EQ(processor->GetMode(), 2u);
    RunFor(kSecond);
    EXPECT_EQ(processor->GetMode(), 0u);
    EXPECT_EQ(ForcedMuteWrites(since), std::vector<uint8_t>{1});
    // The user's own mute still reaches the device beside the forced one.
    IFeatureUnitSwitch* unit11 = EntityAs<IFeatureUnitSwitch>(11, IID_IFeatureUnitSwitch);
    ASSERT_NE(unit11, nullptr);
    EXPECT_EQ(unit11->SetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 1, 1), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(VariantA()->IsJackThreadRunning());
    const size_t reads = Chip().ReportReads();
    RunFor(kSecond);
    EXPECT_EQ(Chip().ReportReads(), reads);
}

} // namespace

namespace
{

class VariantAOutputNodes : public vt::VariantRig
{
protected:
    // Six channels of 16 samples at 1.0, run through Node as the pipeline runs it.
    std::vector<float> RunOnes(IDspNode* node)
    {
        std::vector<float> samples(6 * 16, 1.0f);
        float* channels[6];
        for (int c = 0; c < 6; ++c)
            channels[c] = samples.data() + 16 * c;
        WAVEFORMATEXTENSIBLE format{};
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.nChannels = 6;
        format.Format.nSamplesPerSec = 48000;
        format.Format.nBlockAlign = 12;
        format.Format.nAvgBytesPerSec = 48000 * 12;
        format.Format.wBitsPerSample = 16;
        format.Format.cbSize = 22;
        format.Samples.wValidBitsPerSample = 16;
        format.dwChannelMask = 0x3F;
        format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        EXPECT_EQ(node->Process(&format, channels, 16), STATUS_SUCCESS);
        return samples;
    }
};

TEST_F(VariantAOutputNodes, VolumeGainsFollowTheLevelsAndActOnlyOnSpdif)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ITopologyNode* volumeNode = ChildOfKind(13, NODE_KIND_VOLUME);
    ILevelControl* volume = NodeAs<ILevelControl>(volumeNode, IID_ILevelControl);
    IDspNode* dsp = NodeAs<IDspNode>(volumeNode, IID_IDspNode);
    ASSERT_NE(volume, nullptr);
    ASSERT_NE(dsp, nullptr);
    auto* node = static_cast<CVariantAVolumeControl*>(dsp);
    ASSERT_EQ(volume->SetLevel(0, -20 * kDb), STATUS_SUCCESS);
    ASSERT_EQ(volume->SetLevel(1, kSilence), STATUS_SUCCESS);
    ASSERT_EQ(volume->SetLevel(2, -6 * kDb), STATUS_SUCCESS);
    EXPECT_NEAR(node->GetGain(0), 0.1, 1e-5);
    EXPECT_EQ(node->GetGain(1), 0.0f);
    EXPECT_NEAR(node->GetGain(2), std::pow(10.0, -6.0 / 20.0), 1e-5);

    std::vector<float> speaker = RunOnes(dsp);
    EXPECT_EQ(speaker, std::vector<float>(6 * 16, 1.0f)) << "the speaker output is left to the device";
    // The pin-type node tells the nodes upstream of the output (as it does after a choice).
    ASSERT_EQ(NodeAs<IPinTypeSink>(volumeNode, IID_IPinTypeSink)->SetPinType(PIN_TYPE_SPDIF, nullptr),
              STATUS_SUCCESS);
    std::vector<float> spdif = RunOnes(dsp);
    EXPECT_NEAR(spdif[0], 0.1f, 1e-5);
    EXPECT_EQ(spdif[16], 0.0f);
    EXPECT_NEAR(spdif[32], std::pow(10.0, -6.0 / 20.0), 1e-5);

    IBooleanControl* mute = NodeAs<IBooleanControl>(ChildOfKind(13, NODE_KIND_MUTE), IID_IBooleanControl);
    IDspNode* muteDsp = NodeAs<IDspNode>(ChildOfKind(13, NODE_KIND_MUTE), IID_IDspNode);
    ASSERT_NE(muteDsp, nullptr);
    IPinTypeSink* muteSink = NodeAs<IPinTypeSink>(ChildOfKind(13, NODE_KIND_MUTE), IID_IPinTypeSink);
    ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(RunOnes(muteDsp), std::vector<float>(6 * 16, 1.0f))
        << "the speaker output is left to the device";
    ASSERT_EQ(muteSink->SetPinType(PIN_TYPE_SPDIF, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(RunOnes(muteDsp), std::vector<float>(6 * 16, 0.0f));
}

} // namespace

namespace
{

class VariantASpdifInput : public vt::VariantRig
{
};

TEST_F(VariantASpdifInput, OnlyAMuteThatFollowsTheRecordSelector)
{
    Plug("uac1-variant-a");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ChildOfKind(16, NODE_KIND_VOLUME), nullptr);
    ITopologyNode* mute = ChildOfKind(16, NODE_KIND_MUTE);
    ASSERT_NE(mute, nullptr);
    IConnectionIndexSync* sync = NodeAs<IConnectionIndexSync>(mute, IID_IConnectionIndexSync);
    IDspNode* dsp = NodeAs<IDspNode>(mute, IID_IDspNode);
    IBooleanControl* value = NodeAs<IBooleanControl>(mute, IID_IBooleanControl);
    ASSERT_NE(sync, nullptr);
    ASSERT_NE(dsp, nullptr);
    ASSERT_EQ(value->SetValue(0, 1), STATUS_SUCCESS);
    std::vector<float> samples(2 * 8, 1.0f);
    float* channels[2] = {samples.data(), samples.data() + 8};
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 2;
    format.Format.nBlockAlign = 4;
    format.Format.wBitsPerSample = 16;
    // The selector passes the microphone: the S/PDIF input's mute leaves the samples alone.
    ASSERT_EQ(sync->SetExpectedIndex(1), STATUS_SUCCESS);
    ASSERT_EQ(dsp->Process(&format, channels, 8), STATUS_SUCCESS);
    EXPECT_EQ(samples, std::vector<float>(16, 1.0f));
    // It passes S/PDIF, its third input: silence.
    ASSERT_EQ(sync->SetExpectedIndex(3), STATUS_SUCCESS);
    ASSERT_EQ(dsp->Process(&format, channels, 8), STATUS_SUCCESS);
    EXPECT_EQ(samples, std::vector<float>(16, 0.0f));
}

TEST_F(VariantASpdifInput, ASourceThatNamesNoEntityRefusesTheDevice)
{
    // Unit 8 fed from an entity the descriptors never define.
    Plug(ProfileWith("0A 24 06 08 05 01 03 00 00 00", "0A 24 06 08 63 01 03 00 00 00"));
    EXPECT_FALSE(NT_SUCCESS(StartUsbDevice()));
    EXPECT_NE(plat::DebugLogText().find("names source 99"), std::string::npos);
}

} // namespace

namespace
{

class VariantASoftMute : public vt::VariantRig
{
};

TEST_F(VariantASoftMute, RecordUnitMuteStaysInTheDriverOnTheModelsThatNeedIt)
{
    Plug(ProfileWith("F1 FF 26 81", "31 7A 53 00")); // 0x7A31 product 0x0053
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ITopologyNode* muteNode = ChildOfKind(8, NODE_KIND_MUTE);
    ASSERT_NE(muteNode, nullptr);
    IBooleanControl* mute = NodeAs<IBooleanControl>(muteNode, IID_IBooleanControl);
    IDspNode* dsp = NodeAs<IDspNode>(muteNode, IID_IDspNode);
    ASSERT_NE(dsp, nullptr);
    const uint64_t since = LastSequence();
    ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Requests(0x21, 0x01, 8, 1, -1, since).size(), 0u) << "the mute went to the device";
    UCHAR value = 0;
    ASSERT_EQ(mute->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    std::vector<float> samples(2 * 4, 0.5f);
    float* channels[2] = {samples.data(), samples.data() + 4};
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 2;
    format.Format.nBlockAlign = 4;
    format.Format.wBitsPerSample = 16;
    ASSERT_EQ(dsp->Process(&format, channels, 4), STATUS_SUCCESS);
    EXPECT_EQ(samples, std::vector<float>(8, 0.0f));
    // Its volume is the class-1 node over the unit's 3/8 scale.
    EXPECT_NE(ChildOfKind(8, NODE_KIND_VOLUME), nullptr);
}

} // namespace

namespace
{

class VariantAStateSwitch : public vt::VariantRig
{
};

TEST_F(VariantAStateSwitch, RecordUnitsOfTheStateModelCarryAChipSwitch)
{
    Plug(ProfileWith("F1 FF 26 81", "DA 28 8E 26")); // 0x28DA product 0x268E
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ITopologyNode* node = ChildOfKind(8, NODE_KIND_VARIANT_A_SWITCH);
    ASSERT_NE(node, nullptr);
    EXPECT_NE(ChildOfKind(8, NODE_KIND_MUTE), nullptr) << "the class-1 nodes stay";
    IBooleanControl* state = NodeAs<IBooleanControl>(node, IID_IBooleanControl);
    ASSERT_NE(state, nullptr);
    Model().Chip()->ClearWrites();
    const USHORT r1 = VariantA()->GetCachedRegister(1);
    ASSERT_EQ(state->SetValue(0, 1), STATUS_SUCCESS);
    ASSERT_EQ(state->SetValue(0, 0), STATUS_SUCCESS);
    std::vector<sim::ChipWrite> writes = Model().Chip()->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Register, 1);
    EXPECT_EQ(writes[0].Value, USHORT((r1 & ~0x30) | 0x10));
    EXPECT_EQ(writes[1].Value, USHORT((r1 & ~0x30) | 0x30));
    UCHAR value = 7;
    EXPECT_EQ(state->SetValue(1, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(state->GetValue(1, &value), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(state->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);
}

} // namespace

namespace
{

class VariantAJackReports : public vt::VariantRig
{
};

// An empty jack report carries no sense line: the thread takes it as a failed read and ends,
// rather than reading a byte the device never sent.
TEST_F(VariantAJackReports, AnEmptyReportEndsTheThreadInsteadOfBeingRead)
{
    Plug(ProfileWith("F1 FF 26 81", "7D 1E 50 37"));
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    CVariantAJackGainProcessor* processor = VariantA()->GetJackGainProcessor();
    ASSERT_NE(processor, nullptr);
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFor(kSecond / 2);
    Model().Chip()->SetSenseBit(false); // would move the state on, if the reports were read
    RewriteControl(
        [](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
        {
            if (setup.RequestType == 0xA1 && setup.Request == 0x01 && setup.Index == 3)
                answer->Data.clear();
        });
    RunFor(2 * kSecond);
    EXPECT_EQ(processor->GetMode(), 0u);
    EXPECT_EQ(VariantA()->GetJackState(), ULONG(VARIANT_A_JACK_ALL_SET));
    EXPECT_EQ(m_pCommon->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(VariantA()->IsJackThreadRunning());
}

} // namespace
