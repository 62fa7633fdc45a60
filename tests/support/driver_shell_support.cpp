// The routines the driver shell calls into that the shell tests replace (the device start, put
// in place of the driver's own after AddDevice) or that live with code still to come (the ASIO
// controls): they follow the script of the test in progress.
#include "support/driver_shell_doubles.h"

#include "plat_io.h"
#include "plat_pool.h"

#include <cstdio>
#include <cstring>

#include "driver/core/device_extension.h"
#include "driver/adapter/dispatch.h"
#include "driver/adapter/driver_entry.h"

namespace shell_test
{

ShellWorld* g_pShellWorld = nullptr;

std::string DeviceState()
{
    bool asio = false;
    bool enumeration = false;
    for (const plat::DeviceInterfaceRecord& record : plat::IoListDeviceInterfaces())
    {
        if (record.InterfaceClass == GUID_DEVINTERFACE_ASIO_PRIVATE)
            asio = asio || record.Enabled;
        if (record.InterfaceClass == GUID_DEVINTERFACE_ENUM_PRIVATE)
            enumeration = enumeration || record.Enabled;
    }
    // Link names are the only counted strings the driver keeps from pool.
    SIZE_T links = plat::PoolLiveBlocks(MAKE_POOL_TAG('S', 't', 'r', 'g'));
    return std::string("asio=") + (asio ? "on" : "off") + " enum=" + (enumeration ? "on" : "off") +
           " links=" + std::to_string(links);
}

STDMETHODIMP_(NTSTATUS) FakeAdapter::WakeForAccess(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = stack->MajorFunction;
    m_pLog->Add(major == IRP_MJ_CREATE           ? "wake create"
                : major == IRP_MJ_CLOSE          ? "wake close"
                : major == IRP_MJ_CLEANUP        ? "wake cleanup"
                : major == IRP_MJ_DEVICE_CONTROL ? "wake control"
                : major == IRP_MJ_PNP            ? "wake pnp " + std::to_string(stack->MinorFunction)
                                                 : "wake major " + std::to_string(major));
    return STATUS_SUCCESS;
}

} // namespace shell_test

using shell_test::g_pShellWorld;

NTSTATUS shell_test::ScriptedStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    g_pShellWorld->Log.Add("start device");
    const shell_test::StartScript& script = g_pShellWorld->Start;
    AdapterDeviceExtension* extension = GetAdapterExtension(DeviceObject);
    if (script.EnableAsio && NT_SUCCESS(IoSetDeviceInterfaceState(&extension->AsioLinkName, TRUE)))
        extension->AsioInterfaceEnabled = TRUE;
    if (script.EnableEnum && NT_SUCCESS(IoSetDeviceInterfaceState(&extension->EnumLinkName, TRUE)))
        extension->EnumInterfaceEnabled = TRUE;
    if (NT_SUCCESS(script.Status) && script.Adapter != nullptr && extension->AdapterCommon == nullptr)
    {
        script.Adapter->AddRef();
        extension->AdapterCommon = script.Adapter;
    }
    return script.Status;
}
