// The class-2 audio function on the real driver over the simulated class-2 interface: the
// formats its clock offers, every level and switch set through the topology filter checked
// byte for byte against the device's request log, read-only controls, clock ranges the device
// describes oddly or cuts short, and the interrupt data messages it sends.
#include "e2e_rig.h"

#include "driver/topology/nodes/level_control_node.h"
#include "driver/topology/uac2/uac2_entity_request.h"

#include "plat_debug.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "sim/profiles/profile.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace e2e
{
namespace
{

// Release-2.0 requests as they cross the wire.
constexpr uint8_t kCur = 0x01;
constexpr uint8_t kRange = 0x02;
constexpr uint8_t kClockId = 10;
constexpr uint8_t kRenderUnit = 2;
constexpr uint8_t kCaptureUnit = 5;
constexpr uint8_t kStatusEndpoint = 0x83;

class Uac2FunctionE2e : public DriverRig
{
protected:
    // The profile text of a built-in class-2 profile with one descriptor line replaced.
    static sim::DeviceProfile Amended(const char* Name, const std::string& From, const std::string& To,
                                      const std::string& Extra = std::string())
    {
        std::string text = sim::BuiltinProfileText(Name);
        const size_t at = text.find(From);
        EXPECT_NE(at, std::string::npos) << From;
        if (at != std::string::npos)
            text.replace(at, From.size(), To);
        sim::DeviceProfile profile;
        std::string error;
        EXPECT_TRUE(sim::DeviceProfile::Parse(text + Extra, Name, ".", &profile, &error)) << error;
        return profile;
    }

    // Every format of every endpoint, per endpoint.
    std::vector<std::vector<WAVEFORMATEXTENSIBLE>> Formats()
    {
        std::vector<std::vector<WAVEFORMATEXTENSIBLE>> all;
        PADAPTERCOMMON adapter = Adapter();
        for (ULONG i = 0; i < adapter->GetStreamCount(); ++i)
        {
            IStreamEngine* stream = nullptr;
            std::vector<WAVEFORMATEXTENSIBLE> formats;
            EXPECT_EQ(adapter->GetStream(i, &stream), STATUS_SUCCESS);
            for (ULONG f = 0; stream && f < stream->GetFormatCount(); ++f)
            {
                WAVEFORMATEXTENSIBLE format = {};
                EXPECT_EQ(stream->GetFormat(f, &format), STATUS_SUCCESS);
                formats.push_back(format);
            }
            all.push_back(formats);
        }
        return all;
    }

    static std::vector<uint32_t> Rates(const std::vector<WAVEFORMATEXTENSIBLE>& Formats)
    {
        std::vector<uint32_t> rates;
        for (const WAVEFORMATEXTENSIBLE& f : Formats)
            rates.push_back(f.Format.nSamplesPerSec);
        return rates;
    }

    std::vector<ULONG> NodesOfType(const GUID& Type)
    {
        std::vector<sim::NodeInfo> nodes;
        EXPECT_EQ(Panel().GetNodes(&nodes), STATUS_SUCCESS);
        std::vector<ULONG> ids;
        for (const sim::NodeInfo& n : nodes)
            if (n.Type == Type)
                ids.push_back(n.Id);
        return ids;
    }

    // The one request of the log since Since; a failure when there is not exactly one.
    sim::ControlRecord OnlyRequest(int RequestType, uint64_t Since)
    {
        std::vector<sim::ControlRecord> found = Requests(RequestType, -1, -1, -1, -1, Since);
        EXPECT_EQ(found.size(), 1u);
        return found.empty() ? sim::ControlRecord() : found[0];
    }
};

// ---- Start: clock and formats ----

TEST_F(Uac2FunctionE2e, EachEndpointOffersEveryClockRateInTheClocksOrderWithTheDescriptorsChannels)
{
    LoadOn("uac2-interface");
    StartOk();
    // The clock was asked for its rates with the RANGE of its sampling-frequency control.
    std::vector<sim::ControlRecord> ranges = Requests(kClassInterfaceIn, kRange, kClockId, 1, 0);
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges[0].Setup.Index, kClockId << 8 | 0);
    const std::vector<uint32_t> clock = Profile().ClockRates(kClockId);
    struct Expected
    {
        uint16_t Channels;
        uint32_t Mask;
    };
    const Expected expected[] = {{8, 0x63F}, {2, 0x3}}; // AS general bNrChannels and bmChannelConfig
    const std::vector<std::vector<WAVEFORMATEXTENSIBLE>> formats = Formats();
    ASSERT_EQ(formats.size(), 2u);
    // No terminal announces a readable connector: none is asked for jacks or terminal types,
    // and the output has one pin type and no node to choose another.
    EXPECT_TRUE(Requests(-1, -1, -1, 0x02, 0xFF).empty());
    EXPECT_TRUE(Requests(-1, -1, -1, 0x08, 0).empty());
    EXPECT_TRUE(NodesOfType(KSNODETYPE_DEV_SPECIFIC).empty());
    for (size_t e = 0; e < formats.size(); ++e)
    {
        SCOPED_TRACE("endpoint " + std::to_string(e));
        EXPECT_EQ(Rates(formats[e]), clock);
        for (const WAVEFORMATEXTENSIBLE& f : formats[e])
        {
            EXPECT_EQ(f.Format.nChannels, expected[e].Channels);
            EXPECT_EQ(f.dwChannelMask, expected[e].Mask);
            EXPECT_EQ(f.Format.wBitsPerSample, 32); // 4-byte subslots
            EXPECT_EQ(f.Samples.wValidBitsPerSample, 24);
            EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nSamplesPerSec * expected[e].Channels * 4);
            EXPECT_TRUE(IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
        }
    }
}

// The capture endpoint takes its name from the class-2 input terminal it records: the terminal
// type's pin type, a headset counting as a handset.
TEST_F(Uac2FunctionE2e, TheCaptureEndpointIsNamedAfterItsInputTerminalsType)
{
    struct Row
    {
        const char* Type; // wTerminalType bytes as the descriptor holds them
        const char16_t* Name;
    };
    const Row rows[] = {
        {"01 02", u"MicIn00"},     {"06 02", u"MicIn00"},          {"01 04", u"HandSetIn00"},
        {"02 04", u"HandSetIn00"}, {"04 04", u"SpeakerphoneIn00"}, {"03 06", u"LineIn00"},
        {"05 06", u"SPDIFIn00"},   {"01 06", u"AuxIn00"},          {"10 07", u"AuxIn00"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Type);
        LoadOn(Amended("uac2-interface", "11 24 02 04 03 06 00 0A",
                       std::string("11 24 02 04 ") + row.Type + " 00 0A"));
        StartOk();
        ASSERT_FALSE(HasFatalFailure());
        const std::vector<std::u16string> names = EndpointNames();
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[1], row.Name);
        RemoveAndCheck();
        SetUp();
    }
}

