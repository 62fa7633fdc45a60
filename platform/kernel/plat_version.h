// Control of the system version that the stand-in reports through RtlIsNtDdiVersionAvailable,
// so tests can take both sides of a driver's version checks.
#pragma once

#include "ntdef.h"

namespace plat
{

// The NTDDI version of the simulated system; RtlIsNtDdiVersionAvailable(v) answers v <= it.
// The default is Windows 10 (0x0A000000).
constexpr ULONG kDefaultNtDdiVersion = 0x0A000000;
void SetNtDdiVersion(ULONG Version);
ULONG GetNtDdiVersion();

} // namespace plat
