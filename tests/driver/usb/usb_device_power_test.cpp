// CUsbDevice power states and selective suspend on the simulated stack in virtual time: the
// idle requests that reach the bus (with their arrival times), the power requests at the
// physical device, the function double's record of power changes, the stand-in's count of
// timer-resolution raises and the pool are the oracles.
#include "support/usb_device_test_support.h"

#include "clock.h"

namespace
{

using udt::g_Created;

constexpr ULONGLONG kSecond = 10000000;
constexpr DEVICE_POWER_STATE D0 = PowerDeviceD0, D2 = PowerDeviceD2, D3 = PowerDeviceD3;
using States = std::vector<DEVICE_POWER_STATE>;

// How the hub answers idle requests: the bus stand-in, held by the test, or refused at once.
enum class Hub
{
    Bus,
    Hold,
    Refuse
};

class UsbDevicePower : public udt::UsbDeviceRig
{
protected:
    void SetUp() override
    {
        UsbDeviceRig::SetUp();
        m_Hub = Hub::Bus;
        m_bHoldPowerUp = false;
        m_pHeld = m_pHeldPowerUp = nullptr;
        m_IdleTimes.clear();
        m_BaseRaises = plat::TimerResolutionRaises();
        m_Untagged = plat::PoolLiveBlocks(plat::kUntaggedPoolTag);
    }

    // Plugs a class-1 speaker, starts the device object and registers it for power management
    // as StartDevice does. Suspend: the "SelectiveSuspendEnabled" value, none when negative.
    void Start(LONG suspend, bool registerPower = true)
    {
        Plug("uac1-speaker");
        m_pPnp->SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                              [this](PDEVICE_OBJECT pdo, PIRP irp) { return Internal(pdo, irp); });
        m_pPnp->SetPdoHandler(IRP_MJ_POWER, [this](PDEVICE_OBJECT, PIRP irp) { return Power(irp); });
        if (suspend >= 0)
        {
            std::u16string key = plat::IoDeviceParametersKeyPath(Pdo());
            ASSERT_EQ(plat::RegCreateKeyPath(key), STATUS_SUCCESS);
            ASSERT_EQ(plat::RegSetDword(key, u"SelectiveSuspendEnabled", ULONG(suspend)), STATUS_SUCCESS);
        }
        m_nTimersBeforeInit = plat::QueuedTimerCount();
        m_Before = KeQueryInterruptTime();
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        m_After = KeQueryInterruptTime();
        if (registerPower)
        {
            ASSERT_EQ(PcRegisterAdapterPowerManagement(m_pCommon, Fdo()), STATUS_SUCCESS);
        }
    }

    // Lets virtual time run to `at` after Init.
    void RunUntil(ULONGLONG at)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -LONGLONG(m_After + at - KeQueryInterruptTime());
        ASSERT_LT(delay.QuadPart, 0);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }

    // Arrival times of the idle requests, checked against the idle timer armed during Init.
    std::vector<ULONGLONG> IdleTimes()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_IdleTimes;
    }
    void ExpectIdleAt(std::vector<ULONGLONG> seconds)
    {
        std::vector<ULONGLONG> times = IdleTimes();
        ASSERT_EQ(times.size(), seconds.size());
        for (size_t i = 0; i < times.size(); ++i)
        {
            EXPECT_GE(times[i], m_Before + seconds[i] * kSecond) << "idle request " << i;
            EXPECT_LE(times[i], m_After + seconds[i] * kSecond) << "idle request " << i;
        }
    }

    IAdapterPowerManagement* PowerIf()
    {
        IAdapterPowerManagement* power = nullptr;
        EXPECT_EQ(m_pCommon->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)),
                  STATUS_SUCCESS);
        power->Release();
        return power;
    }
    void ChangeDirectly(DEVICE_POWER_STATE state)
    {
        POWER_STATE power;
        power.DeviceState = state;
        PowerIf()->PowerChangeState(power);
    }
    LONG RaisesHeld() const { return plat::TimerResolutionRaises() - m_BaseRaises; }

    // The held idle request: its callback, and its completion with a status of the test's.
    void CallHeldCallback()
    {
        PUSB_IDLE_CALLBACK_INFO info = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            ASSERT_NE(m_pHeld, nullptr);
            info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
                IoGetCurrentIrpStackLocation(m_pHeld)->Parameters.DeviceIoControl.Type3InputBuffer);
        }
        info->IdleCallback(info->IdleContext);
    }
    void CompleteHeld(PIRP* slot, NTSTATUS status)
    {
        PIRP irp = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            std::swap(irp, *slot);
        }
        ASSERT_NE(irp, nullptr);
        IoSetCancelRoutine(irp, nullptr);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    Hub m_Hub = Hub::Bus;
    bool m_bHoldPowerUp = false;
    PIRP m_pHeld = nullptr;        // idle request kept by the test hub
    PIRP m_pHeldPowerUp = nullptr; // D0 request kept at the physical device
    ULONG m_nIdleInputLength = 0;
    ULONG m_nIdleRecordTag = 0;
    SIZE_T m_nIdleRecordSize = 0;
    ULONGLONG m_Before = 0, m_After = 0;
    LONG m_BaseRaises = 0;
    SIZE_T m_nTimersBeforeInit = 0;
    SIZE_T m_Untagged = 0;

