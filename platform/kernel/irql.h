// Interrupt request levels: each thread of the stand-in has a current IRQL that spin locks,
// DPCs and completion routines raise, and that waits and pageable code are checked against.
#pragma once

#include "ntdef.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

NTKERNELAPI KIRQL KeGetCurrentIrql();
