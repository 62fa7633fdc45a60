// CUac1FeatureUnit on simulated class-1 devices: the control nodes built from the unit's
// control bitmaps, the requests the nodes' reads and writes become (compared with what the
// device received), channel addressing and order, level conversions against the profile's
// ranges, the vendor control map, device refusals, and malformed descriptors.
#include "support/uac1_entity_test_support.h"

#include "driver/topology/nodes/effect_control_node.h"

#include <cctype>

namespace
{

using uet::Db256;
using uet::Seen;

constexpr uint8_t kIn = 0xA1;  // class, interface, device to host
constexpr uint8_t kOut = 0x21; // class, interface, host to device

class Uac1FeatureUnit : public uet::Uac1EntityRig
{
};

TEST_F(Uac1FeatureUnit, SpeakerUnitGetsMuteThenVolumeWithConsecutiveIdsAndTheDeviceRange)
{
    Start("uac1-speaker");
    CUac1FeatureUnit* unit = nullptr;
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);

    EXPECT_EQ(unit->GetId(), 2u);
    EXPECT_EQ(unit->GetKind(), ULONG(USB_AUDIO_AC_FEATURE_UNIT));
    ULONG sources[2] = {}, count = 2;
    ASSERT_EQ(unit->GetSourceIdList(&count, sources), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(sources[0], 1u);
    ASSERT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_MUTE, NODE_KIND_VOLUME}));
    for (ULONG i = 0; i < 2; ++i)
        EXPECT_EQ(Node(i)->GetId(), i);
    // The chain runs from the unit's input to its output: volume, then mute.
    count = 2;
    ASSERT_EQ(Node(0)->GetSourceIdList(&count, sources), STATUS_SUCCESS);
    EXPECT_EQ(sources[0], 1u);

    // The vendor map is asked for first (the device has none), then each node loads its value.
    std::vector<Seen> expected = {
        {kIn, 0x85, 0x0010, 0x0200, 2, {}, true}, // GET_MEM: map length
        {kIn, 0x81, 0x0100, 0x0200, 1, {}},       // mute: GET_CUR, master
        {kIn, 0x83, 0x0200, 0x0200, 2, {}},       // volume: GET_MAX, MIN, RES, CUR
        {kIn, 0x82, 0x0200, 0x0200, 2, {}},       {kIn, 0x84, 0x0200, 0x0200, 2, {}},
        {kIn, 0x81, 0x0200, 0x0200, 2, {}},
    };
    EXPECT_EQ(Requests(), expected);

    ILevelControl* volume = uet::Uac1EntityRig::NodeAs<ILevelControl>(1, IID_ILevelControl);
    LONG maximum = 1, minimum = 1, step = 0, level = 1;
    ASSERT_EQ(volume->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(minimum, Db256(-12800));
    EXPECT_EQ(step, Db256(128));
    ASSERT_EQ(volume->GetLevel(0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, Db256(-2560));
}

TEST_F(Uac1FeatureUnit, NodeWritesReachTheDeviceAsClassRequestsInItsOwnUnits)
{
    Start("uac1-speaker");
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2)), STATUS_SUCCESS);
    Model().ClearLog();
    IBooleanControl* mute = NodeAs<IBooleanControl>(0, IID_IBooleanControl);
    ILevelControl* volume = NodeAs<ILevelControl>(1, IID_ILevelControl);

    ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    ASSERT_EQ(volume->SetLevel(0, -20 * 65536), STATUS_SUCCESS); // -20 dB
    ASSERT_EQ(volume->SetLevel(0, LONG(0x80000000)), STATUS_SUCCESS);

    std::vector<Seen> expected = {
        {kOut, 0x01, 0x0100, 0x0200, 1, {0x01}},
        {kOut, 0x01, 0x0200, 0x0200, 2, {0x00, 0xEC}}, // -5120 / 256 dB
        {kOut, 0x01, 0x0200, 0x0200, 2, {0x00, 0x80}}, // minus infinity
    };
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(DeviceValue(2, 1, 0), 1);
    EXPECT_EQ(DeviceValue(2, 2, 0), -32768);
}