// The capability records of class-2 endpoints: capture endpoints are the ASIO interface's
// (flags 0x12) unless the model says otherwise, and one model has a fixed microphone record
// (and nothing for other pin types).
TEST_F(Uac2FunctionE2e, EndpointCapabilitiesFollowTheClassTwoRulesAndModelRows)
{
    struct Caps
    {
        ULONG Mask;
        ULONG Flags;
    };
    struct Row
    {
        const char* Ids;        // idVendor, idProduct as the device descriptor holds them
        const char* OutputType; // output terminal 3
        const char* InputType;  // input terminal 4
        Caps Render, Capture;
    };
    const Row rows[] = {
        {"F1 FF 03 00", "03 06", "03 06", {0, 0}, {0, 0x12}},
        {"05 0B 0F 18", "03 06", "03 06", {0, 0}, {0, 0x10}},
        {"05 0B B1 17", "03 06", "01 02", {0, 0}, {0x29000, 0}},
        {"05 0B B1 17", "03 06", "03 06", {0, 0}, {0, 0}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.Ids) + " " + row.OutputType + " " + row.InputType);
        std::string text = sim::BuiltinProfileText("uac2-interface");
        text.replace(text.find("F1 FF 03 00"), 11, row.Ids);
        text.replace(text.find("0C 24 03 03 03 06"), 17, std::string("0C 24 03 03 ") + row.OutputType);
        text.replace(text.find("11 24 02 04 03 06"), 17, std::string("11 24 02 04 ") + row.InputType);
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::DeviceProfile::Parse(text, "uac2-caps", ".", &profile, &error)) << error;
        LoadOn(profile);
        StartOk();
        ASSERT_FALSE(HasFatalFailure());
        const Caps expected[] = {row.Render, row.Capture};
        for (ULONG endpoint = 0; endpoint < 2; ++endpoint)
        {
            EndpointCaps caps;
            std::memset(&caps, 0xCC, sizeof(caps));
            ASSERT_EQ(Adapter()->GetEndpointCaps(endpoint, &caps), STATUS_SUCCESS);
            EXPECT_EQ(caps.Mask, expected[endpoint].Mask) << "endpoint " << endpoint;
            EXPECT_EQ(caps.Flags, expected[endpoint].Flags) << "endpoint " << endpoint;
            EXPECT_EQ(caps.Extra, 0u);
        }
        RemoveAndCheck();
        SetUp();
    }
}

// Continuous and stepped sub-ranges name no rate a client can be offered: they are left out and
// the single rates after them move up, so no format carries a rate the device never listed.
// A reply cut short is read only as far as the device sent it.
TEST_F(Uac2FunctionE2e, ClockRangesKeepOnlyTheSingleRatesTheDeviceReallySent)
{
    struct Row
    {
        const char* Clock;
        uint16_t ShortReply; // 0: the whole reply
        std::vector<uint32_t> Offered;
    };
    const Row rows[] = {
        {"clock 10 44100 48000 88200-96000", 0, {44100, 48000}},
        {"clock 10 8000-48000/4000 44100 96000", 0, {44100, 96000}},
        {"clock 10 44100 48000 96000", 14, {44100}}, // the count says 3, one sub-range came
        {"clock 10 44100 48000 96000", 26, {44100, 48000}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.Clock) + " reply " + std::to_string(row.ShortReply));
        LoadOn(Amended("uac2-interface", "clock 10 44100 48000 96000", row.Clock));
        if (row.ShortReply)
        {
            sim::AudioControlFaults faults;
            faults.ShortReplyMatching = true;
            faults.ShortMatch.Request = kRange;
            faults.ShortMatch.Target = kClockId;
            faults.ShortReplyBytes = row.ShortReply;
            Controls().SetFaults(faults);
        }
        StartOk();
        for (const std::vector<WAVEFORMATEXTENSIBLE>& endpoint : Formats())
            EXPECT_EQ(Rates(endpoint), row.Offered);
        RemoveAndCheck();
        SetUp();
    }
}

