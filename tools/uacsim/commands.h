// The runner's commands. Each returns the process exit code and writes its report to Out and
// its complaints to Err. Every command lives in its own cmd_<name>.cpp and has one row in the
// command table (command_line.cpp), which says which options it takes and which it needs.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace uacsim
{

// Exit codes: the job was done; the command line, the profile or the input was wrong; the
// driver, the audio or the teardown failed.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

// The options a command may take, as bits of its table row.
enum CommandOption : unsigned
{
    kOptionDevice = 1u << 0,   // --device P
    kOptionRealtime = 1u << 1, // --realtime
    kOptionFile = 1u << 2,     // one positional file name
    kOptionSeconds = 1u << 3,  // --seconds S
    kOptionOut = 1u << 4,      // --out FILE
    kOptionEffect = 1u << 5,   // --effect virtualiser|delay|off
};

struct CommandLine
{
    std::string Command;
    std::string Device;    // --device
    bool Realtime = false; // --realtime
    std::string File;      // the positional file
    double Seconds = 0;    // --seconds, > 0 when given
    std::string Out;       // --out
    std::string Effect;    // --effect: "virtualiser", "delay" or "off"; empty when not given
};

struct CommandLineError
{
    std::string Message;
    std::string Usage; // the usage of the command it concerns, or of every command
};

using CommandRunner = int (*)(const CommandLine& Line, std::FILE* Out, std::FILE* Err);

struct Command
{
    const char* Name;
    const char* Arguments; // what follows the name, for the usage text
    unsigned Takes;        // CommandOption bits it accepts
    unsigned Needs;        // CommandOption bits it cannot do without
    CommandRunner Run;
};

// The command named Name; null when there is none.
const Command* FindCommand(const std::string& Name);
// "usage: uacsim devices\n       uacsim topology ...\n", or the one line of Only.
std::string UsageText(const Command* Only = nullptr);

// Parses argv[1..]; false with a message for anything it does not know. A request for help
// ("help", "--help" or "-h") parses as the command "help" with File naming what to explain.
bool ParseCommandLine(const std::vector<std::string>& Args, CommandLine* Line, CommandLineError* Error);

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

int RunDevices(const CommandLine& Line, std::FILE* Out, std::FILE* Err);
int RunTopology(const CommandLine& Line, std::FILE* Out, std::FILE* Err);
int RunPlay(const CommandLine& Line, std::FILE* Out, std::FILE* Err);
int RunRecord(const CommandLine& Line, std::FILE* Out, std::FILE* Err);
int RunAsio(const CommandLine& Line, std::FILE* Out, std::FILE* Err);

} // namespace uacsim
