// `uacsim asio` run as a user runs it: a companion session on every built-in device that serves
// ASIO, class 1 and class 2, reports each ring bit-exact against the device's record and a
// clean removal; a device without an ASIO endpoint is refused with the reason.
#include <gtest/gtest.h>

#include "uacsim_run.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{

uacsim_test::RunResult RunAsioCommand(const std::string& device)
{
    return uacsim_test::RunUacsim("asio --device " + device, true);
}

// The report line that starts with Prefix, or "" when there is none.
std::string LineStarting(const std::string& out, const std::string& prefix)
{
    const size_t at = out.find("\n" + prefix);
    if (at == std::string::npos)
        return "";
    const size_t end = out.find('\n', at + 1);
    return out.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

// Each built-in device that serves ASIO: the type the session chose, and every ring it maps
// (in the device's order) reported bit-exact.
struct AsioRunnerCase
{
    const char* Device;
    const char* Format;             // the session's rate and chosen sample type
    std::vector<std::string> Rings; // the start of each ring's report line
};

class UacsimAsioDevices : public testing::TestWithParam<AsioRunnerCase>
{
};

TEST_P(UacsimAsioDevices, ASessionStreamsEveryRingBitExactAndRemovesCleanly)
{
    const AsioRunnerCase& c = GetParam();
    uacsim_test::RunResult run = RunAsioCommand(c.Device);
    EXPECT_EQ(run.ExitCode, 0) << run.Out;
    EXPECT_NE(run.Out.find(c.Format), std::string::npos) << run.Out;
    for (const std::string& ring : c.Rings)
    {
        const std::string line = LineStarting(run.Out, ring);
        const std::string verdict = "bit-exact: yes";
        EXPECT_TRUE(line.size() > verdict.size() &&
                    line.compare(line.size() - verdict.size(), verdict.size(), verdict) == 0)
            << ring << "\n"
            << run.Out;
    }
    EXPECT_EQ(run.Out.find("bit-exact: no"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("removed cleanly"), std::string::npos) << run.Out;
}

// device, format line, rings
const AsioRunnerCase kAsioRunnerCases[] = {
    {"uac1-headset-asio",
     "48000 Hz, 16-bit,",
     {"render ring 0 -> endpoint 0x01: 2 channels,", "capture ring 1 <- endpoint 0x82: 1 channels,"}},
    {"uac2-interface", "48000 Hz, 24 bits in 32,", {"capture ring 0 <- endpoint 0x82: 2 channels,"}},
    {"uac2-interface-fs", "48000 Hz, 16-bit,", {"capture ring 0 <- endpoint 0x82: 2 channels,"}},
};

INSTANTIATE_TEST_SUITE_P(BuiltIn, UacsimAsioDevices, testing::ValuesIn(kAsioRunnerCases),
                         [](const testing::TestParamInfo<AsioRunnerCase>& info)
                         {
                             std::string name = info.param.Device;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(UacsimAsio, ADeviceWithoutAnAsioEndpointIsRefused)
{
    uacsim_test::RunResult run = RunAsioCommand("uac1-speaker");
    // The device lacks what the command needs: the input is wrong, as for play and record.
    EXPECT_EQ(run.ExitCode, 2) << run.Out;
    EXPECT_NE(run.Out.find("no endpoint serves ASIO"), std::string::npos) << run.Out;
}

} // namespace