// A setting of raw one-bit data (alternate setting 2 beside the PCM one) is offered in the
// driver's private subformat, at each rate the clock takes (the SET CUR of that rate, in the
// clock's order), and only while the interface calls the setting valid.
TEST_F(Uac2FunctionE2e, RawDataIsOfferedAtTheRatesTheClockTakesWhileTheSettingIsValid)
{
    const std::string feedback =
        "07 05 81 11 04 00 04  # endpoint 0x81: isochronous IN, feedback, 4 bytes (16.16), every 1 ms\n";
    const std::string rawSetting = feedback + "  09 04 01 02 02 01 02 20 00\n"
                                              "    10 24 01 01 00 01 00 00 00 80 08 3F 06 00 00 00\n"
                                              "    06 24 02 01 04 18\n"
                                              "    07 05 01 05 A0 01 01\n"
                                              "    08 25 01 00 00 00 00 00\n"
                                              "    07 05 81 11 04 00 04\n";
    const std::string configuration = "09 02 1D 01 03";
    struct Row
    {
        bool ValidityStalls;
        bool Offered;
    };
    for (const Row& row : {Row{false, true}, Row{true, false}})
    {
        SCOPED_TRACE(row.ValidityStalls ? "valid settings refused" : "valid settings answered");
        sim::DeviceProfile amended;
        std::string text = sim::BuiltinProfileText("uac2-interface");
        text.replace(text.find(feedback), feedback.size(), rawSetting);
        text.replace(text.find(configuration), configuration.size(), "09 02 52 01 03"); // 53 bytes more
        std::string error;
        ASSERT_TRUE(sim::DeviceProfile::Parse(text, "uac2-raw", ".", &amended, &error)) << error;
        LoadOn(amended);
        if (row.ValidityStalls)
        {
            sim::AudioControlFaults faults;
            faults.StallMatching = true;
            faults.StallMatch.RequestType = kClassInterfaceIn;
            faults.StallMatch.Request = kCur;
            faults.StallMatch.Target = 0;   // the streaming interface, no entity
            faults.StallMatch.Selector = 2; // valid alternate settings
            Controls().SetFaults(faults);
        }
        const uint64_t since = LastSequence();
        StartOk();
        ASSERT_FALSE(HasFatalFailure());
        const std::vector<std::vector<WAVEFORMATEXTENSIBLE>> formats = Formats();
        ASSERT_FALSE(formats.empty());
        std::vector<uint32_t> raw;
        for (const WAVEFORMATEXTENSIBLE& f : formats[0])
            if (f.SubFormat.Data1 == 0x7A31u)
                raw.push_back(f.Format.nSamplesPerSec);
        const std::vector<uint32_t> clock = Profile().ClockRates(kClockId);
        EXPECT_EQ(raw, row.Offered ? clock : std::vector<uint32_t>());
        std::vector<sim::ControlRecord> sets = Requests(kClassInterfaceOut, kCur, kClockId, 1, 0, since);
        ASSERT_GE(sets.size(), clock.size());
        for (size_t i = 0; i < clock.size(); ++i)
        {
            const uint32_t rate = clock[i];
            EXPECT_EQ(sets[i].Setup.Index, kClockId << 8 | 0);
            EXPECT_EQ(sets[i].OutData, (std::vector<uint8_t>{uint8_t(rate), uint8_t(rate >> 8),
                                                             uint8_t(rate >> 16), uint8_t(rate >> 24)}));
        }
        RemoveAndCheck();
        SetUp();
    }
}

// ---- Controls through the topology filter, byte for byte ----

// Every volume channel of both units: the SET CUR the device logs carries the control, the
// channel (node channel c is logical channel c + 1, in order), the unit and interface, two
// bytes and the level in 1/256 dB truncated to the device's step.
TEST_F(Uac2FunctionE2e, EveryVolumeChannelSetOnTheFilterReachesTheDeviceByteForByte)
{
    LoadOn("uac2-interface");
    StartOk();
    std::map<uint8_t, size_t> channelsSeen;
    for (ULONG node : NodesOfType(KSNODETYPE_VOLUME))
    {
        for (LONG c = 0;; ++c)
        {
            LONG level = 0;
            if (!NT_SUCCESS(
                    Panel().GetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, c, &level)))
                break;
            const uint64_t since = LastSequence();
            // The unit is found by where the first set lands, then checked against the profile.
            const LONG probe = level;
            ASSERT_EQ(Panel().SetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, c, probe),
                      STATUS_SUCCESS);
            const sim::ControlRecord first = OnlyRequest(kClassInterfaceOut, since);
            const uint8_t unit = uint8_t(first.Setup.Index >> 8);
            ASSERT_TRUE(unit == kRenderUnit || unit == kCaptureUnit) << int(unit);
            const sim::ControlSetting setting = Profile().Control(unit, kVolume, uint8_t(c + 1));
            SCOPED_TRACE("unit " + std::to_string(unit) + " channel " + std::to_string(c));

            const LONG wanted = (setting.Min + 3 * setting.Res) * kDriverUnitsPerDeviceUnit + 85;
            const int32_t onWire = wanted / (setting.Res * kDriverUnitsPerDeviceUnit) * setting.Res;
            const uint64_t before = LastSequence();
            ASSERT_EQ(Panel().SetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, c, wanted),
                      STATUS_SUCCESS);
            const sim::ControlRecord set = OnlyRequest(kClassInterfaceOut, before);
            EXPECT_EQ(set.Setup.RequestType, kClassInterfaceOut);
            EXPECT_EQ(set.Setup.Request, kCur);
            EXPECT_EQ(set.Setup.Value, kVolume << 8 | (c + 1));
            EXPECT_EQ(set.Setup.Index, unit << 8 | 0);
            EXPECT_EQ(set.Setup.Length, 2);
            EXPECT_EQ(set.OutData, (std::vector<uint8_t>{uint8_t(onWire), uint8_t(uint16_t(onWire) >> 8)}));
            int32_t held = 0;
            ASSERT_TRUE(Controls().ControlValue(unit, kVolume, uint8_t(c + 1), &held));
            EXPECT_EQ(held, onWire);
            ASSERT_EQ(Panel().GetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, c, &level),
                      STATUS_SUCCESS);
            EXPECT_EQ(level, wanted); // the cache keeps the level asked for, the device its step
            channelsSeen[unit]++;
        }
    }
    // Eight render and two capture channels, as the units' bitmaps announce.
    EXPECT_EQ(channelsSeen[kRenderUnit], 8u);
    EXPECT_EQ(channelsSeen[kCaptureUnit], 2u);
    // Each range came from one RANGE of one sub-range, asked of the first channel that has it.
    for (uint8_t unit : {kRenderUnit, kCaptureUnit})
    {
        std::vector<sim::ControlRecord> ranges = Requests(kClassInterfaceIn, kRange, unit, kVolume);
        ASSERT_FALSE(ranges.empty());
        EXPECT_EQ(ranges[0].Setup.Value, kVolume << 8 | 1);
        EXPECT_EQ(ranges[0].Setup.Length, 8);
    }
}

