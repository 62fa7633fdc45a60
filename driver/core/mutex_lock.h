// CMutexLock: a kernel mutex behind a table of virtual operations. Plain class, no reference
// count and no destructor; the owner embeds it or frees it when done. The mutex is recursive
// for its owning thread, so a holder may call into code that takes it again; each acquisition
// needs its own release.
#pragma once

#include "ntddk.h"

class CMutexLock
{
public:
    CMutexLock(); // PASSIVE_LEVEL

    // Slot order is fixed: Lock, stub, Unlock, stub, LockTry, UnlockTry.
    virtual BOOLEAN Lock();      // PASSIVE_LEVEL, pageable; waits without a time-out
    virtual BOOLEAN Reserved1(); // does nothing, FALSE
    virtual BOOLEAN Unlock();    // PASSIVE_LEVEL, pageable
    virtual BOOLEAN Reserved2(); // does nothing, FALSE
    virtual BOOLEAN LockTry();   // <= DISPATCH_LEVEL; never blocks, TRUE when acquired
    virtual BOOLEAN UnlockTry(); // <= DISPATCH_LEVEL

private:
    KMUTEX m_Mutex;
};
