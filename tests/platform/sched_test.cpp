// The clock and the scheduler: virtual time that jumps to the next deadline only when every
// platform thread waits, exact time-outs, one consistent clock across threads, real mode, the
// clock queries, and the deadlock and runaway reports.
#include "kernel_test_support.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace
{

using kt::RelativeMs;

struct PeriodicRecord
{
    std::vector<ULONGLONG> Times;
};

void RecordExpiry(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<PeriodicRecord*>(context)->Times.push_back(KeQueryInterruptTime());
}

TEST(VirtualTime, PeriodicFiveSecondTimerFiresTwelveTimesInAMinute)
{
    PeriodicRecord record;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&dpc, RecordExpiry, &record);
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_FALSE(KeSetTimerEx(&timer, RelativeMs(5000), 5000, &dpc));

    kt::DelayMs(60000);
    KeFlushQueuedDpcs(); // the 12th expiry and the delay's end share one instant

    EXPECT_EQ(KeQueryInterruptTime() - start, 600000000ULL);
    ASSERT_EQ(record.Times.size(), 12u);
    for (size_t i = 0; i < record.Times.size(); ++i)
        EXPECT_EQ(record.Times[i] - start, (i + 1) * 50000000ULL) << "expiry " << i;
    EXPECT_TRUE(KeCancelTimer(&timer));
}

// Each kind of time-out ends exactly at its deadline on the virtual clock: relative, absolute
// (system time), already past (a poll), on several objects, and delays.
TEST(VirtualTime, WaitsTimeOutAtExactlyTheirDeadline)
{
    static KEVENT never, other;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&other, SynchronizationEvent, FALSE);
    auto at = [](LONGLONG fromNow)
    {
        LARGE_INTEGER due;
        KeQuerySystemTime(&due);
        due.QuadPart += fromNow;
        return KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &due);
    };
    struct Row
    {
        const char* Name;
        std::function<NTSTATUS()> Wait;
        NTSTATUS Expected;
        ULONGLONG Elapsed; // 100 ns units
    };
    const Row rows[] = {
        {"relative", [] { return kt::Wait(&never, 500); }, STATUS_TIMEOUT, 5000000},
        {"zero", [] { return kt::Wait(&never, 0); }, STATUS_TIMEOUT, 0},
        {"absolute", [&] { return at(1234567); }, STATUS_TIMEOUT, 1234567},
        {"absolute, already past", [&] { return at(-1); }, STATUS_TIMEOUT, 0},
        {"any of two",
         []
         {
             PVOID objects[2] = {&never, &other};
             LARGE_INTEGER timeout = RelativeMs(20);
             return KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout,
                                             nullptr);
         },
         STATUS_TIMEOUT, 200000},
        {"two delays",
         []
         {
             kt::DelayMs(100);
             kt::DelayMs(50);
             return STATUS_SUCCESS;
         },
         STATUS_SUCCESS, 1500000},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        ULONGLONG start = KeQueryInterruptTime();
        EXPECT_EQ(row.Wait(), row.Expected);
        EXPECT_EQ(KeQueryInterruptTime() - start, row.Elapsed);
    }
}

TEST(VirtualTime, TimeStandsStillWhileAThreadRuns)
{
    ULONGLONG start = KeQueryInterruptTime();
    volatile ULONGLONG sink = 0;
    for (int i = 0; i < 1000000; ++i)
        sink = sink + i;
    EXPECT_EQ(KeQueryInterruptTime(), start);
}

