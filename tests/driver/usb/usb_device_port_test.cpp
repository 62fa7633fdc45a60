// CUsbDevice's way to the bus: URBs that time out and are cancelled (on virtual time), a device
// that disappears and the presence flag that follows it, and port reset and cycle against
// connected, disconnected and vanished devices. The requests that reach the physical device
// and the device model's log are the oracles.
#include "support/usb_device_test_support.h"

#include "clock.h"

namespace
{

using udt::g_Created;
using udt::PortAnswer;

constexpr ULONG kPortStatus = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
constexpr ULONG kReset = IOCTL_INTERNAL_USB_RESET_PORT;
constexpr ULONG kCycle = IOCTL_INTERNAL_USB_CYCLE_PORT;
constexpr ULONG kConnected = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;

class UsbDevicePort : public udt::UsbDeviceRig
{
protected:
    void Start(const char* profile = "uac1-speaker")
    {
        Plug(profile);
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
        Model().ClearLog();
    }

    // GET_DESCRIPTOR (device) through SubmitUrbSync; the URB's status word lands in *UrbStatus.
    NTSTATUS ReadDeviceDescriptor(USBD_STATUS* urbStatus = nullptr, ULONG* bytes = nullptr)
    {
        URB urb;
        std::memset(&urb, 0, sizeof(urb));
        UCHAR buffer[18] = {};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof(buffer),
                                     nullptr);
        NTSTATUS status = Usb()->SubmitUrbSync(&urb);
        if (urbStatus)
            *urbStatus = urb.UrbHeader.Status;
        if (bytes)
            *bytes = urb.UrbControlDescriptorRequest.TransferBufferLength;
        return status;
    }

    void DelayDeviceDescriptor(ULONGLONG delay100ns)
    {
        sim::DeviceFaults faults;
        faults.Delay100ns = delay100ns;
        faults.DelayFilter.Value = 0x0100;
        Model().SetFaults(faults);
    }

    void Vanish(bool vanished)
    {
        sim::DeviceFaults faults = Model().Faults();
        faults.Vanished = vanished;
        Model().SetFaults(faults);
    }

    std::vector<ULONG> PortRequestsOnly()
    {
        std::vector<ULONG> codes;
        for (ULONG code : PortRequests())
        {
            if (code == kPortStatus || code == kReset || code == kCycle)
                codes.push_back(code);
        }
        return codes;
    }
};

// ---- Time-out ----

TEST_F(UsbDevicePort, AUrbHeldPastHalfASecondIsCancelled)
{
    Start();
    DelayDeviceDescriptor(6000000); // 0.6 s
    ULONGLONG before = KeQueryInterruptTime();
    USBD_STATUS urbStatus = 0;
    EXPECT_EQ(ReadDeviceDescriptor(&urbStatus), STATUS_CANCELLED);
    ULONGLONG waited = KeQueryInterruptTime() - before;
    EXPECT_EQ(urbStatus, USBD_STATUS_CANCELED);
    EXPECT_GE(waited, 5000000u);
    EXPECT_LT(waited, 6000000u) << "the caller waited for the device instead of cancelling";
    EXPECT_EQ(Bus().PendingRequestCount(), 0u);
    ASSERT_EQ(Log().size(), 1u);
    EXPECT_EQ(Log()[0].Setup.Value, 0x0100);

    // The device is still there: the next request goes through.
    Model().SetFaults(sim::DeviceFaults());
    EXPECT_EQ(ReadDeviceDescriptor(), STATUS_SUCCESS);
}

TEST_F(UsbDevicePort, AUrbAnsweredWithinHalfASecondCompletes)
{
    Start();
    DelayDeviceDescriptor(4000000); // 0.4 s
    ULONGLONG before = KeQueryInterruptTime();
    ULONG bytes = 0;
    EXPECT_EQ(ReadDeviceDescriptor(nullptr, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 18u);
    EXPECT_GE(KeQueryInterruptTime() - before, 4000000u);
}

// A delayed identification string is cancelled at start and the fallback string read instead.
TEST_F(UsbDevicePort, StartSurvivesAnIdentificationReadThatTimesOut)
{
    Plug(udt::ProfileWithStrings("uac1-speaker", "string 0x50 \"8142\"\nstring 0x32 \"8153\"\n"));
    sim::DeviceFaults faults;
    faults.Delay100ns = 10000000;
    faults.DelayFilter.Value = 0x0350;
    Model().SetFaults(faults);
    ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS);
    EXPECT_EQ(g_Created.Kind, UsbAudioFunctionVariantC);
}

// ---- Presence ----

