// uacsim: runs the driver on a simulated USB audio device from the command line.
#include "tools/uacsim/commands.h"

#include <exception>

int main(int argc, char** argv)
{
    // Whole lines reach a pipe at once, so the driver's own debug output (UACSIM_DEBUG=1, on
    // stderr) falls between report lines, not inside one.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every input the commands know of is refused with its own message; this only keeps an
    // unforeseen throw from ending the process without a word about what it was doing.
    try
    {
        std::vector<std::string> args(argv + 1, argv + argc);
        uacsim::CommandLine line;
        std::string text;
        switch (uacsim::ParseCommandLine(args, &line, &text))
        {
        case uacsim::ParseResult::Help:
            std::fputs(text.c_str(), stdout);
            return uacsim::kExitOk;
        case uacsim::ParseResult::Refused:
            std::fputs(text.c_str(), stderr);
            return uacsim::kExitUsage;
        case uacsim::ParseResult::Run:
            break;
        }
        return uacsim::FindCommand(line.Command)->Run(line, stdout, stderr);
    }
    catch (const std::exception& error)
    {
        std::fflush(stdout);
        std::fprintf(stderr, "uacsim: the run stopped on an unexpected error: %s\n", error.what());
        return uacsim::kExitFailure;
    }
    catch (...)
    {
        std::fflush(stdout);
        std::fprintf(stderr, "uacsim: the run stopped on an unexpected error\n");
        return uacsim::kExitFailure;
    }
}
