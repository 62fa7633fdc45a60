// The control nodes on a device from the stand-in: saved-value names and their round trip
// through the settings store, load at set-up, set, restore and re-read against an entity
// double that records each request, pin-type changes with their change reports on a callback
// object, and the entity base's child wiring.
#include "support/function_double.h"
#include "support/node_test_doubles.h"
#include "support/settings_device_fixture.h"

#include "driver/core/audio_hal.h"
#include "driver/topology/nodes/boolean_control_node.h"
#include "driver/topology/nodes/clock_source_node.h"
#include "driver/topology/nodes/dsp_volume_control_node.h"
#include "driver/topology/nodes/effect_control_node.h"
#include "driver/topology/nodes/level_control_node.h"
#include "driver/topology/nodes/output_pin_type_node.h"
#include "driver/topology/nodes/pin_node.h"
#include "driver/core/pin_type.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/topology/nodes/usb_selector_node.h"

#include <cstring>
#include <functional>

namespace
{

using gd::Log;
using gd::LogOf;
using gd::Make;
using nd::CFakeEntity;
using nd::Drop;
using settings_test::StoredValue;

constexpr ULONG kMute = 1;
constexpr ULONG kVolume = 2;
constexpr ULONG kBass = 3;

std::u16string Wide(const char* text)
{
    return std::u16string(text, text + std::strlen(text));
}

class ControlNode : public settings_test::SettingsDeviceFixture
{
protected:
    void SetUp() override
    {
        SettingsDeviceFixture::SetUp();
        gd::Log().clear();
        CreateDevice();
        m_Entity = Make<CFakeEntity>(10u);
    }
    void TearDown() override
    {
        for (auto drop = m_Made.rbegin(); drop != m_Made.rend(); ++drop)
            (*drop)();
        Drop(m_Entity);
        SettingsDeviceFixture::TearDown();
    }
    // Made for the test and released after it.
    template <class T, class... Args> T* New(Args&&... args)
    {
        T* node = Make<T>(std::forward<Args>(args)...);
        m_Made.push_back([node] { Drop(node); });
        return node;
    }

    // Values as the settings store keeps them (REG_BINARY), written or read independently of
    // the nodes through the registry itself.
    void Save(const char* name, const void* data, ULONG size)
    {
        ASSERT_EQ(plat::RegSetValue(SettingsPath(), Wide(name), REG_BINARY, data, size), STATUS_SUCCESS);
    }
    template <class T> void Save(const char* name, T value) { Save(name, &value, sizeof(value)); }
    bool Stored(const char* name, std::vector<UCHAR>* data = nullptr)
    {
        settings_test::SettingsMap values = ReadSettings();
        auto it = values.find({u"", settings_test::Upcase(Wide(name))});
        if (it == values.end())
            return false;
        EXPECT_EQ(it->second.Type, ULONG(REG_BINARY)) << name;
        if (data)
            *data = it->second.Data;
        return true;
    }
    template <class T> T StoredAs(const char* name)
    {
        std::vector<UCHAR> data;
        T value{};
        EXPECT_TRUE(Stored(name, &data)) << name;
        EXPECT_EQ(data.size(), sizeof(T)) << name;
        std::memcpy(&value, data.data(), std::min(data.size(), sizeof(T)));
        return value;
    }

