// Spin locks of the stand-in. The fast path is one compare-exchange on the lock word and a
// thread-local IRQL store: no system call and no scheduler lock, so the driver's data path
// pays what it would pay on the target. The lock word holds the owner's identity so that a
// second acquisition by the owner, or a release by anyone else, is caught at once.
#include "spinlock.h"

#include "plat_fatal.h"
#include "plat_irql.h"

#include <immintrin.h>
#include <sched.h>

namespace
{

// The address of the thread's IRQL byte is unique per live thread and never zero.
inline ULONG_PTR OwnerToken()
{
    return reinterpret_cast<ULONG_PTR>(&plat::tCurrentIrql);
}

[[noreturn]] void AcquiredTwice(PKSPIN_LOCK SpinLock, const char* Caller)
{
    plat::Fatal("%s: spin lock %p is already held by this thread (spin locks are not recursive)", Caller,
                static_cast<void*>(SpinLock));
}

// Spins with pause; after a while yields, since the holder may be a preempted host thread.
void AcquireContended(PKSPIN_LOCK SpinLock, ULONG_PTR Me, const char* Caller)
{
    for (unsigned spins = 0;; ++spins)
    {
        ULONG_PTR seen = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
        if (seen == Me)
            AcquiredTwice(SpinLock, Caller);
        if (seen == 0 &&
            __atomic_compare_exchange_n(SpinLock, &seen, Me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        if (spins < 256)
            _mm_pause();
        else
            sched_yield();
    }
}

inline void AcquireWord(PKSPIN_LOCK SpinLock, const char* Caller)
{
    ULONG_PTR me = OwnerToken();
    ULONG_PTR expected = 0;
    if (__builtin_expect(
            __atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED),
            1))
        return;
    if (expected == me)
        AcquiredTwice(SpinLock, Caller);
    AcquireContended(SpinLock, me, Caller);
}

inline void ReleaseWord(PKSPIN_LOCK SpinLock, const char* Caller)
{
    ULONG_PTR me = OwnerToken();
    ULONG_PTR expected = me;
    if (__builtin_expect(
            __atomic_compare_exchange_n(SpinLock, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED),
            1))
        return;
    if (expected == 0)
        plat::Fatal("%s: spin lock %p is not held (released twice, or never acquired)", Caller,
                    static_cast<void*>(SpinLock));
    plat::Fatal("%s: spin lock %p is held by another thread, not the one releasing it", Caller,
                static_cast<void*>(SpinLock));
}

inline KIRQL RaiseToDispatch(const char* Caller)
{
    KIRQL old = plat::tCurrentIrql;
    if (old > DISPATCH_LEVEL)
        plat::Fatal("%s at IRQL %d: a spin lock must be taken at or below DISPATCH_LEVEL", Caller, old);
    plat::tCurrentIrql = DISPATCH_LEVEL;
    return old;
}

inline void LowerTo(KIRQL NewIrql, const char* Caller)
{
    if (NewIrql > plat::tCurrentIrql)
        plat::Fatal("%s: restoring IRQL %d, which is above the current IRQL %d", Caller, NewIrql,
                    plat::tCurrentIrql);
    plat::tCurrentIrql = NewIrql;
}

inline void RequireDispatch(const char* Caller)
{
    if (plat::tCurrentIrql < DISPATCH_LEVEL)
        plat::Fatal("%s at IRQL %d: the AtDpcLevel forms require IRQL >= DISPATCH_LEVEL", Caller,
                    plat::tCurrentIrql);
}

} // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED);
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    KIRQL old = RaiseToDispatch("KeAcquireSpinLock");
    AcquireWord(SpinLock, "KeAcquireSpinLock");
    *OldIrql = old;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseWord(SpinLock, "KeReleaseSpinLock");
    LowerTo(NewIrql, "KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatch("KeAcquireSpinLockAtDpcLevel");
    AcquireWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatch("KeReleaseSpinLockFromDpcLevel");
    ReleaseWord(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatch("KeTryToAcquireSpinLockAtDpcLevel");
    ULONG_PTR me = OwnerToken();
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return TRUE;
    if (expected == me)
        AcquiredTwice(SpinLock, "KeTryToAcquireSpinLockAtDpcLevel");
    return FALSE;
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock)
{
    return __atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == 0 ? TRUE : FALSE;
}

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    KIRQL old = RaiseToDispatch("KeAcquireInStackQueuedSpinLock");
    AcquireWord(SpinLock, "KeAcquireInStackQueuedSpinLock");
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = old;
}

VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    if (LockHandle->LockQueue.Lock == nullptr)
        plat::Fatal("KeReleaseInStackQueuedSpinLock: the lock handle holds no lock (released twice?)");
    ReleaseWord(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLock");
    LockHandle->LockQueue.Lock = nullptr;
    LowerTo(LockHandle->OldIrql, "KeReleaseInStackQueuedSpinLock");
}

VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    RequireDispatch("KeAcquireInStackQueuedSpinLockAtDpcLevel");
    AcquireWord(SpinLock, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = plat::tCurrentIrql;
}

VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle)
{
    RequireDispatch("KeReleaseInStackQueuedSpinLockFromDpcLevel");
    if (LockHandle->LockQueue.Lock == nullptr)
        plat::Fatal(
            "KeReleaseInStackQueuedSpinLockFromDpcLevel: the lock handle holds no lock (released twice?)");
    ReleaseWord(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
    LockHandle->LockQueue.Lock = nullptr;
}
