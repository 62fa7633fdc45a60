// The runner's commands. Each returns the process exit code and writes its report to Out and
// its complaints to Err.
#pragma once

#include <cstdarg>
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

// Writes a complaint to Err after everything already written to Out, so that the report and
// the complaints keep their order when both streams go to one pipe or file.
inline void __attribute__((format(printf, 3, 4)))
Complain(std::FILE* Out, std::FILE* Err, const char* Format, ...)
{
    std::fflush(Out);
    va_list args;
    va_start(args, Format);
    std::vfprintf(Err, Format, args);
    va_end(args);
    std::fflush(Err);
}

int RunDevices(std::FILE* Out);
int RunTopology(const CommandLine& Line, std::FILE* Out, std::FILE* Err);
int RunAsio(const CommandLine& Line, std::FILE* Out, std::FILE* Err);

} // namespace uacsim
