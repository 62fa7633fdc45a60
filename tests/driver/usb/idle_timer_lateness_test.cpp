// CUsbDevice's periodic idle check when the system delivers its timer late (the stand-in's
// late-timer switch): the check runs once at the late instant, and the checks after it keep
// the 5-second grid of the timer armed during Init. The oracle is the time the idle request
// reaches the bus.
#include "support/usb_device_test_support.h"

#include "clock.h"

#include <algorithm>

namespace
{

constexpr ULONGLONG kMs = 10000;
constexpr ULONGLONG kSecond = 1000 * kMs;

class IdleTimerLateness : public udt::UsbDeviceRig
{
protected:
    void TearDown() override
    {
        plat::SetTimerLateness(0);
        UsbDeviceRig::TearDown();
    }

    // A class-1 speaker with selective suspend on; the idle timer is armed during Init.
    void StartWithSuspend()
    {
        Plug("uac1-speaker");
        std::u16string key = plat::IoDeviceParametersKeyPath(Pdo());
        ASSERT_EQ(plat::RegCreateKeyPath(key), STATUS_SUCCESS);
        ASSERT_EQ(plat::RegSetDword(key, u"SelectiveSuspendEnabled", 1), STATUS_SUCCESS);
        m_Init = KeQueryInterruptTime();
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        ASSERT_EQ(PcRegisterAdapterPowerManagement(m_pCommon, Fdo()), STATUS_SUCCESS);
    }

    // Lets virtual time run to `atMs` after Init.
    void RunUntilMs(ULONGLONG atMs)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -LONGLONG(m_Init + atMs * kMs - KeQueryInterruptTime());
        ASSERT_LT(delay.QuadPart, 0);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

    size_t IdleRequests()
    {
        std::vector<ULONG> codes = PortRequests();
        return std::count(codes.begin(), codes.end(), ULONG(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION));
    }

    ULONGLONG m_Init = 0;
};

TEST_F(IdleTimerLateness, LateCheckSendsTheIdleRequestWhenItRuns)
{
    plat::SetTimerLateness(3 * kSecond, 1);
    StartWithSuspend();
    RunUntilMs(7900);
    EXPECT_EQ(IdleRequests(), 0u);
    RunUntilMs(8100);
    EXPECT_EQ(IdleRequests(), 1u);
}

// The late check finds the device busy; the next one is due 10 s after Init, not 5 s after the
// late one.
TEST_F(IdleTimerLateness, CheckAfterALateOneKeepsTheGrid)
{
    plat::SetTimerLateness(3 * kSecond, 1);
    StartWithSuspend();
    EXPECT_EQ(Usb()->IncrementActiveCount(), 1);
    RunUntilMs(9000);
    EXPECT_EQ(IdleRequests(), 0u);
    EXPECT_EQ(Usb()->DecrementActiveCount(), 0);
    RunUntilMs(9900);
    EXPECT_EQ(IdleRequests(), 0u);
    RunUntilMs(10100);
    EXPECT_EQ(IdleRequests(), 1u);
}

} // namespace
