// `uacsim topology --device P`: loads the driver on the simulated device P, prints what it
// built, then removes it and checks that it left nothing behind.
#include "tools/uacsim/commands.h"
#include "tools/uacsim/driver_session.h"
#include "tools/uacsim/topology_report.h"

namespace uacsim
{

int RunTopology(const CommandLine& Line, std::FILE* Out, std::FILE* Err)
{
    return RunOnDevice(Line.Device, Line.Realtime, Out, Err,
                       [&](DriverSession& Session, const sim::DeviceProfile&)
                       {
                           bool ok = PrintTopologyFilter(Session.Pnp().Pdo(), Out, Err);
                           PrintWaveSubdevices(Session.Fdo(), Out);
                           ok = PrintNodeValues(Session.Pnp().Pdo(), Out, Err) && ok;
                           ok = PrintJacks(Session.Pnp().Pdo(), Out, Err) && ok;
                           return ok ? kExitOk : kExitFailure;
                       });
}

} // namespace uacsim
