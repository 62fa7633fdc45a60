// Property round trips through the control panel on a started class-1 device: each value set
// on the topology filter must reach the device as the SET_CUR the device's log records, in the
// device's own units, and read back; malformed requests are refused without harm.
#include "e2e_rig.h"

#include "driver/core/device_extension.h"

#include <cstring>

namespace e2e
{
namespace
{

using PropertyE2e = DriverRig;

struct Range
{
    LONG Minimum;
    LONG Maximum;
    ULONG Step;
};

// The per-channel stepped ranges of a level property's basic-support reply.
std::vector<Range> ReadRanges(sim::ControlPanel& Panel, ULONG Node, ULONG Id)
{
    std::vector<Range> ranges;
    sim::PropertyResult r = Panel.Property(sim::PropertyTarget::OnNode(Node), KSPROPSETID_Audio, Id,
                                           KSPROPERTY_TYPE_BASICSUPPORT, 512);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    if (!NT_SUCCESS(r.Status) ||
        r.Value.size() < sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER))
        return ranges;
    KSPROPERTY_MEMBERSHEADER header;
    std::memcpy(&header, r.Value.data() + sizeof(KSPROPERTY_DESCRIPTION), sizeof(header));
    EXPECT_EQ(header.MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
    size_t at = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(header);
    for (ULONG i = 0; i < header.MembersCount && at + sizeof(KSPROPERTY_STEPPING_LONG) <= r.Value.size(); ++i)
    {
        KSPROPERTY_STEPPING_LONG step;
        std::memcpy(&step, r.Value.data() + at, sizeof(step));
        ranges.push_back({step.Bounds.SignedMinimum, step.Bounds.SignedMaximum, step.SteppingDelta});
        at += header.MembersSize;
    }
    return ranges;
}

// The value a SET_CUR carried, sign-extended from its size on the wire.
int32_t Carried(const sim::ControlRecord& r)
{
    if (r.OutData.size() == 1)
        return int8_t(r.OutData[0]);
    if (r.OutData.size() == 2)
        return int16_t(r.OutData[0] | r.OutData[1] << 8);
    ADD_FAILURE() << "a SET_CUR with " << r.OutData.size() << " bytes";
    return 0;
}

// The nodes of one type in the filter.
std::vector<ULONG> NodesOfType(sim::ControlPanel& Panel, const GUID& Type)
{
    std::vector<sim::NodeInfo> nodes;
    EXPECT_EQ(Panel.GetNodes(&nodes), STATUS_SUCCESS);
    std::vector<ULONG> ids;
    for (const sim::NodeInfo& n : nodes)
        if (n.Type == Type)
            ids.push_back(n.Id);
    return ids;
}

// ---- Levels ----

// Volume travels in 1/65536 dB, the device takes 1/256 dB; bass, mid and treble 1/4 dB.
struct LevelRow
{
    const char* Profile;
    const GUID* Pin; // the level sits next to the first pin of this category
    uint8_t Unit;
    uint8_t Selector;
    ULONG Property;
    LONG DriverUnitsPerDeviceUnit;
};

const LevelRow kLevelRows[] = {
    {"uac1-speaker", &KSNODETYPE_SPEAKER, 2, kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, 256},
    {"uac1-headset", &KSNODETYPE_HEADPHONES, 2, kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, 256},
    {"uac1-headset", &KSNODETYPE_MICROPHONE, 5, kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, 256},
    {"uac1-mixer", &KSNODETYPE_SPEAKER, 2, kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, 256},
    {"uac1-mixer", &KSNODETYPE_LINE_CONNECTOR, 11, kVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, 256},
    {"uac1-mixer", &KSNODETYPE_SPEAKER, 2, kBass, KSPROPERTY_AUDIO_BASS, 16384},
    {"uac1-mixer", &KSNODETYPE_SPEAKER, 2, kMid, KSPROPERTY_AUDIO_MID, 16384},
    {"uac1-mixer", &KSNODETYPE_SPEAKER, 2, kTreble, KSPROPERTY_AUDIO_TREBLE, 16384},
};

// The tone nodes all have type TONE; the one that answers the property is the one.
ULONG ToneNode(sim::ControlPanel& Panel, const LevelRow& Row)
{
    for (ULONG node : NodesOfType(Panel, KSNODETYPE_TONE))
    {
        LONG value = 0;
        if (NT_SUCCESS(Panel.GetNodeLong(node, KSPROPSETID_Audio, Row.Property, 0, &value)))
            return node;
    }
    return ~0u;
}

TEST_F(PropertyE2e, LevelsRoundTripInTheDriversStepsAndReachTheDevice)
{
    for (const LevelRow& row : kLevelRows)
    {
        SCOPED_TRACE(std::string(row.Profile) + " unit " + std::to_string(row.Unit) + " selector " +
                     std::to_string(row.Selector));
        LoadOn(row.Profile);
        StartOk();
        const ULONG node = row.Property == KSPROPERTY_AUDIO_VOLUMELEVEL
                               ? NodeUpstreamOf(*row.Pin, KSNODETYPE_VOLUME)
                               : ToneNode(Panel(), row);
        ASSERT_NE(node, ~0u);
        const std::vector<uint8_t> wire = WireChannels(Profile(), row.Unit, row.Selector);
        const std::vector<Range> ranges = ReadRanges(Panel(), node, row.Property);
        ASSERT_EQ(ranges.size(), wire.size());
        const LONG k = row.DriverUnitsPerDeviceUnit;
        for (size_t c = 0; c < wire.size(); ++c)
        {
            SCOPED_TRACE("channel " + std::to_string(c));
            const sim::ControlSetting setting = Profile().Control(row.Unit, row.Selector, wire[c]);
            EXPECT_EQ(ranges[c].Minimum, setting.Min * k);
            EXPECT_EQ(ranges[c].Maximum, setting.Max * k);
            EXPECT_EQ(LONG(ranges[c].Step), setting.Res * k);

            // Three steps above the minimum and a little more: the device gets a whole step.
            const LONG level = (setting.Min + 3 * setting.Res) * k + k / 3;
            const int32_t onWire = level / (setting.Res * k) * setting.Res;
            uint64_t since = LastSequence();
            ASSERT_EQ(Panel().SetNodeLong(node, KSPROPSETID_Audio, row.Property, LONG(c), level),
                      STATUS_SUCCESS);
            std::vector<sim::ControlRecord> sets =
                Requests(kClassInterfaceOut, kSetCur, row.Unit, row.Selector, wire[c], since);
            ASSERT_EQ(sets.size(), 1u);
            EXPECT_EQ(Carried(sets[0]), onWire);
            EXPECT_EQ(DeviceValue(row.Unit, row.Selector, wire[c]), onWire);
            LONG got = 0;
            EXPECT_EQ(Panel().GetNodeLong(node, KSPROPSETID_Audio, row.Property, LONG(c), &got),
                      STATUS_SUCCESS);
            EXPECT_EQ(got, level);

            // Above the range: clamped to the maximum on both sides.
            since = LastSequence();
            ASSERT_EQ(
                Panel().SetNodeLong(node, KSPROPSETID_Audio, row.Property, LONG(c), setting.Max * k + Db(6)),
                STATUS_SUCCESS);
            sets = Requests(kClassInterfaceOut, kSetCur, row.Unit, row.Selector, wire[c], since);
            ASSERT_EQ(sets.size(), 1u);
            EXPECT_EQ(Carried(sets[0]), setting.Max);
            EXPECT_EQ(Panel().GetNodeLong(node, KSPROPSETID_Audio, row.Property, LONG(c), &got),
                      STATUS_SUCCESS);
            EXPECT_EQ(got, setting.Max * k);
        }
        RemoveAndCheck();
        SetUp();
    }
}

// ---- Switches ----

TEST_F(PropertyE2e, SwitchesRoundTripAndReachTheDevice)
{
    const struct
    {
        const char* Profile;
        const GUID* Pin;
        const GUID* Type;
        uint8_t Unit;
        uint8_t Selector;
        ULONG Property;
    } rows[] = {
        {"uac1-speaker", &KSNODETYPE_SPEAKER, &KSNODETYPE_MUTE, 2, kMute, KSPROPERTY_AUDIO_MUTE},
        {"uac1-headset", &KSNODETYPE_MICROPHONE, &KSNODETYPE_MUTE, 5, kMute, KSPROPERTY_AUDIO_MUTE},
        {"uac1-mixer", &KSNODETYPE_MICROPHONE, &KSNODETYPE_AGC, 5, kAgc, KSPROPERTY_AUDIO_AGC},
        {"uac1-mixer", &KSNODETYPE_SPEAKER, &KSNODETYPE_LOUDNESS, 2, kLoudness, KSPROPERTY_AUDIO_LOUDNESS},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Profile) + " unit " + std::to_string(row.Unit) + " selector " +
                     std::to_string(row.Selector));
        LoadOn(row.Profile);
        StartOk();
        const ULONG node = NodeUpstreamOf(*row.Pin, *row.Type);
        ASSERT_NE(node, ~0u);
        const uint8_t wire = WireChannels(Profile(), row.Unit, row.Selector).at(0);
        for (LONG value : {1, 0, 1})
        {
            const uint64_t since = LastSequence();
            ASSERT_EQ(Panel().SetNodeLong(node, KSPROPSETID_Audio, row.Property, 0, value), STATUS_SUCCESS);
            std::vector<sim::ControlRecord> sets =
                Requests(kClassInterfaceOut, kSetCur, row.Unit, row.Selector, wire, since);
            ASSERT_EQ(sets.size(), 1u);
            EXPECT_EQ(sets[0].OutData, std::vector<uint8_t>{uint8_t(value)});
            EXPECT_EQ(DeviceValue(row.Unit, row.Selector, wire), value);
            LONG got = -1;
            EXPECT_EQ(Panel().GetNodeLong(node, KSPROPSETID_Audio, row.Property, 0, &got), STATUS_SUCCESS);
            EXPECT_EQ(got, value);
        }
        RemoveAndCheck();
        SetUp();
    }
}

