// CSpinLockHold: a spin lock held for the length of a scope. It raises to DISPATCH_LEVEL, so the
// scope may not wait or touch pageable code; every early return still releases the lock.
#pragma once

#include "ntddk.h"

class CSpinLockHold
{
public:
    explicit CSpinLockHold(PKSPIN_LOCK Lock) : m_pLock(Lock) { KeAcquireSpinLock(m_pLock, &m_OldIrql); }
    ~CSpinLockHold() { KeReleaseSpinLock(m_pLock, m_OldIrql); }
    CSpinLockHold(const CSpinLockHold&) = delete;
    CSpinLockHold& operator=(const CSpinLockHold&) = delete;

private:
    PKSPIN_LOCK m_pLock;
    KIRQL m_OldIrql;
};