TEST_F(Uac2FunctionE2e, MuteSetOnTheFilterIsOneByteOnTheMasterChannel)
{
    LoadOn("uac2-interface");
    StartOk();
    std::vector<ULONG> mutes = NodesOfType(KSNODETYPE_MUTE);
    ASSERT_EQ(mutes.size(), 2u);
    std::vector<uint8_t> units;
    for (ULONG node : mutes)
    {
        for (LONG value : {1, 0})
        {
            const uint64_t since = LastSequence();
            ASSERT_EQ(Panel().SetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, value),
                      STATUS_SUCCESS);
            const sim::ControlRecord set = OnlyRequest(kClassInterfaceOut, since);
            EXPECT_EQ(set.Setup.Request, kCur);
            EXPECT_EQ(set.Setup.Value, kMute << 8 | 0);
            EXPECT_EQ(set.Setup.Length, 1);
            EXPECT_EQ(set.OutData, std::vector<uint8_t>{uint8_t(value)});
            const uint8_t unit = uint8_t(set.Setup.Index >> 8);
            int32_t held = -1;
            ASSERT_TRUE(Controls().ControlValue(unit, kMute, 0, &held));
            EXPECT_EQ(held, value);
            if (value == 0)
                units.push_back(unit);
        }
    }
    std::sort(units.begin(), units.end());
    EXPECT_EQ(units, (std::vector<uint8_t>{kRenderUnit, kCaptureUnit}));
}

// A volume announced readable only reads as the device holds it; a write is refused before any
// request leaves the driver.
TEST_F(Uac2FunctionE2e, AReadOnlyVolumeReadsButIsNeverWritten)
{
    LoadOn(Amended("uac2-interface", "12 24 06 05 04 0F 00 00 00 0C 00 00 00 0C 00 00 00 00",
                   "12 24 06 05 04 07 00 00 00 04 00 00 00 04 00 00 00 00"));
    StartOk();
    EXPECT_TRUE(Requests(kClassInterfaceOut, kCur, kCaptureUnit, kVolume).empty())
        << "the start wrote a read-only control";
    ULONG found = 0;
    for (ULONG node : NodesOfType(KSNODETYPE_VOLUME))
    {
        LONG level = 0;
        if (!NT_SUCCESS(
                Panel().GetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &level)) ||
            NT_SUCCESS(Panel().GetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 2, &level)))
            continue; // the two-channel capture volume only
        ++found;
        EXPECT_EQ(level, Profile().Control(kCaptureUnit, kVolume, 2).Cur * kDriverUnitsPerDeviceUnit);
        const uint64_t since = LastSequence();
        EXPECT_FALSE(NT_SUCCESS(
            Panel().SetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-3))));
        EXPECT_TRUE(Requests(kClassInterfaceOut, -1, -1, -1, -1, since).empty());
    }
    EXPECT_EQ(found, 1u);
}

// A unit whose memory holds an extended control map (its length at 0x0010, then one 32-bit
// bitmap a channel) gets a node for each vendor control the map announces: the switch 0x90 and
// the level 0x82 that the driver also applies in software. Both are read and written through the
// topology filter as class requests on the master channel.
TEST_F(Uac2FunctionE2e, TheUnitsVendorControlMapGivesASwitchAndASoftwareVolume)
{
    constexpr uint8_t kVendorSwitch = 0x90, kDspVolume = 0x82, kMem = 0x03;
    const std::string line = "control 2 1 cur=0";
    LoadOn(Amended("uac2-interface", line, line,
                   "vendor-controls 2 0x82 0x90\n"
                   "control 2 0x82 min=-8192 max=0 res=256 cur=-1536\n"
                   "control 2 0x90 max=1 cur=1\n"));
    StartOk();
    // The map: its length first, then the whole block of 18 bytes and one bitmap for each of
    // the unit's nine channels.
    const std::vector<sim::ControlRecord> reads = Requests(kClassInterfaceIn, kMem, kRenderUnit);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].Setup.Value, 0x0010);
    EXPECT_EQ(reads[0].Setup.Length, 2);
    EXPECT_EQ(reads[1].Setup.Value, 0x0000);
    EXPECT_EQ(reads[1].Setup.Length, 18 + 4 * 9);
    EXPECT_TRUE(Requests(kClassInterfaceIn, kMem, kCaptureUnit).size() == 1u) << "the other unit has no map";

    // The switch: one node of its own, one byte on the master channel.
    const std::vector<ULONG> switches = NodesOfType(KSNODETYPE_DEV_SPECIFIC);
    ASSERT_EQ(switches.size(), 1u);
    LONG on = 0;
    ASSERT_EQ(Panel().GetNodeLong(switches[0], KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, &on),
              STATUS_SUCCESS);
    EXPECT_EQ(on, 1);
    uint64_t since = LastSequence();
    ASSERT_EQ(Panel().SetNodeLong(switches[0], KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, 0),
              STATUS_SUCCESS);
    sim::ControlRecord set = OnlyRequest(kClassInterfaceOut, since);
    EXPECT_EQ(set.Setup.Value, kVendorSwitch << 8 | 0);
    EXPECT_EQ(set.Setup.Index, kRenderUnit << 8 | 0);
    EXPECT_EQ(set.OutData, std::vector<uint8_t>{0});
    EXPECT_EQ(DeviceValue(kRenderUnit, kVendorSwitch, 0), 0);

    // The software volume: a second volume node of the render unit, ranged by its RANGE request,
    // started from the device's value and written on the master channel in 1/256 dB.
    EXPECT_FALSE(Requests(kClassInterfaceIn, kRange, kRenderUnit, kDspVolume, 0).empty());
    ULONG written = 0;
    for (ULONG node : NodesOfType(KSNODETYPE_VOLUME))
    {
        LONG level = 0;
        ASSERT_EQ(Panel().GetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level),
                  STATUS_SUCCESS);
        since = LastSequence();
        ASSERT_EQ(Panel().SetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-12)),
                  STATUS_SUCCESS);
        set = OnlyRequest(kClassInterfaceOut, since);
        if (set.Setup.Value >> 8 != kDspVolume)
            continue;
        ++written;
        EXPECT_EQ(level, -1536 * kDriverUnitsPerDeviceUnit);
        EXPECT_EQ(set.Setup.Value, kDspVolume << 8 | 0);
        EXPECT_EQ(set.OutData, (std::vector<uint8_t>{0x00, 0xF4})); // -12 dB: -3072 in 1/256 dB
    }
    EXPECT_EQ(written, 1u) << "one volume node writes control 0x82";
    EXPECT_EQ(DeviceValue(kRenderUnit, kDspVolume, 0), -3072);
}