TEST_F(Uac1FeatureUnit, StalledSetCurIsReturnedAndLeavesTheCacheAndTheDevice)
{
    Start("uac1-speaker");
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2)), STATUS_SUCCESS);
    ILevelControl* volume = NodeAs<ILevelControl>(1, IID_ILevelControl);
    IBooleanControl* mute = NodeAs<IBooleanControl>(0, IID_IBooleanControl);
    StallMatching(0x01, 2);
    Model().ClearLog();

    EXPECT_FALSE(NT_SUCCESS(volume->SetLevel(0, -30 * 65536)));
    EXPECT_FALSE(NT_SUCCESS(mute->SetValue(0, 1)));
    LONG level = 0;
    UCHAR on = 9;
    ASSERT_EQ(volume->GetLevel(0, &level), STATUS_SUCCESS);
    ASSERT_EQ(mute->GetValue(0, &on), STATUS_SUCCESS);
    EXPECT_EQ(level, Db256(-2560));
    EXPECT_EQ(on, 0);
    EXPECT_EQ(DeviceValue(2, 2, 0), -2560);
    EXPECT_EQ(DeviceValue(2, 1, 0), 0);
    ASSERT_EQ(Requests().size(), 2u);
    EXPECT_TRUE(Requests()[0].Stalled);
}

TEST_F(Uac1FeatureUnit, RestoreGoesOnPastAStallingControl)
{
    Start("uac1-speaker");
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2)), STATUS_SUCCESS);
    StallMatching(0x01, 2, USB_AUDIO_FU_MUTE_CONTROL);
    Model().ClearLog();

    EXPECT_EQ(m_pHost->RestoreNodeValues(), STATUS_SUCCESS);
    std::vector<Seen> expected = {
        {kOut, 0x01, 0x0100, 0x0200, 1, {0x00}, true},
        {kOut, 0x01, 0x0200, 0x0200, 2, {0x00, 0xF6}}, // the cached -10 dB still goes out
    };
    EXPECT_EQ(Requests(), expected);
}