private:
    NTSTATUS Internal(PDEVICE_OBJECT pdo, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION)
            return Bus().DispatchInternalDeviceControl(pdo, irp);
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_IdleTimes.push_back(KeQueryInterruptTime());
            m_nIdleInputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
            plat::PoolQueryBlock(stack->Parameters.DeviceIoControl.Type3InputBuffer, &m_nIdleRecordTag,
                                 &m_nIdleRecordSize, nullptr);
        }
        if (m_Hub == Hub::Bus)
            return Bus().DispatchInternalDeviceControl(pdo, irp);
        if (m_Hub == Hub::Refuse)
        {
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_NOT_SUPPORTED;
        }
        irp->Tail.Overlay.DriverContext[0] = this;
        IoMarkIrpPending(irp);
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_pHeld = irp;
        }
        IoSetCancelRoutine(irp, CancelHeld);
        return STATUS_PENDING;
    }

    static VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        auto self = static_cast<UsbDevicePower*>(irp->Tail.Overlay.DriverContext[0]);
        {
            std::lock_guard<std::mutex> lock(self->m_Lock);
            self->m_pHeld = nullptr;
        }
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    NTSTATUS Power(PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (!m_bHoldPowerUp || stack->MinorFunction != IRP_MN_SET_POWER ||
            stack->Parameters.Power.State.DeviceState != D0)
            return sim::PnpManager::kPdoNotHandled;
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> lock(m_Lock);
        m_pHeldPowerUp = irp;
        return STATUS_PENDING;
    }

    std::mutex m_Lock;
    std::vector<ULONGLONG> m_IdleTimes;
};

// Whether the physical device's own handler was ever asked for that state.
bool PdoWentTo(sim::PnpManager* pnp, DEVICE_POWER_STATE state)
{
    States states = pnp->PdoPowerStates();
    return std::find(states.begin(), states.end(), state) != states.end();
}

// ---- The idle check ----

TEST_F(UsbDevicePower, IdleRequestReachesTheBusAfterFiveIdleSeconds)
{
    Start(1);
    RunUntil(kSecond * 49 / 10);
    EXPECT_TRUE(IdleTimes().empty());
    RunUntil(kSecond * 51 / 10);
    ExpectIdleAt({5});
    EXPECT_EQ(Bus().PendingRequestCount(), 1u);
    EXPECT_EQ(m_nIdleInputLength, sizeof(USB_IDLE_CALLBACK_INFO));
    EXPECT_EQ(m_nIdleRecordTag, plat::kUntaggedPoolTag);
    EXPECT_EQ(m_nIdleRecordSize, 16u);
    // Nothing more is sent while the request waits.
    RunUntil(30 * kSecond);
    EXPECT_EQ(IdleTimes().size(), 1u);
    EXPECT_TRUE(g_Created.PowerStates.empty());
}

