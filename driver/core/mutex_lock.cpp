// CMutexLock: Lock and Unlock are pageable and wait at PASSIVE_LEVEL; LockTry polls with a
// zero time-out, which the kernel allows at DISPATCH_LEVEL, so LockTry and UnlockTry stay resident.
#include "driver/core/mutex_lock.h"

CMutexLock::CMutexLock()
{
    KeInitializeMutex(&m_Mutex, 0);
}

BOOLEAN CMutexLock::Lock()
{
    PAGED_CODE();
    KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr);
    return TRUE;
}

BOOLEAN CMutexLock::Reserved1()
{
    return FALSE;
}

BOOLEAN CMutexLock::Unlock()
{
    PAGED_CODE();
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}

BOOLEAN CMutexLock::Reserved2()
{
    return FALSE;
}

BOOLEAN CMutexLock::LockTry()
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = 0;
    return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS ? TRUE
                                                                                                     : FALSE;
}

BOOLEAN CMutexLock::UnlockTry()
{
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}
