// One rig for tests that drive the USB bus stand-in as a client driver does: a simulated device
// plugged into a plug-and-play host, URBs built with the USBD macros and sent to the physical
// device object, synchronous or with an IRP of their own, and a check that nothing (pool, IRPs,
// system threads) is left behind.
#pragma once

#include <gtest/gtest.h>

#include "ntddk.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_sched.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/pnp_manager.h"
#include "usb.h"
#include "usbdlib.h"
#include "usbioctl.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace busclient
{

inline sim::DeviceProfile Builtin(const std::string& name, const std::string& extra = "")
{
    sim::DeviceProfile profile;
    std::string error;
    EXPECT_TRUE(sim::DeviceProfile::Parse(std::string(sim::BuiltinProfileText(name)) + extra, name, ".",
                                          &profile, &error))
        << error;
    return profile;
}

// A request sent with its own IRP and completion routine, as a streaming driver sends one.
struct AsyncUrb
{
    PIRP Irp = nullptr;
    KEVENT Done;
    volatile bool Completed = false;
    KIRQL Irql = PASSIVE_LEVEL;
    PKTHREAD Thread = nullptr;
};

inline NTSTATUS AsyncCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto request = static_cast<AsyncUrb*>(context);
    request->Irql = KeGetCurrentIrql();
    request->Thread = KeGetCurrentThread();
    request->Completed = true;
    KeSetEvent(&request->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class UsbBusClient : public testing::Test
{
protected:
    void SetUp() override
    {
        m_snapshot = plat::TakePoolSnapshot();
        m_irpsBefore = plat::IoLiveIrpCount();
        m_threadsBefore = plat::LiveSystemThreadCount();
    }

    void TearDown() override
    {
        m_device.reset();
        m_pnp.reset();
        EXPECT_EQ(plat::PoolLeaksSince(m_snapshot), "");
        EXPECT_EQ(plat::IoLiveIrpCount(), m_irpsBefore);
        EXPECT_EQ(plat::LiveSystemThreadCount(), m_threadsBefore);
    }

    void Plug(const sim::DeviceProfile& profile)
    {
        m_pnp.reset(new sim::PnpManager);
        m_device = sim::SimUsbDevice::Create(profile);
        m_device->AttachTo(*m_pnp);
        m_config = profile.ConfigurationDescriptor();
    }
    void Plug(const std::string& name) { Plug(Builtin(name)); }

    PDEVICE_OBJECT Pdo() const { return m_pnp->Pdo(); }

    // IoBuildDeviceIoControlRequest and a wait on its event: what a driver's synchronous call does.
    NTSTATUS SendInternal(ULONG code, PVOID argument1, bool* pended = nullptr)
    {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, Pdo(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
        NTSTATUS status = IoCallDriver(Pdo(), irp);
        if (pended)
            *pended = status == STATUS_PENDING;
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }
    NTSTATUS SendUrb(PURB urb, bool* pended = nullptr)
    {
        return SendInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, pended);
    }

    NTSTATUS Submit(AsyncUrb* request, ULONG code, PVOID argument1, PVOID type3 = nullptr)
    {
        KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
        request->Completed = false;
        request->Irp = IoAllocateIrp(Pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->Irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument1;
        next->Parameters.DeviceIoControl.Type3InputBuffer = type3;
        IoSetCompletionRoutine(request->Irp, AsyncCompletion, request, TRUE, TRUE, TRUE);
        return IoCallDriver(Pdo(), request->Irp);
    }
    NTSTATUS Collect(AsyncUrb* request)
    {
        KeWaitForSingleObject(&request->Done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = request->Irp->IoStatus.Status;
        IoFreeIrp(request->Irp);
        request->Irp = nullptr;
        return status;
    }

    // Selects the configuration with every interface at alternate setting 0, as the driver does.
    void SelectConfiguration()
    {
        auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (UCHAR n = 0; n < config->bNumInterfaces; ++n)
            list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, n, 0, -1, -1, -1), nullptr});
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
        ASSERT_NE(urb, nullptr);
        ASSERT_EQ(SendUrb(urb), STATUS_SUCCESS);
        m_configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        m_pipes.clear();
        for (size_t i = 0; i + 1 < list.size(); ++i)
        {
            for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; ++p)
                m_pipes.push_back(list[i].Interface->Pipes[p]);
        }
        ExFreePool(urb);
    }

    // Selects an alternate setting; returns the URB status and adds the new pipes.
    NTSTATUS SelectInterface(UCHAR number, UCHAR alternate, ULONG pipes)
    {
        // The URB claims exactly its size; the storage behind it is at least a whole URB.
        const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
        std::vector<UCHAR> bytes(std::max(size, sizeof(URB)), 0);
        auto urb = reinterpret_cast<PURB>(bytes.data());
        UsbBuildSelectInterfaceRequest(urb, size, m_configHandle, number, alternate);
        urb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(pipes);
        NTSTATUS status = SendUrb(urb);
        for (ULONG p = 0; NT_SUCCESS(status) && p < urb->UrbSelectInterface.Interface.NumberOfPipes; ++p)
            m_pipes.push_back(urb->UrbSelectInterface.Interface.Pipes[p]);
        return status;
    }

    USBD_PIPE_INFORMATION PipeOf(UCHAR address) const
    {
        USBD_PIPE_INFORMATION found{};
        for (const USBD_PIPE_INFORMATION& pipe : m_pipes)
        {
            if (pipe.EndpointAddress == address)
                found = pipe;
        }
        return found;
    }

    plat::ScopedThreadRegistration m_registration{"bus-client"};
    plat::PoolSnapshot m_snapshot;
    SIZE_T m_irpsBefore = 0;
    SIZE_T m_threadsBefore = 0;
    std::unique_ptr<sim::PnpManager> m_pnp;
    std::shared_ptr<sim::SimUsbDevice> m_device;
    std::vector<uint8_t> m_config;
    USBD_CONFIGURATION_HANDLE m_configHandle = nullptr;
    std::vector<USBD_PIPE_INFORMATION> m_pipes;
};

} // namespace busclient