// ---- Interrupt data messages ----

TEST_F(Uac2FunctionE2e, AVolumeTurnedOnTheDeviceRaisesOneEventAndMalformedMessagesNone)
{
    LoadOn("uac2-interface");
    StartOk();
    std::vector<ULONG> volumes;
    for (ULONG node : NodesOfType(KSNODETYPE_VOLUME))
    {
        ULONG subscription = 0;
        ASSERT_EQ(Panel().Subscribe(node, &subscription), STATUS_SUCCESS);
        volumes.push_back(node);
    }
    RunFor(100 * kMillisecond);
    auto events = [&]()
    {
        size_t total = 0;
        for (ULONG node : volumes)
            total += Panel().NodeNotificationCount(node);
        return total;
    };
    ASSERT_EQ(events(), 0u);

    // Malformed or foreign messages: cut short, RANGE, endpoint, vendor, another interface.
    const std::vector<std::vector<uint8_t>> ignored = {
        {0x00, 0x01, 0x01, kVolume, 0x00},              // five bytes
        {0x00, 0x02, 0x01, kVolume, 0x00, kRenderUnit}, // bAttribute RANGE
        {0x02, 0x01, 0x01, kVolume, 0x00, kRenderUnit}, // an endpoint's
        {0x01, 0x01, 0x01, kVolume, 0x00, kRenderUnit}, // vendor-specific
        {0x00, 0x01, 0x01, kVolume, 0x01, kRenderUnit}, // interface 1
        {0x00, 0x01, 0x00, 12, 0x00, kRenderUnit},      // a control the unit lacks
    };
    uint64_t since = LastSequence();
    for (const std::vector<uint8_t>& message : ignored)
        ASSERT_TRUE(Device().StatusInterrupt().QueueRaw(kStatusEndpoint, message));
    RunFor(200 * kMillisecond);
    EXPECT_EQ(events(), 0u);
    EXPECT_TRUE(Requests(kClassInterfaceIn, kCur, kRenderUnit, -1, -1, since).empty());

    // A real change: channel 1 turned 10 dB down on the device.
    const int32_t turned = Profile().Control(kRenderUnit, kVolume, 1).Cur - 10 * 256;
    since = LastSequence();
    ASSERT_TRUE(Controls().ChangeControl(kRenderUnit, kVolume, 1, turned));
    RunFor(200 * kMillisecond);
    EXPECT_EQ(events(), 1u);
    EXPECT_FALSE(Requests(kClassInterfaceIn, kCur, kRenderUnit, kVolume, 1, since).empty());
    bool shown = false;
    for (ULONG node : volumes)
    {
        LONG level = 0;
        if (Panel().NodeNotificationCount(node) == 1)
        {
            ASSERT_EQ(Panel().GetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level),
                      STATUS_SUCCESS);
            EXPECT_EQ(level, turned * kDriverUnitsPerDeviceUnit);
            shown = true;
        }
    }
    EXPECT_TRUE(shown);
}

// A message naming an entity with no node for it (the clock's validity is the clock's, and no
// node shows it; a terminal without its connector) announces nothing.
TEST_F(Uac2FunctionE2e, MessagesForEntitiesWithoutANodeForThemAnnounceNothing)
{
    LoadOn("uac2-interface");
    StartOk();
    std::vector<sim::NodeInfo> nodes;
    ASSERT_EQ(Panel().GetNodes(&nodes), STATUS_SUCCESS);
    for (const sim::NodeInfo& n : nodes)
    {
        ULONG subscription = 0;
        Panel().Subscribe(n.Id, &subscription);
    }
    const std::vector<std::vector<uint8_t>> messages = {
        {0x00, 0x01, 0x00, 0x08, 0x00, 3},  // output terminal 3: terminal type, which it cannot switch
        {0x00, 0x01, 0x00, 0x01, 0x00, 99}, // an entity the device does not have
    };
    for (const std::vector<uint8_t>& message : messages)
        ASSERT_TRUE(Device().StatusInterrupt().QueueRaw(kStatusEndpoint, message));
    RunFor(200 * kMillisecond);
    for (const sim::NodeInfo& n : nodes)
        EXPECT_EQ(Panel().NodeNotificationCount(n.Id), 0u) << "node " << n.Id;
}

