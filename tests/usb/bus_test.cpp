// The USB bus stand-in driven as a client driver drives it: URBs built with the USBD macros and
// sent to the physical device object from a test thread, waits in virtual time, and the
// simulated device's own records (control log, transfer and packet records) as the oracle.
#include "platform/kernel_test_support.h"
#include "support/usb_bus_client.h"

#include "usbbusif.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace
{

using busclient::AsyncUrb;
using busclient::Builtin;
using UsbBusTest = busclient::UsbBusClient;
using SetupKey = std::tuple<int, int, int, int, int>; // bmRequestType, bRequest, wValue, wIndex, wLength

// The setup packets of the device's control log, in order.
std::vector<SetupKey> Setups(const std::vector<sim::ControlRecord>& log)
{
    std::vector<SetupKey> setups;
    for (const sim::ControlRecord& r : log)
        setups.emplace_back(r.Setup.RequestType, r.Setup.Request, r.Setup.Value, r.Setup.Index,
                            r.Setup.Length);
    return setups;
}

void DescriptorUrb(URB* urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length)
{
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                 buffer, nullptr, length, nullptr);
}

void InterruptUrb(URB* urb, USBD_PIPE_HANDLE pipe, PUCHAR report, ULONG flags = USBD_TRANSFER_DIRECTION_IN)
{
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, report,
                                           nullptr, 2, flags, nullptr);
}

void ClassUrb(URB* urb, USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, PVOID data,
              ULONG length)
{
    UsbBuildVendorRequest(urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0,
                          request, value, index, data, nullptr, length, nullptr);
}

VOID IdleCallback(PVOID context)
{
    ++*static_cast<int*>(context);
}

// An isochronous URB of `count` packets of `bytes` each, over the caller's buffer.
std::vector<UCHAR> IsoUrb(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG startFrame, ULONG count, ULONG bytes,
                          std::vector<UCHAR>* buffer)
{
    buffer->assign(count * bytes, 0x5A);
    std::vector<UCHAR> storage(GET_ISO_URB_SIZE(count), 0);
    auto& iso = reinterpret_cast<PURB>(storage.data())->UrbIsochronousTransfer;
    iso.Hdr.Length = USHORT(storage.size());
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe;
    iso.TransferFlags = flags;
    iso.TransferBufferLength = ULONG(buffer->size());
    iso.TransferBuffer = buffer->data();
    iso.StartFrame = startFrame;
    iso.NumberOfPackets = count;
    for (ULONG i = 0; i < count; ++i)
        iso.IsoPacket[i] = {i * bytes, bytes, 0};
    return storage;
}

TEST_F(UsbBusTest, DescriptorReadsReturnTheProfileBytes)
{
    sim::DeviceProfile profile = Builtin("uac1-speaker");
    Plug(profile);
    URB urb{};
    std::vector<UCHAR> buffer(512, 0xEE);
    DescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 18);
    ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + 18), profile.DeviceDescriptor());
    // A buffer larger than the descriptor gets what the device has, and says how much.
    DescriptorUrb(&urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 512);
    ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    const std::vector<UCHAR>& config = profile.ConfigurationDescriptor();
    ASSERT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, config.size());
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + config.size()), config);
    DescriptorUrb(&urb, USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer.data(), 255);
    ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + 2), (buffer[0] - 2) / 2),
              u"Uacsim USB Speaker");
    EXPECT_EQ(Setups(m_device->Model().Log()),
              (std::vector<SetupKey>{
                  {0x80, 6, 0x0100, 0, 18}, {0x80, 6, 0x0200, 0, 512}, {0x80, 6, 0x0302, 0x0409, 255}}));
}

