// Variants B and C on their simulated headsets: the model chosen from the identification string,
// the entity class each feature unit gets (seen through its conversion and fixed range), the
// level conversions against known values, the requests the levels and switches become in the
// device's record, the terminal-type quirk of variant C, and the walk's refusals.
#include "support/variant_test_support.h"

#include "usbaudio.h"
#include "driver/core/pin_type.h"
#include "driver/function/variants/variant_d_walk.h"
#include "driver/topology/variants/variant_feature_unit.h"

#include <cstring>
#include <string>

namespace
{

using vt::VariantRig;

constexpr uint8_t kIn = 0xA1;  // class, interface, device to host
constexpr uint8_t kOut = 0x21; // class, interface, host to device
constexpr LONG kDb = 0x10000;
constexpr LONG kSilence = LONG(0x80000000);

// ---- Conversions, against values worked out by hand ----

struct ConversionCase
{
    VariantUnitConversion Conversion;
    SHORT Device;
    LONG Level; // what the device value reads as
};

// Device value -> level, and the level written back gives the device value again.
const ConversionCase kRoundTrips[] = {
    {VARIANT_CONVERSION_B_TABLE, 0, 0},                        // entry 0
    {VARIANT_CONVERSION_B_TABLE, -256, -192 * 256},            // entry 1
    {VARIANT_CONVERSION_B_TABLE, -2560, -835 * 256},           // entry 10
    {VARIANT_CONVERSION_B_TABLE, -9216, -8294 * 256},          // entry 36
    {VARIANT_CONVERSION_B_GAIN, 0, 6 * kDb},                   // +6 dB at device 0
    {VARIANT_CONVERSION_B_GAIN, -7168, -36 * kDb},             // bottom of the range
    {VARIANT_CONVERSION_B_GAIN, 2816, 0x168000},               // +22.5 dB
    {VARIANT_CONVERSION_B_TRIM, 0, 0x68000},                   // +6.5 dB
    {VARIANT_CONVERSION_B_TRIM, 4352, 0x68000 + 17 * 0x18000}, // 17 device dB up
    {VARIANT_CONVERSION_C_WHOLE, -208, -1 * kDb},              // -1 dB
    {VARIANT_CONVERSION_C_WHOLE, -7120, -37 * kDb},            // -37 dB
    {VARIANT_CONVERSION_C_GAIN, 3456, 0},                      // 0 dB
    {VARIANT_CONVERSION_C_GAIN, 0, -0xD8000},                  // -13.5 dB
    {VARIANT_CONVERSION_C_GAIN, 5760, 9 * kDb},                // +9 dB
    {VARIANT_CONVERSION_C_PLAIN, -512, -2 * kDb},
    {VARIANT_CONVERSION_C_PLAIN, SHORT(-32768), kSilence}, // silence both ways
    {VARIANT_CONVERSION_B_TABLE, SHORT(-32768), kSilence},
};

TEST(VariantLevels, DeviceValuesReadAsTheirLevelsAndWriteBackUnchanged)
{
    for (const ConversionCase& c : kRoundTrips)
    {
        SCOPED_TRACE(testing::Message() << "conversion " << c.Conversion << " device " << c.Device);
        EXPECT_EQ(VariantLevelFromDevice(c.Conversion, c.Device), c.Level);
        EXPECT_EQ(VariantLevelToDevice(c.Conversion, c.Level), c.Device);
    }
}

TEST(VariantLevels, EndsOfTheRangesAndBeyondStayWithinWhatTheDeviceTakes)
{
    // Variant C unit 13 below its range: the sum is negative; the unit sends its lowest step
    // instead of a wrapped-around value.
    EXPECT_EQ(VariantLevelToDevice(VARIANT_CONVERSION_C_GAIN, -60 * kDb), 0);
    EXPECT_EQ(VariantLevelToDevice(VARIANT_CONVERSION_C_GAIN, LONG(0x80000001)), 0);
    EXPECT_EQ(VariantLevelToDevice(VARIANT_CONVERSION_C_GAIN, 40 * kDb), 5760);
    // Variant B's table: down to its last entry (-128 dB) the last device value, beyond it the
    // level itself held at the wire's end, above 0 dB the first entry.
    EXPECT_EQ(VariantLevelToDevice(VARIANT_CONVERSION_B_TABLE, -100 * kDb), -9472);
    EXPECT_EQ(VariantLevelToDevice(VARIANT_CONVERSION_B_TABLE, -200 * kDb), -32767);
    EXPECT_EQ(VariantLevelToDevice(VARIANT_CONVERSION_B_TABLE, 3 * kDb), 0);
    // A device value below the last step reads unmapped; a level between steps takes the step
    // at or below it.
    EXPECT_EQ(VariantLevelFromDevice(VARIANT_CONVERSION_B_TABLE, -9600), -9600 * 256);
    EXPECT_EQ(VariantLevelToDevice(VARIANT_CONVERSION_B_TABLE, -200 * 256), -512);
    // Whole decibels round toward zero; no level ever becomes the silence code by accident.
    EXPECT_EQ(VariantLevelFromDevice(VARIANT_CONVERSION_C_WHOLE, -300), -1 * kDb);
    EXPECT_NE(VariantLevelToDevice(VARIANT_CONVERSION_C_PLAIN, -200 * kDb), SHORT(-32768));
    EXPECT_NE(VariantLevelToDevice(VARIANT_CONVERSION_B_GAIN, -400 * kDb), SHORT(-32768));
}

// ---- On the driver ----

class VariantBc : public VariantRig
{
protected:
    // The volume node of feature unit Unit and its range.
    ILevelControl* Volume(ULONG unit)
    {
        return NodeAs<ILevelControl>(ChildOfKind(unit, NODE_KIND_VOLUME), IID_ILevelControl);
    }
    void ExpectRange(ULONG unit, LONG maximum, LONG minimum, LONG step)
    {
        SCOPED_TRACE(testing::Message() << "unit " << unit);
        ILevelControl* volume = Volume(unit);
        ASSERT_NE(volume, nullptr);
        LONG max = 1, min = 1, res = 0;
        ASSERT_EQ(volume->GetRange(&max, &min, &res), STATUS_SUCCESS);
        EXPECT_EQ(max, maximum);
        EXPECT_EQ(min, minimum);
        EXPECT_EQ(res, step);
    }
};

TEST_F(VariantBc, EachUnitGetsItsClassFixedRangeWhileTheDeviceIsStillAsked)
{
    Plug("uac1-variant-b");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ASSERT_NE(Variant(), nullptr);
    ExpectRange(9, 0, -33 * kDb, 0x2000);
    ExpectRange(13, 0x168000, -36 * kDb, 0x18000);
    ExpectRange(10, 0x210000, -6 * kDb, 0x18000);
    // Unit 9 carries its volume on channels 1 and 2: the range is asked of channel 1.
    for (uint8_t request : {0x83, 0x82, 0x84})
        EXPECT_EQ(Requests(kIn, request, 9, 2, 1).size(), 1u) << int(request);
    // The bass control is 1 byte on variant B: its range is the device's own, in 1/4 dB.
    ILevelControl* bass = NodeAs<ILevelControl>(ChildOfKind(9, NODE_KIND_BASS), IID_ILevelControl);
    ASSERT_NE(bass, nullptr);
    LONG max = 0, min = 0, res = 0;
    ASSERT_EQ(bass->GetRange(&max, &min, &res), STATUS_SUCCESS);
    EXPECT_EQ(max, 12 * kDb);
    EXPECT_EQ(min, -12 * kDb);
    EXPECT_EQ(res, kDb / 4);
}

TEST_F(VariantBc, VariantCUnitsReadAndWriteInTheirOwnUnits)
{
    Plug("uac1-variant-c");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ExpectRange(9, 0, -37 * kDb, kDb);
    ExpectRange(13, 0x90001, -0xD8000, 0x18000);
    ExpectRange(10, 0x168000, 0, 0x18000);

    LONG level = 1;
    ASSERT_EQ(Volume(9)->GetLevel(0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -1 * kDb); // the device holds -208
    ASSERT_EQ(Volume(13)->GetLevel(0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 0); // the device holds 3456

    const uint64_t since = LastSequence();
    ASSERT_EQ(Volume(9)->SetLevel(1, -1 * kDb), STATUS_SUCCESS);
    ASSERT_EQ(Volume(13)->SetLevel(0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Volume(13)->SetLevel(0, -0xD8000), STATUS_SUCCESS);
    auto unit9 = Requests(kOut, 0x01, 9, 2, -1, since);
    ASSERT_EQ(unit9.size(), 1u);
    EXPECT_EQ(unit9[0].Setup.Value, 0x0202);                         // channel index 1 is logical channel 2
    EXPECT_EQ(unit9[0].OutData, (std::vector<uint8_t>{0x30, 0xFF})); // -208
    auto unit13 = Requests(kOut, 0x01, 13, 2, 0, since);
    ASSERT_EQ(unit13.size(), 2u);
    EXPECT_EQ(unit13[0].OutData, (std::vector<uint8_t>{0x80, 0x0D})); // 3456
    EXPECT_EQ(unit13[1].OutData, (std::vector<uint8_t>{0x00, 0x00}));
    int32_t device = 1;
    ASSERT_TRUE(Controls().ControlValue(13, 2, 0, &device));
    EXPECT_EQ(device, 0);
}

TEST_F(VariantBc, VariantBVolumeTableGoesBothWaysThroughTheDevice)
{
    Plug("uac1-variant-b");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    LONG level = 0;
    ASSERT_EQ(Volume(9)->GetLevel(0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -835 * 256); // device -2560 is table entry 10

    const uint64_t since = LastSequence();
    ASSERT_EQ(Volume(9)->SetLevel(0, -192 * 256), STATUS_SUCCESS);
    ASSERT_EQ(Volume(9)->SetLevel(1, kSilence), STATUS_SUCCESS);
    auto sent = Requests(kOut, 0x01, 9, 2, -1, since);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].Setup.Value, 0x0201);
    EXPECT_EQ(sent[0].OutData, (std::vector<uint8_t>{0x00, 0xFF})); // -256: entry 1
    EXPECT_EQ(sent[1].OutData, (std::vector<uint8_t>{0x00, 0x80})); // silence
}

TEST_F(VariantBc, SwitchesAreMasterOnlyAndOneByte)
{
    Plug("uac1-variant-b");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    for (ULONG unit : {9u, 10u, 13u})
    {
        SCOPED_TRACE(unit);
        IFeatureUnitSwitch* unitSwitch = EntityAs<IFeatureUnitSwitch>(unit, IID_IFeatureUnitSwitch);
        ASSERT_NE(unitSwitch, nullptr);
        UCHAR value = 7;
        EXPECT_EQ(unitSwitch->SetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 1, 1), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(unitSwitch->GetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 1, &value), STATUS_INVALID_PARAMETER);
        ULONG count = 0;
        EXPECT_EQ(unitSwitch->GetControlChannelCount(USB_AUDIO_FU_VOLUME_CONTROL, &count), STATUS_SUCCESS);
        EXPECT_EQ(count, 1u);
        const uint64_t since = LastSequence();
        ASSERT_EQ(unitSwitch->SetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 0, 1), STATUS_SUCCESS);
        auto sent = Requests(kOut, 0x01, int(unit), 1, -1, since);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].Setup.Value, 0x0100);
        EXPECT_EQ(sent[0].OutData, std::vector<uint8_t>{0x01});
    }
}

