// Clock services of the stand-in, all read from the scheduler's one clock, and the record of
// timer-resolution requests.
#include "clock.h"

#include "sched_internal.h"

namespace
{

constexpr ULONG kTimeIncrement = 156250;   // 15.625 ms, the target's default clock tick
constexpr ULONG kMinimumResolution = 5000; // 0.5 ms, the finest the target grants
constexpr LONGLONG kCounterFrequency = 10000000;

// Guarded by the scheduler lock.
struct ResolutionRecord
{
    LONG Raises = 0;
    LONG UnmatchedReleases = 0;
    ULONG Requested = kTimeIncrement; // finest resolution asked for while raised
} g_resolution;

ULONG CurrentResolutionLocked()
{
    return g_resolution.Raises > 0 ? g_resolution.Requested : kTimeIncrement;
}

} // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = LONGLONG(plat::SystemTime());
}

VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime)
{
    KeQuerySystemTime(CurrentTime);
}

ULONGLONG KeQueryInterruptTime()
{
    return plat::InterruptTime();
}

ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG QpcTimeStamp)
{
    ULONGLONG now = plat::InterruptTime();
    if (QpcTimeStamp != nullptr)
        *QpcTimeStamp = now;
    return now;
}

// The counter and interrupt time share units (100 ns), so positions derived from either agree.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = kCounterFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = LONGLONG(plat::InterruptTime());
    return counter;
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = LONGLONG(plat::InterruptTime() / kTimeIncrement);
}

ULONG KeQueryTimeIncrement()
{
    return kTimeIncrement;
}

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution)
{
    std::lock_guard<std::mutex> lock(plat::sched::S().Lock);
    if (SetResolution)
    {
        ++g_resolution.Raises;
        ULONG granted = DesiredTime < kMinimumResolution ? kMinimumResolution : DesiredTime;
        if (granted < g_resolution.Requested)
            g_resolution.Requested = granted;
    }
    else if (g_resolution.Raises > 0)
    {
        if (--g_resolution.Raises == 0)
            g_resolution.Requested = kTimeIncrement;
    }
    else
    {
        ++g_resolution.UnmatchedReleases;
    }
    return CurrentResolutionLocked();
}

namespace plat
{

LONG TimerResolutionRaises()
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    return g_resolution.Raises;
}

LONG TimerResolutionUnmatchedReleases()
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    return g_resolution.UnmatchedReleases;
}

ULONG CurrentTimerResolution()
{
    std::lock_guard<std::mutex> lock(sched::S().Lock);
    return CurrentResolutionLocked();
}

} // namespace plat
