// Command-line parsing of the runner and its command table.
#include "tools/uacsim/commands.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace uacsim
{
namespace
{

// One row per command: name, arguments for the usage text, options taken, options needed, and
// the function that runs it. A new command is one row here and one cmd_<name>.cpp.
const Command kCommands[] = {
    {"devices", "", 0, 0, RunDevices},
    {"topology", "--device <P> [--realtime]", kOptionDevice | kOptionRealtime, kOptionDevice, RunTopology},
    {"play", "<file.wav> --device <P> [--effect virtualiser|delay|off] [--out <got.wav>] [--realtime]",
     kOptionFile | kOptionDevice | kOptionOut | kOptionRealtime | kOptionEffect, kOptionFile | kOptionDevice,
     RunPlay},
    {"record", "<file.wav> --device <P> --seconds <S> [--realtime]",
     kOptionFile | kOptionDevice | kOptionSeconds | kOptionRealtime,
     kOptionFile | kOptionDevice | kOptionSeconds, RunRecord},
    {"asio", "--device <P> [--realtime]", kOptionDevice | kOptionRealtime, kOptionDevice, RunAsio},
};

// Recording is held in memory; an hour of 8-channel 192 kHz 32-bit audio is about 22 GB, so the
// bound is a day of virtual time at most and the memory check is the user's.
constexpr double kMaxSeconds = 24 * 3600;

bool ParseSeconds(const std::string& Text, double* Seconds, std::string* Error)
{
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(Text.c_str(), &end);
    if (Text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0 ||
        value > kMaxSeconds)
    {
        *Error = "--seconds needs a number of seconds above 0 and at most 86400, not '" + Text + "'";
        return false;
    }
    *Seconds = value;
    return true;
}

// What a command does not take, named as the user wrote it.
std::string NotTaken(const Command& Cmd, const std::string& Arg)
{
    return std::string(Cmd.Name) + " does not take " + Arg;
}

bool ParseOptions(const Command& Cmd, const std::vector<std::string>& Args, CommandLine* Line,
                  std::string* Error)
{
    unsigned seen = 0;
    for (size_t i = 1; i < Args.size(); ++i)
    {
        const std::string& arg = Args[i];
        const bool hasValue = i + 1 < Args.size();
        unsigned option = 0;
        if (arg == "--device")
            option = kOptionDevice;
        else if (arg == "--seconds")
            option = kOptionSeconds;
        else if (arg == "--out")
            option = kOptionOut;
        else if (arg == "--realtime")
            option = kOptionRealtime;
        else if (arg == "--effect")
            option = kOptionEffect;
        else if (!arg.empty() && arg[0] != '-')
            option = kOptionFile;
        else
        {
            *Error = "unknown argument '" + arg + "'";
            return false;
        }
        if (!(Cmd.Takes & option))
        {
            *Error =
                option == kOptionFile ? NotTaken(Cmd, "a file name ('" + arg + "')") : NotTaken(Cmd, arg);
            if (Cmd.Takes == 0)
                *Error = std::string(Cmd.Name) + " takes no options";
            return false;
        }
        if (seen & option)
        {
            *Error = option == kOptionFile ? "one file only: '" + Line->File + "' and '" + arg + "'"
                                           : arg + " given twice";
            return false;
        }
        seen |= option;
        if (option == kOptionFile)
            Line->File = arg;
        else if (option == kOptionRealtime)
            Line->Realtime = true;
        else if (!hasValue)
        {
            *Error = arg + " needs a value";
            return false;
        }
        else if (option == kOptionDevice)
            Line->Device = Args[++i];
        else if (option == kOptionOut)
            Line->Out = Args[++i];
        else if (option == kOptionEffect)
        {
            Line->Effect = Args[++i];
            if (Line->Effect != "virtualiser" && Line->Effect != "delay" && Line->Effect != "off")
            {
                *Error = "--effect is virtualiser, delay or off, not '" + Line->Effect + "'";
                return false;
            }
        }
        else if (!ParseSeconds(Args[++i], &Line->Seconds, Error))
            return false;
    }
    const unsigned missing = Cmd.Needs & ~seen;
    if (missing & kOptionFile)
        *Error = std::string(Cmd.Name) + " needs a WAV file";
    else if (missing & kOptionDevice)
        *Error = std::string(Cmd.Name) + " needs --device";
    else if (missing & kOptionSeconds)
        *Error = std::string(Cmd.Name) + " needs --seconds";
    return missing == 0;
}

bool IsHelp(const std::string& Arg)
{
    return Arg == "help" || Arg == "--help" || Arg == "-h";
}

} // namespace

const Command* FindCommand(const std::string& Name)
{
    for (const Command& cmd : kCommands)
        if (Name == cmd.Name)
            return &cmd;
    return nullptr;
}

std::string UsageText(const Command* Only)
{
    std::string text;
    for (const Command& cmd : kCommands)
    {
        if (Only && Only != &cmd)
            continue;
        text += text.empty() ? "usage: uacsim " : "       uacsim ";
        text += cmd.Name;
        if (*cmd.Arguments)
            text += std::string(" ") + cmd.Arguments;
        text += "\n";
    }
    if (!Only)
        text += "<P> is a built-in profile name (see `uacsim devices`), a profile file or a descriptor dump "
                ".bin\n";
    return text;
}

bool ParseCommandLine(const std::vector<std::string>& Args, CommandLine* Line, CommandLineError* Error)
{
    if (Args.empty())
    {
        Error->Message = "no command given";
        Error->Usage = UsageText();
        return false;
    }
    // `uacsim help`, `uacsim --help`, `uacsim play --help`.
    for (size_t i = 0; i < Args.size(); ++i)
        if (IsHelp(Args[i]))
        {
            Line->Command = "help";
            Line->File = i > 0 ? Args[0] : (i + 1 < Args.size() ? Args[i + 1] : "");
            return true;
        }
    Line->Command = Args[0];
    const Command* cmd = FindCommand(Line->Command);
    if (!cmd)
    {
        Error->Message = "unknown command '" + Line->Command + "'";
        Error->Usage = UsageText();
        return false;
    }
    if (!ParseOptions(*cmd, Args, Line, &Error->Message))
    {
        Error->Usage = UsageText(cmd);
        return false;
    }
    return true;
}

} // namespace uacsim
