// A control turned on the simulated device (a knob, a button) travels back through the status
// interrupt endpoint: the driver re-reads it (the GET_CUR in the device's log) and raises one
// control-change event on the node that carries it.
#include "e2e_rig.h"

#include <algorithm>

namespace e2e
{
namespace
{

using ControlChangeE2e = DriverRig;

// Every node of the filter gets a subscription, so that events on the wrong node show.
std::vector<ULONG> SubscribeAll(sim::ControlPanel& Panel)
{
    std::vector<sim::NodeInfo> nodes;
    EXPECT_EQ(Panel.GetNodes(&nodes), STATUS_SUCCESS);
    std::vector<ULONG> subscribed;
    for (const sim::NodeInfo& n : nodes)
    {
        ULONG subscription = 0;
        if (NT_SUCCESS(Panel.Subscribe(n.Id, &subscription)))
            subscribed.push_back(n.Id);
    }
    return subscribed;
}

TEST_F(ControlChangeE2e, AVolumeTurnedOnTheDeviceRaisesOneEventOnItsNode)
{
    LoadOn("uac1-headset");
    StartOk();
    const ULONG volume = NodeUpstreamOf(KSNODETYPE_HEADPHONES, KSNODETYPE_VOLUME);
    const ULONG micVolume = NodeUpstreamOf(KSNODETYPE_MICROPHONE, KSNODETYPE_VOLUME);
    const ULONG micMute = NodeUpstreamOf(KSNODETYPE_MICROPHONE, KSNODETYPE_MUTE);
    ASSERT_NE(volume, ~0u);
    std::vector<ULONG> subscribed = SubscribeAll(Panel());
    ASSERT_NE(std::find(subscribed.begin(), subscribed.end(), volume), subscribed.end());
    RunFor(100 * kMillisecond);
    ASSERT_EQ(Panel().NodeNotificationCount(volume), 0u) << "an event before anything changed";

    const int32_t turned = Profile().Control(2, kVolume, 0).Cur - 30 * 128; // 15 dB down
    const uint64_t since = LastSequence();
    ASSERT_TRUE(Controls().ChangeControl(2, kVolume, 0, turned));
    RunFor(200 * kMillisecond);
    EXPECT_EQ(Panel().NodeNotificationCount(volume), 1u);
    // The unit's other controls may be re-read and reported with it; another unit's never.
    EXPECT_EQ(Panel().NodeNotificationCount(micVolume), 0u);
    EXPECT_EQ(Panel().NodeNotificationCount(micMute), 0u);
    EXPECT_FALSE(Requests(kClassInterfaceIn, kGetCur, 2, kVolume, 0, since).empty())
        << "the driver never re-read it";
    LONG level = 0;
    EXPECT_EQ(Panel().GetNodeLong(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level),
              STATUS_SUCCESS);
    EXPECT_EQ(level, turned * kDriverUnitsPerDeviceUnit);

    // Turning it to where it already is reports nothing.
    ASSERT_TRUE(Controls().ChangeControl(2, kVolume, 0, turned));
    RunFor(200 * kMillisecond);
    EXPECT_EQ(Panel().NodeNotificationCount(volume), 1u);
}

TEST_F(ControlChangeE2e, ASwitchFlippedOnTheDeviceIsReportedOnTheRightUnitOnly)
{
    LoadOn("uac1-mixer");
    StartOk();
    const ULONG micMute = NodeUpstreamOf(KSNODETYPE_MICROPHONE, KSNODETYPE_MUTE);
    const ULONG lineMute = NodeUpstreamOf(KSNODETYPE_LINE_CONNECTOR, KSNODETYPE_MUTE);
    const ULONG speakerMute = NodeUpstreamOf(KSNODETYPE_SPEAKER, KSNODETYPE_MUTE);
    ASSERT_NE(micMute, ~0u);
    ASSERT_NE(lineMute, micMute);
    SubscribeAll(Panel());
    RunFor(100 * kMillisecond);
    ASSERT_EQ(Panel().NodeNotificationCount(micMute), 0u) << "an event before anything changed";

    const uint64_t since = LastSequence();
    ASSERT_TRUE(Controls().ChangeControl(5, kMute, 0, 1));
    RunFor(200 * kMillisecond);
    EXPECT_EQ(Panel().NodeNotificationCount(micMute), 1u);
    EXPECT_EQ(Panel().NodeNotificationCount(lineMute), 0u);
    EXPECT_EQ(Panel().NodeNotificationCount(speakerMute), 0u);
    EXPECT_FALSE(Requests(kClassInterfaceIn, kGetCur, 5, kMute, 0, since).empty());
    EXPECT_TRUE(Requests(kClassInterfaceIn, kGetCur, 11, -1, -1, since).empty())
        << "an unchanged unit was re-read";
    LONG muted = 0;
    EXPECT_EQ(Panel().GetNodeLong(micMute, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, &muted),
              STATUS_SUCCESS);
    EXPECT_EQ(muted, 1);
}

// A halted status endpoint ends the reports, not the device: a user's change still reaches it,
// and the next start reads the endpoint again.
TEST_F(ControlChangeE2e, AStalledStatusEndpointStopsTheReportsUntilTheNextStart)
{
    LoadOn("uac1-headset");
    StartOk();
    const ULONG volume = NodeUpstreamOf(KSNODETYPE_HEADPHONES, KSNODETYPE_VOLUME);
    SubscribeAll(Panel());
    StallEndpoint(Device().StatusInterrupt().AddressOf(0));
    RunFor(100 * kMillisecond);
    uint64_t since = LastSequence();
    ASSERT_TRUE(Controls().ChangeControl(2, kVolume, 0, Profile().Control(2, kVolume, 0).Cur - 256));
    RunFor(200 * kMillisecond);
    EXPECT_EQ(Panel().NodeNotificationCount(volume), 0u);
    EXPECT_TRUE(Requests(kClassInterfaceIn, kGetCur, 2, kVolume, 0, since).empty());
    EXPECT_EQ(Panel().SetNodeLong(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-20)),
              STATUS_SUCCESS);
    EXPECT_EQ(DeviceValue(2, kVolume, 0), -20 * 256);

    ClosePanel();
    ASSERT_EQ(Pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(), STATUS_SUCCESS);
    StartOk();
    since = LastSequence();
    ASSERT_TRUE(Controls().ChangeControl(2, kVolume, 0, -10 * 256));
    RunFor(200 * kMillisecond);
    EXPECT_FALSE(Requests(kClassInterfaceIn, kGetCur, 2, kVolume, 0, since).empty());
}

} // namespace
} // namespace e2e