// ---- Selector ----

TEST_F(PropertyE2e, MuxSourceSelectsTheDeviceInputAndRefusesInputsItLacks)
{
    LoadOn("uac1-mixer");
    StartOk();
    std::vector<ULONG> muxes = NodesOfType(Panel(), KSNODETYPE_MUX);
    ASSERT_EQ(muxes.size(), 1u);
    auto get = [&]
    {
        sim::PropertyResult r =
            Panel().Property(sim::PropertyTarget::OnNode(muxes[0]), KSPROPSETID_Audio,
                             KSPROPERTY_AUDIO_MUX_SOURCE, KSPROPERTY_TYPE_GET, sizeof(ULONG));
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        ULONG input = 0;
        if (r.Value.size() >= sizeof(input))
            std::memcpy(&input, r.Value.data(), sizeof(input));
        return input;
    };
    auto set = [&](ULONG input)
    {
        return Panel()
            .Property(sim::PropertyTarget::OnNode(muxes[0]), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE,
                      KSPROPERTY_TYPE_SET, sizeof(input), &input)
            .Status;
    };
    EXPECT_EQ(get(), ULONG(Profile().Control(9, 1, 0).Cur));

    uint64_t since = LastSequence();
    EXPECT_EQ(set(1), STATUS_SUCCESS);
    std::vector<sim::ControlRecord> sets = Requests(kClassInterfaceOut, kSetCur, 9, -1, -1, since);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].OutData, std::vector<uint8_t>{1});
    EXPECT_EQ(DeviceValue(9, 1, 0), 1);
    EXPECT_EQ(get(), 1u);

    since = LastSequence();
    for (ULONG bad : {0u, 3u, 0xFFFFFFFFu})
        EXPECT_FALSE(NT_SUCCESS(set(bad))) << bad;
    EXPECT_TRUE(Requests(kClassInterfaceOut, kSetCur, 9, -1, -1, since).empty());
    EXPECT_EQ(DeviceValue(9, 1, 0), 1);
    EXPECT_EQ(get(), 1u);
}