// Unit 2 of the mixer profile has 2-byte bitmaps with every tone control on the master and
// volume on both logical channels; unit 5 has 1-byte bitmaps with automatic gain.
TEST_F(Uac1FeatureUnit, MixerUnitsGetEveryAnnouncedControlInTableOrder)
{
    Start("uac1-mixer");
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2)), STATUS_SUCCESS);
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 5)), STATUS_SUCCESS);
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 11)), STATUS_SUCCESS);
    // Delay and bass boost have no node kind and are left out.
    EXPECT_EQ(Kinds(),
              (std::vector<ULONG>{NODE_KIND_MUTE, NODE_KIND_VOLUME, NODE_KIND_BASS, NODE_KIND_MID,
                                  NODE_KIND_TREBLE, NODE_KIND_LOUDNESS, NODE_KIND_MUTE, NODE_KIND_VOLUME,
                                  NODE_KIND_AGC, NODE_KIND_MUTE, NODE_KIND_VOLUME}));
    for (ULONG i = 0; i < m_pHost->GetNodeCount(); ++i)
        EXPECT_EQ(Node(i)->GetId(), i);

    ULONG channels = 0;
    NodeAs<ILevelControl>(1, IID_ILevelControl)->GetChannelCount(&channels);
    EXPECT_EQ(channels, 2u);
    LONG level = 0;
    ASSERT_EQ(NodeAs<ILevelControl>(1, IID_ILevelControl)->GetLevel(1, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, Db256(-256)); // the profile's right channel
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(NodeAs<ILevelControl>(2, IID_ILevelControl)->GetRange(&maximum, &minimum, &step),
              STATUS_SUCCESS);
    EXPECT_EQ(maximum, 48 << 14); // bass: -12..+12 dB in 1 dB steps, in 1/4 dB
    EXPECT_EQ(minimum, -48 * 16384);
    EXPECT_EQ(step, 4 << 14);
    ASSERT_EQ(NodeAs<ILevelControl>(4, IID_ILevelControl)->GetLevel(0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -4 * 16384); // treble at -1 dB

    Model().ClearLog();
    ASSERT_EQ(NodeAs<ILevelControl>(1, IID_ILevelControl)->SetLevel(1, -6 * 65536), STATUS_SUCCESS);
    ASSERT_EQ(NodeAs<ILevelControl>(2, IID_ILevelControl)->SetLevel(0, 3 * 65536), STATUS_SUCCESS);
    ASSERT_EQ(NodeAs<IBooleanControl>(5, IID_IBooleanControl)->SetValue(0, 0), STATUS_SUCCESS);
    ASSERT_EQ(NodeAs<IBooleanControl>(8, IID_IBooleanControl)->SetValue(0, 0), STATUS_SUCCESS);
    ASSERT_EQ(NodeAs<ILevelControl>(10, IID_ILevelControl)->SetLevel(0, 3 * 65536), STATUS_SUCCESS);
    std::vector<Seen> expected = {
        {kOut, 0x01, 0x0202, 0x0200, 2, {0x00, 0xFA}}, // volume, right channel, -6 dB
        {kOut, 0x01, 0x0300, 0x0200, 1, {0x0C}},       // bass +3 dB in 1/4 dB
        {kOut, 0x01, 0x0A00, 0x0200, 1, {0x00}},       // loudness off
        {kOut, 0x01, 0x0700, 0x0500, 1, {0x00}},       // microphone automatic gain off
        {kOut, 0x01, 0x0200, 0x0B00, 2, {0x00, 0x03}}, // line volume, master only
    };
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(DeviceValue(2, 2, 2), -1536);
    EXPECT_EQ(DeviceValue(2, 3, 0), 12);
    EXPECT_EQ(DeviceValue(2, 10, 0), 0);
    EXPECT_EQ(DeviceValue(5, 7, 0), 0);
    EXPECT_EQ(DeviceValue(11, 2, 0), 768);
}

// Hand-made units: (descriptor bytes after bControlSize, selector, expected count, node channel
// -> wire channel, or -1 when the channel is refused).
struct AddressingRow
{
    const char* Name;
    std::vector<uint8_t> Descriptor;
    ULONG Selector;
    ULONG Count;
    std::vector<int> Wire; // per node channel 0..Count
};

class Uac1FeatureUnitAddressing : public Uac1FeatureUnit, public testing::WithParamInterface<AddressingRow>
{
};

// Each unit replaces the speaker's, so the device carries exactly the controls it announces.
TEST_P(Uac1FeatureUnitAddressing, ChannelCountAndWireChannelFollowTheControlBitmaps)
{
    const AddressingRow& row = GetParam();
    StartWith("uac1-speaker", USB_AUDIO_AC_FEATURE_UNIT, 2, row.Descriptor);
    CUac1FeatureUnit* unit = nullptr;
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    ULONG count = 99;
    ASSERT_EQ(unit->GetControlChannelCount(row.Selector, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, row.Count);
    for (ULONG c = 0; c < row.Wire.size(); ++c)
    {
        Model().ClearLog();
        NTSTATUS status =
            row.Selector == 1 ? unit->SetSwitch(row.Selector, c, 1) : unit->SetLevel(row.Selector, c, -65536);
        std::vector<Seen> seen = Requests();
        if (row.Wire[c] < 0)
        {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << c;
            EXPECT_TRUE(seen.empty()) << c;
            continue;
        }
        EXPECT_EQ(status, STATUS_SUCCESS) << c;
        ASSERT_EQ(seen.size(), 1u) << c;
        EXPECT_EQ(seen[0].Value, uint16_t(row.Selector << 8 | row.Wire[c])) << c;
        EXPECT_EQ(DeviceValue(2, uint8_t(row.Selector), uint8_t(row.Wire[c])), row.Selector == 1 ? 1 : -256)
            << c;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bitmaps, Uac1FeatureUnitAddressing,
    testing::Values(
        // bControlSize 1, two channels: three entries, then iFeature (never taken for a channel).
        AddressingRow{"mute on channel 1 only",
                      {0x0A, 0x24, 0x06, 0x02, 0x01, 0x01, 0x00, 0x01, 0x00, 0xFF},
                      1,
                      1,
                      {1, -1}},
        AddressingRow{"mute on the master only",
                      {0x0A, 0x24, 0x06, 0x02, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00},
                      1,
                      1,
                      {0, -1}},
        AddressingRow{"volume on channels 1 and 2",
                      {0x0A, 0x24, 0x06, 0x02, 0x01, 0x01, 0x01, 0x02, 0x02, 0x00},
                      2,
                      2,
                      {1, 2, -1}},
        // bControlSize 2: the same bits in the low byte of each pair.
        AddressingRow{"2-byte bitmaps",
                      {0x0D, 0x24, 0x06, 0x02, 0x01, 0x02, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00},
                      2,
                      2,
                      {1, 2, -1}},
        // Channels 1 and 3 carry it: count 2, but the second index lands on channel 2, which lacks it.
        AddressingRow{"gap in the channels",
                      {0x0B, 0x24, 0x06, 0x02, 0x01, 0x01, 0x01, 0x02, 0x00, 0x02, 0x00},
                      2,
                      2,
                      {1, -1, -1}}),
    [](const testing::TestParamInfo<AddressingRow>& info)
    {
        std::string name;
        for (const char* p = info.param.Name; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p)))
                name += *p;
        return name;
    });

std::vector<uint8_t> VolumeUnit(int channels)
{
    // bControlSize 1: master mute, volume on every logical channel.
    std::vector<uint8_t> d = {uint8_t(8 + channels), 0x24, 0x06, 0x02, 0x01, 0x01, 0x01};
    d.insert(d.end(), channels, 0x02);
    d.push_back(0x00);
    return d;
}

TEST_F(Uac1FeatureUnit, SideAndRearChannelsTradePlacesOnTheWire)
{
    StartWith("uac1-speaker", USB_AUDIO_AC_FEATURE_UNIT, 2, VolumeUnit(8));
    CUac1FeatureUnit* unit = nullptr;
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    const int wire[8] = {1, 2, 3, 4, 7, 8, 5, 6};
    for (ULONG c = 0; c < 8; ++c)
    {
        Model().ClearLog();
        ASSERT_EQ(unit->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, c, -LONG(c + 1) * 65536), STATUS_SUCCESS) << c;
        ASSERT_EQ(Requests().size(), 1u);
        EXPECT_EQ(Requests()[0].Value, 0x0200 | wire[c]) << c;
        EXPECT_EQ(DeviceValue(2, 2, uint8_t(wire[c])), -int(c + 1) * 256) << c;
        LONG level = 0;
        ASSERT_EQ(unit->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, c, &level), STATUS_SUCCESS);
        EXPECT_EQ(level, -LONG(c + 1) * 65536) << c;
    }
}

