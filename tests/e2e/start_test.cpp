// Starting a class-1 device end to end: the topology filter against the device's descriptors,
// the endpoint names and subdevice registrations, the private interfaces, and removal.
#include "e2e_rig.h"

#include "sim/host/audio_engine.h"

#include "plat_io.h"
#include "plat_portcls.h"
#include "portcls.h"
#include "sim/host/io_client.h"

#include "driver/core/device_extension.h"

#include <algorithm>

namespace e2e
{
namespace
{

using StartE2e = DriverRig;

const char* const kClass1Profiles[] = {"uac1-speaker", "uac1-headset", "uac1-mixer"};

std::vector<std::string> Narrow(const std::vector<std::u16string>& names)
{
    std::vector<std::string> out;
    for (const std::u16string& n : names)
        out.push_back(std::string(n.begin(), n.end()));
    return out;
}

// The driver's own interfaces, by reference string: the topology filter also carries the
// enumeration class among its categories.
const char16_t kEnumReference[] = u"QXEnumPrivateInterface";
const char16_t kAsioReference[] = u"QXASIOPrivateInterface";

bool InterfaceEnabled(PDEVICE_OBJECT Pdo, const GUID& Class, const std::u16string& Reference)
{
    for (const plat::DeviceInterfaceRecord& r : plat::IoListDeviceInterfaces())
        if ((Pdo == nullptr || r.Pdo == Pdo) && r.InterfaceClass == Class && r.ReferenceString == Reference &&
            r.Enabled)
            return true;
    return false;
}

// The built-in speaker announcing itself as the model whose probe bytes ask for the ASIO
// interface (configuration bits 0x0E, not refused).
sim::DeviceProfile AsioSpeaker()
{
    std::string text = sim::BuiltinProfileText("uac1-speaker");
    const std::string id = "string 0x50 \"0100-SPK\"";
    text.replace(text.find(id), id.size(), "string 0x50 \"QXR710\"");
    text += "vendor 0xC3 0 0x1A 0 data 0E\nvendor 0xC3 0 0x20 0 data 01\n";
    sim::DeviceProfile profile;
    std::string error;
    EXPECT_TRUE(sim::DeviceProfile::Parse(text, "uac1-speaker-asio", "", &profile, &error)) << error;
    return profile;
}

// ---- The topology filter against the descriptors ----

TEST_F(StartE2e, TopologyFilterShowsWhatTheDescriptorsAnnounce)
{
    for (const char* name : kClass1Profiles)
    {
        SCOPED_TRACE(name);
        LoadOn(name);
        StartOk();
        const ExpectedTopology expected = TopologyFromDescriptors(Profile());
        const ExpectedTopology actual = TopologyFromFilter(Panel());
        EXPECT_TRUE(actual.Pins == expected.Pins) << "expected\n"
                                                  << Describe(expected) << "got\n"
                                                  << Describe(actual);
        EXPECT_EQ(actual.NodeTypes, expected.NodeTypes);
        EXPECT_TRUE(actual.Paths == expected.Paths) << "expected\n"
                                                    << Describe(expected) << "got\n"
                                                    << Describe(actual);
        RemoveAndCheck();
        SetUp();
    }
}

TEST_F(StartE2e, EveryEndpointIsNamedAfterItsTerminal)
{
    for (const char* name : kClass1Profiles)
    {
        SCOPED_TRACE(name);
        LoadOn(name);
        StartOk();
        EXPECT_EQ(Narrow(EndpointNames()), TopologyFromDescriptors(Profile()).EndpointNames);
        RemoveAndCheck();
        SetUp();
    }
}

// Each endpoint with a connected jack gets a wave filter under its endpoint name, tied to the
// topology filter by one physical connection; the filters are found by the audio engine under
// their render or capture category.
TEST_F(StartE2e, EveryConnectedEndpointGetsAWaveFilterAndAConnection)
{
    LoadOn("uac1-headset");
    StartOk();
    std::vector<plat::PcRegistrationEntry> log = plat::PcRegistrationLog(Fdo());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].Name, u"GlobalTopo");
    std::vector<std::u16string> subdevices = plat::PcRegisteredSubdevices(Fdo());
    std::vector<std::u16string> waves(subdevices.begin() + 1, subdevices.end());
    std::vector<std::u16string> want;
    for (const std::u16string& name : EndpointNames())
        want.push_back(name + u"Wave");
    std::sort(waves.begin(), waves.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(waves, want);
    EXPECT_EQ(plat::PcRegisteredConnectionCount(Fdo()), want.size());
    size_t capture = 0;
    for (const sim::WaveFilterInfo& f : sim::AudioPin::EnumerateWaveFilters(Pdo()))
        capture += f.Capture ? 1 : 0;
    EXPECT_EQ(sim::AudioPin::EnumerateWaveFilters(Pdo()).size(), want.size());
    EXPECT_GE(capture, 1u);
}

// ---- Private interfaces ----

TEST_F(StartE2e, EnumerationInterfaceAlwaysAndAsioOnlyForAFlaggedEndpoint)
{
    const struct
    {
        sim::DeviceProfile Profile;
        bool Asio;
    } rows[] = {
        {[]
         {
             sim::DeviceProfile p;
             std::string e;
             sim::LoadBuiltinProfile("uac1-speaker", &p, &e);
             return p;
         }(),
         false},
        {AsioSpeaker(), true},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Profile.Name());
        LoadOn(row.Profile);
        EXPECT_FALSE(InterfaceEnabled(Pdo(), GUID_DEVINTERFACE_ENUM_PRIVATE, kEnumReference))
            << "enabled before start";
        StartOk();
        EXPECT_TRUE(InterfaceEnabled(Pdo(), GUID_DEVINTERFACE_ENUM_PRIVATE, kEnumReference));
        EXPECT_EQ(InterfaceEnabled(Pdo(), GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference), row.Asio);
        std::unique_ptr<sim::ClientHandle> handle;
        EXPECT_EQ(sim::ClientHandle::Open(GUID_DEVINTERFACE_ENUM_PRIVATE, u"QXEnumPrivateInterface", &handle,
                                          Pdo()),
                  STATUS_SUCCESS);
        handle.reset();
        RemoveAndCheck();
        SetUp();
    }
}

