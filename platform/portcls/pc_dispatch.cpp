// PcDispatchIrp of the stand-in port-class library: what the library does with the requests an
// adapter driver leaves to it. Plug and play follows the function-driver pattern (start after
// the devices below, remove after them and then detach and delete); power requests reach the
// adapter's IAdapterPowerManagement in the order a device needs (power up after the bus, power
// down before it).
#include "pc_device.h"
#include "pc_subdevice.h"
#include "pc_port_internal.h"

#include "plat_fatal.h"
#include "plat_portcls.h"

namespace
{

using plat::pc::DeviceContext;

NTSTATUS PassDown(DeviceContext* context, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(context->NextDeviceObject, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, DeviceContext* context, PIRP irp)
{
    NTSTATUS status = plat::pc::ForwardAndWait(context, irp);
    if (NT_SUCCESS(status))
    {
        status = plat::pc::CallStartDevice(device, irp);
        if (NT_SUCCESS(status))
        {
            context->Started = TRUE;
            context->DevicePower = PowerDeviceD0;
            POWER_STATE d0;
            d0.DeviceState = PowerDeviceD0;
            PoSetPowerState(device, DevicePowerState, d0);
        }
    }
    return Complete(irp, status);
}

// The device goes away: the adapter's power interface is let go, the request passes down, and
// the device leaves the stack. Its memory stays until the driver's own handler has returned,
// since the I/O manager holds the device while a dispatch routine runs on it.
NTSTATUS RemoveDevice(PDEVICE_OBJECT device, DeviceContext* context, PIRP irp)
{
    context->Removed = TRUE;
    context->Started = FALSE;
    if (context->AdapterPower)
    {
        context->AdapterPower->Release();
        context->AdapterPower = nullptr;
    }
    // The driver's handler has unregistered what it wanted to; whatever is left goes with the
    // device, as the library tears down its filters on removal.
    plat::PcReleaseDeviceRegistrations(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(context, irp);
    IoDetachDevice(context->NextDeviceObject);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS QueryCapabilities(DeviceContext* context, PIRP irp)
{
    NTSTATUS status = plat::pc::ForwardAndWait(context, irp);
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (NT_SUCCESS(status) && context->AdapterPower && caps)
        status = context->AdapterPower->QueryDeviceCapabilities(caps);
    return Complete(irp, status);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, DeviceContext* context, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        return StartDevice(device, context, irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(device, context, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(context, irp);
    case IRP_MN_STOP_DEVICE:
        // Filters do not survive a stop: the next start registers them again.
        plat::PcReleaseDeviceRegistrations(device);
        context->Started = FALSE;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(context, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        context->SurpriseRemoved = TRUE;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(context, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(context, irp);
    default:
        return PassDown(context, irp);
    }
}

void RecordDevicePower(PDEVICE_OBJECT device, DeviceContext* context, POWER_STATE state)
{
    if (context->AdapterPower)
        context->AdapterPower->PowerChangeState(state);
    plat::pc::NotifySubdevicesPower(device, state);
    context->DevicePower = state.DeviceState;
    PoSetPowerState(device, DevicePowerState, state);
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT device, DeviceContext* context, PIRP irp, POWER_STATE state)
{
    if (state.DeviceState == context->DevicePower)
    {
        PoStartNextPowerIrp(irp);
        return PassDown(context, irp);
    }
    if (state.DeviceState == PowerDeviceD0)
    {
        // Powering up: the bus must power the device before the adapter touches it.
        NTSTATUS status = plat::pc::ForwardAndWait(context, irp);
        if (NT_SUCCESS(status))
            RecordDevicePower(device, context, state);
        PoStartNextPowerIrp(irp);
        return Complete(irp, status);
    }
    // Powering down: the adapter quiets the device while the bus still powers it.
    RecordDevicePower(device, context, state);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    return PassDown(context, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, DeviceContext* context, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool devicePower = stack->Parameters.Power.Type == DevicePowerState;
    if (stack->MinorFunction == IRP_MN_SET_POWER && devicePower)
        return SetDevicePower(device, context, irp, stack->Parameters.Power.State);
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && devicePower && context->AdapterPower)
    {
        NTSTATUS status = context->AdapterPower->QueryPowerChangeState(stack->Parameters.Power.State);
        if (!NT_SUCCESS(status))
        {
            PoStartNextPowerIrp(irp);
            return Complete(irp, status);
        }
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER)
        context->SystemPower = stack->Parameters.Power.State.SystemState;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    return PassDown(context, irp);
}

} // namespace

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = plat::pc::Context(DeviceObject, "PcDispatchIrp");
    // Handles on registered subdevices belong to their filters.
    NTSTATUS filterStatus;
    if (plat::pc::DispatchSubdeviceRequest(DeviceObject, Irp, &filterStatus))
        return Complete(Irp, filterStatus);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction)
    {
    case IRP_MJ_PNP:
        return DispatchPnp(DeviceObject, context, Irp);
    case IRP_MJ_POWER:
        return DispatchPower(DeviceObject, context, Irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        // No subdevice is registered under the handle's name: the handle is one on the adapter
        // device itself, which carries no state of its own.
        Irp->IoStatus.Information = 0;
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MJ_SYSTEM_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return PassDown(context, Irp);
    default:
        Irp->IoStatus.Information = 0;
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
