// The driver's own handlers of plug and play, create, close and device-control requests on the
// functional device object; everything they do not claim goes to the port-class library.
#pragma once

#include "ntddk.h"
#include "portcls.h"

// All PASSIVE_LEVEL, pageable; they may block while a selectively suspended device wakes.
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The last handle of a file object is being closed, in the process that held it: the ASIO
// companion's rings are unmapped here, where their view exists.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

struct IAsioDevice;

// PASSIVE_LEVEL. Carries out one private I/O control of a handle opened on the ASIO interface
// through the device's IAsioDevice (asio_device_control.cpp). Returns the request's status (the
// caller stores it and completes the request), or STATUS_PENDING when the request was queued and
// is completed elsewhere.
NTSTATUS AsioDeviceControl(IAsioDevice* AsioDevice, PIRP Irp);
