// Who tears the class-1 function down when its owner lets go while the status thread runs: the
// owner while the thread waits for a report, the thread itself while it is busy with one. The
// device holds its class requests on the bus for a while, so the thread is caught inside an
// entity request (holding a temporary reference on the device) at a known point of virtual time.
#include "support/uac1_test_support.h"

namespace
{

using namespace u1t;

// Class GET_CUR to an interface: the requests of the status thread's first sweep.
constexpr int kClassGetIn = 0xA1;
constexpr int kGetCur = 0x81;
constexpr uint64_t kRequestDelay100ns = 100000; // 10 ms

void RunFrames(LONGLONG milliseconds = 500)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10000 * milliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    plat::Settle();
}

class Uac1StatusThreadLifetime : public Uac1Rig
{
protected:
    // Plugged and initialised; the snapshot covers only what Start and the thread allocate.
    void PlugAndInit()
    {
        Plug("uac1-headset");
        m_Baseline = plat::LiveSystemThreadCount();
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        m_Running = plat::LiveSystemThreadCount();
        m_pDevice->Model().ClearLog();
    }
    void HoldClassRequests()
    {
        sim::DeviceFaults faults = m_pDevice->Model().Faults();
        faults.Delay100ns = kRequestDelay100ns;
        faults.DelayFilter.RequestType = kClassGetIn;
        faults.DelayFilter.Request = kGetCur;
        m_pDevice->Model().SetFaults(faults);
    }
    size_t ClassGets()
    {
        size_t count = 0;
        for (const sim::ControlRecord& record : m_pDevice->Model().Log())
            count += record.Setup.RequestType == kClassGetIn && record.Setup.Request == kGetCur;
        return count;
    }
    // The owner's reference goes; the rig has nothing left to release.
    void ReleaseDevice()
    {
        m_pCommon->Release();
        m_pCommon = nullptr;
    }
    // Everything of the function object, the adapter object and their threads is gone.
    void ExpectTornDown()
    {
        EXPECT_EQ(plat::LiveSystemThreadCount(), m_Baseline);
        EXPECT_EQ(plat::PoolLiveBlocks(UAC1_DEVICE_POOL_TAG), 0u);
        EXPECT_EQ(plat::PoolLiveBlocks(UAC1_URB_POOL_TAG), 0u);
        EXPECT_EQ(Bus().PendingRequestCount(), 0u);
    }

    SIZE_T m_Baseline = 0; // before the adapter object: the bus's own threads
    SIZE_T m_Running = 0;  // with the adapter object, before Start
};

TEST_F(Uac1StatusThreadLifetime, LastReleaseDuringAnEntityRequestEndsTheThreadWithoutAStop)
{
    PlugAndInit();
    HoldClassRequests();
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    // The thread is now inside the first request of its sweep, holding a reference on the
    // device until the bus completes it.
    plat::Settle();
    ASSERT_EQ(plat::LiveSystemThreadCount(), m_Running + 1);
    ASSERT_EQ(ClassGets(), 1u);
    ReleaseDevice();
    // The release was not the last: the device still answers the rest of the sweep.
    EXPECT_EQ(plat::LiveSystemThreadCount(), m_Running + 1);
    RunFrames();
    EXPECT_GT(ClassGets(), 1u);
    ExpectTornDown();
}

TEST_F(Uac1StatusThreadLifetime, LastReleaseWhileTheThreadWaitsStopsItBeforeReturning)
{
    PlugAndInit();
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFrames();
    ASSERT_EQ(plat::LiveSystemThreadCount(), m_Running + 1);
    ReleaseDevice();
    ExpectTornDown();
}

TEST_F(Uac1StatusThreadLifetime, LastReleaseDuringAReportEndsTheThreadWithoutAStop)
{
    PlugAndInit();
    ASSERT_EQ(m_pCommon->Start(), STATUS_SUCCESS);
    RunFrames();
    HoldClassRequests();
    m_pDevice->Model().ClearLog();
    // A control change on unit 5: the thread re-reads it through held requests.
    ASSERT_TRUE(m_pDevice->Model().AudioControl().ChangeControl(5, 2, 0, 512));
    // Frame by frame until the endpoint's poll has brought the report and the re-read began.
    for (int frame = 0; frame < 100 && ClassGets() == 0; ++frame)
        RunFrames(1);
    ASSERT_EQ(ClassGets(), 1u);
    ReleaseDevice();
    EXPECT_EQ(plat::LiveSystemThreadCount(), m_Running + 1);
    RunFrames();
    ExpectTornDown();
}

} // namespace