TEST_F(VariantBc, RangeRequestFailureFailsTheCall)
{
    Plug("uac1-variant-b");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    IFeatureUnitLevel* unit = EntityAs<IFeatureUnitLevel>(9, IID_IFeatureUnitLevel);
    ASSERT_NE(unit, nullptr);
    sim::AudioControlFaults faults;
    faults.StallMatching = true;
    faults.StallMatch.Request = 0x84; // GET_RES
    faults.StallMatch.Target = 9;
    Controls().SetFaults(faults);
    LONG max = 0, min = 0, res = 0;
    EXPECT_FALSE(NT_SUCCESS(unit->GetLevelRange(USB_AUDIO_FU_VOLUME_CONTROL, &max, &min, &res)));
    Controls().SetFaults(sim::AudioControlFaults());
    EXPECT_EQ(unit->GetLevelRange(USB_AUDIO_FU_VOLUME_CONTROL, &max, &min, &res), STATUS_SUCCESS);
}

TEST_F(VariantBc, VariantCTerminalSixBecomesHeadphonesAndSixteenStaysASpeaker)
{
    Plug("uac1-variant-c");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ITerminalNode* six = EntityAs<ITerminalNode>(6, IID_ITerminalNode);
    ITerminalNode* sixteen = EntityAs<ITerminalNode>(16, IID_ITerminalNode);
    ASSERT_NE(six, nullptr);
    ASSERT_NE(sixteen, nullptr);
    ULONG type = 0;
    ASSERT_EQ(six->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_HP));
    ASSERT_EQ(sixteen->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_SPK));
    // The driver's copy of the descriptor says headphones, so every later reader agrees.
    const UCHAR* descriptor = Entity(6)->GetDescriptor();
    EXPECT_EQ(descriptor[4] | descriptor[5] << 8, 0x0302);
    EXPECT_EQ(Stream(0)->GetPinType(), ULONG(PIN_TYPE_HP));
}

