// `uacsim topology --device P`: loads the driver on the simulated device P, prints what it
// built, then removes it and checks that it left nothing behind.
#include "tools/uacsim/commands.h"
#include "tools/uacsim/driver_session.h"
#include "tools/uacsim/topology_report.h"

#include "plat_debug.h"
#include "plat_sched.h"

namespace uacsim
{

int RunTopology(const CommandLine& Line, std::FILE* Out, std::FILE* Err)
{
    sim::DeviceProfile profile;
    std::string error;
    if (!sim::LoadProfile(Line.Device, &profile, &error))
    {
        Complain(Out, Err, "uacsim: cannot load device '%s': %s\n", Line.Device.c_str(), error.c_str());
        return kExitUsage;
    }
    if (Line.Realtime)
        plat::SetClockMode(plat::ClockMode::Real);
    plat::ScopedThreadRegistration registration("uacsim");
    int result = kExitOk;
    {
        DriverSession session;
        std::fprintf(Out, "device %s (%04x:%04x)\n", profile.Name().c_str(), profile.VendorId(),
                     profile.ProductId());
        if (!session.Start(profile, &error))
        {
            Complain(Out, Err, "uacsim: %s", error.c_str());
            result = kExitFailure;
        }
        else
        {
            bool ok = PrintTopologyFilter(session.Pnp().Pdo(), Out, Err);
            PrintWaveSubdevices(session.Fdo(), Out);
            ok = PrintNodeValues(session.Pnp().Pdo(), Out, Err) && ok;
            ok = PrintJacks(session.Pnp().Pdo(), Out, Err) && ok;
            if (!ok)
                result = kExitFailure;
        }
        if (!session.Finish(&error))
        {
            Complain(Out, Err, "uacsim: the driver did not go away cleanly:\n%s", error.c_str());
            result = kExitFailure;
        }
        else if (result == kExitOk)
        {
            std::fprintf(Out, "removed cleanly: no pool blocks or kernel objects left\n");
        }
    }
    return result;
}

} // namespace uacsim