TEST_F(UsbBusTest, SelectConfigurationAndInterfaceOpenThePipesOfTheDescriptors)
{
    Plug("uac1-headset");
    SelectConfiguration();
    EXPECT_NE(m_configHandle, nullptr);
    EXPECT_EQ(m_device->Model().Configuration(), 1);
    ASSERT_EQ(m_pipes.size(), 1u);
    const USBD_PIPE_INFORMATION& status = m_pipes[0];
    EXPECT_EQ(std::make_tuple(int(status.EndpointAddress), status.PipeType, int(status.MaximumPacketSize),
                              int(status.Interval)),
              std::make_tuple(0x83, UsbdPipeTypeInterrupt, 2, 0x20));
    EXPECT_NE(status.PipeHandle, nullptr);

    ASSERT_EQ(SelectInterface(1, 2, 1), STATUS_SUCCESS);
    EXPECT_EQ(m_device->Model().AlternateSetting(1), 2);
    USBD_PIPE_INFORMATION iso = PipeOf(0x01);
    EXPECT_EQ(iso.PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(iso.MaximumPacketSize, 294);
    EXPECT_NE(iso.PipeHandle, m_pipes[0].PipeHandle);
    // An alternate setting the interface lacks, and a record too short for the pipes.
    EXPECT_EQ(SelectInterface(1, 7, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SelectInterface(1, 1, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_device->Model().AlternateSetting(1), 2);

    // A reselected configuration leaves the old handles behind.
    USBD_PIPE_HANDLE stale = PipeOf(0x83).PipeHandle;
    SelectConfiguration();
    EXPECT_NE(PipeOf(0x83).PipeHandle, stale);
    URB urb{};
    UCHAR report[2];
    InterruptUrb(&urb, stale, report);
    EXPECT_EQ(SendUrb(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// Requests a host controller refuses before they reach the wire, each with the status pair a
// real stack gives; none of them reaches the device or pends.
TEST_F(UsbBusTest, MalformedRequestsAreRefusedWithTheStatusOfARealStack)
{
    Plug("uac1-headset");
    SelectConfiguration();
    ASSERT_EQ(SelectInterface(1, 1, 1), STATUS_SUCCESS);
    USBD_PIPE_HANDLE interruptPipe = PipeOf(0x83).PipeHandle, isoPipe = PipeOf(0x01).PipeHandle;
    const ULONG frame = m_device->Bus().CurrentFrame();
    m_device->Model().ClearLog();
    using Build = std::function<std::vector<UCHAR>(std::vector<UCHAR>*)>;
    auto bulk = [](USBD_PIPE_HANDLE pipe, ULONG flags, USHORT length) -> Build
    {
        return [=](std::vector<UCHAR>* buffer)
        {
            buffer->assign(8, 0);
            std::vector<UCHAR> storage(sizeof(URB), 0);
            InterruptUrb(reinterpret_cast<PURB>(storage.data()), pipe, buffer->data(), flags);
            reinterpret_cast<PURB>(storage.data())->UrbHeader.Length = length;
            return storage;
        };
    };
    auto iso = [&](ULONG flags, ULONG start, ULONG bytes) -> Build
    { return [=](std::vector<UCHAR>* buffer) { return IsoUrb(isoPipe, flags, start, 2, bytes, buffer); }; };
    auto raw = [](USHORT function, USHORT length) -> Build
    {
        return [=](std::vector<UCHAR>*)
        {
            std::vector<UCHAR> storage(sizeof(URB), 0);
            PURB urb = reinterpret_cast<PURB>(storage.data());
            ClassUrb(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 1, 0, 0, nullptr, 4);
            urb->UrbHeader.Function = function;
            urb->UrbHeader.Length = length;
            return storage;
        };
    };
    const struct
    {
        const char* Name;
        Build Make;
        USBD_STATUS UrbStatus;
        NTSTATUS Status;
    } cases[] = {
        {"made-up pipe handle", bulk(USBD_PIPE_HANDLE(0x1234), USBD_TRANSFER_DIRECTION_IN, 128),
         USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"OUT on an IN pipe", bulk(interruptPipe, USBD_TRANSFER_DIRECTION_OUT, 128),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"URB shorter than its function", bulk(interruptPipe, USBD_TRANSFER_DIRECTION_IN, 40),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"bulk request on an isochronous pipe", bulk(isoPipe, USBD_TRANSFER_DIRECTION_OUT, 128),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"packet over the endpoint's size", iso(USBD_START_ISO_TRANSFER_ASAP, 0, 197),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"start frame already begun", iso(0, frame, 176), USBD_STATUS_BAD_START_FRAME, STATUS_UNSUCCESSFUL},
        {"start frame too far ahead", iso(0, frame + 1025, 176), USBD_STATUS_BAD_START_FRAME,
         STATUS_UNSUCCESSFUL},
        {"unknown function", raw(0x7F, sizeof(URB)), USBD_STATUS_INVALID_URB_FUNCTION,
         STATUS_INVALID_PARAMETER},
        {"control data stage without a buffer",
         raw(URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases)
    {
        std::vector<UCHAR> buffer;
        std::vector<UCHAR> storage = c.Make(&buffer);
        auto urb = reinterpret_cast<PURB>(storage.data());
        bool pended = true;
        EXPECT_EQ(SendUrb(urb, &pended), c.Status) << c.Name;
        EXPECT_EQ(urb->UrbHeader.Status, c.UrbStatus) << c.Name;
        EXPECT_FALSE(pended) << c.Name;
    }
    EXPECT_TRUE(m_device->Model().Log().empty());
    EXPECT_TRUE(m_device->IsoPackets().empty());
}

// Answers class GET_CUR for feature unit 2 and acknowledges every other class request.
class VolumeHandler : public sim::IClassRequestHandler
{
public:
    sim::ControlResult HandleClassRequest(const sim::SetupPacket& setup, const std::vector<uint8_t>&) override
    {
        if (setup.RequestType == 0xA1 && setup.Request == 0x81 && setup.Index == 0x0200)
            return sim::ControlResult{sim::ControlOutcome::Ack, {0x00, 0xF6}, 0};
        return sim::ControlResult{sim::ControlOutcome::Ack, {}, 0};
    }
};

TEST_F(UsbBusTest, ClassAndVendorRequestsReachTheDeviceAndAStallFailsTheUrb)
{
    Plug(Builtin("uac1-speaker", "vendor 0xC3 0x05 0x0001 0x0002 data 12 34 56\n"));
    VolumeHandler handler;
    m_device->Model().SetClassHandler(&handler);
    URB urb{};
    UCHAR data[8] = {}, rate[3] = {0x44, 0xAC, 0x00};
    const ULONG in = USBD_TRANSFER_DIRECTION_IN;
    ClassUrb(&urb, URB_FUNCTION_CLASS_INTERFACE, in | USBD_SHORT_TRANSFER_OK, 0x81, 0x0200, 0x0200, data, 2);
    ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    EXPECT_EQ(data[1], 0xF6);
    ClassUrb(&urb, URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0x0100, 0x0001, rate, 3);
    ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    ClassUrb(&urb, URB_FUNCTION_VENDOR_OTHER, in, 0x05, 0x0001, 0x0002, data, 8);
    ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 3u);
    EXPECT_EQ(data[2], 0x56);
    // A vendor request the device does not know is stalled.
    ClassUrb(&urb, URB_FUNCTION_VENDOR_DEVICE, in, 0x06, 0, 0, data, 8);
    EXPECT_EQ(SendUrb(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 0u);

    std::vector<sim::ControlRecord> log = m_device->Model().Log();
    EXPECT_EQ(Setups(log), (std::vector<SetupKey>{{0xA1, 0x81, 0x0200, 0x0200, 2},
                                                  {0x22, 0x01, 0x0100, 0x0001, 3},
                                                  {0xC3, 0x05, 0x0001, 0x0002, 8},
                                                  {0xC0, 0x06, 0, 0, 8}}));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].OutData, std::vector<uint8_t>({0x44, 0xAC, 0x00}));
    EXPECT_EQ(log[3].Outcome, sim::ControlOutcome::Stall);
    m_device->Model().SetClassHandler(nullptr);
}

TEST_F(UsbBusTest, DelayedControlTransferCompletesAfterItsDelayOrWhenCancelled)
{
    Plug("uac1-speaker");
    sim::DeviceFaults faults;
    faults.Delay100ns = 3000000; // 300 ms
    faults.DelayFilter.Request = USB_REQUEST_GET_DESCRIPTOR;
    m_device->SetFaults(faults);
    UCHAR buffer[18];
    URB urb{};
    DescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    ULONGLONG start = KeQueryInterruptTime();
    ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - start, 3000000u);

    // The driver's pattern: wait half a second, then cancel and wait for the completion.
    faults.Delay100ns = 20000000; // 2 s
    m_device->SetFaults(faults);
    AsyncUrb request;
    start = KeQueryInterruptTime();
    ASSERT_EQ(Submit(&request, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb), STATUS_PENDING);
    EXPECT_EQ(kt::Wait(&request.Done, 500), STATUS_TIMEOUT);
    EXPECT_TRUE(IoCancelIrp(request.Irp));
    EXPECT_EQ(Collect(&request), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_LT(KeQueryInterruptTime() - start, 20000000u);
    EXPECT_EQ(request.Irql, DISPATCH_LEVEL);
}

TEST_F(UsbBusTest, PortStatusResetAndCycleFollowTheDevice)
{
    Plug("uac1-headset");
    SelectConfiguration();
    ASSERT_EQ(SelectInterface(1, 1, 1), STATUS_SUCCESS);
    ULONG port = 0xFFFF;
    auto portStatus = [&] { return SendInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port); };
    ASSERT_EQ(portStatus(), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    // A reset leaves the device configured as the client selected it: the hub restores it.
    ASSERT_EQ(SendInternal(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(m_device->PortResets(), 1u);
    EXPECT_EQ(m_device->Model().Configuration(), 1);
    EXPECT_EQ(m_device->Model().AlternateSetting(1), 1);

    sim::PortFaults portFaults;
    portFaults.PortStatusFailures = 1;
    m_device->SetPortFaults(portFaults);
    EXPECT_EQ(portStatus(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(portStatus(), STATUS_SUCCESS);

    sim::DeviceFaults gone;
    gone.Vanished = true;
    m_device->SetFaults(gone);
    ASSERT_EQ(portStatus(), STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(SendInternal(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(m_device->PortResets(), 1u);
    URB urb{};
    UCHAR buffer[18];
    DescriptorUrb(&urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    EXPECT_EQ(SendUrb(&urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

    // Back on the port; then cycled: the device leaves this PDO for good.
    m_device->SetFaults(sim::DeviceFaults{});
    EXPECT_EQ(SendUrb(&urb), STATUS_SUCCESS);
    EXPECT_EQ(SendInternal(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(m_device->PortCycles(), 1u);
    ASSERT_EQ(portStatus(), STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(SendUrb(&urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

struct BusInterfaceAnswer
{
    NTSTATUS Status;
    USB_BUS_INTERFACE_USBDI_V1 Interface;
};

BusInterfaceAnswer QueryBusInterface(sim::PnpManager& pnp, USHORT version, USHORT size,
                                     const GUID& guid = USB_BUS_INTERFACE_USBDI_GUID)
{
    BusInterfaceAnswer answer{};
    answer.Status = pnp.SendPnp(IRP_MN_QUERY_INTERFACE,
                                [&](PIO_STACK_LOCATION stack)
                                {
                                    stack->Parameters.QueryInterface.InterfaceType = &guid;
                                    stack->Parameters.QueryInterface.Size = size;
                                    stack->Parameters.QueryInterface.Version = version;
                                    stack->Parameters.QueryInterface.Interface =
                                        reinterpret_cast<PINTERFACE>(&answer.Interface);
                                });
    return answer;
}

TEST_F(UsbBusTest, BusInterfaceAnswersSpeedVersionsAndCountsFramesOnTheVirtualClock)
{
    for (const char* name : {"uac2-interface", "uac1-speaker"})
    {
        SCOPED_TRACE(name);
        Plug(name);
        BusInterfaceAnswer answer = QueryBusInterface(*m_pnp, USB_BUSIF_USBDI_VERSION_1, 72);
        ASSERT_EQ(answer.Status, STATUS_SUCCESS);
        USB_BUS_INTERFACE_USBDI_V1& bus = answer.Interface;
        EXPECT_EQ(bus.Size, 72);
        EXPECT_EQ(bus.IsDeviceHighSpeed(bus.BusContext),
                  std::string(name) == "uac2-interface" ? TRUE : FALSE);
        EXPECT_EQ(m_device->Bus().InterfaceReferenceCount(), 1);
        // Frames are counted in milliseconds at both speeds.
        ULONG before = 0, after = 0;
        ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &before), STATUS_SUCCESS);
        EXPECT_EQ(before, ULONG(KeQueryInterruptTime() / 10000));
        kt::DelayMs(7);
        ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &after), STATUS_SUCCESS);
        EXPECT_EQ(after - before, 7u);
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
        ASSERT_EQ(SendUrb(&urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbGetCurrentFrameNumber.FrameNumber, after);
        bus.InterfaceDereference(bus.BusContext);
        EXPECT_EQ(m_device->Bus().InterfaceReferenceCount(), 0);
    }
    BusInterfaceAnswer v0 = QueryBusInterface(*m_pnp, USB_BUSIF_USBDI_VERSION_0, 64);
    ASSERT_EQ(v0.Status, STATUS_SUCCESS);
    EXPECT_EQ(v0.Interface.Size, 64);
    EXPECT_EQ(v0.Interface.IsDeviceHighSpeed, nullptr); // beyond a version-0 record
    v0.Interface.InterfaceDereference(v0.Interface.BusContext);
    EXPECT_EQ(QueryBusInterface(*m_pnp, USB_BUSIF_USBDI_VERSION_1, 64).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(QueryBusInterface(*m_pnp, USB_BUSIF_USBDI_VERSION_2, 200).Status, STATUS_NOT_SUPPORTED);
    // Another interface keeps the status the request came with.
    GUID other = USB_BUS_INTERFACE_USBDI_GUID;
    other.Data1 ^= 1;
    EXPECT_EQ(QueryBusInterface(*m_pnp, 1, 72, other).Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(m_device->Bus().InterfaceReferenceCount(), 0);
}

// One interrupt pipe through its life: a read waits for data, then for a cancel, then for an
// abort; a stall halts the pipe and a reset clears the halt; the device vanishes, is removed
// and started again.
TEST_F(UsbBusTest, InterruptInWaitsForDataCancelAbortVanishingAndRemoval)
{
    Plug("uac1-headset");
    SelectConfiguration();
    USBD_PIPE_HANDLE pipe = PipeOf(0x83).PipeHandle;
    UCHAR report[2] = {};
    URB urb{};
    InterruptUrb(&urb, pipe, report, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    AsyncUrb request;
    auto submit = [&] { return Submit(&request, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb); };
    ASSERT_EQ(submit(), STATUS_PENDING);
    EXPECT_EQ(kt::Wait(&request.Done, 200), STATUS_TIMEOUT);
    m_device->QueueInData(0x83, {0x40, 0x02});
    ASSERT_EQ(Collect(&request), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(report[0] | report[1] << 8, 0x0240);
    EXPECT_EQ(request.Irql, DISPATCH_LEVEL);
    EXPECT_NE(request.Thread, KeGetCurrentThread());

    // Nothing more to read: the next one stays until it is cancelled.
    ASSERT_EQ(submit(), STATUS_PENDING);
    EXPECT_EQ(kt::Wait(&request.Done, 100), STATUS_TIMEOUT);
    EXPECT_EQ(m_device->Bus().PendingRequestCount(), 1u);
    IoCancelIrp(request.Irp);
    EXPECT_EQ(Collect(&request), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(m_device->Bus().PendingRequestCount(), 0u);
    std::vector<plat::UsbBusTransferRecord> transfers = m_device->Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(std::make_tuple(int(transfers[0].EndpointAddress), transfers[0].In, transfers[0].Bytes),
              std::make_tuple(0x83, true, 2u));
    EXPECT_EQ(transfers[1].UrbStatus, USBD_STATUS_CANCELED);

    // An abort finishes after the transfers it cancels.
    ASSERT_EQ(submit(), STATUS_PENDING);
    URB abort{};
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = pipe;
    ASSERT_EQ(SendUrb(&abort), STATUS_SUCCESS);
    EXPECT_TRUE(request.Completed);
    EXPECT_EQ(Collect(&request), STATUS_CANCELLED);
    m_device->Model().ClearLog();
    abort.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    ASSERT_EQ(SendUrb(&abort), STATUS_SUCCESS);
    EXPECT_EQ(Setups(m_device->Model().Log()),
              (std::vector<SetupKey>{{0x02, USB_REQUEST_CLEAR_FEATURE, 0, 0x83, 0}}));
    abort.UrbPipeRequest.PipeHandle = USBD_PIPE_HANDLE(0x4242);
    EXPECT_EQ(SendUrb(&abort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // A stall halts the pipe: the next read fails at once, without asking the device, whose
    // data is still there for the first read after the reset.
    sim::PortFaults stall;
    stall.StallEndpoint = 0x83;
    m_device->SetPortFaults(stall);
    submit();
    EXPECT_NE(Collect(&request), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    m_device->QueueInData(0x83, {0x41, 0x03});
    InterruptUrb(&urb, pipe, report, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    submit();
    EXPECT_NE(Collect(&request), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    abort.UrbPipeRequest.PipeHandle = pipe;
    ASSERT_EQ(SendUrb(&abort), STATUS_SUCCESS);
    InterruptUrb(&urb, pipe, report, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(submit(), STATUS_PENDING);
    ASSERT_EQ(Collect(&request), STATUS_SUCCESS);
    EXPECT_EQ(report[0] | report[1] << 8, 0x0341);

    // Vanishing ends a waiting read; removal fails what is queued and every later request.
    ASSERT_EQ(submit(), STATUS_PENDING);
    sim::DeviceFaults gone;
    gone.Vanished = true;
    m_device->SetFaults(gone);
    EXPECT_EQ(Collect(&request), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    m_device->SetFaults(sim::DeviceFaults{});
    ASSERT_EQ(submit(), STATUS_PENDING);
    EXPECT_EQ(m_pnp->SendPnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Collect(&request), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SendUrb(&urb), STATUS_DEVICE_NOT_CONNECTED);
    // A start brings the PDO back; its old pipes are gone.
    EXPECT_EQ(m_pnp->SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendUrb(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBusTest, IsochronousTransfersCompleteAfterTheirLastFrameAndRunBackToBack)
{
    Plug("uac1-speaker");
    SelectConfiguration();
    ASSERT_EQ(SelectInterface(1, 1, 1), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = PipeOf(0x01).PipeHandle;
    std::vector<UCHAR> buffer1, buffer2;
    std::vector<UCHAR> first = IsoUrb(pipe, USBD_START_ISO_TRANSFER_ASAP, 0, 10, 176, &buffer1);
    std::vector<UCHAR> second = IsoUrb(pipe, USBD_START_ISO_TRANSFER_ASAP, 0, 10, 176, &buffer2);
    auto urb1 = reinterpret_cast<PURB>(first.data());
    auto urb2 = reinterpret_cast<PURB>(second.data());
    const ULONG now = m_device->Bus().CurrentFrame();
    AsyncUrb a, b;
    ASSERT_EQ(Submit(&a, IOCTL_INTERNAL_USB_SUBMIT_URB, urb1), STATUS_PENDING);
    ASSERT_EQ(Submit(&b, IOCTL_INTERNAL_USB_SUBMIT_URB, urb2), STATUS_PENDING);
    EXPECT_FALSE(a.Completed);
    const ULONG start = urb1->UrbIsochronousTransfer.StartFrame;
    EXPECT_EQ(start, now + 1);
    EXPECT_EQ(urb2->UrbIsochronousTransfer.StartFrame, start + 10);

    ASSERT_EQ(Collect(&a), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(start + 10) * 10000);
    EXPECT_NE(a.Thread, KeGetCurrentThread());
    EXPECT_EQ(a.Irql, DISPATCH_LEVEL);
    ASSERT_EQ(Collect(&b), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(start + 20) * 10000);
    EXPECT_EQ(urb2->UrbIsochronousTransfer.ErrorCount, 0u);
    EXPECT_EQ(urb2->UrbIsochronousTransfer.IsoPacket[9].Status, USBD_STATUS_SUCCESS);
    std::vector<sim::IsoPacketRecord> packets = m_device->IsoPackets();
    ASSERT_EQ(packets.size(), 20u);
    for (uint32_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(std::make_pair(packets[i].Frame, packets[i].Bytes), std::make_pair(start + i, 176u)) << i;
    std::vector<plat::UsbBusTransferRecord> transfers = m_device->Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[1].StartFrame, start + 10);
    EXPECT_EQ(transfers[1].Bytes, 1760u);
}

TEST_F(UsbBusTest, HighSpeedIsochronousPacketsFillTheMicroframes)
{
    Plug("uac2-interface");
    SelectConfiguration();
    ASSERT_EQ(SelectInterface(1, 1, 2), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = PipeOf(0x01).PipeHandle;
    std::vector<UCHAR> buffer;
    // Packets per frame must fill whole frames: 12 packets is a frame and a half.
    std::vector<UCHAR> odd = IsoUrb(pipe, USBD_START_ISO_TRANSFER_ASAP, 0, 12, 48, &buffer);
    EXPECT_EQ(SendUrb(reinterpret_cast<PURB>(odd.data())), STATUS_INVALID_PARAMETER);
    const ULONG start = m_device->Bus().CurrentFrame() + 3;
    std::vector<UCHAR> storage = IsoUrb(pipe, 0, start, 16, 48, &buffer);
    ASSERT_EQ(SendUrb(reinterpret_cast<PURB>(storage.data())), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(start + 2) * 10000);
    std::vector<sim::IsoPacketRecord> packets = m_device->IsoPackets();
    ASSERT_EQ(packets.size(), 16u);
    for (uint32_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(std::make_pair(packets[i].Frame, packets[i].Microframe),
                  std::make_pair(start + i / 8, i % 8))
            << i;
}

TEST_F(UsbBusTest, IdleNotificationCallsBackOnceAndEndsOnCancelAndCapabilities)
{
    Plug("uac1-speaker");
    int calls = 0;
    USB_IDLE_CALLBACK_INFO info{IdleCallback, &calls};
    EXPECT_FALSE(m_device->Bus().SignalIdle());
    AsyncUrb idle, second;
    ASSERT_EQ(Submit(&idle, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info), STATUS_PENDING);
    EXPECT_EQ(Submit(&second, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info),
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(Collect(&second), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(m_device->Bus().SignalIdle());
    EXPECT_FALSE(m_device->Bus().SignalIdle());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(kt::Wait(&idle.Done, 1000), STATUS_TIMEOUT);
    IoCancelIrp(idle.Irp);
    EXPECT_EQ(Collect(&idle), STATUS_CANCELLED);
    EXPECT_EQ(m_device->Bus().PendingRequestCount(), 0u);

    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(m_pnp->QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Removable + caps.SurpriseRemovalOK * 2 + caps.DeviceD2 * 4, 7u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    // The speaker's configuration (bmAttributes 0x80) declares no remote wake-up.
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.WakeFromD2, 0u);
}

} // namespace