// Every control-change event the audio function raises, whatever node it names: the record a
// listener on the function's callback object keeps.
class EventRecord
{
public:
    explicit EventRecord(PADAPTERCOMMON Adapter) : m_pAdapter(Adapter)
    {
        EXPECT_EQ(m_pAdapter->RegisterCallback(Heard, this, &m_pRegistration), STATUS_SUCCESS);
    }
    ~EventRecord()
    {
        if (m_pRegistration)
            m_pAdapter->UnregisterCallback(m_pRegistration);
    }
    std::vector<ULONG> Nodes()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Nodes;
    }

private:
    static VOID Heard(PVOID Context, PVOID Argument1, PVOID Argument2)
    {
        UNREFERENCED_PARAMETER(Argument2);
        EventRecord* self = static_cast<EventRecord*>(Context);
        std::lock_guard<std::mutex> guard(self->m_Lock);
        self->m_Nodes.push_back(static_cast<const AudioHalNotification*>(Argument1)->NodeId);
    }

    PADAPTERCOMMON m_pAdapter;
    PVOID m_pRegistration = nullptr;
    std::mutex m_Lock;
    std::vector<ULONG> m_Nodes;
};

// A unit's volume node the pool could not hold at start is left out, and the device starts
// without it. The device's volume reports for that unit then name no node: no event goes out
// for them at all (not one with an unset node id), while the other unit's volume and both
// mutes, which have their nodes, announce themselves as before.
TEST_F(Uac2FunctionE2e, AReportForAControlWhoseNodeWasLeftOutRaisesNoEvent)
{
    size_t volumeNodes = 0;
    for (const bool leaveOut : {false, true})
    {
        SCOPED_TRACE(leaveOut ? "volume node left out" : "every node built");
        if (leaveOut)
            plat::FailNextAllocationOf(UAC2_ENTITY_POOL_TAG, sizeof(CVolumeControlNode));
        LoadOn("uac2-interface");
        StartOk();
        plat::ClearPoolFailures();
        // The driver's own node ids, which the events carry, by kind.
        std::vector<ULONG> volumes, mutes;
        for (ULONG i = 0; i < Adapter()->GetNodeCount(); ++i)
        {
            ITopologyNode* node = nullptr;
            ASSERT_EQ(Adapter()->GetNode(i, &node), STATUS_SUCCESS);
            if (node->GetKind() == NODE_KIND_VOLUME)
                volumes.push_back(node->GetId());
            if (node->GetKind() == NODE_KIND_MUTE)
                mutes.push_back(node->GetId());
        }
        std::sort(mutes.begin(), mutes.end());
        if (!leaveOut)
            volumeNodes = volumes.size();
        ASSERT_EQ(volumes.size(), leaveOut ? volumeNodes - 1 : volumeNodes);
        ASSERT_EQ(NodesOfType(KSNODETYPE_VOLUME).size(), volumes.size()) << "the filter shows the same";
        ASSERT_EQ(mutes.size(), 2u);
        {
            EventRecord record(Adapter());
            RunFor(100 * kMillisecond);
            ASSERT_TRUE(record.Nodes().empty());
            for (const uint8_t unit : {kRenderUnit, kCaptureUnit})
                ASSERT_TRUE(Controls().ChangeControl(unit, kVolume, 1,
                                                     Profile().Control(unit, kVolume, 1).Cur - 256));
            RunFor(200 * kMillisecond);
            std::vector<ULONG> heard = record.Nodes();
            EXPECT_EQ(heard.size(), leaveOut ? 1u : 2u);
            for (ULONG node : heard)
                EXPECT_NE(std::find(volumes.begin(), volumes.end(), node), volumes.end())
                    << "an event for node " << node << ", which is no volume node";

            for (const uint8_t unit : {kRenderUnit, kCaptureUnit})
                ASSERT_TRUE(Controls().ChangeControl(unit, kMute, 0, 1));
            RunFor(200 * kMillisecond);
            heard = record.Nodes();
            ASSERT_EQ(heard.size(), (leaveOut ? 1u : 2u) + 2);
            std::vector<ULONG> muteEvents(heard.end() - 2, heard.end());
            std::sort(muteEvents.begin(), muteEvents.end());
            EXPECT_EQ(muteEvents, mutes);
        }
        RemoveAndCheck();
        SetUp();
    }
}

// ---- The status thread's reads ----