TEST_F(Uac1FeatureUnit, SixChannelUnitSendsItsFifthAndSixthChannelsAsSeventhAndEighth)
{
    StartWith("uac1-speaker", USB_AUDIO_AC_FEATURE_UNIT, 2, VolumeUnit(6));
    CUac1FeatureUnit* unit = nullptr;
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    Model().ClearLog();
    // The device has no channels 7 and 8 and refuses them; the refusal comes back.
    EXPECT_FALSE(NT_SUCCESS(unit->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 4, 0)));
    EXPECT_FALSE(NT_SUCCESS(unit->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 5, 0)));
    std::vector<Seen> seen = Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Value, 0x0207);
    EXPECT_EQ(seen[1].Value, 0x0208);
    EXPECT_TRUE(seen[0].Stalled && seen[1].Stalled);
}

TEST_F(Uac1FeatureUnit, LevelsBeyondTheWireRangeSaturateInsteadOfWrapping)
{
    Start("uac1-mixer");
    CUac1FeatureUnit* unit = nullptr;
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    Model().ClearLog();
    ASSERT_EQ(unit->SetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, LONG(0x80000000)), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, 0x7FFFFFFF), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, 0x7FFFFFFF), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, LONG(0x80000001)), STATUS_SUCCESS);
    std::vector<Seen> seen = Requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].Out, (std::vector<uint8_t>{0x80})); // silence: the lowest tone setting, not 0 dB
    EXPECT_EQ(seen[1].Out, (std::vector<uint8_t>{0x7F}));
    EXPECT_EQ(seen[2].Out, (std::vector<uint8_t>{0xFF, 0x7F}));
    EXPECT_EQ(seen[3].Out, (std::vector<uint8_t>{0x01, 0x80})); // lowest level, not minus infinity
}

