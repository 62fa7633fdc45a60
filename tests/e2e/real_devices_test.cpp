// The descriptor dumps of real devices beside the project, and the built-in profiles: each one
// either starts, with a readable topology filter, one endpoint per streaming interface and the
// formats its row pins, or is refused with the status its row names; either way removal leaves
// nothing behind.
#include "e2e_rig.h"

#include "plat_debug.h"

#include <fstream>
#include <set>

namespace e2e
{
namespace
{

struct KnownDevice
{
    const char* Device; // a dump in the real-device folder (".bin") or a built-in profile's name
    NTSTATUS Status;    // of the start
    const char* Why;    // what the driver's message names when it refuses the device
    const char* Offers; // what a started device's endpoints offer (OfferedFormats), every format kept
};

// device, start status, reason named on refusal, then what a started device offers: every
// format a device offers is pinned here, so a check that narrows the format lists cannot take
// one away unseen
const KnownDevice kKnownDevices[] = {
    {"dev01-uac1.bin", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 44100 | MicIn00 2x16 0x3: 44100 | MicIn00 2x16 0x0: 44100"},
    {"dev02-uac1.bin", STATUS_NOT_SUPPORTED, "has no mute control", nullptr},
    {"dev03-uac1.bin", STATUS_SUCCESS, nullptr,
     "MicIn00 1x16 0x4: 8000 11025 16000 22050 32000 44100 48000 | "
     "MicIn00 1x16 0x0: 8000 11025 16000 22050 32000 44100 48000"},
    {"dev04-uac1.bin", STATUS_SUCCESS, nullptr, "SPKOut00 2x24 0x3: 48000"},
    {"dev05-uac1.bin", STATUS_NOT_SUPPORTED, "has no mute control", nullptr},
    {"dev06-uac1.bin", STATUS_SUCCESS, nullptr,
     "MicIn00 2x16 0x3: 48000 | MicIn00 2x16 0x0: 48000 | SPKOut00 2x16 0x3: 44100 48000 | "
     "SPKOut00 2x24 0x3: 44100 48000"},
    {"dev07-uac1.bin", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 96000 48000 44100 32000 24000 22050 16000 12000 11025 8000 | "
     "SPKOut00 2x24 0x3: 96000 48000 44100 32000 24000 22050 16000 12000 11025 8000 | "
     "MicIn00 2x16 0x3: 48000 44100 32000 24000 22050 16000 12000 11025 8000 | "
     "MicIn00 2x16 0x0: 48000 44100 32000 24000 22050 16000 12000 11025 8000 | "
     "MicIn00 2x24 0x3: 48000 44100 32000 24000 22050 16000 12000 11025 8000 | "
     "MicIn00 2x24 0x0: 48000 44100 32000 24000 22050 16000 12000 11025 8000"},
    {"dev08-uac1.bin", STATUS_SUCCESS, nullptr,
     "MicIn00 2x16 0x3: 44100 48000 | MicIn00 2x16 0x0: 44100 48000 | MicIn00 2x24 0x3: 44100 48000 | "
     "MicIn00 2x24 0x0: 44100 48000 | SPKOut00 2x16 0x3: 8000 16000 32000 44100 48000 96000 | "
     "SPKOut00 2x24 0x3: 44100 48000 96000"},
    {"dev09-uac1.bin", STATUS_UNSUCCESSFUL, "extension unit", nullptr},
    {"dev10-uac1.bin", STATUS_SUCCESS, nullptr,
     "SPDIFIn00 2x16 0x3: 8000 16000 32000 44100 48000 96000 | "
     "SPDIFIn00 2x16 0x0: 8000 16000 32000 44100 48000 96000 | "
     "SPDIFIn00 2x24 0x3: 8000 16000 32000 44100 48000 96000 | "
     "SPDIFIn00 2x24 0x0: 8000 16000 32000 44100 48000 96000 | "
     "SPDIFOut00 2x16 0x3: 32000 44100 48000 96000 | SPDIFOut00 2x24 0x3: 32000 44100 48000 96000 | "
     "SPDIFOut00 2x16 #0092 0x3: 48000 | SPDIFOut00 2x16 #0164 0x3: 48000"},
    {"dev11-uac1.bin", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x24 0x3: 48000 | AuxIn00 2x24 0x3: 48000 | AuxIn00 2x24 0x0: 48000"},
    {"dev12-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40", nullptr},
    {"dev13-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40", nullptr},
    {"dev14-uac2.bin", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 44100 48000 96000 | SPKOut00 2x24 0x3: 44100 48000 96000"},
    {"dev15-uac1-2.bin", STATUS_UNSUCCESSFUL, "clock selector 40", nullptr},
    {"dev16-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40", nullptr},
    {"dev17-uac1-2.bin", STATUS_NOT_SUPPORTED, "feature unit 10 has no mute control", nullptr},
    {"dev18-uac2.bin", STATUS_UNSUCCESSFUL, "clock source 16 did not give the sampling frequencies", nullptr},
    {"dev19-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40", nullptr},
    {"dev20-uac2.bin", STATUS_UNSUCCESSFUL, "clock selector 40", nullptr},
    {"dev21-uac1-2.bin", STATUS_INVALID_PARAMETER,
     "first audio-control interface 0 is a release-1.0 function whose header lists interface 1 (MIDI "
     "streaming); interface 3 belongs to the audio function of interfaces 2 to 4",
     nullptr},
    {"uac1-speaker", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 44100 48000 | SPKOut00 2x24 0x3: 44100 48000"},
    {"uac1-headset", STATUS_SUCCESS, nullptr,
     "HPOut00 2x16 0x3: 44100 48000 | HPOut00 2x24 0x3: 44100 48000 | MicIn00 1x16 0x4: 44100 48000 | "
     "MicIn00 1x16 0x0: 44100 48000"},
    {"uac1-mixer", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 44100 48000 | RecIn00 2x16 0x3: 44100 48000 | RecIn00 2x16 0x0: 44100 48000"},
    {"uac2-interface", STATUS_SUCCESS, nullptr,
     "LineOut00 8x32/24 0x63F: 44100 48000 96000 | LineIn00 2x32/24 0x3: 44100 48000 96000"},
    {"uac2-interface-fs", STATUS_SUCCESS, nullptr,
     "LineOut00 8x16 0x63F: 44100 48000 | LineIn00 2x16 0x3: 44100 48000"},
    {"uac2-clock-selector", STATUS_UNSUCCESSFUL, "clock selector 12", nullptr},
    {"uac1-variant-a", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 44100 48000 | SPKOut00 4x16 0x33: 44100 48000 | SPKOut00 6x16 0x3F: 44100 48000 | "
     "RecIn00 2x16 0x3: 44100 48000 | RecIn00 2x16 0x0: 44100 48000"},
    {"uac1-variant-b", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 44100 48000 | MicIn00 1x16 0x4: 44100 48000 | MicIn00 1x16 0x0: 44100 48000"},
    {"uac1-variant-c", STATUS_SUCCESS, nullptr,
     "HPOut00 2x16 0x3: 44100 48000 | MicIn00 1x16 0x4: 44100 48000 | MicIn00 1x16 0x0: 44100 48000"},
    {"uac1-variant-d5", STATUS_SUCCESS, nullptr,
     "SPKOut00 2x16 0x3: 44100 48000 | SPKOut00 6x16 0x3F: 44100 48000 | "
     "SPKOut00 8x16 0x63F: 44100 48000 | SPKOut00 2x24 0x3: 44100 48000 | "
     "SPKOut00 6x24 0x3F: 44100 48000 | MicIn00 1x16 0x4: 44100 48000 | MicIn00 1x16 0x0: 44100 48000"},
    {"uac1-variant-d6", STATUS_SUCCESS, nullptr,
     "HPOut00 2x16 0x3: 44100 48000 | HPOut00 2x24 0x3: 44100 48000 | MicIn00 1x16 0x4: 44100 48000 | "
     "MicIn00 1x16 0x0: 44100 48000"},
    {"uac1-headset-asio", STATUS_SUCCESS, nullptr,
     "HPOut00 2x16 0x3: 44100 48000 | HPOut00 2x24 0x3: 44100 48000 | MicIn00 1x16 0x4: 44100 48000 | "
     "MicIn00 1x16 0x0: 44100 48000"},
};

std::string Hex(NTSTATUS Status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", unsigned(Status));
    return text;
}

class RealDeviceE2e : public DriverRig, public ::testing::WithParamInterface<KnownDevice>
{
};

bool IsDump(const KnownDevice& Row)
{
    const std::string name = Row.Device;
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0;
}

TEST_P(RealDeviceE2e, StartsOrIsRefusedAsItsRowSays)
{
    const KnownDevice& row = GetParam();
    const std::string path = IsDump(row) ? rig::RealDevicesFolder() + "/" + row.Device : row.Device;
    if (IsDump(row) && !std::ifstream(path).good())
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
        EXPECT_EQ(OfferedFormats(Adapter()), row.Offers) << "driver output:\n" << plat::DebugLogText();
    }
    else
    {
        EXPECT_NE(plat::DebugLogText().find(row.Why), std::string::npos)
            << "the refusal should name \"" << row.Why << "\"; driver output:\n"
            << plat::DebugLogText();
    }
}

std::string RowName(const ::testing::TestParamInfo<KnownDevice>& Info)
{
    std::string name = Info.param.Device;
    name = name.substr(0, name.rfind(".bin"));
    for (char& c : name)
        if (c == '-')
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Shared, RealDeviceE2e, ::testing::ValuesIn(kKnownDevices), RowName);

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

// A dump added to the folder, or a profile to the built-in ones, gets a row too, so no device
// goes untried.
TEST(RealDeviceTable, EveryDumpInTheFolderHasARow)
{
    const std::vector<std::string> dumps = rig::RealDumps(-1);
    if (dumps.empty())
        GTEST_SKIP() << "no " << rig::RealDevicesFolder();
    std::set<std::string> rows, files;
    for (const KnownDevice& row : kKnownDevices)
        if (IsDump(row))
            rows.insert(row.Device);
    for (const std::string& path : dumps)
        files.insert(path.substr(path.rfind('/') + 1));
    EXPECT_EQ(files, rows);
}

TEST(RealDeviceTable, EveryBuiltinProfileHasARow)
{
    std::set<std::string> rows;
    for (const KnownDevice& row : kKnownDevices)
        if (!IsDump(row))
            rows.insert(row.Device);
    const std::vector<std::string> names = sim::BuiltinProfileNames();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), rows);
}

} // namespace
} // namespace e2e