// ---- Removal ----

TEST_F(StartE2e, RemovalAndSurpriseRemovalLeaveNothingBehind)
{
    for (bool surprise : {false, true})
        for (const char* name : kClass1Profiles)
        {
            SCOPED_TRACE(std::string(name) + (surprise ? " surprise" : ""));
            LoadOn(name);
            StartOk();
            // Touch every part of the driver a user reaches before pulling the plug.
            EXPECT_FALSE(TopologyFromFilter(Panel()).NodeTypes.empty());
            RemoveAndCheck(surprise);
            EXPECT_FALSE(InterfaceEnabled(nullptr, GUID_DEVINTERFACE_ENUM_PRIVATE, kEnumReference));
            SetUp();
        }
}

TEST_F(StartE2e, SurpriseRemovalTakesThePrivateInterfacesDown)
{
    LoadOn("uac1-headset");
    StartOk();
    ASSERT_EQ(Pnp().SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_FALSE(InterfaceEnabled(Pdo(), GUID_DEVINTERFACE_ENUM_PRIVATE, kEnumReference));
    std::unique_ptr<sim::ClientHandle> handle;
    EXPECT_NE(
        sim::ClientHandle::Open(GUID_DEVINTERFACE_ENUM_PRIVATE, u"QXEnumPrivateInterface", &handle, Pdo()),
        STATUS_SUCCESS);
}

TEST_F(StartE2e, StopAndRestartKeepTheEndpointCountersGoing)
{
    LoadOn("uac1-headset");
    StartOk();
    EXPECT_EQ(Narrow(EndpointNames()), (std::vector<std::string>{"HPOut00", "MicIn00"}));
    ClosePanel();
    ASSERT_EQ(Pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().Stop(), STATUS_SUCCESS);
    StartOk();
    EXPECT_EQ(Narrow(EndpointNames()), (std::vector<std::string>{"HPOut01", "MicIn01"}));
    EXPECT_EQ(TopologyFromFilter(Panel()).NodeTypes, TopologyFromDescriptors(Profile()).NodeTypes);
}

} // namespace
} // namespace e2e