// The interface's bulk-IN pipe keeps a read pending beside the interrupt one: what arrives on
// it is dropped and the messages still come. When the interrupt read fails the thread ends,
// and takes its bulk read back first: the removal after it does not wait for ever on a read
// the device never answers, and nothing of either read is left.
TEST_F(Uac2FunctionE2e, ABulkReadStaysPendingBesideTheMessagesAndIsTakenBackWhenTheThreadEnds)
{
    const std::string statusEndpoint =
        "07 05 83 03 06 00 04  # endpoint 0x83: interrupt IN, 6 bytes (interrupt data message), every 1 ms\n";
    std::string text = sim::BuiltinProfileText("uac2-interface");
    text.replace(text.find("09 04 00 00 01 01 01 20 00"), 26, "09 04 00 00 02 01 01 20 00");
    text.replace(text.find(statusEndpoint), statusEndpoint.size(),
                 statusEndpoint + "    07 05 84 02 00 02 00\n");
    text.replace(text.find("09 02 1D 01 03"), 14, "09 02 24 01 03"); // 7 bytes more
    sim::DeviceProfile profile;
    std::string error;
    ASSERT_TRUE(sim::DeviceProfile::Parse(text, "uac2-bulk", ".", &profile, &error)) << error;
    for (bool interruptFails : {false, true})
    {
        SCOPED_TRACE(interruptFails ? "the interrupt read fails" : "both reads answered");
        LoadOn(profile);
        StartOk();
        ASSERT_FALSE(HasFatalFailure());
        const uint32_t bulkPolls = Device().InPolls(0x84);
        EXPECT_GE(bulkPolls, 1u) << "no bulk read was sent";
        for (int i = 0; i < 3; ++i)
            Device().QueueInData(0x84, std::vector<uint8_t>(64, uint8_t(i)));
        RunFor(50 * kMillisecond);
        EXPECT_GE(Device().InPolls(0x84), bulkPolls + 3) << "the bulk read was not sent again";
        if (interruptFails)
        {
            StallEndpoint(kStatusEndpoint);
            RunFor(50 * kMillisecond);
        }
        std::vector<ULONG> volumes = NodesOfType(KSNODETYPE_VOLUME);
        for (ULONG node : volumes)
        {
            ULONG subscription = 0;
            ASSERT_EQ(Panel().Subscribe(node, &subscription), STATUS_SUCCESS);
        }
        ASSERT_TRUE(Controls().ChangeControl(kRenderUnit, kVolume, 1, -512));
        RunFor(100 * kMillisecond);
        size_t events = 0;
        for (ULONG node : volumes)
            events += Panel().NodeNotificationCount(node);
        EXPECT_EQ(events, interruptFails ? 0u : 1u);
        // The removal stops the thread; the rig fails the test on anything left behind.
        RemoveAndCheck();
        SetUp();
    }
}

// Only an interrupt-IN pipe of exactly the message's six bytes carries messages: with any other
// size no read is ever sent and a change on the device goes unreported.
TEST_F(Uac2FunctionE2e, AStatusPipeOfAnotherSizeStartsNoThread)
{
    LoadOn(Amended("uac2-interface", "07 05 83 03 06 00 04", "07 05 83 03 08 00 04"));
    StartOk();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<ULONG> volumes = NodesOfType(KSNODETYPE_VOLUME);
    for (ULONG node : volumes)
    {
        ULONG subscription = 0;
        ASSERT_EQ(Panel().Subscribe(node, &subscription), STATUS_SUCCESS);
    }
    ASSERT_TRUE(Controls().ChangeControl(kRenderUnit, kVolume, 1, -768));
    RunFor(100 * kMillisecond);
    EXPECT_EQ(Device().InPolls(kStatusEndpoint), 0u);
    for (ULONG node : volumes)
        EXPECT_EQ(Panel().NodeNotificationCount(node), 0u);
}

// A plug on a terminal's connector arrives as a message for its connector control: the driver
// reads the connector and every endpoint installs or removes its wave subdevice.
TEST_F(Uac2FunctionE2e, APlugReportedOnTheConnectorInstallsTheEndpointsSubdevice)
{
    std::string text = sim::BuiltinProfileText("uac2-interface");
    text.replace(text.find("0C 24 03 03 03 06 00 02 0A 00 00 00"), 35, "0C 24 03 03 03 06 00 02 0A 04 00 00");
    text.replace(text.find("jack 3 connected"), 16, "jack 3 disconnected\njack-block 3 0x3:0x01014000");
    sim::DeviceProfile profile;
    std::string error;
    ASSERT_TRUE(sim::DeviceProfile::Parse(text, "uac2-jack", ".", &profile, &error)) << error;
    LoadOn(profile);
    StartOk();
    ASSERT_FALSE(HasFatalFailure());
    auto installed = [&]()
    {
        const std::vector<std::u16string> names = plat::PcRegisteredSubdevices(Fdo());
        return std::find(names.begin(), names.end(), u"LineOut00Wave") != names.end();
    };
    EXPECT_FALSE(installed()) << "installed while its jack is out";
    for (bool plugged : {true, false})
    {
        SCOPED_TRACE(plugged ? "plugged" : "pulled");
        const uint64_t since = LastSequence();
        ASSERT_TRUE(Controls().SetJackConnected(3, plugged));
        RunFor(100 * kMillisecond);
        EXPECT_FALSE(Requests(kClassInterfaceIn, kCur, 3, 2, 0, since).empty())
            << "the connector was not read";
        EXPECT_EQ(installed(), plugged);
    }
}

// Leaving D0 ends the status thread and the return starts it again: a change on the device
// after each return is reported once, and nothing of the earlier threads is left.
TEST_F(Uac2FunctionE2e, ThePowerCycleRestartsTheStatusThread)
{
    LoadOn("uac2-interface");
    StartOk();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<ULONG> volumes = NodesOfType(KSNODETYPE_VOLUME);
    for (ULONG node : volumes)
    {
        ULONG subscription = 0;
        ASSERT_EQ(Panel().Subscribe(node, &subscription), STATUS_SUCCESS);
    }
    auto events = [&]()
    {
        size_t total = 0;
        for (ULONG node : volumes)
            total += Panel().NodeNotificationCount(node);
        return total;
    };
    for (int cycle = 0; cycle < 2; ++cycle)
    {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
        const size_t before = events();
        ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
        RunFor(100 * kMillisecond);
        ASSERT_TRUE(Controls().ChangeControl(kRenderUnit, kVolume, 2, -1024 - 256 * cycle));
        RunFor(100 * kMillisecond);
        EXPECT_EQ(events(), before + 1);
    }
}

// ---- Subdevices after a pin-type change ----

