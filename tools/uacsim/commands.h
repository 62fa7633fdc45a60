// The runner's commands. Each returns the process exit code and writes its report to Out and
// its complaints to Err.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace uacsim
{

// Exit codes: the job was done; the command line or the profile was wrong; the driver or the
// teardown failed.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

struct CommandLine
{
    std::string Command;
    std::string Device;    // --device
    bool Realtime = false; // --realtime
};

// Parses argv[1..]; false with a message for anything it does not know.
bool ParseCommandLine(const std::vector<std::string>& Args, CommandLine* Line, std::string* Error);

int RunDevices(std::FILE* Out);
int RunTopology(const CommandLine& Line, std::FILE* Out, std::FILE* Err);

} // namespace uacsim
