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

// Exit codes, one rule for every command: the job was done; the command or its input is wrong
// (the command line, the profile, the file, or a device without what the command needs: no
// render or capture endpoint, no ASIO endpoint, a format it does not offer, an output file that
// cannot be written); the run failed (the driver did not start or go away cleanly, the audio
// did not arrive as sent).
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

using CommandRunner = int (*)(const CommandLine& Line, std::FILE* Out, std::FILE* Err);

struct Command
{
    const char* Name;
    const char* About; // one line for the help
    const char* File;  // what the positional file is, for the help; null when it takes none
    bool WritesFile;   // the positional file is written, so it must be writable before the run
    unsigned Takes;    // CommandOption bits it accepts
    unsigned Needs;    // CommandOption bits it cannot do without
    CommandRunner Run;
};

// The command named Name; null when there is none.
const Command* FindCommand(const std::string& Name);

enum class ParseResult
{
    Run,     // Line holds the command and its options
    Help,    // Text is the help asked for: print it and exit 0
    Refused, // Text says what is wrong and where the help is: print it to stderr and exit 2
};

// Parses argv[1..]. `uacsim help [command]`, `--help` and `-h` anywhere ask for help, of the
// command when one is named.
ParseResult ParseCommandLine(const std::vector<std::string>& Args, CommandLine* Line, std::string* Text);

// Empty when Path can be written as a new or replaced file, else why not. Leaves the file
// system as it found it, so a run refused later leaves no empty file behind.
std::string WhyNotWritable(const std::string& Path);
// Whether two names reach one existing file (through links or another spelling of the path).
bool SameFile(const std::string& A, const std::string& B);

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