TEST_F(VariantBc, VariantBLeavesTerminalSixASpeakerAndStreamingTerminalsAreStreamPins)
{
    Plug("uac1-variant-b");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ULONG type = 0;
    ASSERT_EQ(EntityAs<ITerminalNode>(6, IID_ITerminalNode)->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_SPK));
    // Output terminal 7 is the USB streaming side of the capture path: a stream pin.
    ASSERT_EQ(EntityAs<ITerminalNode>(7, IID_ITerminalNode)->GetPinType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, ULONG(PIN_TYPE_STREAM));
    // Variants B and C are not reached as audio functions: CUsbDevice holds no such pointer.
    IUsbAudioFunction* function = nullptr;
    EXPECT_FALSE(
        NT_SUCCESS(m_pCommon->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&function))));
}

TEST_F(VariantBc, UnitWithVolumeButNoMuteRefusesTheDevice)
{
    std::string text = sim::BuiltinProfileText("uac1-variant-c");
    const std::string unit13 = "09 24 06 0D 04 01 03 00 00";
    text.replace(text.find(unit13), unit13.size(), "09 24 06 0D 04 01 02 00 00");
    Plug(text);
    EXPECT_EQ(StartUsbDevice(), STATUS_NOT_SUPPORTED);
    EXPECT_NE(plat::DebugLogText().find("feature unit 13 has no mute control"), std::string::npos);
}