// The pause before a re-installed subdevice comes back follows "UpdateMiniportDelay", but a
// value of minutes is held to five seconds.
TEST_F(Uac2FunctionE2e, AnOutputTypeChangePausesAsConfiguredButNoLongerThanFiveSeconds)
{
    const std::string terminal = "0C 24 03 03 03 06 00 02 0A 00 00 00";
    const std::string switchable = "0C 24 03 03 03 06 00 02 0A 04 00 00"; // connector readable
    const std::string extra = "terminal-types 3 0x0603 0x0301 current=0x0603\n"
                              "jack-block 3 type=0x0603 0x3:0x01014000\n"
                              "jack-block 3 type=0x0301 0x3:0x01014000\n";
    struct Row
    {
        ULONG DelayMs;
        ULONGLONG AtLeast100ns;
        ULONGLONG Below100ns;
    };
    const Row rows[] = {
        {200, 200 * kMillisecond, 1000 * kMillisecond},
        {600000, 5000 * kMillisecond, 6000 * kMillisecond},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE("delay " + std::to_string(row.DelayMs) + " ms");
        LoadOn(Amended("uac2-interface", terminal, switchable, extra));
        StartOk();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_FALSE(Requests(kClassInterfaceIn, kRange, 3, 8, 0).empty()) << "the type list was not asked";
        std::vector<ULONG> selectors = NodesOfType(KSNODETYPE_DEV_SPECIFIC);
        ASSERT_FALSE(selectors.empty());
        ASSERT_EQ(plat::RegSetValue(SettingsPath(), u"UpdateMiniportDelay", REG_BINARY, &row.DelayMs, 4),
                  STATUS_SUCCESS);
        const uint64_t since = LastSequence();
        const ULONGLONG before = KeQueryInterruptTime();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        for (ULONG node : selectors)
        {
            status = Panel().SetNodeLong(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, 1); // SPK
            if (NT_SUCCESS(status))
                break;
        }
        const ULONGLONG elapsed = KeQueryInterruptTime() - before;
        ASSERT_EQ(status, STATUS_SUCCESS);
        const std::vector<sim::ControlRecord> sets = Requests(kClassInterfaceOut, kCur, 3, 8, 0, since);
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].OutData, (std::vector<uint8_t>{0x01, 0x03})); // speaker, 0x0301
        EXPECT_GE(elapsed, row.AtLeast100ns);
        EXPECT_LT(elapsed, row.Below100ns);
        RemoveAndCheck();
        SetUp();
    }
}

// ---- Refusals ----

// What the class-2 design does not serve refuses the device, with a message that names what
// stopped it; nothing is left behind.
TEST_F(Uac2FunctionE2e, UnservedDevicesAreRefusedNamingTheEntityOrReply)
{
    struct Row
    {
        const char* Name;
        const char* Profile;
        const char* From; // a descriptor line amended, or nothing
        const char* To;
        int RewriteRange; // a RANGE reply of this entity rewritten to two sub-ranges, or -1
        NTSTATUS Status;
        const char* Why;
    };
    const Row rows[] = {
        {"clock selector", "uac2-clock-selector", nullptr, nullptr, -1, STATUS_UNSUCCESSFUL,
         "clock selector 12"},
        {"effect unit", "uac2-interface", "12 24 06 05 04", "12 24 07 05 04", -1, STATUS_UNSUCCESSFUL,
         "effect unit 5"},
        {"processing unit", "uac2-interface", "12 24 06 05 04", "12 24 08 05 04", -1, STATUS_UNSUCCESSFUL,
         "processing unit 5"},
        {"sample-rate converter", "uac2-interface", "12 24 06 05 04", "12 24 0D 05 04", -1,
         STATUS_UNSUCCESSFUL, "sample-rate converter 5"},
        {"two volume ranges", "uac2-interface", nullptr, nullptr, kRenderUnit, STATUS_UNSUCCESSFUL,
         "gives 2 ranges where the driver takes one"},
        {"continuous clock only", "uac2-interface", nullptr, nullptr, kClockId, STATUS_INVALID_PARAMETER,
         "offers no single sampling frequency"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        if (row.From)
            LoadOn(Amended(row.Profile, row.From, row.To));
        else
            LoadOn(row.Profile);
        if (row.RewriteRange >= 0)
        {
            const int entity = row.RewriteRange;
            RewriteControl(
                [entity](const plat::UsbSetupPacket& setup, plat::UsbControlAnswer* answer)
                {
                    if (setup.RequestType != kClassInterfaceIn || setup.Request != kRange ||
                        (setup.Index >> 8) != entity || answer->Outcome != plat::UsbHandshake::Ack)
                        return;
                    // Two sub-ranges: for a clock two continuous ones, for a level two of 16 bits.
                    const bool clock = entity == kClockId;
                    std::vector<UCHAR> reply = {2, 0};
                    const std::vector<UCHAR> clockRange = {0x44, 0xAC, 0, 0, 0x80, 0xBB, 0, 0, 1, 0, 0, 0};
                    const std::vector<UCHAR> levelRange = {0x00, 0xC0, 0x00, 0x00, 0x40, 0x00};
                    for (int i = 0; i < 2; ++i)
                        reply.insert(reply.end(), (clock ? clockRange : levelRange).begin(),
                                     (clock ? clockRange : levelRange).end());
                    reply.resize(std::min<size_t>(reply.size(), setup.Length));
                    answer->Data = reply;
                });
        }
        EXPECT_EQ(Start(), row.Status);
        EXPECT_NE(plat::DebugLogText().find(row.Why), std::string::npos) << plat::DebugLogText();
        RemoveAndCheck();
        SetUp();
    }
}

} // namespace
} // namespace e2e
