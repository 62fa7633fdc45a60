// uacsim: runs the driver on a simulated USB audio device from the command line.
#include "tools/uacsim/commands.h"

int main(int argc, char** argv)
{
    // Whole lines reach a pipe at once, so the driver's own debug output (UACSIM_DEBUG=1, on
    // stderr) falls between report lines, not inside one.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> args(argv + 1, argv + argc);
    uacsim::CommandLine line;
    uacsim::CommandLineError error;
    if (!uacsim::ParseCommandLine(args, &line, &error))
    {
        std::fprintf(stderr, "uacsim: %s\n%s", error.Message.c_str(), error.Usage.c_str());
        return uacsim::kExitUsage;
    }
    if (line.Command == "help")
    {
        const uacsim::Command* about = uacsim::FindCommand(line.File);
        std::fputs(uacsim::UsageText(about).c_str(), stdout);
        return uacsim::kExitOk;
    }
    return uacsim::FindCommand(line.Command)->Run(line, stdout, stderr);
}