    CMutexLock m_Lock;
    CFakeEntity* m_Entity = nullptr;
    std::vector<std::function<void()>> m_Made;
};

TEST(ControlValueNames, ChannelPrefixesPadThePinTypeAndSingleNamesEndInAnUnderscore)
{
    struct Row
    {
        ULONG Id;
        ULONG PinType;
        const char16_t* Expected;
    };
    const Row rows[] = {
        {5, 0, u"Unit05_ 0_"}, {5, 3, u"Unit05_ 3_"}, {5, 12, u"Unit05_12_"}, {123, 18, u"Unit123_18_"}};
    for (const Row& row : rows)
    {
        WCHAR prefix[CONTROL_VALUE_PREFIX_CCH];
        ASSERT_EQ(FormatChannelValuePrefix(row.Id, row.PinType, prefix), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(prefix), row.Expected);
    }
    WCHAR name[CONTROL_VALUE_NAME_CCH];
    ASSERT_EQ(FormatSingleValueName(5, name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Unit05_");
}

TEST_F(ControlNode, LoadTakesTheDeviceValueThenTheSavedOneAndZeroWhenBothFail)
{
    m_Entity->ChannelCount = 3;
    m_Entity->Values[{kMute, 0}] = 1;
    m_Entity->Values[{kMute, 1}] = 1;
    m_Entity->Values[{kMute, 2}] = 1;
    m_Entity->FailChannel.insert({"getswitch", 2});
    Save<UCHAR>("Unit05_ 0_1", 0);
    CBooleanControlNode* mute = New<CBooleanControlNode>(5u, ULONG(NODE_KIND_MUTE));
    ASSERT_EQ(mute->InitControlNode(m_Entity, kMute, Fdo(), &m_Lock), STATUS_SUCCESS);
    UCHAR values[3];
    for (ULONG c = 0; c < 3; c++)
        ASSERT_EQ(mute->GetValue(c, &values[c]), STATUS_SUCCESS);
    EXPECT_EQ(values[0], 1) << "the device's value";
    EXPECT_EQ(values[1], 0) << "the saved value wins";
    EXPECT_EQ(values[2], 0) << "neither readable";
    EXPECT_TRUE(LogOf({"setswitch"}).empty()) << "loading sends nothing";
}

TEST_F(ControlNode, SetupFailsWhenTheUnitCannotCountItsChannels)
{
    m_Entity->Fail["count"] = STATUS_INVALID_PARAMETER;
    CBooleanControlNode* mute = New<CBooleanControlNode>(5u, ULONG(NODE_KIND_MUTE));
    CVolumeControlNode* volume = New<CVolumeControlNode>(6u);
    EXPECT_EQ(mute->InitControlNode(m_Entity, kMute, Fdo(), &m_Lock), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume->InitLevelControlNode(m_Entity, kVolume, Fdo(), &m_Lock), STATUS_INVALID_PARAMETER);
}

TEST_F(ControlNode, LevelsClampForTheCacheAndTruncateToTheStepForTheDevice)
{
    struct Row
    {
        ULONG Kind;
        LONG Resolution;
        LONG Requested;
        LONG Cached;
        LONG Sent;
    };
    // Range 0 to -127 dB in steps of the resolution (1/256 dB; 0 is a step of one). Tone
    // controls send the minimum for silence but keep silence.
    const LONG kSilence = LONG(0x80000000);
    const Row rows[] = {
        {NODE_KIND_VOLUME, 0x100, -0x12345, -0x12345, -0x12300},
        {NODE_KIND_VOLUME, 0x100, 0x10000, 0, 0},
        {NODE_KIND_VOLUME, 0x100, -0x800000, -0x7F0000, -0x7F0000},
        {NODE_KIND_VOLUME, 0x100, kSilence, kSilence, kSilence},
        {NODE_KIND_VOLUME, 0, -0x12345, -0x12345, -0x12345},
        {NODE_KIND_BASS, 0x100, kSilence, kSilence, -0x7F0000},
    };
    for (const Row& row : rows)
    {
        m_Entity->Resolution = row.Resolution;
        const bool volume = row.Kind == NODE_KIND_VOLUME;
        CVolumeControlNode* node =
            volume ? Make<CVolumeControlNode>(5u) : Make<CToneControlNode>(5u, row.Kind);
        const ULONG selector = volume ? kVolume : kBass;
        ASSERT_EQ(node->InitLevelControlNode(m_Entity, selector, Fdo(), &m_Lock), STATUS_SUCCESS);
        EXPECT_EQ(node->GetKind(), row.Kind);
        Log().clear();
        ASSERT_EQ(node->SetLevel(1, row.Requested), STATUS_SUCCESS);
        LONG cached = 0;
        EXPECT_EQ(OUT_OF(LONG, node, GetLevel, 1), row.Cached);
        EXPECT_EQ(Log(), std::vector<std::string>{"setlevel " + std::to_string(selector) + " 1 " +
                                                  std::to_string(row.Sent)});
        EXPECT_EQ(StoredAs<LONG>("Unit05_ 0_1"), row.Cached);
        LONG maximum, minimum, step = 0;
        EXPECT_EQ(node->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
        EXPECT_EQ(step, row.Resolution ? row.Resolution : 1);
        EXPECT_EQ(node->SetLevel(2, 0), STATUS_INVALID_PARAMETER) << "channels below the count";
        EXPECT_EQ(node->GetLevel(2, &cached), STATUS_INVALID_PARAMETER);
        Drop(node);
    }
}

TEST_F(ControlNode, GainPadSetsEveryChannelAndStopsAtTheFirstRefusal)
{
    m_Entity->ChannelCount = 3;
    m_Entity->FailChannel.insert({"setlevel", 2});
    CInputGainPadControlNode* pad = New<CInputGainPadControlNode>(5u);
    ASSERT_EQ(pad->InitLevelControlNode(m_Entity, 12, Fdo(), &m_Lock), STATUS_SUCCESS);
    EXPECT_EQ(pad->SetLevel(CInputGainPadControlNode::ALL_CHANNELS, LONG(0x80000000)), STATUS_UNSUCCESSFUL);
    const std::string min = std::to_string(-0x7F0000);
    EXPECT_EQ(LogOf({"setlevel"}), (std::vector<std::string>{"setlevel 12 0 " + min, "setlevel 12 1 " + min,
                                                             "setlevel 12 2 " + min}));
    EXPECT_EQ(OUT_OF(LONG, pad, GetLevel, CInputGainPadControlNode::ALL_CHANNELS), -0x7F0000)
        << "silence is the lowest level on a gain pad";
    EXPECT_EQ(OUT_OF(LONG, pad, GetLevel, 2), 0) << "the refused channel keeps its value";
}

// A refused request is the caller's failure; nothing is cached or saved.
TEST_F(ControlNode, RefusedSetsReturnTheFailureAndChangeNothing)
{
    CBooleanControlNode* mute = New<CBooleanControlNode>(5u, ULONG(NODE_KIND_MUTE));
    CVolumeControlNode* volume = New<CVolumeControlNode>(6u);
    ASSERT_EQ(mute->InitControlNode(m_Entity, kMute, Fdo(), &m_Lock), STATUS_SUCCESS);
    ASSERT_EQ(volume->InitLevelControlNode(m_Entity, kVolume, Fdo(), &m_Lock), STATUS_SUCCESS);
    m_Entity->Fail["setswitch"] = STATUS_INTERNAL_ERROR;
    m_Entity->Fail["setlevel"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(mute->SetValue(0, 1), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(volume->SetLevel(0, -0x10000), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(OUT_OF(UCHAR, mute, GetValue, 0), 0);
    EXPECT_EQ(OUT_OF(LONG, volume, GetLevel, 0), 0);
    EXPECT_FALSE(Stored("Unit05_ 0_0"));
    EXPECT_FALSE(Stored("Unit06_ 0_0"));
    m_Entity->Fail.clear();
    EXPECT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(StoredAs<UCHAR>("Unit05_ 0_0"), 1);
}

TEST_F(ControlNode, RestoreSendsEveryChannelAndSkipsOneThatStalls)
{
    m_Entity->ChannelCount = 3;
    Save<LONG>("Unit05_ 0_0", -0x10000);
    Save<LONG>("Unit05_ 0_1", -0x20000);
    Save<LONG>("Unit05_ 0_2", -0x30000);
    CVolumeControlNode* volume = New<CVolumeControlNode>(5u);
    ASSERT_EQ(volume->InitLevelControlNode(m_Entity, kVolume, Fdo(), &m_Lock), STATUS_SUCCESS);
    m_Entity->FailChannel.insert({"setlevel", 1});
    Log().clear();
    EXPECT_EQ(volume->RestoreValues(), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"setlevel 2 0 -65536", "setlevel 2 1 -131072",
                                               "setlevel 2 2 -196608"}));
    EXPECT_EQ(OUT_OF(LONG, volume, GetLevel, 1), -0x20000) << "the stalled channel keeps its cached level";
}

TEST_F(ControlNode, VolumeReadBackSeesAChangeOnAnyChannel)
{
    CVolumeControlNode* volume = New<CVolumeControlNode>(5u);
    ASSERT_EQ(volume->InitLevelControlNode(m_Entity, kVolume, Fdo(), &m_Lock), STATUS_SUCCESS);
    ASSERT_EQ(volume->SetLevel(0, -0x12345), STATUS_SUCCESS);
    ASSERT_EQ(volume->SetLevel(1, -0x12345), STATUS_SUCCESS);
    EXPECT_EQ(volume->SaveValues(), STATUS_UNSUCCESSFUL) << "the device reports what it was sent";
    m_Entity->Values[{kVolume, 1}] = -0x50000;
    EXPECT_EQ(volume->SaveValues(), STATUS_SUCCESS) << "channel 0 unchanged, channel 1 changed";
    EXPECT_EQ(OUT_OF(LONG, volume, GetLevel, 1), -0x50000);
    EXPECT_EQ(StoredAs<LONG>("Unit05_ 0_1"), -0x50000);
    EXPECT_EQ(OUT_OF(LONG, volume, GetLevel, 0), -0x12345);
    m_Entity->Fail["getlevel"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(volume->SaveValues(), STATUS_INTERNAL_ERROR);
}

TEST_F(ControlNode, OnOffReadBackCachesAndSavesEveryChannel)
{
    CBooleanControlNode* agc = New<CBooleanControlNode>(7u, ULONG(NODE_KIND_AGC));
    ASSERT_EQ(agc->InitControlNode(m_Entity, 7, Fdo(), &m_Lock), STATUS_SUCCESS);
    m_Entity->Values[{7, 1}] = 1;
    EXPECT_EQ(agc->SaveValues(), STATUS_SUCCESS);
    EXPECT_EQ(OUT_OF(UCHAR, agc, GetValue, 1), 1);
    EXPECT_EQ(StoredAs<UCHAR>("Unit07_ 0_0"), 0);
    EXPECT_EQ(StoredAs<UCHAR>("Unit07_ 0_1"), 1);
    m_Entity->FailChannel.insert({"getswitch", 0});
    EXPECT_EQ(agc->SaveValues(), STATUS_UNSUCCESSFUL);
}

// Collects the control-change records a device's listener would get.
struct Listener
{
    std::vector<ULONG> NodeIds;
    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto* record = static_cast<AudioHalNotification*>(argument1);
        EXPECT_EQ(record->Class, 1u);
        EXPECT_EQ(record->Event, 1u);
        static_cast<Listener*>(context)->NodeIds.push_back(record->NodeId);
    }
};

class PinTypeChange : public ControlNode
{
protected:
    void SetUp() override
    {
        ControlNode::SetUp();
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Callback\\NodeTestChanges");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        ASSERT_EQ(ExCreateCallback(&m_Callback, &attributes, TRUE, TRUE), STATUS_SUCCESS);
        m_Registration = ExRegisterCallback(m_Callback, Listener::Callback, &m_Listener);
        fdt::ResetFunctionDouble();
        fdt::g_Script.CallbackObject = m_Callback;
        m_Function = Make<fdt::CFunctionDouble>();
        m_Entity->ChannelCount = 6;
        m_Entity->PinTypes = {PIN_TYPE_STREAM, PIN_TYPE_HP};
        m_Entity->CurrentPinType = PIN_TYPE_STREAM;
        m_Entity->Jacks = {{}, {}};
    }
    void TearDown() override
    {
        ExUnregisterCallback(m_Registration);
        ObDereferenceObject(m_Callback);
        Drop(m_Function);
        ControlNode::TearDown();
    }
    PCALLBACK_OBJECT m_Callback = nullptr;
    PVOID m_Registration = nullptr;
    Listener m_Listener;
    fdt::CFunctionDouble* m_Function = nullptr;
};

TEST_F(PinTypeChange, SinksLoadTheNewTypesValuesSendThemAndReportTheChange)
{
    Save<UCHAR>("Unit05_ 2_0", 1);
    Save<LONG>("Unit06_ 2_1", -0x30000);
    CBooleanControlNode* mute = New<CBooleanControlNode>(5u, ULONG(NODE_KIND_MUTE));
    CVolumeControlNode* volume = New<CVolumeControlNode>(6u);
    CDspVolumeControlNode* dsp = New<CDspVolumeControlNode>(7u);
    COutputPinTypeNode* pinType = New<COutputPinTypeNode>(8u);
    ASSERT_EQ(mute->InitControlNode(m_Entity, kMute, Fdo(), &m_Lock), STATUS_SUCCESS);
    ASSERT_EQ(volume->InitLevelControlNode(m_Entity, kVolume, Fdo(), &m_Lock), STATUS_SUCCESS);
    ASSERT_EQ(dsp->InitDspVolumeControlNode(m_Entity, 0x82, Fdo(), &m_Lock), STATUS_SUCCESS);
    ASSERT_EQ(
        pinType->InitOutputPinTypeNode(m_Entity, Fdo(), static_cast<IUsbAudioFunction*>(m_Function), &m_Lock),
        STATUS_SUCCESS);
    for (IPinTypeSink* sink : {static_cast<IPinTypeSink*>(mute), static_cast<IPinTypeSink*>(volume),
                               static_cast<IPinTypeSink*>(dsp)})
        ASSERT_EQ(pinType->AddPinTypeSink(sink), STATUS_SUCCESS);
    Log().clear();
    ASSERT_EQ(pinType->SetPinType(PIN_TYPE_HP), STATUS_SUCCESS);
    EXPECT_EQ(m_Entity->CurrentPinType, ULONG(PIN_TYPE_HP));
    EXPECT_EQ(fdt::g_Created.Updates, std::vector<ULONG>{10});
    EXPECT_EQ(LogOf({"setswitch"}), (std::vector<std::string>{"setswitch 1 0 1", "setswitch 1 1 0"}))
        << "headphones have two channels, the saved set of type 2 is sent";
    std::vector<std::string> volumes = LogOf({"setlevel 2 "});
    EXPECT_EQ(volumes,
              (std::vector<std::string>{"setlevel 2 0 0", "setlevel 2 1 " + std::to_string(-0x30000)}));
    EXPECT_EQ(m_Listener.NodeIds, (std::vector<ULONG>{5, 6, 7, 7}));
    EXPECT_EQ(pinType->IsPinTypeChanged(), 1u);
    EXPECT_EQ(StoredAs<ULONG>("Unit08_"), ULONG(PIN_TYPE_HP));
    EXPECT_EQ(OUT_OF(UCHAR, mute, GetValue, 0), 1);
}

TEST_F(PinTypeChange, AFailedUpdateRevertsTheTerminalAndTheCache)
{
    COutputPinTypeNode* pinType = New<COutputPinTypeNode>(8u);
    ASSERT_EQ(
        pinType->InitOutputPinTypeNode(m_Entity, Fdo(), static_cast<IUsbAudioFunction*>(m_Function), &m_Lock),
        STATUS_SUCCESS);
    fdt::g_Script.UpdateStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(pinType->SetPinType(PIN_TYPE_HP), STATUS_DEVICE_BUSY);
    EXPECT_EQ(LogOf({"terminal"}),
              (std::vector<std::string>{"terminal setpintype 2", "terminal setpintype 0"}));
    EXPECT_EQ(m_Entity->CurrentPinType, ULONG(PIN_TYPE_STREAM));
    EXPECT_TRUE(m_Listener.NodeIds.empty());
    EXPECT_FALSE(Stored("Unit08_"));
}

TEST_F(PinTypeChange, ASavedTypeOutsideTheListIsIgnored)
{
    Save<ULONG>("Unit08_", PIN_TYPE_SPDIF);
    COutputPinTypeNode* pinType = New<COutputPinTypeNode>(8u);
    ASSERT_EQ(
        pinType->InitOutputPinTypeNode(m_Entity, Fdo(), static_cast<IUsbAudioFunction*>(m_Function), &m_Lock),
        STATUS_SUCCESS);
    Log().clear();
    EXPECT_EQ(pinType->RestoreValues(), STATUS_SUCCESS);
    EXPECT_EQ(Log(), std::vector<std::string>{"terminal setpintype 0"});
    Save<ULONG>("Unit09_", PIN_TYPE_HP);
    pinType = New<COutputPinTypeNode>(9u);
    ASSERT_EQ(
        pinType->InitOutputPinTypeNode(m_Entity, Fdo(), static_cast<IUsbAudioFunction*>(m_Function), &m_Lock),
        STATUS_SUCCESS);
    Log().clear();
    EXPECT_EQ(pinType->RestoreValues(), STATUS_SUCCESS);
    EXPECT_EQ(Log(), std::vector<std::string>{"terminal setpintype 2"}) << "a listed saved type is restored";
}

TEST_F(ControlNode, SelectorStartsFromTheSavedInputLimitedToItsInputs)
{
    struct Row
    {
        ULONG Saved;
        ULONG Expected;
    };
    const Row rows[] = {{7, 3}, {0, 1}, {2, 2}};
    ULONG id = 20;
    for (const Row& row : rows)
    {
        std::string name = "Unit" + std::to_string(id) + "_";
        Save<ULONG>(name.c_str(), row.Saved);
        CUsbSelectorNode* selector = Make<CUsbSelectorNode>(id);
        ASSERT_EQ(selector->InitSelectorNode(m_Entity, Fdo(), &m_Lock), STATUS_SUCCESS);
        EXPECT_EQ(OUT_OF(ULONG, selector, GetSelectedInput), row.Expected) << row.Saved;
        EXPECT_EQ(selector->GetSourceCount(), 3u);
        Drop(selector);
        id++;
    }
}

TEST_F(ControlNode, SelectorSetGoesToTheUnitAndIsSaved)
{
    CUsbSelectorNode* selector = New<CUsbSelectorNode>(20u);
    ASSERT_EQ(selector->InitSelectorNode(m_Entity, Fdo(), &m_Lock), STATUS_SUCCESS);
    EXPECT_EQ(selector->SetSelectedInput(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->SetSelectedInput(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->SetSelectedInput(2), STATUS_SUCCESS);
    EXPECT_EQ(StoredAs<ULONG>("Unit20_"), 2u);
    m_Entity->Fail["setinput"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(selector->SetSelectedInput(3), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(OUT_OF(ULONG, selector, GetSelectedInput), 2u);
    EXPECT_EQ(selector->RestoreValues(), STATUS_SUCCESS) << "restore goes on past a refusal";
}

TEST_F(ControlNode, EffectEnableRaisesTheChangeFlagsAndSavesOnlyWhatTheDeviceTook)
{
    CEffectControlNode* effect = New<CEffectControlNode>(5u);
    Save<UCHAR>("Unit05_", 1);
    ASSERT_EQ(effect->InitEffectControlNode(m_Entity, 139, Fdo(), &m_Lock), STATUS_SUCCESS);
    EXPECT_EQ(OUT_OF(UCHAR, effect, GetEnable), 1) << "the saved byte replaces the device's";
    EXPECT_FALSE(effect->TakeChangeFlag(0));
    m_Entity->Fail["setswitch"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(effect->SetEnable(0), STATUS_INTERNAL_ERROR);
    EXPECT_TRUE(effect->TakeChangeFlag(0)) << "flags rise whenever the byte is sent";
    EXPECT_TRUE(effect->TakeChangeFlag(1));
    EXPECT_FALSE(effect->TakeChangeFlag(1));
    EXPECT_EQ(OUT_OF(UCHAR, effect, GetEnable), 1);
    m_Entity->Fail.clear();
    EXPECT_EQ(effect->SetEnable(0), STATUS_SUCCESS);
    EXPECT_EQ(StoredAs<UCHAR>("Unit05_"), 0);
    EXPECT_EQ(LogOf({"setswitch"}), (std::vector<std::string>{"setswitch 139 0 0", "setswitch 139 0 0"}));
}

TEST_F(ControlNode, ClockRateIsCachedOnlyWhenTheDeviceTakesIt)
{
    m_Entity->Rates = {44100, 48000, 96000};
    CClockSourceNode* clock = New<CClockSourceNode>(5u);
    ASSERT_EQ(clock->InitClockSourceNode(m_Entity, &m_Lock), STATUS_SUCCESS);
    ULONG rates[3] = {};
    ULONG count = 3;
    EXPECT_EQ(clock->GetSampleRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(rates[2], 96000u);
    EXPECT_EQ(clock->SetSampleRate(48000), STATUS_SUCCESS);
    m_Entity->Fail["setrate"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(clock->SetSampleRate(96000), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(OUT_OF(ULONG, clock, GetSampleRate), 48000u);
    EXPECT_EQ(OUT_OF(UCHAR, clock, IsClockValid), 0) << "validity is the device's answer";
    m_Entity->Rates.clear();
    CClockSourceNode* empty = New<CClockSourceNode>(6u);
    EXPECT_EQ(empty->InitClockSourceNode(m_Entity, &m_Lock), STATUS_UNSUCCESSFUL);
}

TEST_F(ControlNode, PinNodesCopyTheTerminalAndRefreshTheirJacks)
{
    m_Entity->PinTypes = {PIN_TYPE_SPK, PIN_TYPE_HP};
    m_Entity->CurrentPinType = PIN_TYPE_SPK;
    m_Entity->Jacks = {{nd::Jack(3, 1)}, {}};
    const UCHAR guids[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    COutputPinNode* speaker = New<COutputPinNode>(5u, 0u);
    COutputPinNode* headphones = New<COutputPinNode>(6u, 1u);
    ASSERT_EQ(speaker->InitOutputPinNode(m_Entity, guids, &m_Lock), STATUS_SUCCESS);
    ASSERT_EQ(headphones->InitOutputPinNode(m_Entity, guids, &m_Lock), STATUS_SUCCESS)
        << "no jacks is no failure";
    EXPECT_EQ(OUT_OF(ULONG, headphones, GetPinType), ULONG(PIN_TYPE_HP));
    EXPECT_EQ(OUT_OF(ULONG, headphones, GetJackCount), 0u);
    UCHAR copied[32] = {};
    EXPECT_EQ(speaker->GetPinGuids(copied), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(copied, guids, 32), 0);
    m_Entity->Jacks = {{nd::Jack(3, 1), nd::Jack(12, 2)}, {}};
    EXPECT_EQ(speaker->SaveValues(), STATUS_SUCCESS);
    JackRecord jacks[2] = {};
    EXPECT_EQ(OUT_OF(ULONG, speaker, GetJackCount), 2u);
    EXPECT_EQ(speaker->GetJackDescriptions(sizeof(jacks), jacks), STATUS_SUCCESS);
    EXPECT_EQ(jacks[1].ChannelMapping, 12u);
    m_Entity->Jacks = {{}, {}};
    EXPECT_EQ(speaker->SaveValues(), STATUS_SUCCESS) << "a count of 0 means no jacks";
    EXPECT_EQ(OUT_OF(ULONG, speaker, GetJackCount), 0u);
    m_Entity->Fail["getpintype"] = STATUS_INTERNAL_ERROR;
    EXPECT_EQ(speaker->SaveValues(), STATUS_INTERNAL_ERROR);
}

TEST_F(ControlNode, InputPinNodeKeepsEveryPinTypeAndOneSourceSlot)
{
    m_Entity->PinTypes = {PIN_TYPE_MIC};
    m_Entity->CurrentPinType = PIN_TYPE_MIC;
    m_Entity->Jacks = {{nd::Jack(1, 5)}};
    m_Entity->AnswerJacksAt = false;
    const UCHAR guids[32] = {};
    CInputPinNode* pin = New<CInputPinNode>(5u);
    ASSERT_EQ(pin->InitInputPinNode(m_Entity, guids, &m_Lock), STATUS_SUCCESS);
    EXPECT_EQ(OUT_OF(ULONG, pin, GetJackCount), 1u);
    EXPECT_EQ(pin->GetSourceCount(), 1u);
    EXPECT_EQ(pin->GetKind(), 0u);
    EXPECT_EQ(pin->InitInputPinNode(m_Entity, nullptr, &m_Lock), STATUS_INSUFFICIENT_RESOURCES);
}

// ---- The entity base ----

class EntityNode : public gd::LeakCheckedTest
{
};

TEST_F(EntityNode, ChildrenChainFromTheNewestAndTheOldestGivesTheOutput)
{
    CUsbEntityNode* entity = New<CUsbEntityNode>(30u);
    const UCHAR descriptor[] = {7, 0x24, 6, 30, 4, 1, 3};
    CFakeEntity* device = New<CFakeEntity>(99u);
    ASSERT_EQ(entity->SetDescriptor(descriptor, sizeof(descriptor), static_cast<ITerminalNode*>(device)),
              STATUS_SUCCESS);
    gd::CFakeNode* mute = New<gd::CFakeNode>(40u, ULONG(NODE_KIND_MUTE), std::vector<ULONG>{0});
    gd::CFakeNode* volume = New<gd::CFakeNode>(41u, ULONG(NODE_KIND_VOLUME), std::vector<ULONG>{0});
    ASSERT_EQ(entity->AddChildNode(mute), STATUS_SUCCESS);
    ASSERT_EQ(entity->AddChildNode(volume), STATUS_SUCCESS);
    entity->ChainChildNodes();
    ULONG source = 0, count = 1;
    EXPECT_EQ(mute->GetSourceIdList(&count, &source), STATUS_SUCCESS);
    EXPECT_EQ(source, 41u) << "the mute node follows the volume node";
    ULONG id = 0;
    EXPECT_EQ(OUT_OF(ULONG, entity, GetFirstChildId), 40u);
    const ULONG input = 4;
    EXPECT_EQ(entity->SetFirstChildValue(1, &input), STATUS_SUCCESS);
    EXPECT_EQ(volume->GetSourceIdList(&count, &source), STATUS_SUCCESS);
    EXPECT_EQ(source, 4u) << "the newest child takes the entity's input";
    ITopologyNode* child = nullptr;
    EXPECT_EQ(entity->GetChildAt(0, &child), STATUS_SUCCESS);
    EXPECT_EQ(child->GetId(), 41u);
    EXPECT_EQ(entity->OnStatusInterrupt(0, 0, &id), STATUS_UNSUCCESSFUL) << "two children";
    EXPECT_EQ(gd::RefCount(static_cast<ITopologyNode*>(mute)), 2u);
}

TEST_F(EntityNode, DescriptorLengthMustLieWithinTheBytesReceived)
{
    CUsbEntityNode* entity = New<CUsbEntityNode>(30u);
    CFakeEntity* device = New<CFakeEntity>(99u);
    PUNKNOWN unknown = static_cast<ITerminalNode*>(device);
    const UCHAR zero[] = {0, 0x24, 6};
    const UCHAR longer[] = {9, 0x24, 6, 1};
    EXPECT_EQ(entity->SetDescriptor(zero, sizeof(zero), unknown), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(entity->SetDescriptor(longer, sizeof(longer), unknown), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(entity->SetDescriptor(longer, sizeof(longer), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(entity->AddChildNode(static_cast<ITopologyNode*>(device)), STATUS_UNSUCCESSFUL)
        << "no list yet";
    const UCHAR fits[] = {3, 0x24, 6, 0xEE};
    EXPECT_EQ(entity->SetDescriptor(fits, sizeof(fits), unknown), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(entity->GetDescriptor(), fits, 3), 0);
    EXPECT_EQ(entity->AddChildNode(nullptr), STATUS_INVALID_PARAMETER);
}

// Node ids are list positions: a builder takes the id from the node count and a node that fails
// to set up is released without being added, so it uses up no id.
TEST_F(EntityNode, NodeIdsAreTheirPositionsInTheDeviceList)
{
    CFakeEntity* entity = New<CFakeEntity>(10u);
    gd::CTestHal* hal = New<gd::CTestHal>();
    hal->Hardware = [entity](gd::CTestHal* self)
    {
        for (ULONG count : {2, 0, 2, 2})
        {
            entity->ChannelCount = count;
            entity->Fail.clear();
            if (count == 0)
                entity->Fail["count"] = STATUS_UNSUCCESSFUL;
            CBooleanControlNode* node =
                Make<CBooleanControlNode>(self->GetNodeCount(), ULONG(NODE_KIND_MUTE));
            if (NT_SUCCESS(node->InitControlNode(entity, kMute, nullptr, nullptr)))
                self->AddNode(node);
            node->NonDelegatingRelease();
        }
        entity->Fail.clear();
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(hal->GetNodeCount(), 3u);
    for (ULONG i = 0; i < hal->GetNodeCount(); i++)
    {
        ITopologyNode* node = nullptr;
        ASSERT_EQ(hal->GetNode(i, &node), STATUS_SUCCESS);
        EXPECT_EQ(node->GetId(), i);
    }
    EXPECT_EQ(LogOf({"setswitch"}).size(), 6u) << "the device base restored every channel of every node";
}

} // namespace
