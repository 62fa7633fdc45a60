// DbgPrint into the readable log (with the runtime's conversions), the echo switch, and the
// assertions that stop the process.
#include "kernel_test_support.h"

#include "plat_debug.h"

#include <cstdlib>

namespace
{

using DebugDeathTest = kt::DeathTest;

// Every print form lands in the log; pieces without a newline join one line, and one call
// transmits at most 512 bytes.
TEST(Debug, PrintsAreLoggedLineByLine)
{
    plat::ClearDebugLog();
    DbgPrint("%ws at %p\n", u"Stream", reinterpret_cast<void*>(0x10));
    DbgPrint("SetFormat");
    DbgPrint(" Tag not PCM\nnext");
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_TRACE_LEVEL, " trace %u\n", 5u);
    KdPrint(("kd %s\n", "print"));
    EXPECT_EQ(plat::DebugLog(),
              (std::vector<std::string>{"Stream at 0000000000000010", "SetFormat Tag not PCM", "next trace 5",
                                        "kd print"}));
    plat::ClearDebugLog();
    EXPECT_TRUE(plat::DebugLog().empty());
    DbgPrint("%s\n", std::string(600, 'x').c_str());
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
