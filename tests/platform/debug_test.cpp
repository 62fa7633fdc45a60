// DbgPrint into the readable log (with the runtime's conversions), the echo switch, and the
// assertions that stop the process.
#include <gtest/gtest.h>

#include "ntddk.h"
#include "plat_debug.h"

#include <cstdlib>

namespace
{

class DebugDeathTest : public testing::Test
{
protected:
    void SetUp() override { testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

TEST(Debug, DbgPrintAppendsLinesWithWindowsConversions)
{
    plat::ClearDebugLog();
    DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", 2);
    DbgPrint("%ws at %p\n", u"Stream", reinterpret_cast<void*>(0x10));
    std::vector<std::string> log = plat::DebugLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "Remove Miniport Failed StreamEngine ulIdx = 2");
    EXPECT_EQ(log[1], "Stream at 0000000000000010");
}

TEST(Debug, PiecesWithoutNewlineJoinIntoOneLine)
{
    plat::ClearDebugLog();
    DbgPrint("SetFormat");
    DbgPrint(" Tag not PCM\nnext");
    std::vector<std::string> log = plat::DebugLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "SetFormat Tag not PCM");
    EXPECT_EQ(log[1], "next");
    EXPECT_EQ(plat::DebugLogText(), "SetFormat Tag not PCM\nnext");
    plat::ClearDebugLog();
    EXPECT_TRUE(plat::DebugLog().empty());
}

TEST(Debug, DbgPrintExAndKdPrintAreRecorded)
{
    plat::ClearDebugLog();
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_TRACE_LEVEL, "trace %u\n", 5u);
    KdPrint(("kd %s\n", "print"));
    std::vector<std::string> log = plat::DebugLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "trace 5");
    EXPECT_EQ(log[1], "kd print");
}

TEST(Debug, OneCallTransmitsAtMost512Bytes)
{
    plat::ClearDebugLog();
    std::string big(600, 'x');
    DbgPrint("%s\n", big.c_str());
    EXPECT_EQ(plat::DebugLogText().size(), DBGPRINT_MAX_BYTES - 1u);
}

TEST_F(DebugDeathTest, EchoesToStderrOnlyWithUacsimDebug)
{
    // The setting is read at the first print, which happens inside the child process.
    EXPECT_EXIT(
        {
            setenv("UACSIM_DEBUG", "1", 1);
            DbgPrint("echo %ws %d\n", u"on", 7);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "echo on 7");
    EXPECT_EXIT(
        {
            unsetenv("UACSIM_DEBUG");
            testing::internal::CaptureStderr();
            DbgPrint("quiet\n");
            std::exit(testing::internal::GetCapturedStderr().empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(DebugDeathTest, FailedAssertionStopsWithExpressionFileAndLine)
{
    int streams = 2;
    ASSERT(streams == 2);
    NT_ASSERT(streams > 0);
    EXPECT_DEATH(ASSERT(streams == 3), "assertion failed: streams == 3 \\(.*debug_test.cpp:[0-9]+\\)");
    EXPECT_DEATH(NT_ASSERT(streams < 0), "assertion failed: streams < 0 \\(.*debug_test.cpp:[0-9]+\\)");
    EXPECT_DEATH(NT_VERIFY(streams == 0), "verify failed: streams == 0");
    EXPECT_TRUE(NT_VERIFY(streams == 2));
}

} // namespace
