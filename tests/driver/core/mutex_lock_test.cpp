// CMutexLock: recursion for the owner, LockTry that never blocks (also at DISPATCH_LEVEL),
// and Lock that waits for another holder.
#include <gtest/gtest.h>

#include "driver/core/mutex_lock.h"
#include "plat_sched.h"

#include <atomic>

namespace
{

class MutexLockDeathTest : public testing::Test
{
protected:
    void SetUp() override { testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

// LockTry from a second platform thread, as a competing owner would try it.
BOOLEAN LockTryFromAnotherThread(CMutexLock& lock)
{
    BOOLEAN acquired = FALSE;
    plat::HostThread other("other",
                           [&]
                           {
                               acquired = lock.LockTry();
                               if (acquired)
                               {
                                   lock.UnlockTry();
                               }
                           });
    other.Join();
    return acquired;
}

TEST(MutexLock, RecursiveLockNeedsAsManyUnlocks)
{
    CMutexLock lock;
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.LockTry()) << "the owner may take it again without blocking";
    const ULONGLONG before = plat::InterruptTime();
    EXPECT_FALSE(LockTryFromAnotherThread(lock));
    EXPECT_EQ(plat::InterruptTime(), before) << "LockTry must not wait";
    EXPECT_TRUE(lock.UnlockTry());
    EXPECT_FALSE(LockTryFromAnotherThread(lock));
    EXPECT_TRUE(lock.Unlock());
    EXPECT_FALSE(LockTryFromAnotherThread(lock)) << "still held once";
    EXPECT_TRUE(lock.Unlock());
    EXPECT_TRUE(LockTryFromAnotherThread(lock));
}

TEST(MutexLock, LockTryWorksAtDispatchLevel)
{
    CMutexLock lock;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(lock.LockTry());
    EXPECT_TRUE(lock.UnlockTry());
    KeLowerIrql(old);

    // Held elsewhere: at DISPATCH_LEVEL the answer is simply FALSE.
    std::atomic<bool> held{false};
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    plat::HostThread holder("holder",
                            [&]
                            {
                                lock.Lock();
                                held = true;
                                KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
                                lock.Unlock();
                            });
    LARGE_INTEGER step;
    step.QuadPart = -10000; // 1 ms
    while (!held)
    {
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(lock.LockTry());
    KeLowerIrql(old);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    holder.Join();
}

TEST(MutexLock, LockWaitsUntilTheHolderReleases)
{
    CMutexLock lock;
    std::atomic<bool> acquired{false};
    lock.Lock();
    plat::HostThread waiter("waiter",
                            [&]
                            {
                                lock.Lock();
                                acquired = true;
                                lock.Unlock();
                            });
    LARGE_INTEGER delay;
    delay.QuadPart = -100000; // 10 ms: the waiter has long reached its wait
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_FALSE(acquired);
    lock.Unlock();
    waiter.Join();
    EXPECT_TRUE(acquired);
}

TEST_F(MutexLockDeathTest, LockAtDispatchLevelStopsTheProcess)
{
    CMutexLock lock;
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            lock.Lock();
        },
        "PAGED_CODE");
}

} // namespace
