// Command-line parsing of the runner.
#include "tools/uacsim/commands.h"

namespace uacsim
{

bool ParseCommandLine(const std::vector<std::string>& Args, CommandLine* Line, std::string* Error)
{
    if (Args.empty())
    {
        *Error = "no command given";
        return false;
    }
    Line->Command = Args[0];
    if (Line->Command != "devices" && Line->Command != "topology" && Line->Command != "asio")
    {
        *Error = "unknown command '" + Line->Command + "'";
        return false;
    }
    for (size_t i = 1; i < Args.size(); ++i)
    {
        const std::string& arg = Args[i];
        if (arg == "--device" && i + 1 < Args.size())
            Line->Device = Args[++i];
        else if (arg == "--realtime")
            Line->Realtime = true;
        else
        {
            *Error = arg == "--device" ? "--device needs a value" : "unknown argument '" + arg + "'";
            return false;
        }
    }
    if (Line->Command == "devices" && (!Line->Device.empty() || Line->Realtime))
    {
        *Error = "devices takes no options";
        return false;
    }
    if (Line->Command != "devices" && Line->Device.empty())
    {
        *Error = Line->Command + " needs --device";
        return false;
    }
    return true;
}

} // namespace uacsim
