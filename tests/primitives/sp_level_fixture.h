// Fixture for signal-primitive tests: every case runs once per processor level (0 to 3), with
// SpCpuLevel forced for the case and put back afterwards, so each column of the level tables
// is held to the same contract. A level whose instructions this processor lacks is skipped.
//
//   class MyOpTest : public SpLevelTest {};
//   TEST_P(MyOpTest, Something) { ... Level() ... }
//   SP_INSTANTIATE_LEVELS(MyOpTest);
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "driver/primitives/dispatch/sp_cpu_level.h"

// True when this processor runs the instructions of `level` (0: any x86-64).
inline bool SpLevelRunsHere(int32_t level)
{
    switch (level)
    {
    case 1:
        return __builtin_cpu_supports("sse3");
    case 2:
        return __builtin_cpu_supports("ssse3");
    case 3:
        return __builtin_cpu_supports("sse4.1");
    default:
        return true;
    }
}

// Puts SpCpuLevel back when it goes out of scope; usable on its own in non-parameterised tests.
class SpScopedCpuLevel
{
public:
    explicit SpScopedCpuLevel(int32_t level) : m_nSaved(SpForceCpuLevelForTest(level)) {}
    ~SpScopedCpuLevel() { SpForceCpuLevelForTest(m_nSaved); }
    SpScopedCpuLevel(const SpScopedCpuLevel&) = delete;
    SpScopedCpuLevel& operator=(const SpScopedCpuLevel&) = delete;

private:
    int32_t m_nSaved;
};

class SpLevelTest : public ::testing::TestWithParam<int32_t>
{
protected:
    void SetUp() override
    {
        if (!SpLevelRunsHere(GetParam()))
        {
            GTEST_SKIP() << "this processor lacks the instructions of level " << GetParam();
        }
        m_nSaved = SpForceCpuLevelForTest(GetParam());
    }
    void TearDown() override { SpForceCpuLevelForTest(m_nSaved); }
    int32_t Level() const { return GetParam(); }

private:
    int32_t m_nSaved = 0;
};

inline std::string SpLevelName(const ::testing::TestParamInfo<int32_t>& info)
{
    return "Level" + std::to_string(info.param);
}

#define SP_INSTANTIATE_LEVELS(Fixture)                                                                       \
    INSTANTIATE_TEST_SUITE_P(AllLevels, Fixture, ::testing::Values(0, 1, 2, 3), SpLevelName)