TEST_F(UsbDevicePort, ADisconnectedAnswerKeepsEveryLaterUrbOffTheBus)
{
    Start();
    Vanish(true);
    EXPECT_EQ(ReadDeviceDescriptor(), STATUS_DEVICE_NOT_CONNECTED);
    Vanish(false);
    size_t seen = Log().size();
    EXPECT_EQ(ReadDeviceDescriptor(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ReadDeviceDescriptor(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Log().size(), seen) << "nothing may reach the device while it counts as gone";
    EXPECT_EQ(Usb()->SetDevicePresent(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ReadDeviceDescriptor(), STATUS_SUCCESS);
    EXPECT_EQ(Log().size(), seen + 1);
}

TEST_F(UsbDevicePort, AStalledUrbLeavesTheDevicePresent)
{
    Start();
    sim::DeviceFaults faults;
    faults.StallMatching = true;
    faults.StallFilter.Value = 0x0100;
    Model().SetFaults(faults);
    EXPECT_FALSE(NT_SUCCESS(ReadDeviceDescriptor()));
    Model().SetFaults(sim::DeviceFaults());
    EXPECT_EQ(ReadDeviceDescriptor(), STATUS_SUCCESS);
}

// ---- Reset ----

// What ResetPort makes of the hub's answers: whether the device counts as gone, the requests
// sent to the port (a second look 100 ms after a lost one, then a reset or a cycle), and the
// power trip that lets the function restore its settings after a reset.
TEST_F(UsbDevicePort, ResetPortFollowsThePortStatus)
{
    const PortAnswer lost{STATUS_NO_SUCH_DEVICE, 0};
    const DEVICE_POWER_STATE d0 = PowerDeviceD0, d3 = PowerDeviceD3;
    const struct
    {
        const char* Name;
        std::vector<PortAnswer> Script;
        bool Vanish;
        bool Gone;
        std::vector<ULONG> Requests;
        std::vector<DEVICE_POWER_STATE> Power;
    } rows[] = {
        {"connected", {}, false, false, {kPortStatus}, {}},
        {"port reports disconnected", {{STATUS_SUCCESS, USBD_PORT_ENABLED}}, false, true, {kPortStatus}, {}},
        {"vanished", {}, true, true, {kPortStatus}, {}},
        {"lost and found again",
         {lost, {STATUS_SUCCESS, kConnected}},
         false,
         false,
         {kPortStatus, kPortStatus, kReset},
         {d3, d0}},
        {"stays lost", {lost, lost}, false, true, {kPortStatus, kPortStatus, kCycle}, {}},
        {"lost, then disconnected", {lost, {STATUS_SUCCESS, 0}}, false, true, {kPortStatus, kPortStatus}, {}},
        {"any other failure", {{STATUS_UNSUCCESSFUL, 0}}, false, true, {kPortStatus}, {}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        RemoveAndCheck();
        SetUp();
        Start();
        Vanish(row.Vanish);
        ScriptPort(row.Script);
        ULONGLONG before = KeQueryInterruptTime();
        EXPECT_EQ(Usb()->ResetPort(), BOOLEAN(row.Gone));
        if (row.Requests.size() > 1)
        {
            EXPECT_GE(KeQueryInterruptTime() - before, 1000000u) << "100 ms between the two looks";
        }
        EXPECT_EQ(PortRequestsOnly(), row.Requests);
        std::vector<std::string> hub;
        for (ULONG code : row.Requests)
            hub.push_back(code == kPortStatus ? "status" : code == kReset ? "reset" : "cycle");
        EXPECT_EQ(m_pDevice->PortLog(), hub) << "what reached the hub";
        EXPECT_EQ(g_Created.PowerStates, row.Power);
        // Nothing reaches a device that counts as gone, and it is not looked for again; one
        // that is there (reset or not) is configured and answers.
        size_t seen = Log().size();
        EXPECT_EQ(ReadDeviceDescriptor(), row.Gone ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(Log().size(), seen + (row.Gone ? 0 : 1));
        if (!row.Gone)
        {
            EXPECT_NE(Model().Configuration(), 0);
        }
        else
        {
            EXPECT_TRUE(Usb()->ResetPort());
            EXPECT_EQ(PortRequestsOnly(), row.Requests) << "a second look at the port";
        }
    }
}

// ---- Cycle ----

TEST_F(UsbDevicePort, CyclePortCyclesOnceAndThenOnlyReports)
{
    Start();
    EXPECT_TRUE(Usb()->CyclePort());
    EXPECT_EQ(PortRequestsOnly(), std::vector<ULONG>({kCycle}));
    EXPECT_EQ(m_pDevice->PortLog(), std::vector<std::string>({"cycle"}));
    EXPECT_EQ(ReadDeviceDescriptor(), STATUS_UNSUCCESSFUL);

    EXPECT_TRUE(Usb()->CyclePort());
    EXPECT_EQ(PortRequestsOnly().size(), 1u) << "a second cycle sends nothing";
    // Presence given back by hand is reported as such; the port is still not cycled again.
    Usb()->SetDevicePresent(TRUE);
    EXPECT_FALSE(Usb()->CyclePort());
    EXPECT_EQ(PortRequestsOnly().size(), 1u);
}

TEST_F(UsbDevicePort, CyclePortOnAVanishedDeviceStillCountsItGone)
{
    Start();
    Vanish(true);
    EXPECT_TRUE(Usb()->CyclePort());
    EXPECT_EQ(PortRequestsOnly(), std::vector<ULONG>({kCycle}));
    EXPECT_TRUE(m_pDevice->PortLog().empty()) << "the hub does not reach a device that is gone";
}

// ---- IRPs for the stream objects ----

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(UsbDevicePort, AllocatedIrpsCarryTheirOwnStackLocationAndReachTheBus)
{
    Start();
    IUsbDevice* usb = Usb();
    PIRP irp = usb->AllocateIrp();
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, Fdo()->StackSize + 1);
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    UCHAR buffer[18] = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    usb->CallLowerDriver(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 18);
    usb->FreeIrp(irp);
    EXPECT_EQ(Log().size(), 1u);

    EXPECT_EQ(usb->IncrementActiveCount(), 1);
    EXPECT_EQ(usb->IncrementActiveCount(), 2);
    EXPECT_EQ(usb->DecrementActiveCount(), 1);
    EXPECT_EQ(usb->DecrementActiveCount(), 0);
}

} // namespace
