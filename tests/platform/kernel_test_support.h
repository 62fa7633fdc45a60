// Helpers shared by the kernel stand-in tests: time-outs in readable units and a fixture for
// death tests (each runs in a re-executed child, so threads in the parent do not matter).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "ntddk.h"
#include "plat_sched.h"

namespace kt
{

constexpr LONGLONG kUnitsPerMs = 10000;

// A relative time-out (negative, 100 ns units) of `ms` milliseconds.
inline LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * kUnitsPerMs;
    return t;
}

inline LARGE_INTEGER Zero()
{
    LARGE_INTEGER t;
    t.QuadPart = 0;
    return t;
}

inline NTSTATUS Wait(PVOID object, LONGLONG timeoutMs = -1)
{
    if (timeoutMs < 0)
        return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER t = timeoutMs == 0 ? Zero() : RelativeMs(timeoutMs);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

inline void DelayMs(LONGLONG ms)
{
    LARGE_INTEGER t = RelativeMs(ms);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// Whatever the other threads can do without more time passing has been done afterwards.
inline void LetOthersSettle()
{
    plat::Settle();
}

class DeathTest : public testing::Test
{
protected:
    void SetUp() override { testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

// One misuse of the platform and the message that must stop the process.
struct Misuse
{
    const char* Name;
    std::function<void()> Act;
    const char* Message; // a regular expression
};

inline void ExpectEachStops(const std::vector<Misuse>& cases)
{
    for (const Misuse& c : cases)
    {
        SCOPED_TRACE(c.Name);
        EXPECT_DEATH(c.Act(), c.Message);
    }
}

} // namespace kt
