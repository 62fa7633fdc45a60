// The simulated device's status-interrupt endpoint, read as the driver reads it: interrupt-IN
// URBs on the bus stand-in. A control, jack or clock that changes on the device yields exactly
// one report in the release's format; reports wait in order while no read is pending; tests
// can queue reports of their own.
#include "support/usb_bus_client.h"

namespace
{

using Report = std::vector<uint8_t>;

// One interrupt-IN read with its own IRP, as the driver's status thread keeps one pending.
struct Read
{
    busclient::AsyncUrb Request;
    URB Urb{};
    UCHAR Buffer[16] = {};
};

class StatusInterrupt : public busclient::UsbBusClient
{
protected:
    // Plugs the device and selects its configuration with every interface at setting 0.
    void Plug(const std::string& name)
    {
        UsbBusClient::Plug(name);
        SelectConfiguration();
        m_StatusPipe = PipeOf(0x83).PipeHandle;
        ASSERT_NE(m_StatusPipe, nullptr);
    }

    // Arms one read of `length` bytes on the status pipe.
    void Arm(Read* read, ULONG length)
    {
        UsbBuildInterruptOrBulkTransferRequest(&read->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               m_StatusPipe, read->Buffer, nullptr, length,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        ASSERT_EQ(Submit(&read->Request, IOCTL_INTERNAL_USB_SUBMIT_URB, &read->Urb), STATUS_PENDING);
    }

    // Waits (in virtual time) for the read; an empty report when it is still pending after
    // `ms`, in which case it stays armed.
    Report Take(Read* read, LONGLONG ms = 100)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ms * 10000;
        if (KeWaitForSingleObject(&read->Request.Done, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT)
            return {};
        EXPECT_EQ(Collect(&read->Request), STATUS_SUCCESS);
        return Report(read->Buffer, read->Buffer + read->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }

    // One read of the next report, armed and taken; a read still pending is cancelled.
    Report Next(ULONG length)
    {
        Read read;
        Arm(&read, length);
        Report report = Take(&read);
        if (report.empty())
        {
            IoCancelIrp(read.Request.Irp);
            EXPECT_EQ(Collect(&read.Request), STATUS_CANCELLED);
        }
        return report;
    }

    sim::AudioControlEngine& Controls() { return m_device->Model().AudioControl(); }
    sim::StatusEndpoint& Status() { return m_device->StatusInterrupt(); }

    USBD_PIPE_HANDLE m_StatusPipe = nullptr;
};

TEST_F(StatusInterrupt, ClassOneControlChangeCompletesThePendingReadWithOneStatusWord)
{
    Plug("uac1-headset");
    EXPECT_EQ(Status().AddressOf(0), 0x83);
    Read read;
    Arm(&read, 2);
    EXPECT_TRUE(Take(&read, 50).empty()) << "nothing changed yet";

    ASSERT_TRUE(Controls().ChangeControl(5, 2, 0, 1024)); // microphone volume knob
    EXPECT_EQ(Take(&read), (Report{0x80, 5}));

    // Exactly one: the next read waits.
    Arm(&read, 2);
    EXPECT_TRUE(Take(&read, 200).empty());
    // Setting the value it already has changes nothing and reports nothing.
    ASSERT_TRUE(Controls().ChangeControl(5, 2, 0, 1024));
    EXPECT_TRUE(Take(&read, 50).empty());
    // A plugged jack is a change of its terminal.
    ASSERT_TRUE(Controls().SetJackConnected(3, false));
    EXPECT_EQ(Take(&read), (Report{0x80, 3}));
    EXPECT_EQ(Status().DeliveredReports(), 2u);
    EXPECT_EQ(Status().PendingReports(0x83), 0u);
}

TEST_F(StatusInterrupt, ClassTwoChangesAreInterruptDataMessages)
{
    Plug("uac2-interface");
    ASSERT_TRUE(Controls().ChangeControl(2, 2, 3, -1024)); // render volume of channel 3
    EXPECT_EQ(Next(6), (Report{0x00, 0x01, 3, 2, 0, 2}));
    ASSERT_TRUE(Controls().ChangeControl(5, 1, 0, 1)); // capture mute
    EXPECT_EQ(Next(6), (Report{0x00, 0x01, 0, 1, 0, 5}));
    ASSERT_TRUE(Controls().SetJackConnected(4, false)); // line input unplugged: connector control
    EXPECT_EQ(Next(6), (Report{0x00, 0x01, 0, 2, 0, 4}));
    ASSERT_TRUE(Controls().SetClockValid(10, false));
    EXPECT_EQ(Next(6), (Report{0x00, 0x01, 0, 2, 0, 10}));
    EXPECT_TRUE(Next(6).empty());
}

TEST_F(StatusInterrupt, ReportsWaitInOrderWhileNoReadIsPendingAndTestsQueueReportsOfTheirOwn)
{
    Plug("uac1-headset");
    ASSERT_TRUE(Controls().ChangeControl(2, 2, 0, -5120));
    ASSERT_TRUE(Controls().ChangeControl(5, 1, 0, 1));
    ASSERT_TRUE(Controls().SetJackConnected(4, false));
    ASSERT_TRUE(Controls().ChangeControl(2, 2, 0, -6400));
    EXPECT_EQ(Status().PendingReports(0x83), 4u);

    const Report expected[] = {{0x80, 2}, {0x80, 5}, {0x80, 4}, {0x80, 2}};
    for (const Report& report : expected)
        EXPECT_EQ(Next(2), report);
    EXPECT_TRUE(Next(2).empty());
    EXPECT_EQ(Status().DeliveredReports(), 4u);

    // The transfer record agrees: four reads of two bytes, then the cancelled one.
    size_t reads = 0;
    for (const plat::UsbBusTransferRecord& transfer : m_device->Transfers())
        if (transfer.EndpointAddress == 0x83 && transfer.Bytes == 2 &&
            transfer.UrbStatus == USBD_STATUS_SUCCESS)
            ++reads;
    EXPECT_EQ(reads, 4u);

    // A change report without changing anything, a streaming-interface report, and bytes
    // through the device's generic queue, which the status endpoint keeps in the same order.
    sim::ControlChange change;
    change.InterfaceNumber = 0;
    change.EntityId = 6;
    EXPECT_TRUE(Status().Report(change));
    EXPECT_TRUE(Status().QueueRaw(0x83, {0x81, 0x01}));
    m_device->QueueInData(0x83, {0x40, 0x07});
    EXPECT_FALSE(Status().QueueRaw(0x82, {0x80, 1})) << "the capture data endpoint is no status endpoint";
    change.InterfaceNumber = 1;
    EXPECT_FALSE(Status().Report(change)) << "a streaming interface has no status endpoint";

    EXPECT_EQ(Next(2), (Report{0x80, 6}));
    EXPECT_EQ(Next(2), (Report{0x81, 0x01}));
    // A read shorter than the report gets its first bytes.
    EXPECT_EQ(Next(1), (Report{0x40}));
    EXPECT_TRUE(Next(2).empty());
}

TEST_F(StatusInterrupt, DeviceWithoutStatusEndpointReportsNothing)
{
    sim::DeviceProfile profile = busclient::Builtin("uac1-speaker");
    std::shared_ptr<sim::SimUsbDevice> device = sim::SimUsbDevice::Create(profile);
    EXPECT_EQ(device->StatusInterrupt().AddressOf(0), 0);
    ASSERT_TRUE(device->Model().AudioControl().ChangeControl(2, 2, 0, -5120));
    EXPECT_EQ(device->StatusInterrupt().PendingReports(0x83), 0u);
    EXPECT_EQ(device->StatusInterrupt().DeliveredReports(), 0u);
}

} // namespace