// ---- Jacks ----

struct JackOracle
{
    const GUID* Pin;
    uint32_t Mapping;
    uint32_t Configuration;
    uint32_t Color; // named in the profile's comment
};

TEST_F(PropertyE2e, JackDescriptionsFollowTheDevicesJackBlock)
{
    LoadOn("uac1-mixer");
    StartOk();
    const JackOracle jacks[] = {
        {&KSNODETYPE_SPEAKER, 0x3, 0x01014000, 0x00FF00},        // green, rear
        {&KSNODETYPE_MICROPHONE, 0x1, 0x02016000, 0xFF8000},     // orange, front
        {&KSNODETYPE_LINE_CONNECTOR, 0x3, 0x01012100, 0x808080}, // grey, rear
    };
    std::vector<sim::PinInfo> pins;
    ASSERT_EQ(Panel().GetPins(&pins), STATUS_SUCCESS);
    for (const JackOracle& jack : jacks)
    {
        ULONG pin = ~0u;
        for (const sim::PinInfo& p : pins)
            if (pin == ~0u && p.Category == *jack.Pin)
                pin = p.Id;
        ASSERT_NE(pin, ~0u);
        SCOPED_TRACE("pin " + std::to_string(pin));
        const sim::PropertyTarget target = sim::PropertyTarget::OnPin(pin);
        sim::PropertyResult size =
            Panel().Property(target, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, 0);
        EXPECT_EQ(size.Status, STATUS_BUFFER_OVERFLOW);
        ASSERT_EQ(size.Information, sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION));
        EXPECT_EQ(
            Panel()
                .Property(target, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, 12)
                .Status,
            STATUS_BUFFER_TOO_SMALL);
        sim::PropertyResult reply = Panel().Property(target, KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
                                                     KSPROPERTY_TYPE_GET, ULONG(size.Information));
        ASSERT_EQ(reply.Status, STATUS_SUCCESS);
        ASSERT_GE(reply.Value.size(), size.Information);
        KSJACK_DESCRIPTION d;
        std::memcpy(&d, reply.Value.data() + sizeof(KSMULTIPLE_ITEM), sizeof(d));
        EXPECT_EQ(d.ChannelMapping, jack.Mapping);
        EXPECT_EQ(d.Color, jack.Color);
        EXPECT_EQ(uint32_t(d.ConnectionType), (jack.Configuration >> 16) & 0xFF);
        EXPECT_EQ(uint32_t(d.GeoLocation), (jack.Configuration >> 24) & 0xF);
        EXPECT_EQ(uint32_t(d.GenLocation), (jack.Configuration >> 28) & 0xF);
        EXPECT_TRUE(d.IsConnected);
    }
    // The streaming pins have no jack, and past the last pin there is nothing to describe.
    for (ULONG pin : {0u, ULONG(pins.size()), 0xFFFFFFFFu})
    {
        if (pin < pins.size() && pins[pin].Category != KSCATEGORY_AUDIO)
            continue;
        EXPECT_EQ(Panel()
                      .Property(sim::PropertyTarget::OnPin(pin), KSPROPSETID_Jack,
                                KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, 64)
                      .Status,
                  STATUS_INVALID_DEVICE_REQUEST)
            << pin;
    }
}