TEST_F(Uac1FeatureUnit, ShortReplyToAValueReadFails)
{
    Start("uac1-speaker");
    CUac1FeatureUnit* unit = nullptr;
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    sim::AudioControlFaults faults;
    faults.ShortReplyMatching = true;
    faults.ShortMatch.Request = 0x81;
    faults.ShortMatch.Target = 2;
    faults.ShortReplyBytes = 1;
    Model().AudioControl().SetFaults(faults);
    LONG level = 12345;
    EXPECT_EQ(unit->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, &level), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(level, 12345);
}

// The device keeps a vendor control map in its memory; the test answers the two GET_MEM reads.
class Uac1FeatureUnitMap : public Uac1FeatureUnit
{
protected:
    void AnswerMap(uint16_t announcedLength, std::vector<uint8_t> block)
    {
        RewriteControl(
            [announcedLength, block](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
            {
                if (setup.Request != 0x85 || (setup.Index >> 8) != 2)
                    return;
                answer->Outcome = plat::UsbHandshake::Ack;
                answer->Data = setup.Value == 0x0010
                                   ? std::vector<UCHAR>{UCHAR(announcedLength), UCHAR(announcedLength >> 8)}
                                   : std::vector<UCHAR>(block.begin(), block.end());
            });
    }
    static std::vector<uint8_t> Block(std::vector<uint16_t> bitmaps, uint8_t controlSize = 2)
    {
        std::vector<uint8_t> block(19, 0);
        uint16_t total = uint16_t(19 + 2 * bitmaps.size());
        block[16] = uint8_t(total);
        block[17] = uint8_t(total >> 8);
        block[18] = controlSize;
        for (uint16_t b : bitmaps)
        {
            block.push_back(uint8_t(b));
            block.push_back(uint8_t(b >> 8));
        }
        return block;
    }
};

TEST_F(Uac1FeatureUnitMap, VendorControlsComeFromTheMapBitsTenAndEleven)
{
    struct Row
    {
        const char* Name;
        uint16_t Announced;
        std::vector<uint8_t> Block;
        size_t Effects;
    };
    const Row rows[] = {
        {"139 on the master", 21, Block({0x0400}), 1},
        {"139 and 140 on channel 1", 23, Block({0x0000, 0x0C00}), 2},
        {"control size 1", 21, Block({0x0400}, 1), 0},
        {"reply shorter than announced", 25, Block({0x0400}), 0},
        {"block too short for a bitmap", 19, Block({}), 0},
    };
    Start("uac1-speaker");
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        AnswerMap(row.Announced, row.Block);
        ULONG first = m_pHost->GetNodeCount();
        CUac1FeatureUnit* unit = nullptr;
        ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
        size_t effects = 0;
        for (ULONG i = first; i < m_pHost->GetNodeCount(); ++i)
            effects += Node(i)->GetKind() == NODE_KIND_EFFECT ? 1 : 0;
        EXPECT_EQ(effects, row.Effects);
        EXPECT_EQ(unit->IsFeatureControlPresent(139), row.Effects >= 1);
        if (row.Effects == 2)
        {
            // A vendor control is sent with the vendor function on the channel the map names.
            Model().ClearLog();
            EXPECT_FALSE(NT_SUCCESS(unit->SetSwitch(140, 0, 1))); // the simulated unit has no vendor requests
            ASSERT_EQ(Requests().size(), 1u);
            EXPECT_EQ(Requests()[0], (Seen{0x41, 0x01, 0x8C01, 0x0200, 1, {0x01}, true}));
        }
    }
    RewriteControl(nullptr);
}

