// `uacsim devices`: the profiles built into the simulator, with what each describes: its
// release, speed and identifiers, then the comment that heads its text.
#include "tools/uacsim/commands.h"

#include "sim/profiles/profile.h"

#include <cstring>

namespace uacsim
{
namespace
{

// The profile's leading "# " lines, each indented under its name.
std::string About(const char* Text)
{
    std::string about;
    while (Text && Text[0] == '#')
    {
        const char* end = std::strchr(Text, '\n');
        const size_t length = end ? size_t(end - Text) : std::strlen(Text);
        const size_t skip = length > 1 && Text[1] == ' ' ? 2 : 1;
        about += "    " + std::string(Text + skip, length - skip) + "\n";
        Text = end ? end + 1 : nullptr;
    }
    return about;
}

} // namespace

int RunDevices(const CommandLine&, std::FILE* Out, std::FILE*)
{
    for (const std::string& name : sim::BuiltinProfileNames())
    {
        sim::DeviceProfile profile;
        std::string error;
        if (!sim::LoadBuiltinProfile(name, &profile, &error))
        {
            std::fprintf(Out, "%-24s (does not load: %s)\n", name.c_str(), error.c_str());
            continue;
        }
        const int protocol = profile.AudioControlProtocol();
        const char* release = protocol == 0x20 ? "class 2" : protocol == 0 ? "class 1" : "no audio control";
        std::fprintf(Out, "%-24s %-8s %s speed  %04x:%04x\n%s", name.c_str(), release,
                     profile.Speed() == sim::UsbSpeed::High ? "high" : "full", profile.VendorId(),
                     profile.ProductId(), About(sim::BuiltinProfileText(name)).c_str());
    }
    return kExitOk;
}

} // namespace uacsim
