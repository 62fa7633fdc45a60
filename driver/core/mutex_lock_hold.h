// CMutexLockHold: a CMutexLock held for the length of a scope, so that every early return of a
// locked operation still releases it. PASSIVE_LEVEL; the mutex may be taken again by its holder.
#pragma once

#include "driver/core/mutex_lock.h"

class CMutexLockHold
{
public:
    explicit CMutexLockHold(CMutexLock* Lock) : m_pLock(Lock) { m_pLock->Lock(); }
    ~CMutexLockHold() { m_pLock->Unlock(); }
    CMutexLockHold(const CMutexLockHold&) = delete;
    CMutexLockHold& operator=(const CMutexLockHold&) = delete;

private:
    CMutexLock* m_pLock;
};
