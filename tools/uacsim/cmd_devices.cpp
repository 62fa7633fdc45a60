// `uacsim devices`: the profiles built into the simulator, with what each describes.
#include "tools/uacsim/commands.h"

#include "sim/profiles/profile.h"

namespace uacsim
{

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
        std::fprintf(Out, "%-24s %-8s %s speed  %04x:%04x\n", name.c_str(), release,
                     profile.Speed() == sim::UsbSpeed::High ? "high" : "full", profile.VendorId(),
                     profile.ProductId());
    }
    return kExitOk;
}

} // namespace uacsim
