// The command-line runner run as a user runs it: its exit code, its report and its complaints.
// The runner sits beside the test executables in the build tree (tools/uacsim/uacsim).
#include <gtest/gtest.h>

#include "sim/profiles/profile.h"
#include "uacsim_run.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using uacsim_test::Contains;
using uacsim_test::RunResult;
using uacsim_test::RunUacsim;

std::string FirstRealDump()
{
    const std::string dir = std::string(UACSIM_SOURCE_DIR) + "/../shared/real-devices";
    std::vector<std::string> dumps;
    if (DIR* d = opendir(dir.c_str()))
    {
        while (dirent* entry = readdir(d))
        {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
                dumps.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(dumps.begin(), dumps.end());
    for (const std::string& path : dumps)
    {
        sim::DeviceProfile profile;
        std::string error;
        if (sim::LoadProfile(path, &profile, &error) && profile.AudioControlProtocol() == 0)
            return path;
    }
    return "";
}

// Every built-in profile is listed with a description of its own, indented under its line.
TEST(UacsimRunner, DevicesListsEveryBuiltinProfile)
{
    RunResult run = RunUacsim("devices");
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    const std::vector<std::string> names = sim::BuiltinProfileNames();
    ASSERT_FALSE(names.empty());
    std::vector<std::string> descriptions;
    for (const std::string& name : names)
    {
        SCOPED_TRACE(name);
        const size_t line = run.Out.find(name + " ");
        ASSERT_NE(line, std::string::npos) << run.Out;
        size_t at = run.Out.find('\n', line) + 1;
        std::string description;
        while (run.Out.compare(at, 4, "    ") == 0)
        {
            const size_t end = run.Out.find('\n', at);
            description += run.Out.substr(at + 4, end - at - 4) + " ";
            at = end + 1;
        }
        EXPECT_GT(description.size(), 40u) << run.Out;
        EXPECT_EQ(std::count(descriptions.begin(), descriptions.end(), description), 0) << description;
        descriptions.push_back(description);
    }
}

TEST(UacsimRunner, TopologyStartsAndRemovesEveryBuiltinClass1Device)
{
    int tried = 0;
    for (const std::string& name : sim::BuiltinProfileNames())
    {
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::LoadBuiltinProfile(name, &profile, &error)) << error;
        if (profile.AudioControlProtocol() != 0)
            continue;
        SCOPED_TRACE(name);
        ++tried;
        RunResult run = RunUacsim("topology --device " + name);
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        EXPECT_TRUE(Contains(run.Out, "topology filter GlobalTopo")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "wave subdevices:")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, "removed cleanly")) << run.Out;
        // Every control the report asks for is one the node has.
        EXPECT_FALSE(Contains(run.Out, "unreadable")) << run.Out;
        EXPECT_FALSE(Contains(run.Out, "no tone control answers")) << run.Out;
    }
    EXPECT_GT(tried, 0);
}

// The rates of every type-I FORMAT_TYPE descriptor of the configuration, with what the report
// must say of its shape ("2 ch, 16-bit (16 valid), PCM").
std::vector<std::pair<std::string, std::string>> TypeIFormats(const sim::DeviceProfile& Profile)
{
    std::vector<std::pair<std::string, std::string>> formats;
    const std::vector<uint8_t>& bytes = Profile.ConfigurationDescriptor();
    bool streaming = false; // inside an audio-streaming interface, where subtype 2 is FORMAT_TYPE
    for (size_t at = 0; at + 8 <= bytes.size() && bytes[at] >= 2; at += bytes[at])
    {
        const uint8_t* d = bytes.data() + at;
        if (d[1] == 0x04)
            streaming = d[5] == 0x01 && d[6] == 0x02;
        if (!streaming || d[1] != 0x24 || d[2] != 0x02 || d[3] != 0x01 || d[7] == 0 ||
            at + d[0] > bytes.size())
            continue;
        std::string rates;
        for (int r = 0; r < d[7] && 8 + 3 * r + 3 <= d[0]; ++r)
            rates += " " + std::to_string(d[8 + 3 * r] | d[9 + 3 * r] << 8 | d[10 + 3 * r] << 16);
        formats.emplace_back(std::to_string(d[4]) + " ch, " + std::to_string(d[5] * 8) + "-bit (" +
                                 std::to_string(d[6]) + " valid), PCM",
                             ":" + rates + " Hz\n");
    }
    return formats;
}

TEST(UacsimRunner, TopologyListsTheFormatsOfEveryEndpoint)
{
    sim::DeviceProfile profile;
    std::string error;
    ASSERT_TRUE(sim::LoadBuiltinProfile("uac1-headset", &profile, &error)) << error;
    const auto formats = TypeIFormats(profile);
    ASSERT_GE(formats.size(), 3u); // two render shapes and one capture
    RunResult run = RunUacsim("topology --device uac1-headset");
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    for (const auto& format : formats)
    {
        const size_t line = run.Out.find("    " + format.first);
        ASSERT_NE(line, std::string::npos) << format.first << "\n" << run.Out;
        const size_t end = run.Out.find('\n', line);
        EXPECT_EQ(run.Out.substr(end + 1 - format.second.size(), format.second.size()), format.second)
            << run.Out.substr(line, end - line);
    }
}