// Ping delays 1 ms before each set; pong answers at once. Both stamp the clock at each step.
TEST(VirtualTime, PingPongThreadsSeeOneConsistentClock)
{
    constexpr int kRounds = 50;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::mutex logLock;
    std::vector<ULONGLONG> sent, answered;
    ULONGLONG start = KeQueryInterruptTime();
    {
        plat::HostThread pinger("pinger",
                                [&]
                                {
                                    for (int i = 0; i < kRounds; ++i)
                                    {
                                        kt::DelayMs(1);
                                        sent.push_back(KeQueryInterruptTime());
                                        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
                                        kt::Wait(&pong);
                                    }
                                });
        plat::HostThread ponger("ponger",
                                [&]
                                {
                                    for (int i = 0; i < kRounds; ++i)
                                    {
                                        kt::Wait(&ping);
                                        answered.push_back(KeQueryInterruptTime());
                                        KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
                                    }
                                });
    }
    ASSERT_EQ(sent.size(), size_t(kRounds));
    ASSERT_EQ(answered.size(), size_t(kRounds));
    for (int i = 0; i < kRounds; ++i)
    {
        EXPECT_EQ(sent[i] - start, ULONGLONG(i + 1) * 10000) << "round " << i;
        EXPECT_EQ(answered[i], sent[i]) << "the answer takes no virtual time, round " << i;
    }
    EXPECT_EQ(KeQueryInterruptTime() - start, ULONGLONG(kRounds) * 10000);
}

TEST(VirtualTime, SameScenarioGivesSameTimesEveryRun)
{
    auto run = []
    {
        std::vector<ULONGLONG> stamps;
        ULONGLONG start = KeQueryInterruptTime();
        KEVENT go;
        KeInitializeEvent(&go, NotificationEvent, FALSE);
        plat::HostThread a("a",
                           [&]
                           {
                               kt::Wait(&go, 30);
                               stamps.push_back(KeQueryInterruptTime() - start);
                           });
        kt::DelayMs(10);
        KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
        a.Join();
        kt::DelayMs(7);
        stamps.push_back(KeQueryInterruptTime() - start);
        return stamps;
    };
    std::vector<ULONGLONG> first = run();
    EXPECT_EQ(first, (std::vector<ULONGLONG>{100000, 170000}));
    EXPECT_EQ(run(), first);
}

TEST(Clock, QueriesShareTheOneClockAndTimerResolutionRaisesAreCounted)
{
    LARGE_INTEGER frequency;
    ULONGLONG interrupt = KeQueryInterruptTime();
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_EQ(ULONGLONG(counter.QuadPart), interrupt);
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(ULONGLONG(system.QuadPart) - interrupt, plat::kVirtualStartSystemTime);
    EXPECT_EQ(plat::InterruptTime(), interrupt);
    EXPECT_EQ(plat::SystemTime(), ULONGLONG(system.QuadPart));

    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    kt::DelayMs(1000);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ULONGLONG(ticks.QuadPart), KeQueryInterruptTime() / 156250);

    LONG before = plat::TimerResolutionRaises();
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(plat::TimerResolutionRaises(), before + 2);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(plat::TimerResolutionRaises(), before + 1);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(plat::TimerResolutionRaises(), before);
    EXPECT_EQ(plat::CurrentTimerResolution(), KeQueryTimeIncrement());

    LONG unmatched = plat::TimerResolutionUnmatchedReleases();
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(plat::TimerResolutionUnmatchedReleases(), unmatched + 1);
}

TEST(RealTime, DeadlinesFollowTheHostClock)
{
    plat::SetClockMode(plat::ClockMode::Real);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    auto hostStart = std::chrono::steady_clock::now();
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(kt::Wait(&never, 30), STATUS_TIMEOUT);
    auto hostElapsed = std::chrono::steady_clock::now() - hostStart;
    EXPECT_GE(KeQueryInterruptTime() - start, 300000ULL);
    EXPECT_GE(hostElapsed, std::chrono::milliseconds(30));

    // A timer's DPC is run by the clock thread's expiry, not by everyone waiting.
    PeriodicRecord record;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordExpiry, &record);
    KeSetTimer(&timer, RelativeMs(20), &dpc);
    EXPECT_EQ(kt::Wait(&timer), STATUS_SUCCESS);
    KeFlushQueuedDpcs();
    EXPECT_EQ(record.Times.size(), 1u);
    plat::SetClockMode(plat::ClockMode::Virtual);
    EXPECT_EQ(plat::GetClockMode(), plat::ClockMode::Virtual);

    ULONGLONG resumed = KeQueryInterruptTime();
    EXPECT_GE(resumed, start + 500000) << "the clock stays continuous across the switch";
    kt::DelayMs(5);
    EXPECT_EQ(KeQueryInterruptTime() - resumed, 50000ULL);
}

