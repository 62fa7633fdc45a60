// uacsim: runs the driver on a simulated USB audio device from the command line.
#include "tools/uacsim/commands.h"

#include "plat_sched.h"

namespace
{

const char kUsage[] = "usage: uacsim devices\n"
                      "       uacsim topology --device <profile name | profile file | descriptor dump .bin>"
                      " [--realtime]\n"
                      "       uacsim asio --device <profile name | profile file | descriptor dump .bin>"
                      " [--realtime]\n";

} // namespace

int main(int argc, char** argv)
{
    // Whole lines reach a pipe at once, so the driver's own debug output (UACSIM_DEBUG=1, on
    // stderr) falls between report lines, not inside one.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> args(argv + 1, argv + argc);
    uacsim::CommandLine line;
    std::string error;
    if (!uacsim::ParseCommandLine(args, &line, &error))
    {
        std::fprintf(stderr, "uacsim: %s\n%s", error.c_str(), kUsage);
        return uacsim::kExitUsage;
    }
    if (line.Command == "devices")
        return uacsim::RunDevices(stdout);
    if (line.Command == "asio")
        return uacsim::RunAsio(line, stdout, stderr);
    return uacsim::RunTopology(line, stdout, stderr);
}
