// Power through the plug-and-play host: D3 and back restores what the user set and re-checks
// the jacks; selective suspend enters D2 after idle periods in virtual time and a create on
// the enumeration interface wakes the device within the bounded waits. The timer resolution
// raises are counted throughout (the rig checks the balance at removal).
#include "e2e_rig.h"

#include "plat_io.h"
#include "plat_portcls.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"
#include "sim/host/io_client.h"

#include "driver/core/device_extension.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace e2e
{
namespace
{

constexpr ULONGLONG kSecond = 1000 * kMillisecond;

class PowerE2e : public DriverRig
{
protected:
    void SetUp() override
    {
        DriverRig::SetUp();
        m_Base = plat::TimerResolutionRaises();
    }
    LONG RaisesHeld() const { return plat::TimerResolutionRaises() - m_Base; }
    DEVICE_POWER_STATE State() { return plat::IoRecordedDevicePowerState(Fdo()); }

    // The one jack of a pin, as the filter describes it.
    bool JackConnected(const GUID& Pin)
    {
        std::vector<sim::PinInfo> pins;
        EXPECT_EQ(Panel().GetPins(&pins), STATUS_SUCCESS);
        for (const sim::PinInfo& p : pins)
        {
            if (p.Category != Pin)
                continue;
            sim::PropertyResult r = Panel().Property(sim::PropertyTarget::OnPin(p.Id), KSPROPSETID_Jack,
                                                     KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, 64);
            EXPECT_EQ(r.Status, STATUS_SUCCESS);
            KSJACK_DESCRIPTION d = {};
            if (r.Value.size() >= sizeof(KSMULTIPLE_ITEM) + sizeof(d))
                std::memcpy(&d, r.Value.data() + sizeof(KSMULTIPLE_ITEM), sizeof(d));
            return d.IsConnected != 0;
        }
        ADD_FAILURE() << "no such pin";
        return false;
    }

    LONG m_Base = 0;
};

TEST_F(PowerE2e, D3AndBackRestoresTheValuesTheUserSet)
{
    LoadOn("uac1-speaker");
    StartOk();
    EXPECT_EQ(RaisesHeld(), 1);
    const ULONG volume = NodeUpstreamOf(KSNODETYPE_SPEAKER, KSNODETYPE_VOLUME);
    const ULONG mute = NodeUpstreamOf(KSNODETYPE_SPEAKER, KSNODETYPE_MUTE);
    ASSERT_EQ(Panel().SetNodeLong(volume, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 0, Db(-20)),
              STATUS_SUCCESS);
    ASSERT_EQ(Panel().SetNodeLong(mute, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, 1), STATUS_SUCCESS);
    ClosePanel();

    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(State(), PowerDeviceD3);
    EXPECT_EQ(RaisesHeld(), 0);
    // The device forgets its settings while unpowered.
    ASSERT_TRUE(Controls().ChangeControl(2, kVolume, 0, -40 * 256));
    ASSERT_TRUE(Controls().ChangeControl(2, kMute, 0, 0));

    const uint64_t since = LastSequence();
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_EQ(RaisesHeld(), 1);
    EXPECT_FALSE(Requests(kClassInterfaceOut, kSetCur, 2, kVolume, 0, since).empty());
    EXPECT_FALSE(Requests(kClassInterfaceOut, kSetCur, 2, kMute, 0, since).empty());
    EXPECT_EQ(DeviceValue(2, kVolume, 0), -20 * 256);
    EXPECT_EQ(DeviceValue(2, kMute, 0), 1);

    // D0 again while in D0 changes nothing.
    const uint64_t again = LastSequence();
    ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(Requests(kClassInterfaceOut, kSetCur, -1, -1, -1, again).empty());
    EXPECT_EQ(RaisesHeld(), 1);
}

// Jacks changed while the device sleeps are re-read on its return, and the endpoints' wave
// subdevices and physical connections installed at start come through the power cycle
// registered once each, with the microphone unplugged and plugged back alike (the line input
// on the same capture path has no jack switch, so capture keeps its filter).
TEST_F(PowerE2e, D0ReChecksJacksChangedInD3)
{
    LoadOn("uac1-mixer");
    StartOk();
    EXPECT_TRUE(JackConnected(KSNODETYPE_MICROPHONE));
    ClosePanel();
    const std::vector<std::u16string> installed{u"GlobalTopo", u"SPKOut00Wave", u"RecIn00Wave"};
    EXPECT_EQ(plat::PcRegisteredSubdevices(Fdo()), installed);
    EXPECT_EQ(plat::PcRegisteredConnectionCount(Fdo()), 2u);
    for (bool plugged : {false, true})
    {
        SCOPED_TRACE(plugged ? "plugged back" : "unplugged");
        ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
        ASSERT_TRUE(Controls().SetJackConnected(4, plugged));
        const uint64_t since = LastSequence();
        ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
        RunFor(100 * kMillisecond); // the status thread's sweep after its restart
        // Vendor jack-state read (0x81, value 0x0200) of the microphone terminal.
        EXPECT_FALSE(Requests(0xC1, 0x81, 4, 0x02, 0x00, since).empty()) << "the jack was not re-checked";
        EXPECT_EQ(JackConnected(KSNODETYPE_MICROPHONE), plugged);
        EXPECT_EQ(plat::PcRegisteredSubdevices(Fdo()), installed);
        EXPECT_EQ(plat::PcRegisteredConnectionCount(Fdo()), 2u);
        ClosePanel();
    }
}

// A wave subdevice follows its jack: the speaker pulled takes the render filter and its
// connection away, plugged back in brings them back under the same name; alike whether the
// device reports the change at once or it happens while the device sleeps in D3.
TEST_F(PowerE2e, WaveSubdevicesFollowTheSpeakerJackAwakeAndThroughD3)
{
    LoadOn("uac1-mixer");
    StartOk();
    ClosePanel();
    auto registered = [this]
    {
        std::vector<std::u16string> names = plat::PcRegisteredSubdevices(Fdo());
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::u16string> both{u"GlobalTopo", u"RecIn00Wave", u"SPKOut00Wave"};
    const std::vector<std::u16string> captureOnly{u"GlobalTopo", u"RecIn00Wave"};
    EXPECT_EQ(registered(), both);
    for (bool throughD3 : {false, true})
    {
        for (bool plugged : {false, true})
        {
            SCOPED_TRACE(std::string(throughD3 ? "through D3, " : "awake, ") +
                         (plugged ? "plugged" : "pulled"));
            if (throughD3)
            {
                ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
            }
            ASSERT_TRUE(Controls().SetJackConnected(3, plugged));
            if (throughD3)
            {
                ASSERT_EQ(Pnp().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
            }
            RunFor(100 * kMillisecond);
            EXPECT_EQ(registered(), plugged ? both : captureOnly);
            EXPECT_EQ(plat::PcRegisteredConnectionCount(Fdo()), plugged ? 2u : 1u);
        }
    }
}

TEST_F(PowerE2e, SelectiveSuspendEntersD2WhenIdleAndACreateWakesTheDevice)
{
    LoadOn("uac1-speaker");
    ASSERT_EQ(plat::RegSetDword(plat::IoDeviceParametersKeyPath(Pdo()), u"SelectiveSuspendEnabled", 1),
              STATUS_SUCCESS);
    StartOk();
    RunFor(kSecond * 51 / 10);
    ASSERT_TRUE(Device().Bus().SignalIdle()) << "no idle request after an idle period";
    EXPECT_EQ(State(), PowerDeviceD2);
    EXPECT_NE(std::find(Pnp().PdoPowerStates().begin(), Pnp().PdoPowerStates().end(), PowerDeviceD2),
              Pnp().PdoPowerStates().end());
    EXPECT_EQ(RaisesHeld(), 0);

    const ULONGLONG before = KeQueryInterruptTime();
    std::unique_ptr<sim::ClientHandle> handle;
    EXPECT_EQ(
        sim::ClientHandle::Open(GUID_DEVINTERFACE_ENUM_PRIVATE, u"QXEnumPrivateInterface", &handle, Pdo()),
        STATUS_SUCCESS);
    EXPECT_LT(KeQueryInterruptTime() - before, kSecond) << "the create waited past both bounded waits";
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_EQ(RaisesHeld(), 1);
    handle.reset();

    // Idle again: another idle request, another suspend.
    RunFor(kSecond * 51 / 10);
    ASSERT_TRUE(Device().Bus().SignalIdle());
    EXPECT_EQ(State(), PowerDeviceD2);
    EXPECT_EQ(RaisesHeld(), 0);
}

TEST_F(PowerE2e, WithoutTheSettingTheDeviceNeverAsksToSuspend)
{
    LoadOn("uac1-speaker");
    StartOk();
    RunFor(30 * kSecond);
    EXPECT_FALSE(Device().Bus().SignalIdle());
    EXPECT_EQ(State(), PowerDeviceD0);
    EXPECT_EQ(RaisesHeld(), 1);
}

} // namespace
} // namespace e2e