TEST(Scheduler, DescribeThreadsNamesWaitsAndObjects)
{
    KEVENT gate;
    KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
    plat::HostThread waiter("gatekeeper", [&] { kt::Wait(&gate); });
    kt::LetOthersSettle();
    std::string text = plat::DescribeThreads();
    EXPECT_NE(
        text.find("'gatekeeper': host thread, waiting in KeWaitForSingleObject for SynchronizationEvent"),
        std::string::npos)
        << text;
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
}

using SchedulerDeathTest = kt::DeathTest;

// Each waits for the other's event; the main thread joins them.
void Deadlock()
{
    static KEVENT fromAlpha, fromBeta;
    KeInitializeEvent(&fromAlpha, SynchronizationEvent, FALSE);
    KeInitializeEvent(&fromBeta, SynchronizationEvent, FALSE);
    plat::HostThread alpha("alpha",
                           []
                           {
                               kt::Wait(&fromBeta);
                               KeSetEvent(&fromAlpha, IO_NO_INCREMENT, FALSE);
                           });
    plat::HostThread beta("beta",
                          []
                          {
                              kt::Wait(&fromAlpha);
                              KeSetEvent(&fromBeta, IO_NO_INCREMENT, FALSE);
                          });
}

TEST_F(SchedulerDeathTest, DeadlockIsReportedWithBothThreads)
{
    EXPECT_DEATH(Deadlock(), "deadlock: every platform thread waits.*'alpha': host thread, waiting in "
                             "KeWaitForSingleObject for SynchronizationEvent.*'beta': host thread, waiting");
}

TEST_F(SchedulerDeathTest, DeadlockOfASingleThreadIsReported)
{
    EXPECT_DEATH(
        {
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            plat::SetCurrentThreadName("lonely");
            kt::Wait(&never);
        },
        "deadlock.*'lonely': host thread, waiting in KeWaitForSingleObject for NotificationEvent.*no "
        "time-out");
}

void RunawayWait()
{
    static KTIMER timer;
    static KDPC dpc;
    static KEVENT never;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    plat::SetNoProgressLimit(600ULL * 10000000);
    KeSetTimerEx(&timer, RelativeMs(5000), 5000, &dpc);
    kt::Wait(&never);
}

TEST(Scheduler, SettleReturnsOnceOthersWaitWithoutMovingTime)
{
    KEVENT step;
    KeInitializeEvent(&step, SynchronizationEvent, FALSE);
    std::atomic<int> progress{0};
    plat::HostThread worker("stepper",
                            [&]
                            {
                                for (int i = 0; i < 3; ++i)
                                {
                                    volatile int spin = 0;
                                    while (spin < 100000)
                                        spin = spin + 1;
                                    ++progress;
                                    kt::Wait(&step);
                                }
                            });
    ULONGLONG start = KeQueryInterruptTime();
    for (int i = 1; i <= 3; ++i)
    {
        plat::Settle();
        EXPECT_EQ(progress, i);
        KeSetEvent(&step, IO_NO_INCREMENT, FALSE);
    }
    worker.Join();
    EXPECT_EQ(KeQueryInterruptTime(), start);
}

TEST(Scheduler, LongDelayAmongPeriodicTimersIsNoRunaway)
{
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    plat::SetNoProgressLimit(600ULL * 10000000);
    KeSetTimerEx(&timer, RelativeMs(5000), 5000, &dpc);
    ULONGLONG start = KeQueryInterruptTime();
    kt::DelayMs(3600 * 1000);
    EXPECT_EQ(KeQueryInterruptTime() - start, 36000000000ULL);
    KeCancelTimer(&timer);
    plat::SetNoProgressLimit(24ULL * 3600 * 10000000);
}

TEST_F(SchedulerDeathTest, WaitKeptAliveOnlyByAPeriodicTimerHitsTheLimit)
{
    EXPECT_DEATH(RunawayWait(),
                 "virtual time would run 600 s past the last progress.*waiting in KeWaitForSingleObject");
}

} // namespace
