// The descriptor dumps of real devices beside the project: each one either starts, with a
// readable topology filter and one endpoint per streaming interface, or is refused with the
// status its row names; either way removal leaves nothing behind.
#include "e2e_rig.h"

#include "plat_debug.h"

#include <fstream>
#include <set>

namespace e2e
{
namespace
{

struct RealDump
{
    const char* File;
    NTSTATUS Status; // of the start
    const char* Why; // what the driver's message names when it refuses the device
};

// file                 start status                   reason named on refusal
const RealDump kRealDumps[] = {
    {"dev01-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev02-uac1.bin", STATUS_NOT_SUPPORTED, "has no mute control"},
    {"dev03-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev04-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev05-uac1.bin", STATUS_NOT_SUPPORTED, "has no mute control"},
    {"dev06-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev07-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev08-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev09-uac1.bin", STATUS_UNSUCCESSFUL, "extension unit"},
    {"dev10-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev11-uac1.bin", STATUS_SUCCESS, nullptr},
    {"dev12-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40"},
    {"dev13-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40"},
    {"dev14-uac2.bin", STATUS_SUCCESS, nullptr},
    {"dev15-uac1-2.bin", STATUS_UNSUCCESSFUL, "clock selector 40"},
    {"dev16-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40"},
    {"dev17-uac1-2.bin", STATUS_NOT_SUPPORTED, "feature unit 10 has no mute control"},
    {"dev18-uac2.bin", STATUS_UNSUCCESSFUL, "clock source 16 did not give the sampling frequencies"},
    {"dev19-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40"},
    {"dev20-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40"},
    {"dev21-uac1-2.bin", STATUS_INVALID_PARAMETER,
     "first audio-control interface 0 is a release-1.0 function whose header lists interface 1 (MIDI "
     "streaming); "
     "interface 3 belongs to the audio function of interfaces 2 to 4"},
};

std::string Hex(NTSTATUS Status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", unsigned(Status));
    return text;
}

class RealDeviceE2e : public DriverRig, public ::testing::WithParamInterface<RealDump>
{
};

TEST_P(RealDeviceE2e, StartsOrIsRefusedAsItsRowSays)
{
    const RealDump& row = GetParam();
    const std::string path = rig::RealDevicesFolder() + "/" + row.File;
    if (!std::ifstream(path).good())
        GTEST_SKIP() << "no " << path;
    LoadOn(path);
    const NTSTATUS status = Start();
    ASSERT_EQ(Hex(status), Hex(row.Status)) << "driver output:\n" << plat::DebugLogText();
    if (NT_SUCCESS(status))
    {
        // A started device shows a readable filter whose pins all lead somewhere.
        const ExpectedTopology filter = TopologyFromFilter(Panel());
        EXPECT_FALSE(filter.Pins.empty());
        EXPECT_FALSE(filter.Paths.empty());
        EXPECT_EQ(EndpointNames().size(), StreamingInterfaceCount(Profile()));
    }
    else
    {
        EXPECT_NE(plat::DebugLogText().find(row.Why), std::string::npos)
            << "the refusal should name \"" << row.Why << "\"; driver output:\n"
            << plat::DebugLogText();
    }
}

std::string RowName(const ::testing::TestParamInfo<RealDump>& Info)
{
    std::string name = Info.param.File;
    name = name.substr(0, name.rfind('.'));
    for (char& c : name)
        if (c == '-')
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Shared, RealDeviceE2e, ::testing::ValuesIn(kRealDumps), RowName);

// The output terminal of dev14 announces a readable connector but its dump has no jack block:
// the device reports one jack over the terminal's own channels, whose plug the connector tells;
// made to refuse the block, the device is refused naming the terminal.
class RealDeviceJacks : public DriverRig
{
protected:
    // The jack of the speaker pin as the topology filter describes it.
    NTSTATUS SpeakerJack(KSJACK_DESCRIPTION* Jack)
    {
        std::vector<sim::PinInfo> pins;
        EXPECT_EQ(Panel().GetPins(&pins), STATUS_SUCCESS);
        for (const sim::PinInfo& p : pins)
            if (p.Category == KSNODETYPE_SPEAKER)
            {
                const ULONG size = sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION);
                sim::PropertyResult reply =
                    Panel().Property(sim::PropertyTarget::OnPin(p.Id), KSPROPSETID_Jack,
                                     KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, size);
                if (NT_SUCCESS(reply.Status) && reply.Value.size() >= size)
                    std::memcpy(Jack, reply.Value.data() + sizeof(KSMULTIPLE_ITEM), sizeof(*Jack));
                return reply.Status;
            }
        return STATUS_NOT_FOUND;
    }
    // dev14 from its dump, with extra profile lines; false when the dump is absent.
    bool LoadDev14(const std::string& Extra)
    {
        const std::string path = rig::RealDevicesFolder() + "/dev14-uac2.bin";
        if (!std::ifstream(path).good())
            return false;
        sim::DeviceProfile profile;
        std::string error;
        EXPECT_TRUE(sim::DeviceProfile::Parse("dump " + path + "\n" + Extra, "dev14", "", &profile, &error))
            << error;
        LoadOn(profile);
        return true;
    }
};

TEST_F(RealDeviceJacks, Dev14ReportsItsOutputTerminalsOwnJackWhichTheConnectorSenses)
{
    if (!LoadDev14(""))
        GTEST_SKIP() << "no dev14-uac2.bin";
    ASSERT_EQ(Hex(Start()), Hex(STATUS_SUCCESS)) << plat::DebugLogText();
    KSJACK_DESCRIPTION jack = {};
    ASSERT_EQ(SpeakerJack(&jack), STATUS_SUCCESS);
    EXPECT_EQ(jack.ChannelMapping, 0x3u); // the two channels of its streaming interface
    EXPECT_TRUE(jack.IsConnected);
    ASSERT_TRUE(Controls().SetJackConnected(7, false));
    RunFor(100 * kMillisecond); // the status endpoint reports the plug; the pin refreshes its jacks
    ASSERT_EQ(SpeakerJack(&jack), STATUS_SUCCESS);
    EXPECT_FALSE(jack.IsConnected);
}

TEST_F(RealDeviceJacks, Dev14IsRefusedNamingTheTerminalWhenItsJackBlockStalls)
{
    if (!LoadDev14("jack-block 7 stall\n"))
        GTEST_SKIP() << "no dev14-uac2.bin";
    EXPECT_EQ(Hex(Start()), Hex(STATUS_UNSUCCESSFUL));
    EXPECT_NE(plat::DebugLogText().find("output terminal 7 announces a readable connector but refused the "
                                        "request for its jack block"),
              std::string::npos)
        << plat::DebugLogText();
}

// A dump added to the folder gets a row too, so no device goes untried.
TEST(RealDeviceTable, EveryDumpInTheFolderHasARow)
{
    const std::vector<std::string> dumps = rig::RealDumps(-1);
    if (dumps.empty())
        GTEST_SKIP() << "no " << rig::RealDevicesFolder();
    std::set<std::string> rows, files;
    for (const RealDump& row : kRealDumps)
        rows.insert(row.File);
    for (const std::string& path : dumps)
        files.insert(path.substr(path.rfind('/') + 1));
    EXPECT_EQ(files, rows);
}

} // namespace
} // namespace e2e