// A refusal piped with the report reads in the order it happened: the device, then why it
// did not start. The effects model refuses a feature unit without a mute control.
TEST(UacsimRunner, ReportAndComplaintsKeepTheirOrderInOnePipe)
{
    std::string text = sim::BuiltinProfileText("uac1-variant-d6");
    const std::string unit = "0A 24 06 02 01 01 03 00 00 00";
    ASSERT_NE(text.find(unit), std::string::npos);
    text.replace(text.find(unit), unit.size(), "0A 24 06 02 01 01 02 00 00 00");
    char path[] = "/tmp/uacsim-refused-XXXXXX";
    close(mkstemp(path));
    const std::string file = std::string(path) + ".profile";
    std::rename(path, file.c_str());
    std::ofstream(file) << text;
    RunResult run = RunUacsim("topology --device " + file, true);
    std::remove(file.c_str());
    EXPECT_NE(run.ExitCode, 0);
    const size_t device = run.Out.find("device ");
    const size_t refusal = run.Out.find("did not start");
    ASSERT_NE(device, std::string::npos) << run.Out;
    ASSERT_NE(refusal, std::string::npos) << run.Out;
    EXPECT_LT(device, refusal) << run.Out;
}

// The effects model's two vendor controls show as effect nodes with their switches.
TEST(UacsimRunner, TopologyShowsTheEffectNodesOfTheEffectsModel)
{
    RunResult run = RunUacsim("topology --device uac1-variant-d5");
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, " delay effect: off\n")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, " virtualiser effect: off\n")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "8 ch, 16-bit (16 valid), PCM (0x0001), mask 0x63F: 44100 48000 Hz"))
        << run.Out;
    RunResult headset = RunUacsim("topology --device uac1-variant-d6");
    ASSERT_EQ(headset.ExitCode, 0) << headset.Err;
    EXPECT_FALSE(Contains(headset.Out, " effect: ")) << headset.Out;
}

TEST(UacsimRunner, TopologyRunsOnARealDeviceDump)
{
    const std::string dump = FirstRealDump();
    if (dump.empty())
        GTEST_SKIP() << "no class-1 descriptor dump beside the project";
    RunResult run = RunUacsim("topology --device " + dump);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "removed cleanly")) << run.Out;
}

// A dump whose render path has no streaming terminal the topology filter carries: the start
// is refused with the endpoint named, and the runner ends with none of the driver's threads
// left waiting (it once stopped in the stand-in's deadlock report instead).
TEST(UacsimRunner, ADeviceRefusedPartWayThroughItsStartLeavesNothingRunning)
{
    const std::string dump =
        std::string(UACSIM_SOURCE_DIR) + "/fuzz/seeds/render-path-without-streaming-terminal-fails-start.bin";
    RunResult run = RunUacsim("topology --device " + dump);
    EXPECT_EQ(run.ExitCode, 1) << run.Out << run.Err;
    EXPECT_TRUE(Contains(run.Err, "endpoint SPKOut00 (streaming interface 1): no pin of the topology filter"))
        << run.Err;
    EXPECT_FALSE(Contains(run.Err, "deadlock")) << run.Err;
}

// Settings and formats the driver leaves out: the device starts, each endpoint offers what it
// can, and the report shows the driver's lines that say what was left out and why.
struct LeftOutCase
{
    const char* Name;
    const char* Profile;  // a built-in profile, edited below
    const char* Original; // its descriptor bytes as built
    const char* Edited;   // the same descriptor, edited
    const char* Endpoint; // the report's line for the endpoint concerned
    const char* Offers;   // a format line it still shows, or nullptr
    const char* Driver;   // the start of the driver's line
};

// name, profile, original descriptor, edited descriptor, endpoint line, a format kept, driver line
const LeftOutCase kLeftOut[] = {
    {"FloatOnlyCaptureSetting", "uac2-interface", "10 24 01 06 00 01 01 00 00 00 02 03",
     "10 24 01 06 00 01 04 00 00 00 02 03", // IEEE float only
     "LineIn00     not installed: it has no format a wave filter can offer", nullptr,
     "    CUac2Device: alternate setting 1 of streaming interface 2 carries type-I formats 0x00000004"},
    {"RenderPacketTooSmallForTheTopRate", "uac1-speaker", "09 05 01 09 C4 00 01 00 00",
     "09 05 01 09 B4 00 01 00 00", // 180 bytes: 45 frames of 16-bit stereo
     "SPKOut00     installed as SPKOut00Wave", "2 ch, 16-bit (16 valid), PCM (0x0001), mask 0x3: 44100 Hz\n",
     "    CUsbAudioStream: endpoint 0x01 of alternate setting 1 of streaming interface 1 takes packets of "
     "180 bytes; a packet of 48000 Hz, 2 x 16-bit (mask 0x3) takes 192: the format is not offered"},
};

TEST(UacsimRunner, TopologyShowsWhatTheDriverLeftOutAndWhy)
{
    for (const LeftOutCase& c : kLeftOut)
    {
        SCOPED_TRACE(c.Name);
        std::string text = sim::BuiltinProfileText(c.Profile);
        const size_t at = text.find(c.Original);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, std::string(c.Original).size(), c.Edited);
        char path[] = "/tmp/uacsim-left-out-XXXXXX";
        close(mkstemp(path));
        const std::string file = std::string(path) + ".profile";
        std::rename(path, file.c_str());
        std::ofstream(file) << text;
        RunResult run = RunUacsim("topology --device " + file);
        std::remove(file.c_str());
        ASSERT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_TRUE(Contains(run.Out, c.Endpoint)) << run.Out;
        if (c.Offers)
        {
            EXPECT_TRUE(Contains(run.Out, c.Offers)) << run.Out;
        }
        EXPECT_TRUE(Contains(run.Out, std::string("  driver debug output at start:\n") + c.Driver))
            << run.Out;
    }
}

} // namespace
