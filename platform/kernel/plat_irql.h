// Internal to the stand-in: direct access to the calling thread's IRQL, for the platform's
// own fast paths (spin locks) and for the threads it runs DPCs and work items on.
#pragma once

#include "ntdef.h"

namespace plat
{
// __thread rather than thread_local: no initialisation wrapper on every access from other files.
extern __thread KIRQL tCurrentIrql;
} // namespace plat
