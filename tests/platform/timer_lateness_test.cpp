// The late-timer fault switch: which expiries it holds back and by how much, the instant a late
// timer's DPC is told, and the grid a periodic timer keeps after a late expiry. Each DPC notes
// the interrupt time it ran at; the expected times are worked out from the due times by hand.
#include "kernel_test_support.h"

#include <mutex>
#include <vector>

namespace
{

using kt::kUnitsPerMs;

struct Expiries
{
    std::mutex Lock;
    std::vector<ULONGLONG> Ms;   // interrupt time of each DPC, in ms since the timer was set
    std::vector<ULONGLONG> Told; // the system time the DPC was given, in ms since then
    ULONGLONG Start = 0;
    ULONGLONG StartSystem = 0;
};

void NoteExpiry(PKDPC, PVOID context, PVOID low, PVOID high)
{
    auto* seen = static_cast<Expiries*>(context);
    ULONGLONG told = ULONGLONG(ULONG_PTR(low)) | ULONGLONG(ULONG_PTR(high)) << 32;
    std::lock_guard<std::mutex> lock(seen->Lock);
    seen->Ms.push_back((KeQueryInterruptTime() - seen->Start) / kUnitsPerMs);
    seen->Told.push_back((told - seen->StartSystem) / kUnitsPerMs);
}

class TimerLateness : public testing::Test
{
protected:
    void TearDown() override { plat::SetTimerLateness(0); }

    // Arms the timer (due in DueMs, then every PeriodMs) and lets RunMs of virtual time pass.
    std::vector<ULONGLONG> Run(LONG dueMs, LONG periodMs, LONGLONG runMs)
    {
        KTIMER timer;
        KDPC dpc;
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, NoteExpiry, &m_Seen);
        m_Seen.Start = KeQueryInterruptTime();
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        m_Seen.StartSystem = ULONGLONG(now.QuadPart);
        KeSetTimerEx(&timer, kt::RelativeMs(dueMs), periodMs, &dpc);
        kt::DelayMs(runMs);
        KeCancelTimer(&timer);
        KeFlushQueuedDpcs();
        std::lock_guard<std::mutex> lock(m_Seen.Lock);
        return m_Seen.Ms;
    }

    Expiries m_Seen;
};

TEST_F(TimerLateness, OffByDefaultTimersFireWhenDue)
{
    EXPECT_EQ(Run(10, 10, 35), (std::vector<ULONGLONG>{10, 20, 30}));
}

TEST_F(TimerLateness, HeldBackExpiriesAndTheGridThatFollows)
{
    struct Case
    {
        const char* Name;
        ULONGLONG LateMs;
        ULONG Nth;
        LONG DueMs;
        LONG PeriodMs;
        std::vector<ULONGLONG> Expected;
    };
    const Case cases[] = {
        // name                         late nth due period expiries (ms)
        {"one-shot, every expiry", 7, 0, 10, 0, {17}},
        {"periodic, every expiry", 3, 0, 10, 10, {13, 23, 33, 43, 53}},
        {"only the second expiry", 4, 2, 10, 10, {10, 24, 30, 40, 50}},
        {"late past two periods", 25, 2, 10, 10, {10, 45, 50}},
        {"only an expiry never reached", 5, 9, 10, 10, {10, 20, 30, 40, 50}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        plat::SetTimerLateness(c.LateMs * kUnitsPerMs, c.Nth);
        m_Seen.Ms.clear();
        m_Seen.Told.clear();
        EXPECT_EQ(Run(c.DueMs, c.PeriodMs, 55), c.Expected);
        // The DPC is told the instant it really expired, not the due time.
        EXPECT_EQ(m_Seen.Told, c.Expected);
    }
}

TEST_F(TimerLateness, TimerSignalsOnlyAtItsLateExpiry)
{
    plat::SetTimerLateness(20 * kUnitsPerMs);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, kt::RelativeMs(10), nullptr);
    EXPECT_EQ(kt::Wait(&timer, 25), STATUS_TIMEOUT);
    ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(kt::Wait(&timer), STATUS_SUCCESS);
    EXPECT_EQ((KeQueryInterruptTime() - before) / kUnitsPerMs, 5u);
}

TEST_F(TimerLateness, CancelWhileHeldBackStopsTheExpiry)
{
    plat::SetTimerLateness(20 * kUnitsPerMs);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, NoteExpiry, &m_Seen);
    KeSetTimer(&timer, kt::RelativeMs(10), &dpc);
    kt::DelayMs(15);
    EXPECT_TRUE(KeCancelTimer(&timer)); // still queued: held back to 30 ms
    kt::DelayMs(30);
    KeFlushQueuedDpcs();
    EXPECT_TRUE(m_Seen.Ms.empty());
    EXPECT_EQ(plat::QueuedTimerCount(), 0u);
}

} // namespace