// An active stream (active count) and a URB in flight at a tick each cost one period.
TEST_F(UsbDevicePower, BusyDeviceIsNotSuspended)
{
    Start(1);
    EXPECT_EQ(Usb()->IncrementActiveCount(), 1);
    // The tick itself sees the device busy: no work item is even queued.
    plat::HoldWorkQueue(true);
    RunUntil(kSecond * 51 / 10);
    EXPECT_EQ(plat::PoolLiveBlocks(MAKE_POOL_TAG('I', 'o', 'W', 'k')), 0u);
    plat::HoldWorkQueue(false);
    RunUntil(7 * kSecond);
    EXPECT_EQ(Usb()->DecrementActiveCount(), 0);
    RunUntil(kSecond * 98 / 10);
    sim::DeviceFaults faults;
    faults.Delay100ns = 4 * kSecond / 10; // answered at 10.2 s
    faults.DelayFilter.Value = 0x0100;
    Model().SetFaults(faults);
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    UCHAR buffer[18] = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    EXPECT_EQ(Usb()->SubmitUrbSync(&urb), STATUS_SUCCESS);
    EXPECT_TRUE(IdleTimes().empty());
    RunUntil(16 * kSecond);
    ExpectIdleAt({15});
}

TEST_F(UsbDevicePower, WithoutTheSettingTheTimerIsNeverArmed)
{
    for (LONG setting : {-1, 0, 1})
    {
        SCOPED_TRACE(setting);
        Start(setting);
        EXPECT_EQ(plat::QueuedTimerCount(), m_nTimersBeforeInit + (setting == 1 ? 1 : 0));
        RunUntil(30 * kSecond);
        EXPECT_EQ(IdleTimes().size(), setting == 1 ? 1u : 0u);
        TearDown();
        SetUp();
    }
}

// ---- Suspend and wake ----

TEST_F(UsbDevicePower, IdleCallbackSuspendsAndAnAccessWakesTheDevice)
{
    Start(1);
    RunUntil(kSecond * 51 / 10);
    ASSERT_TRUE(Bus().SignalIdle());
    EXPECT_EQ(g_Created.PowerStates, States({D2}));
    EXPECT_EQ(plat::IoRecordedDevicePowerState(Fdo()), D2);
    EXPECT_TRUE(PdoWentTo(m_pPnp, D2));
    EXPECT_EQ(RaisesHeld(), 0);
    EXPECT_EQ(m_pDevice->PortLog(), std::vector<std::string>({"status"}));

    ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(m_pCommon->WakeForAccess(nullptr), STATUS_SUCCESS);
    EXPECT_LT(KeQueryInterruptTime() - before, 5 * kSecond / 10) << "a wait ran into its time-out";
    EXPECT_EQ(g_Created.PowerStates, States({D2, D0}));
    EXPECT_EQ(plat::IoRecordedDevicePowerState(Fdo()), D0);
    EXPECT_EQ(Bus().PendingRequestCount(), 0u);
    EXPECT_EQ(RaisesHeld(), 1);

    // The check runs again five seconds after the request ended.
    ULONGLONG ended = KeQueryInterruptTime() - m_After;
    RunUntil(ended + kSecond * 51 / 10);
    ASSERT_EQ(IdleTimes().size(), 2u);
    EXPECT_EQ(IdleTimes()[1], m_After + ended + 5 * kSecond);
}

TEST_F(UsbDevicePower, AccessGivesUpOnAPowerUpThatDoesNotCome)
{
    Start(1);
    RunUntil(kSecond * 51 / 10);
    ASSERT_TRUE(Bus().SignalIdle());
    m_bHoldPowerUp = true;
    ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(m_pCommon->WakeForAccess(nullptr), STATUS_SUCCESS);
    ULONGLONG waited = KeQueryInterruptTime() - before;
    EXPECT_GE(waited, 5 * kSecond / 10);
    EXPECT_LE(waited, kSecond);
    EXPECT_EQ(g_Created.PowerStates, States({D2}));

    // The device comes back once the bus powers it.
    CompleteHeld(&m_pHeldPowerUp, STATUS_SUCCESS);
    plat::Settle();
    EXPECT_EQ(g_Created.PowerStates, States({D2, D0}));
    EXPECT_EQ(RaisesHeld(), 1);
}

