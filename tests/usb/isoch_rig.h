// A client of the bus's isochronous engine for tests: plugs a simulated device, selects its
// configuration and an alternate setting with URBs, and runs isochronous transfers from a
// registered test thread in virtual time, as a streaming driver would. The device's own record
// is the oracle; the rig only drives.
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

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace isochrig
{

// One isochronous URB with its own IRP and buffer, and where and how it completed.
struct Transfer
{
    std::vector<UCHAR> Storage, Buffer;
    PIRP Irp = nullptr;
    KEVENT Done;
    volatile bool Completed = false;
    KIRQL Irql = PASSIVE_LEVEL;
    PKTHREAD Thread = nullptr;

    ~Transfer()
    {
        if (Irp)
            IoFreeIrp(Irp);
    }
    PURB Urb() { return reinterpret_cast<PURB>(Storage.data()); }
    struct _URB_ISOCH_TRANSFER& Iso() { return Urb()->UrbIsochronousTransfer; }

    // Packets of the given sizes (IN: room for each), back to back in the buffer.
    void Build(USBD_PIPE_HANDLE Pipe, bool In, ULONG Flags, ULONG StartFrame, const std::vector<ULONG>& Sizes)
    {
        Storage.assign(GET_ISO_URB_SIZE(Sizes.size()), 0);
        Urb()->UrbHeader.Length = USHORT(Storage.size());
        Urb()->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        ULONG offset = 0;
        for (size_t i = 0; i < Sizes.size(); offset += Sizes[i++])
            Iso().IsoPacket[i] = {offset, In ? 0 : Sizes[i], 0};
        Buffer.assign(offset + 1, 0);
        Iso().PipeHandle = Pipe;
        Iso().TransferFlags = Flags | (In ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
        Iso().TransferBufferLength = offset;
        Iso().TransferBuffer = Buffer.data();
        Iso().StartFrame = StartFrame;
        Iso().NumberOfPackets = ULONG(Sizes.size());
    }
};

inline NTSTATUS TransferDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    auto transfer = static_cast<Transfer*>(Context);
    transfer->Irql = KeGetCurrentIrql();
    transfer->Thread = KeGetCurrentThread();
    transfer->Completed = true;
    KeSetEvent(&transfer->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IsochRig
{
public:
    IsochRig() : m_snapshot(plat::TakePoolSnapshot()), m_irps(plat::IoLiveIrpCount()) {}
    ~IsochRig()
    {
        m_device.reset();
        m_pnp.reset();
        EXPECT_EQ(plat::PoolLeaksSince(m_snapshot), "");
        EXPECT_EQ(plat::IoLiveIrpCount(), m_irps);
    }

    // Plugs the profile's device and selects its configuration.
    void Plug(const std::string& Name)
    {
        sim::DeviceProfile profile;
        std::string error;
        ASSERT_TRUE(sim::LoadBuiltinProfile(Name, &profile, &error)) << error;
        m_pnp.reset(new sim::PnpManager);
        m_device = sim::SimUsbDevice::Create(profile);
        m_device->AttachTo(*m_pnp);
        m_release2 = profile.AudioControlProtocol() == 0x20;
        std::vector<uint8_t> config = profile.ConfigurationDescriptor();
        auto descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (UCHAR n = 0; n < descriptor->bNumInterfaces; ++n)
            list.push_back(
                {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, n, 0, -1, -1, -1), nullptr});
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
        ASSERT_EQ(SendUrb(urb), STATUS_SUCCESS);
        m_configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(urb);
    }

    sim::SimUsbDevice& Device() { return *m_device; }
    ULONG Frame() { return m_device->Bus().CurrentFrame(); }

    NTSTATUS SendUrb(PVOID Urb)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, m_pnp->Pdo(), nullptr, 0,
                                                 nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
        if (IoCallDriver(m_pnp->Pdo(), irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }

    // Selects an alternate setting and returns the pipe of the endpoint address.
    USBD_PIPE_HANDLE SelectInterface(UCHAR Number, UCHAR Alternate, ULONG Pipes, UCHAR Address)
    {
        std::vector<UCHAR> bytes(GET_SELECT_INTERFACE_REQUEST_SIZE(Pipes) + sizeof(URB), 0);
        auto urb = reinterpret_cast<PURB>(bytes.data());
        UsbBuildSelectInterfaceRequest(urb, USHORT(GET_SELECT_INTERFACE_REQUEST_SIZE(Pipes)), m_configHandle,
                                       Number, Alternate);
        urb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(Pipes);
        EXPECT_EQ(SendUrb(urb), STATUS_SUCCESS);
        for (ULONG p = 0; p < urb->UrbSelectInterface.Interface.NumberOfPipes; ++p)
            if (urb->UrbSelectInterface.Interface.Pipes[p].EndpointAddress == Address)
                return urb->UrbSelectInterface.Interface.Pipes[p].PipeHandle;
        ADD_FAILURE() << "no pipe for endpoint " << int(Address);
        return nullptr;
    }

    // The host's sampling-rate request: to a class-1 endpoint, or to the class-2 clock (id 10).
    void SetRate(UCHAR Endpoint, ULONG RateHz)
    {
        sim::SetupPacket setup = m_release2 ? sim::SetupPacket{0x21, 0x01, 0x0100, 10 << 8, 4}
                                            : sim::SetupPacket{0x22, 0x01, 0x0100, Endpoint, 3};
        std::vector<uint8_t> data = {UCHAR(RateHz), UCHAR(RateHz >> 8), UCHAR(RateHz >> 16),
                                     UCHAR(RateHz >> 24)};
        data.resize(setup.Length);
        ASSERT_EQ(m_device->Model().HandleControl(setup, data).Outcome, sim::ControlOutcome::Ack);
    }

    NTSTATUS Submit(Transfer* T)
    {
        KeInitializeEvent(&T->Done, NotificationEvent, FALSE);
        T->Completed = false;
        if (T->Irp)
            IoReuseIrp(T->Irp, STATUS_NOT_SUPPORTED);
        else
            T->Irp = IoAllocateIrp(m_pnp->Pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(T->Irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = T->Urb();
        IoSetCompletionRoutine(T->Irp, TransferDone, T, TRUE, TRUE, TRUE);
        return IoCallDriver(m_pnp->Pdo(), T->Irp);
    }
    NTSTATUS Collect(Transfer* T)
    {
        KeWaitForSingleObject(&T->Done, Executive, KernelMode, FALSE, nullptr);
        return T->Irp->IoStatus.Status;
    }

    // Keeps three ASAP transfers of `Packets` packets in flight until `Count` have completed;
    // Size gives each packet's bytes (OUT) or room (IN) by its running index, Fill writes OUT
    // data, and Done sees every completed transfer.
    void RunChain(USBD_PIPE_HANDLE Pipe, bool In, ULONG Count, ULONG Packets,
                  const std::function<ULONG(ULONG)>& Size, const std::function<void(Transfer&)>& Done,
                  const std::function<void(Transfer&)>& Fill = {})
    {
        Transfer slots[3];
        ULONG packet = 0;
        for (ULONG submitted = 0, completed = 0; completed < Count; ++completed)
        {
            for (; submitted < Count && submitted < completed + 3; ++submitted)
            {
                Transfer& t = slots[submitted % 3];
                std::vector<ULONG> sizes;
                for (ULONG p = 0; p < Packets; ++p)
                    sizes.push_back(Size(packet++));
                t.Build(Pipe, In, USBD_START_ISO_TRANSFER_ASAP, 0, sizes);
                if (Fill)
                    Fill(t);
                ASSERT_EQ(Submit(&t), STATUS_PENDING);
            }
            Collect(&slots[completed % 3]);
            Done(slots[completed % 3]);
        }
    }

private:
    plat::ScopedThreadRegistration m_registration{"isoch-rig"};
    plat::PoolSnapshot m_snapshot;
    SIZE_T m_irps = 0;
    std::unique_ptr<sim::PnpManager> m_pnp;
    std::shared_ptr<sim::SimUsbDevice> m_device;
    USBD_CONFIGURATION_HANDLE m_configHandle = nullptr;
    bool m_release2 = false;
};

// Frames of packet `Index` for a host that carries each packet's fraction on.
inline ULONG PacketFrames(ULONG RateHz, ULONG PacketsPerFrame, ULONG Index)
{
    const unsigned long long perSecond = PacketsPerFrame * 1000ull;
    return ULONG(RateHz * (Index + 1ull) / perSecond - RateHz * 1ull * Index / perSecond);
}

} // namespace isochrig
