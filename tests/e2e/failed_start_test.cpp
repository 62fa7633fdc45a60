// Starts that fail, end to end: whichever step refuses the device, the start reports it, and the
// removal that follows leaves no thread, pool block or object of the driver behind (the rig's
// teardown checks every count and names any thread that outlives the removal).
#include "e2e_rig.h"

#include "plat_portcls.h"

#include "driver/core/device_extension.h"

#include <functional>

namespace e2e
{
namespace
{

using FailedStartE2e = DriverRig;

std::string SeedDump(const std::string& name)
{
    return std::string(UACSIM_SOURCE_DIR) + "/fuzz/seeds/" + name;
}

bool LogHas(const std::string& text)
{
    return plat::DebugLogText().find(text) != std::string::npos;
}

// A render path whose streaming terminal sits behind a mixer: the endpoint has no terminal of
// its own to tie a wave filter to. The start is refused, and says why, before any port is bound
// to a miniport that could never be registered (which kept the device, its stream and the
// stream's worker thread alive for ever).
TEST_F(FailedStartE2e, AnEndpointWithoutAStreamingTerminalIsRefusedAndLeavesNoThread)
{
    LoadOn(SeedDump("render-path-without-streaming-terminal-fails-start.bin"));
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(LogHas("endpoint SPKOut00 (streaming interface 1): no pin of the topology filter carries its "
                       "terminal node 0"))
        << plat::DebugLogText();
    EXPECT_EQ(Extension()->AdapterCommon, nullptr);
    RemoveAndCheck();
    EXPECT_EQ(plat::LiveSystemThreadCount(), 0u);
}

struct FailedStep
{
    const char* Name;
    std::function<void()> Arm;
};

// Each step of the start on a headset (two endpoints, a status thread) fails in turn.
TEST_F(FailedStartE2e, EveryFailedStepLeavesNothingBehindAfterRemoval)
{
    const FailedStep steps[] = {
        {"topology registration",
         [] {
             plat::PcFailNextRegistration(plat::PcRegistrationOp::RegisterSubdevice,
                                          STATUS_INSUFFICIENT_RESOURCES);
         }},
        {"first worker thread", [] { plat::FailSystemThreadCreations(1); }},
        {"physical connection",
         [] {
             plat::PcFailNextRegistration(plat::PcRegistrationOp::RegisterConnection,
                                          STATUS_INSUFFICIENT_RESOURCES);
         }},
    };
    for (const FailedStep& step : steps)
    {
        SCOPED_TRACE(step.Name);
        LoadOn("uac1-headset");
        step.Arm();
        EXPECT_FALSE(NT_SUCCESS(Start()));
        EXPECT_EQ(Extension()->AdapterCommon, nullptr);
        RemoveAndCheck();
        SetUp();
    }
}

// The last step: the device runs (its status thread too) when the enumeration interface cannot
// be enabled; the failed start stops it again.
TEST_F(FailedStartE2e, AStartRefusedAfterTheDeviceRanStopsItAgain)
{
    LoadOn("uac1-headset");
    // The interface the start enables is no longer where its link name points.
    UNICODE_STRING& link = Extension()->EnumLinkName;
    ASSERT_TRUE(Extension()->EnumInterfaceRegistered);
    ASSERT_GT(link.Length, 0);
    const WCHAR kept = link.Buffer[link.Length / sizeof(WCHAR) - 1];
    link.Buffer[link.Length / sizeof(WCHAR) - 1] = u'#';
    EXPECT_EQ(Start(), STATUS_OBJECT_NAME_NOT_FOUND);
    link.Buffer[link.Length / sizeof(WCHAR) - 1] = kept;
    EXPECT_EQ(Extension()->AdapterCommon, nullptr);
    // The bus's own thread, and the streams' two workers, which live on with the device until its
    // removal; the status thread is gone.
    EXPECT_EQ(plat::LiveSystemThreadCount(), 3u) << plat::DescribeThreads();
}

// Every pool allocation of the start fails once in turn: whatever the start then reports, the
// removal leaves nothing behind.
TEST_F(FailedStartE2e, EachAllocationOfTheStartFailingOnceLeavesNothingBehind)
{
    LoadOn("uac1-headset");
    const ULONGLONG first = plat::PoolAllocationCount();
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const ULONG count = ULONG(plat::PoolAllocationCount() - first);
    RemoveAndCheck();
    ASSERT_GT(count, 10u);
    ULONG refused = 0;
    for (ULONG n = 1; n <= count && !HasFailure(); ++n)
    {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(count));
        SetUp();
        LoadOn("uac1-headset");
        plat::FailNthAllocation(n);
        refused += NT_SUCCESS(Start()) ? 0 : 1;
        plat::ClearPoolFailures();
        RemoveAndCheck();
    }
    EXPECT_GT(refused, 0u);
}

} // namespace
} // namespace e2e