// ---- Component id ----

// The audio stack finds the maker and product through the adapter's component id, encoded from
// the device's vendor and product ids (the filter answers no KS component-id request itself).
TEST_F(PropertyE2e, ComponentIdCarriesTheDevicesVendorAndProduct)
{
    LoadOn("uac1-headset");
    StartOk();
    KSCOMPONENTID id;
    std::memset(&id, 0xA5, sizeof(id));
    ASSERT_EQ(GetAdapterExtension(Fdo())->AdapterCommon->GetComponentId(&id), STATUS_SUCCESS);
    EXPECT_EQ(id.Manufacturer.Data1, 0x4E1CECD2u + Profile().VendorId());
    EXPECT_EQ(id.Product.Data1, 0xABCC5A5Eu + Profile().ProductId());
    sim::PropertyResult r = Panel().Property(sim::PropertyTarget::OnFilter(), KSPROPSETID_General,
                                             KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET, sizeof(id));
    EXPECT_FALSE(NT_SUCCESS(r.Status));
}

// ---- Malformed requests ----

TEST_F(PropertyE2e, MalformedRequestsAreRefusedAndChangeNothing)
{
    LoadOn("uac1-mixer");
    StartOk();
    const ULONG volume = NodeUpstreamOf(KSNODETYPE_SPEAKER, KSNODETYPE_VOLUME);
    const ULONG mute = NodeUpstreamOf(KSNODETYPE_SPEAKER, KSNODETYPE_MUTE);
    ASSERT_NE(volume, ~0u);
    ASSERT_NE(mute, ~0u);
    std::vector<sim::NodeInfo> nodes;
    ASSERT_EQ(Panel().GetNodes(&nodes), STATUS_SUCCESS);
    const ULONG pastLast = ULONG(nodes.size());
    const LONG level = Db(-20);
    const uint64_t since = LastSequence();
    const struct
    {
        const char* What;
        sim::PropertyTarget Target;
        ULONG Id;
        ULONG Verb;
        ULONG Size;
    } rows[] = {
        {"volume get, 2-byte value", sim::PropertyTarget::OnChannel(volume, 0), KSPROPERTY_AUDIO_VOLUMELEVEL,
         KSPROPERTY_TYPE_GET, 2},
        {"volume set, 2-byte value", sim::PropertyTarget::OnChannel(volume, 0), KSPROPERTY_AUDIO_VOLUMELEVEL,
         KSPROPERTY_TYPE_SET, 2},
        {"volume set, no channel", sim::PropertyTarget::OnNode(volume), KSPROPERTY_AUDIO_VOLUMELEVEL,
         KSPROPERTY_TYPE_SET, 4},
        {"volume set, channel 2 of 2", sim::PropertyTarget::OnChannel(volume, 2),
         KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, 4},
        {"volume set, channel -7", sim::PropertyTarget::OnChannel(volume, -7), KSPROPERTY_AUDIO_VOLUMELEVEL,
         KSPROPERTY_TYPE_SET, 4},
        {"volume set on the mute node", sim::PropertyTarget::OnChannel(mute, 0), KSPROPERTY_AUDIO_VOLUMELEVEL,
         KSPROPERTY_TYPE_SET, 4},
        {"bass set on the volume node", sim::PropertyTarget::OnChannel(volume, 0), KSPROPERTY_AUDIO_BASS,
         KSPROPERTY_TYPE_SET, 4},
        {"volume set, node past the last", sim::PropertyTarget::OnChannel(pastLast, 0),
         KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, 4},
        {"mute set, node 0xFFFFFFFE", sim::PropertyTarget::OnChannel(0xFFFFFFFE, 0), KSPROPERTY_AUDIO_MUTE,
         KSPROPERTY_TYPE_SET, 4},
        {"mute set, channel 9", sim::PropertyTarget::OnChannel(mute, 9), KSPROPERTY_AUDIO_MUTE,
         KSPROPERTY_TYPE_SET, 4},
        {"volume basic support, 2 bytes", sim::PropertyTarget::OnNode(volume), KSPROPERTY_AUDIO_VOLUMELEVEL,
         KSPROPERTY_TYPE_BASICSUPPORT, 2},
    };
    for (const auto& row : rows)
    {
        sim::PropertyResult r =
            Panel().Property(row.Target, KSPROPSETID_Audio, row.Id, row.Verb, row.Size, &level);
        EXPECT_FALSE(NT_SUCCESS(r.Status)) << row.What;
        EXPECT_LE(r.Value.size(), size_t(row.Size)) << row.What;
    }
    EXPECT_TRUE(Requests(kClassInterfaceOut, kSetCur, -1, -1, -1, since).empty())
        << "a refused request reached the device";
    EXPECT_EQ(DeviceValue(2, kVolume, 1), Profile().Control(2, kVolume, 1).Cur);
    EXPECT_EQ(DeviceValue(2, kMute, 0), 0);

    // Events on nodes that do not exist are refused too.
    ULONG subscription = 0;
    EXPECT_FALSE(NT_SUCCESS(Panel().Subscribe(pastLast, &subscription)));
}

} // namespace
} // namespace e2e