TEST_F(Uac1FeatureUnit, MalformedDescriptorsFailTheBuildBeforeAnythingIsRead)
{
    struct Row
    {
        const char* Name;
        std::vector<uint8_t> Bytes;
        ULONG Received; // 0: all of them
        NTSTATUS Expected;
    };
    const Row rows[] = {
        {"endpoint descriptor type",
         {0x0A, 0x25, 0x06, 0x02, 0x01, 0x01, 0x03, 0x00, 0x00, 0x00},
         0,
         STATUS_INVALID_PARAMETER},
        {"selector subtype", {0x07, 0x24, 0x05, 0x02, 0x01, 0x01, 0x00}, 0, STATUS_INVALID_PARAMETER},
        {"bLength 0", {0x00, 0x24, 0x06, 0x02, 0x01, 0x01, 0x03, 0x00, 0x00, 0x00}, 0, STATUS_UNSUCCESSFUL},
        {"bLength past the bytes received",
         {0x0A, 0x24, 0x06, 0x02, 0x01, 0x01, 0x03, 0x00, 0x00, 0x00},
         8,
         STATUS_UNSUCCESSFUL},
        {"control size 0",
         {0x0A, 0x24, 0x06, 0x02, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00},
         0,
         STATUS_UNSUCCESSFUL},
        {"no room for a bitmap", {0x07, 0x24, 0x06, 0x02, 0x01, 0x01, 0x03}, 0, STATUS_UNSUCCESSFUL},
        {"control size past bLength",
         {0x09, 0x24, 0x06, 0x02, 0x01, 0x04, 0x03, 0x00, 0x00},
         0,
         STATUS_UNSUCCESSFUL},
    };
    Start("uac1-speaker");
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        Model().ClearLog();
        ULONG length = row.Received ? row.Received : ULONG(row.Bytes.size());
        EXPECT_EQ(BuildBytes<CUac1FeatureUnit>(row.Bytes.data(), length), row.Expected);
        EXPECT_TRUE(Requests().empty());
    }
    EXPECT_EQ(m_pHost->GetNodeCount(), 0u);
}

TEST_F(Uac1FeatureUnit, UnitWithoutMuteBuildsNoNodeAndFails)
{
    // Volume on the master, no mute anywhere.
    StartWith("uac1-speaker", USB_AUDIO_AC_FEATURE_UNIT, 2,
              {0x0A, 0x24, 0x06, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00});
    EXPECT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2)), STATUS_NOT_SUPPORTED)
        << "a refusal, not a lack of memory";
    EXPECT_EQ(m_pHost->GetNodeCount(), 0u);
}

TEST_F(Uac1FeatureUnit, ControlsTheUnitLacksAreRefusedWithoutARequest)
{
    Start("uac1-speaker");
    CUac1FeatureUnit* unit = nullptr;
    ASSERT_EQ(Build<CUac1FeatureUnit>(Descriptor(USB_AUDIO_AC_FEATURE_UNIT, 2), &unit), STATUS_SUCCESS);
    Model().ClearLog();
    ULONG count = 7;
    EXPECT_EQ(unit->GetControlChannelCount(USB_AUDIO_FU_BASS_CONTROL, &count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(unit->GetControlChannelCount(139, &count), STATUS_INVALID_PARAMETER); // no vendor map
    EXPECT_FALSE(NT_SUCCESS(unit->SetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, 0)));
    EXPECT_EQ(unit->SetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 1, 1), STATUS_INVALID_PARAMETER);
    UCHAR value = 0;
    EXPECT_EQ(unit->GetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->GetSwitch(USB_AUDIO_FU_MUTE_CONTROL, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(Requests().size(), 1u);
}

} // namespace
