// The system version that the stand-in reports.
#include "plat_version.h"
#include "rtl.h"

#include <atomic>

namespace
{

std::atomic<ULONG> g_ntDdiVersion{plat::kDefaultNtDdiVersion};

} // namespace

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version)
{
    return Version <= g_ntDdiVersion.load() ? TRUE : FALSE;
}

namespace plat
{

void SetNtDdiVersion(ULONG Version)
{
    g_ntDdiVersion.store(Version);
}
ULONG GetNtDdiVersion()
{
    return g_ntDdiVersion.load();
}

} // namespace plat