// A suspended device whose idle request ends in failure is powered up again, unless the hub
// never supported the request.
TEST_F(UsbDevicePower, FailedIdleRequestPowersTheDeviceBackUp)
{
    struct Case
    {
        NTSTATUS Status;
        bool PowersUp;
    };
    for (Case c : {Case{STATUS_UNSUCCESSFUL, true}, Case{STATUS_DEVICE_NOT_CONNECTED, true},
                   Case{STATUS_CANCELLED, true}, Case{STATUS_NOT_SUPPORTED, false}})
    {
        SCOPED_TRACE(testing::Message() << std::hex << ULONG(c.Status));
        m_Hub = Hub::Hold;
        Start(1);
        RunUntil(kSecond * 51 / 10);
        CallHeldCallback();
        EXPECT_EQ(g_Created.PowerStates, States({D2}));
        CompleteHeld(&m_pHeld, c.Status);
        plat::Settle();
        EXPECT_EQ(g_Created.PowerStates, c.PowersUp ? States({D2, D0}) : States({D2}));
        EXPECT_EQ(PdoWentTo(m_pPnp, D0), c.PowersUp);
        EXPECT_EQ(RaisesHeld(), c.PowersUp ? 1 : 0);
        // Re-armed either way; a device left in D2 sends nothing.
        RunUntil(11 * kSecond);
        EXPECT_EQ(IdleTimes().size(), c.PowersUp ? 2u : 1u);
        TearDown();
        SetUp();
    }
}

TEST_F(UsbDevicePower, RefusedIdleRequestIsRetriedEveryFiveSeconds)
{
    m_Hub = Hub::Refuse;
    Start(1);
    RunUntil(16 * kSecond);
    ExpectIdleAt({5, 10, 15});
    EXPECT_TRUE(m_pPnp->PdoPowerStates().empty());
    EXPECT_TRUE(g_Created.PowerStates.empty());
}

