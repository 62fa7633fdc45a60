// A client of the bus's isochronous engine for tests: plugs a simulated device, selects its
// configuration and an alternate setting with URBs, and runs chains of isochronous transfers
// from a registered test thread in virtual time, as a streaming driver would. The device's
// own record is the oracle; the rig only drives.
#pragma once

#include "platform/kernel_test_support.h"

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

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace isochrig
{

// One isochronous URB with its own IRP, buffer and completion record.
struct Transfer
{
    std::vector<UCHAR> Storage; // the URB
    std::vector<UCHAR> Buffer;
    PIRP Irp = nullptr;
    KEVENT Done;
    volatile bool Completed = false;
    KIRQL Irql = PASSIVE_LEVEL;
    PKTHREAD Thread = nullptr;

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer()
    {
        if (Irp != nullptr)
            IoFreeIrp(Irp);
    }

    PURB Urb() { return reinterpret_cast<PURB>(Storage.data()); }
    struct _URB_ISOCH_TRANSFER& Iso() { return Urb()->UrbIsochronousTransfer; }
};

inline NTSTATUS TransferDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto transfer = static_cast<Transfer*>(context);
    transfer->Irql = KeGetCurrentIrql();
    transfer->Thread = KeGetCurrentThread();
    transfer->Completed = true;
    KeSetEvent(&transfer->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IsochRig
{
public:
    IsochRig() : m_snapshot(plat::TakePoolSnapshot()), m_irpsBefore(plat::IoLiveIrpCount()) {}
    ~IsochRig()
    {
        m_device.reset();
        m_pnp.reset();
        EXPECT_EQ(plat::PoolLeaksSince(m_snapshot), "");
        EXPECT_EQ(plat::IoLiveIrpCount(), m_irpsBefore);
    }

    void Plug(const std::string& name, const std::string& extra = "")
    {
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::DeviceProfile::Parse(std::string(sim::BuiltinProfileText(name)) + extra, name, ".",
                                              &profile, &error))
            << error;
        m_pnp.reset(new sim::PnpManager);
        m_device = sim::SimUsbDevice::Create(profile);
        m_device->AttachTo(*m_pnp);
        SelectConfiguration(profile.ConfigurationDescriptor());
    }

    sim::SimUsbDevice& Device() { return *m_device; }
    ULONG Frame() { return m_device->Bus().CurrentFrame(); }

    NTSTATUS SendUrb(PURB urb, bool* pended = nullptr)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, m_pnp->Pdo(), nullptr, 0,
                                                 nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS status = IoCallDriver(m_pnp->Pdo(), irp);
        if (pended)
            *pended = status == STATUS_PENDING;
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }

    // Selects an alternate setting and returns the pipe of the endpoint address.
    USBD_PIPE_INFORMATION SelectInterface(UCHAR number, UCHAR alternate, ULONG pipes, UCHAR address)
    {
        const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
        std::vector<UCHAR> bytes(std::max(size, sizeof(URB)), 0);
        auto urb = reinterpret_cast<PURB>(bytes.data());
        UsbBuildSelectInterfaceRequest(urb, USHORT(size), m_configHandle, number, alternate);
        urb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(pipes);
        EXPECT_EQ(SendUrb(urb), STATUS_SUCCESS);
        USBD_PIPE_INFORMATION found{};
        for (ULONG p = 0; p < urb->UrbSelectInterface.Interface.NumberOfPipes; ++p)
        {
            if (urb->UrbSelectInterface.Interface.Pipes[p].EndpointAddress == address)
                found = urb->UrbSelectInterface.Interface.Pipes[p];
        }
        EXPECT_NE(found.PipeHandle, nullptr);
        return found;
    }

    // Sets a class-1 endpoint's or a class-2 clock's sampling rate as the host would.
    void SetEndpointRate(UCHAR endpoint, ULONG rateHz)
    {
        sim::SetupPacket setup{0x22, 0x01, 0x0100, endpoint, 3};
        ASSERT_EQ(m_device->Model()
                      .HandleControl(setup, {UCHAR(rateHz), UCHAR(rateHz >> 8), UCHAR(rateHz >> 16)})
                      .Outcome,
                  sim::ControlOutcome::Ack);
    }
    void SetClockRate(UCHAR clockId, ULONG rateHz)
    {
        sim::SetupPacket setup{0x21, 0x01, 0x0100, USHORT(clockId << 8), 4};
        ASSERT_EQ(m_device->Model()
                      .HandleControl(setup, {UCHAR(rateHz), UCHAR(rateHz >> 8), UCHAR(rateHz >> 16),
                                             UCHAR(rateHz >> 24)})
                      .Outcome,
                  sim::ControlOutcome::Ack);
    }

    // Builds an isochronous URB over packets of the given sizes (IN: room for each).
    static void Build(Transfer* t, USBD_PIPE_HANDLE pipe, bool in, ULONG flags, ULONG startFrame,
                      const std::vector<ULONG>& sizes)
    {
        ULONG total = 0;
        for (ULONG size : sizes)
            total += size;
        t->Buffer.assign(std::max<ULONG>(total, 1), 0);
        t->Storage.assign(GET_ISO_URB_SIZE(sizes.size()), 0);
        struct _URB_ISOCH_TRANSFER& iso = t->Iso();
        t->Urb()->UrbHeader.Length = USHORT(t->Storage.size());
        t->Urb()->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.PipeHandle = pipe;
        iso.TransferFlags = flags | (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
        iso.TransferBufferLength = total;
        iso.TransferBuffer = t->Buffer.data();
        iso.StartFrame = startFrame;
        iso.NumberOfPackets = ULONG(sizes.size());
        ULONG offset = 0;
        for (size_t i = 0; i < sizes.size(); ++i)
        {
            iso.IsoPacket[i].Offset = offset;
            iso.IsoPacket[i].Length = in ? 0 : sizes[i];
            offset += sizes[i];
        }
    }

    NTSTATUS Submit(Transfer* t)
    {
        KeInitializeEvent(&t->Done, NotificationEvent, FALSE);
        t->Completed = false;
        if (t->Irp == nullptr)
            t->Irp = IoAllocateIrp(m_pnp->Pdo()->StackSize, FALSE);
        else
            IoReuseIrp(t->Irp, STATUS_NOT_SUPPORTED);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->Irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = t->Urb();
        IoSetCompletionRoutine(t->Irp, TransferDone, t, TRUE, TRUE, TRUE);
        return IoCallDriver(m_pnp->Pdo(), t->Irp);
    }
    NTSTATUS Collect(Transfer* t)
    {
        KeWaitForSingleObject(&t->Done, Executive, KernelMode, FALSE, nullptr);
        return t->Irp->IoStatus.Status;
    }
    NTSTATUS AbortPipe(USBD_PIPE_HANDLE pipe)
    {
        URB abort{};
        abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
        abort.UrbPipeRequest.PipeHandle = pipe;
        return SendUrb(&abort);
    }

    // Keeps `depth` ASAP transfers of `packets` packets in flight until `count` have
    // completed; Size gives each packet's bytes (OUT) or room (IN) by its running index, and
    // Fill writes OUT data. Each completed transfer goes to Done.
    void RunChain(USBD_PIPE_HANDLE pipe, bool in, ULONG count, ULONG packets, ULONG depth,
                  const std::function<ULONG(ULONG)>& size, const std::function<void(Transfer&)>& done,
                  const std::function<void(UCHAR*, ULONG)>& fill = {})
    {
        std::vector<Transfer> slots(depth);
        ULONG nextPacket = 0;
        ULONG submitted = 0;
        auto submit = [&](Transfer& t)
        {
            std::vector<ULONG> sizes;
            for (ULONG p = 0; p < packets; ++p)
                sizes.push_back(size(nextPacket++));
            Build(&t, pipe, in, USBD_START_ISO_TRANSFER_ASAP, 0, sizes);
            if (fill)
                fill(t.Buffer.data(), t.Iso().TransferBufferLength);
            ASSERT_EQ(Submit(&t), STATUS_PENDING);
            ++submitted;
        };
        for (ULONG s = 0; s < depth && submitted < count; ++s)
            submit(slots[s]);
        for (ULONG completed = 0; completed < count; ++completed)
        {
            Transfer& t = slots[completed % depth];
            Collect(&t);
            done(t);
            if (submitted < count)
                submit(t);
        }
    }

private:
    void SelectConfiguration(std::vector<uint8_t> config)
    {
        auto descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (UCHAR n = 0; n < descriptor->bNumInterfaces; ++n)
            list.push_back(
                {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, n, 0, -1, -1, -1), nullptr});
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
        ASSERT_NE(urb, nullptr);
        ASSERT_EQ(SendUrb(urb), STATUS_SUCCESS);
        m_configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(urb);
    }

    plat::ScopedThreadRegistration m_registration{"isoch-rig"};
    plat::PoolSnapshot m_snapshot;
    SIZE_T m_irpsBefore = 0;
    std::unique_ptr<sim::PnpManager> m_pnp;
    std::shared_ptr<sim::SimUsbDevice> m_device;
    USBD_CONFIGURATION_HANDLE m_configHandle = nullptr;
};

// Packet sizes as a rate-following host makes them: the fractional frames of each packet
// carried on in a running remainder.
inline ULONG PacketFrames(ULONG rateHz, ULONG packetsPerFrame, ULONG index)
{
    const unsigned long long perSecond = packetsPerFrame * 1000ull;
    return ULONG((rateHz * (index + 1ull)) / perSecond - (rateHz * 1ull * index) / perSecond);
}

} // namespace isochrig
