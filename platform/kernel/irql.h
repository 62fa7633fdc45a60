// Interrupt request levels: each thread of the stand-in has a current IRQL that spin locks,
// DPCs and completion routines raise, and that waits and pageable code are checked against.
#pragma once

#include "ntdef.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

// The calling thread's IRQL; threads start at PASSIVE_LEVEL, DPCs run at DISPATCH_LEVEL.
NTKERNELAPI KIRQL KeGetCurrentIrql();

// Raising to a lower level, or lowering to a higher one, stops the process as the target's
// IRQL_NOT_GREATER_OR_EQUAL / IRQL_NOT_LESS_OR_EQUAL checks do.
NTKERNELAPI VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL KeRaiseIrqlToDpcLevel();

namespace plat
{
// Stops the process: pageable code ran above APC_LEVEL (where a page fault cannot be served).
[[noreturn]] void PagedCodeAtRaisedIrql(const char* Function, const char* File, int Line);
} // namespace plat

// Pageable code checks the IRQL at its entry, as the target's checked build does.
#define PAGED_CODE()                                                                                         \
    do                                                                                                       \
    {                                                                                                        \
        if (KeGetCurrentIrql() > APC_LEVEL)                                                                  \
            plat::PagedCodeAtRaisedIrql(__func__, __FILE__, __LINE__);                                       \
    } while (0)

// Code that is pageable but only ever runs with a lock held; nothing to check.
#define PAGED_CODE_LOCKED() ((void)0)
