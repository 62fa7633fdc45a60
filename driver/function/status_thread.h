// The steps of the status thread that every audio function shares, whatever the format of its
// status reports: finding the audio-control interface it reads from, keeping a read pending on
// an IN pipe, and starting and stopping the thread itself.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "usb.h"

struct IUsbDevice;

namespace statusthread
{

// Alternate setting 0 of audio-control interface InterfaceNumber in the device's
// configuration, or null when the device has none. PASSIVE_LEVEL.
PUSB_INTERFACE_DESCRIPTOR FindControlInterface(IUsbDevice* UsbDevice, UCHAR InterfaceNumber);

// The device's IUsbDevice without a reference of its own, for a thread whose reference on the
// device covers every use; null when the device has none. PASSIVE_LEVEL.
IUsbDevice* BorrowUsbDevice(PUNKNOWN Device);

// A notification event from the non-paged pool of Tag, signalled (no read with the bus), or
// null when the pool is out. PASSIVE_LEVEL.
PKEVENT AllocateSignalledEvent(ULONG Tag);

// Passes Irp down with a fresh read of Length bytes from IN pipe Pipe into Data; Done, cleared
// now, is signalled when the read is over and the IRP is the thread's again. Any IRQL up to
// DISPATCH_LEVEL.
NTSTATUS ArmPipeRead(IUsbDevice* UsbDevice, PIRP Irp, PURB Urb, USBD_PIPE_HANDLE Pipe, PUCHAR Data,
                     ULONG Length, PKEVENT Done);

// Starts the thread at Routine(Context) with a reference on Device for it and keeps its object
// in *Thread. The stop and done events are cleared first. Should the thread's object not be
// had, the thread is stopped again and waited for; a failure leaves nothing running and no
// reference taken. PASSIVE_LEVEL.
NTSTATUS LaunchStatusThread(PKSTART_ROUTINE Routine, PVOID Context, KPRIORITY Priority, PUNKNOWN Device,
                            PKEVENT StopEvent, PKEVENT DoneEvent, PKTHREAD* Thread);

// Tells the thread to end, waits until it has, and lets go of its object. Not from the thread
// itself. PASSIVE_LEVEL.
VOID StopAndWaitForStatusThread(PKEVENT StopEvent, PKEVENT DoneEvent, PKTHREAD* Thread);

} // namespace statusthread