TEST_F(VariantBc, WalkEndsAtTheInterfaceOrAtTheFirstNonClassDescriptor)
{
    Plug("uac1-variant-b");
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    ULONG nodes = m_pCommon->GetNodeCount();
    UCHAR bare[] = {9, 4, 0, 0, 0, 1, 1, 0, 0};
    EXPECT_EQ(Variant()->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bare), sizeof(bare)),
              STATUS_SUCCESS);
    // An endpoint descriptor ends the walk; the unknown subtype behind it is never read.
    UCHAR endpoint[] = {9, 4, 0, 0, 1, 1, 1, 0, 0, 7, 5, 0x83, 3, 2, 0, 32, 5, 0x24, 8, 1, 1};
    EXPECT_EQ(Variant()->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(endpoint),
                                             sizeof(endpoint)),
              STATUS_SUCCESS);
    EXPECT_EQ(m_pCommon->GetNodeCount(), nodes);
    // A processing unit, a runt length and a wrong interface are refused.
    UCHAR processing[] = {9, 4, 0, 0, 0, 1, 1, 0, 0, 5, 0x24, 7, 30, 1};
    EXPECT_EQ(Variant()->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(processing),
                                             sizeof(processing)),
              STATUS_UNSUCCESSFUL);
    UCHAR runt[] = {9, 4, 0, 0, 0, 1, 1, 0, 0, 0, 0x24, 2};
    EXPECT_EQ(Variant()->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(runt), sizeof(runt)),
              STATUS_UNSUCCESSFUL);
    UCHAR streaming[] = {9, 4, 0, 0, 0, 1, 2, 0, 0};
    EXPECT_EQ(Variant()->CreateTopologyNodes(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(streaming),
                                             sizeof(streaming)),
              STATUS_INVALID_PARAMETER);
}

} // namespace

namespace
{

// The effects model's records, for its audio function (built with its walks elsewhere).
TEST(VariantDCaps, ModelCodeAndIdsPickTheRecord)
{
    const struct
    {
        ULONG Code;
        USHORT Vendor, Product;
        ULONG Mask, Extra, Flags;
    } rows[] = {
        {6, 0x17EF, 0x6073, 0x3E0084, 0, 0x41}, {6, 0x264A, 20483, 0x3E0084, 0, 0},
        {6, 0x2B0D, 0x0080, 0x3E0084, 0, 0x40}, {6, 0x2B0D, 0x0084, 0x3E0084, 0, 0x40},
        {6, 0x2B0D, 0x0085, 0x3E1080, 0, 0},    {6, 0x2B0D, 0x0086, 0x3E0084, 0, 0x40},
        {6, 0x2B0D, 0x008F, 0x3E0084, 0, 0x40}, {6, 0x2B0D, 0x0090, 0x3E1084, 0, 0},
        {6, 0x7A31, 0x0161, 0x3E0084, 0, 0x40}, {6, 0x17EF, 0x6074, 0x3E1084, 0, 0},
        {5, 0x17EF, 0x6073, 0x20006, 8, 0},     {5, 0xFFF1, 0x0001, 0x20006, 8, 0},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.Code << " " << std::hex << row.Vendor << ":" << row.Product);
        VariantDCapabilities caps;
        std::memset(&caps, 0xCC, sizeof(caps));
        ASSERT_EQ(GetVariantDCapabilities(row.Code, row.Vendor, row.Product, &caps), STATUS_SUCCESS);
        EXPECT_EQ(caps.Mask, row.Mask);
        EXPECT_EQ(caps.Extra, row.Extra);
        EXPECT_EQ(caps.Flags, row.Flags);
    }
    VariantDCapabilities caps{};
    EXPECT_EQ(GetVariantDCapabilities(4, 0x17EF, 0x6073, &caps), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetVariantDCapabilities(7, 0xFFF1, 0x0001, &caps), STATUS_UNSUCCESSFUL);
}

} // namespace
