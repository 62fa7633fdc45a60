// Per-thread IRQL of the stand-in. A plain thread_local byte: reading and raising it costs a
// memory access, so spin locks stay cheap.
#include "irql.h"

#include "plat_fatal.h"
#include "plat_irql.h"

namespace plat
{

__thread KIRQL tCurrentIrql = PASSIVE_LEVEL;

void PagedCodeAtRaisedIrql(const char* Function, const char* File, int Line)
{
    Fatal("PAGED_CODE() in %s (%s:%d) at IRQL %d: pageable code must run at or below APC_LEVEL", Function,
          File, Line, tCurrentIrql);
}

} // namespace plat

KIRQL KeGetCurrentIrql()
{
    return plat::tCurrentIrql;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    KIRQL current = plat::tCurrentIrql;
    if (NewIrql < current)
        plat::Fatal("KeRaiseIrql to %d from %d: the new IRQL must not be lower than the current one", NewIrql,
                    current);
    if (NewIrql > HIGH_LEVEL)
        plat::Fatal("KeRaiseIrql to %d: above HIGH_LEVEL", NewIrql);
    *OldIrql = current;
    plat::tCurrentIrql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    KIRQL current = plat::tCurrentIrql;
    if (NewIrql > current)
        plat::Fatal("KeLowerIrql to %d from %d: the new IRQL must not be higher than the current one",
                    NewIrql, current);
    plat::tCurrentIrql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}
