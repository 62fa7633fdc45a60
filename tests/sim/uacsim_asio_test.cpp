// `uacsim asio` run as a user runs it: a companion session on the headset that serves ASIO
// reports both rings bit-exact against the device's record and a clean removal; a device
// without an ASIO endpoint is refused with the reason.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct RunResult
{
    int ExitCode = -1;
    std::string Out;
};

RunResult RunAsioCommand(const std::string& device)
{
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string runner(self, n > 0 ? size_t(n) : 0);
    runner = runner.substr(0, runner.rfind('/')) + "/../tools/uacsim/uacsim";
    char outPath[] = "/tmp/uacsim-asio-XXXXXX";
    close(mkstemp(outPath));
    const std::string command =
        "UACSIM_CLOCK=virtual " + runner + " asio --device " + device + " >" + outPath + " 2>&1";
    int status = std::system(command.c_str());
    RunResult run;
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(outPath);
    run.Out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    unlink(outPath);
    return run;
}

TEST(UacsimAsio, ASessionStreamsBothRingsBitExactAndRemovesCleanly)
{
    RunResult run = RunAsioCommand("uac1-headset-asio");
    EXPECT_EQ(run.ExitCode, 0) << run.Out;
    EXPECT_NE(run.Out.find("render ring 0 -> endpoint 0x01: 2 channels"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("lead-in 0 bytes, bit-exact: yes"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("the device's signal bit-exact: yes"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("removed cleanly"), std::string::npos) << run.Out;
}

TEST(UacsimAsio, ADeviceWithoutAnAsioEndpointIsRefused)
{
    RunResult run = RunAsioCommand("uac1-speaker");
    EXPECT_EQ(run.ExitCode, 1) << run.Out;
    EXPECT_NE(run.Out.find("no endpoint serves ASIO"), std::string::npos) << run.Out;
}

} // namespace