TEST_F(UsbDevicePower, IdleRequestIsRefusedWhenPendingBusyOrOutsideD0)
{
    Start(0);
    EXPECT_EQ(m_pUsbDevice->SubmitIdleRequest(), STATUS_PENDING);
    EXPECT_EQ(m_pUsbDevice->SubmitIdleRequest(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(IdleTimes().size(), 1u);
    EXPECT_EQ(m_pCommon->WakeForAccess(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Bus().PendingRequestCount(), 0u);

    Usb()->IncrementActiveCount();
    EXPECT_EQ(m_pUsbDevice->SubmitIdleRequest(), STATUS_UNSUCCESSFUL);
    Usb()->DecrementActiveCount();
    ASSERT_EQ(m_pPnp->SetDevicePower(D3), STATUS_SUCCESS);
    EXPECT_EQ(m_pUsbDevice->SubmitIdleRequest(), STATUS_POWER_STATE_INVALID);
    EXPECT_EQ(IdleTimes().size(), 1u);
    EXPECT_EQ(plat::PoolLiveBlocks(plat::kUntaggedPoolTag), m_Untagged);
}

// ---- Power states ----

TEST_F(UsbDevicePower, PowerStatesReachTheFunctionInOrderWithBalancedResolution)
{
    Start(-1);
    EXPECT_EQ(RaisesHeld(), 1);
    EXPECT_EQ(PowerIf()->QueryPowerChangeState(POWER_STATE{}), STATUS_SUCCESS);
    ASSERT_EQ(m_pPnp->SetDevicePower(D3), STATUS_SUCCESS);
    EXPECT_EQ(RaisesHeld(), 0);
    EXPECT_EQ(m_pDevice->PortLog(), std::vector<std::string>({"status"}));
    ASSERT_EQ(m_pPnp->SetDevicePower(D0), STATUS_SUCCESS);
    EXPECT_EQ(RaisesHeld(), 1);
    EXPECT_EQ(g_Created.PowerStates, States({D3, D0}));

    // The state the device is in changes nothing, asked by the host or directly.
    ASSERT_EQ(m_pPnp->SetDevicePower(D0), STATUS_SUCCESS);
    ChangeDirectly(D0);
    EXPECT_EQ(g_Created.PowerStates, States({D3, D0}));
    EXPECT_EQ(RaisesHeld(), 1);

    // Down through D2 to D3 gives the resolution back once.
    ASSERT_EQ(m_pPnp->SetDevicePower(D2), STATUS_SUCCESS);
    ASSERT_EQ(m_pPnp->SetDevicePower(D3), STATUS_SUCCESS);
    EXPECT_EQ(RaisesHeld(), 0);
    ASSERT_EQ(m_pPnp->SetDevicePower(D0), STATUS_SUCCESS);
    EXPECT_EQ(RaisesHeld(), 1);
    EXPECT_EQ(g_Created.PowerStates, States({D3, D0, D2, D3, D0}));
    EXPECT_EQ(m_pDevice->PortLog().size(), 3u);
}

TEST_F(UsbDevicePower, VanishedDeviceIsNotToldItIsPoweringDown)
{
    Start(-1);
    sim::DeviceFaults faults;
    faults.Vanished = true;
    Model().SetFaults(faults);
    ASSERT_EQ(m_pPnp->SetDevicePower(D3), STATUS_SUCCESS);
    EXPECT_TRUE(g_Created.PowerStates.empty());
    EXPECT_EQ(RaisesHeld(), 0);
    ASSERT_EQ(m_pPnp->SetDevicePower(D0), STATUS_SUCCESS);
    EXPECT_EQ(g_Created.PowerStates, States({D0}));
}

TEST_F(UsbDevicePower, CapabilitiesReportSurpriseRemovalOK)
{
    Start(-1, false);
    // A bus that leaves the flag clear.
    m_pPnp->SetPdoHandler(IRP_MJ_PNP,
                          [](PDEVICE_OBJECT, PIRP irp)
                          {
                              PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                              if (stack->MinorFunction != IRP_MN_QUERY_CAPABILITIES)
                                  return sim::PnpManager::kPdoNotHandled;
                              stack->Parameters.DeviceCapabilities.Capabilities->DeviceD2 = 1;
                              irp->IoStatus.Status = STATUS_SUCCESS;
                              IoCompleteRequest(irp, IO_NO_INCREMENT);
                              return STATUS_SUCCESS;
                          });
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(m_pPnp->QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    ASSERT_EQ(PcRegisterAdapterPowerManagement(m_pCommon, Fdo()), STATUS_SUCCESS);
    ASSERT_EQ(m_pPnp->QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.DeviceD2, 1u);
}

// ---- Teardown ----

TEST_F(UsbDevicePower, RemovalDuringAnIdleRequestLeavesNothingBehind)
{
    for (bool suspended : {false, true})
    {
        SCOPED_TRACE(suspended ? "suspended" : "awake");
        Start(1);
        RunUntil(kSecond * 51 / 10);
        if (suspended)
        {
            ASSERT_TRUE(Bus().SignalIdle());
        }
        ReleaseDevice(); // the port-class library still holds the power interface
        EXPECT_EQ(plat::PoolLiveBlocks(USB_DEVICE_OBJECT_POOL_TAG), 1u);
        ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
        EXPECT_EQ(plat::PoolLiveBlocks(USB_DEVICE_OBJECT_POOL_TAG), 0u);
        EXPECT_EQ(Bus().PendingRequestCount(), 0u);
        EXPECT_FALSE(PdoWentTo(m_pPnp, D0)) << "a device being removed was powered up";
        TearDown();
        SetUp();
    }
}

// Teardown while an idle check waits for a worker: the check finds the device going and
// sends nothing, and teardown waits for it before freeing anything.
TEST_F(UsbDevicePower, TeardownDuringAnIdleCheckSendsNothing)
{
    Start(1, false);
    plat::HoldWorkQueue(true);
    RunUntil(kSecond * 51 / 10);
    plat::HostThread release("release", [this] { ReleaseDevice(); });
    plat::Settle();
    EXPECT_EQ(plat::PoolLiveBlocks(USB_DEVICE_OBJECT_POOL_TAG), 1u) << "freed under a queued check";
    plat::HoldWorkQueue(false);
    release.Join();
    EXPECT_EQ(plat::PoolLiveBlocks(USB_DEVICE_OBJECT_POOL_TAG), 0u);
    EXPECT_TRUE(IdleTimes().empty());
}

} // namespace
