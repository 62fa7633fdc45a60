// The simulated device's status-interrupt endpoint, read as the driver reads it: interrupt-IN
// URBs on the bus stand-in. A control, jack or clock that changes on the device yields exactly
// one report in the release's format; reports wait in order while no read is pending; tests
// can queue reports of their own.
#include "ntddk.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_sched.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/pnp_manager.h"
#include "usb.h"
#include "usbdlib.h"
#include "usbioctl.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

using Report = std::vector<uint8_t>;

sim::DeviceProfile Builtin(const std::string& name)
{
    sim::DeviceProfile profile;
    std::string error;
    EXPECT_TRUE(sim::DeviceProfile::Parse(sim::BuiltinProfileText(name), name, ".", &profile, &error))
        << error;
    return profile;
}

// One interrupt-IN read with its own IRP, as the driver's status thread keeps one pending.
struct Read
{
    PIRP Irp = nullptr;
    URB Urb{};
    UCHAR Buffer[16] = {};
    KEVENT Done;
};

NTSTATUS ReadDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(&static_cast<Read*>(context)->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class StatusInterrupt : public testing::Test
{
protected:
    void SetUp() override
    {
        m_Snapshot = plat::TakePoolSnapshot();
        m_Irps = plat::IoLiveIrpCount();
    }
    void TearDown() override
    {
        m_Device.reset();
        m_Pnp.reset();
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        EXPECT_EQ(plat::IoLiveIrpCount(), m_Irps);
    }

    // Plugs the device and selects its configuration with every interface at setting 0.
    void Plug(const std::string& name)
    {
        sim::DeviceProfile profile = Builtin(name);
        m_Config = profile.ConfigurationDescriptor();
        m_Pnp.reset(new sim::PnpManager);
        m_Device = sim::SimUsbDevice::Create(profile);
        m_Device->AttachTo(*m_Pnp);
        auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (UCHAR n = 0; n < config->bNumInterfaces; ++n)
            list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, n, 0, -1, -1, -1), nullptr});
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
        ASSERT_NE(urb, nullptr);
        ASSERT_EQ(SendSync(urb), STATUS_SUCCESS);
        for (size_t i = 0; i + 1 < list.size(); ++i)
            for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; ++p)
                if (list[i].Interface->Pipes[p].EndpointAddress == 0x83)
                    m_StatusPipe = list[i].Interface->Pipes[p].PipeHandle;
        ExFreePool(urb);
        ASSERT_NE(m_StatusPipe, nullptr);
    }

    NTSTATUS SendSync(PURB urb)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, m_Pnp->Pdo(), nullptr, 0,
                                                 nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        if (IoCallDriver(m_Pnp->Pdo(), irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }

    // Arms one read of `length` bytes on the status pipe.
    void Arm(Read* read, ULONG length)
    {
        KeInitializeEvent(&read->Done, NotificationEvent, FALSE);
        UsbBuildInterruptOrBulkTransferRequest(&read->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               m_StatusPipe, read->Buffer, nullptr, length,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        read->Irp = IoAllocateIrp(m_Pnp->Pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read->Irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &read->Urb;
        IoSetCompletionRoutine(read->Irp, ReadDone, read, TRUE, TRUE, TRUE);
        ASSERT_EQ(IoCallDriver(m_Pnp->Pdo(), read->Irp), STATUS_PENDING);
    }

    // Waits (in virtual time) for the read; an empty report when it is still pending after
    // `ms`, in which case it stays armed.
    Report Take(Read* read, LONGLONG ms = 100)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -ms * 10000;
        if (KeWaitForSingleObject(&read->Done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
            return {};
        EXPECT_EQ(read->Irp->IoStatus.Status, STATUS_SUCCESS);
        IoFreeIrp(read->Irp);
        read->Irp = nullptr;
        return Report(read->Buffer, read->Buffer + read->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }

    // One read of the next report, armed and taken.
    Report Next(ULONG length)
    {
        Read read;
        Arm(&read, length);
        Report report = Take(&read);
        if (report.empty())
            Cancel(&read);
        return report;
    }

    void Cancel(Read* read)
    {
        IoCancelIrp(read->Irp);
        KeWaitForSingleObject(&read->Done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(read->Irp->IoStatus.Status, STATUS_CANCELLED);
        IoFreeIrp(read->Irp);
        read->Irp = nullptr;
    }

    sim::AudioControlEngine& Controls() { return m_Device->Model().AudioControl(); }
    sim::StatusEndpoint& Status() { return m_Device->StatusInterrupt(); }

    plat::ScopedThreadRegistration m_Registration{"status-interrupt-test"};
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Irps = 0;
    std::unique_ptr<sim::PnpManager> m_Pnp;
    std::shared_ptr<sim::SimUsbDevice> m_Device;
    std::vector<uint8_t> m_Config;
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

TEST_F(StatusInterrupt, ReportsWaitInOrderWhileNoReadIsPending)
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
    for (const plat::UsbBusTransferRecord& transfer : m_Device->Transfers())
        if (transfer.EndpointAddress == 0x83 && transfer.Bytes == 2 &&
            transfer.UrbStatus == USBD_STATUS_SUCCESS)
            ++reads;
    EXPECT_EQ(reads, 4u);
}

TEST_F(StatusInterrupt, TestsQueueReportsOfTheirOwn)
{
    Plug("uac1-headset");
    // A change report without changing anything, a streaming-interface report, and bytes
    // through the device's generic queue, which the status endpoint keeps in the same order.
    sim::ControlChange change;
    change.InterfaceNumber = 0;
    change.EntityId = 6;
    EXPECT_TRUE(Status().Report(change));
    EXPECT_TRUE(Status().QueueRaw(0x83, {0x81, 0x01}));
    m_Device->QueueInData(0x83, {0x40, 0x07});
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
    sim::DeviceProfile profile = Builtin("uac1-speaker");
    std::shared_ptr<sim::SimUsbDevice> device = sim::SimUsbDevice::Create(profile);
    EXPECT_EQ(device->StatusInterrupt().AddressOf(0), 0);
    ASSERT_TRUE(device->Model().AudioControl().ChangeControl(2, 2, 0, -5120));
    EXPECT_EQ(device->StatusInterrupt().PendingReports(0x83), 0u);
    EXPECT_EQ(device->StatusInterrupt().DeliveredReports(), 0u);
}

} // namespace
